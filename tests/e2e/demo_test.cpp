#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "support/run.hpp"
#include "support/tempdir.hpp"

using namespace zdz::test;

namespace {

const std::string kV1 = "988b067239930fa6a1f8c96efb751390324fa3672700d63ae9e340bdce70963e";
const std::string kV2 = "0d2141f565b66c0c05f04e27b564631e8d474d21a0c1868a430d0bce12864382";

RunOptions in(const std::string& cwd) {
    return {.cwd = cwd, .env = {}, .unset = {}, .stdin_data = ""};
}

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        names.insert(e.path().string());
    }
    return names;
}

// Replaces the values that differ from run to run with fixed markers.
std::string mask(std::string text) {
    text = std::regex_replace(text, std::regex("\\(public\\): [0-9a-f]{64}"), "(public): KEY");
    text = std::regex_replace(text, std::regex("Timestamp\\([0-9T:-]+Z\\)"), "Timestamp(NOW)");
    text = std::regex_replace(text, std::regex("device=[0-9a-f-]{36}"), "device=DEVICE");
    return text;
}

}  // namespace

TEST(Demo, WholeReportLineForLineAndNothingWritten) {
    TempDir dir;
    const auto sample = zdz::test::source_dir() + "/os/BASE-IMAGE.sha256";
    const auto before = listing(dir.path());
    const auto r = run_program({"demo", "--sha256-file", sample}, in(dir.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(
        mask(r.out),
        "== TarnelOS live demo (ephemeral in-process keys \u2014 see the commands above for "
        "real keys) ==\n"
        "source hashes: " +
            sample +
            "\n"
            "v1 candidate:  vask-install-2026071500.img (sha256:" +
            kV1 +
            ")\n"
            "v2 candidate:  vask-install-2026072900.img (sha256:" +
            kV2 +
            ")\n"
            "\n"
            "release signing key (public): KEY\n"
            "\n"
            "[ok] promoted v1 -> rollback floor is now sv1\n"
            "     KnownGoodImage { measurement: ImageMeasurement(sha256:" +
            kV1 +
            "), promoted_at: Timestamp(NOW) }\n"
            "[refused as expected] install of an unpromoted image: candidate image is not the "
            "platform's currently promoted known-good image\n"
            "[ok] install approved for sha256:" +
            kV1 +
            "\n"
            "\n"
            "[ok] promoted v2 -> rollback floor is now sv2\n"
            "[refused as expected] downgrade to v1 below the rollback floor: image security "
            "version 1 is below the rollback floor 2 for platform vask\n"
            "\n"
            "[refused as expected] manifest from an untrusted signer: image manifest signature "
            "does not verify\n"
            "\n"
            "[ok] attestation verified: device=DEVICE measurement=sha256:" +
            kV2 +
            "\n"
            "[refused as expected] attestation reporting the wrong measurement: attestation "
            "reports a measurement that does not match the expected one\n"
            "\n"
            "[ok] normal PIN -> NormalUnlock\n"
            "[ok] duress PIN -> DuressWipeAndDecoyBoot\n"
            "[refused as expected] wrong PIN -> Rejected\n"
            "[refused as expected] normal PIN after lockout -> Rejected\n"
            "[ok] duress PIN still works even when locked out -> DuressWipeAndDecoyBoot\n"
            "\n"
            "== demo complete: 2 promotion(s) on platform vask, every refusal behaved as "
            "designed ==\n");
    EXPECT_EQ(listing(dir.path()), before);
}

TEST(Demo, DefaultPathIsBesideTheWorkingDirectory) {
    const auto r = run_program({"demo"}, in(zdz::test::source_dir() + "/tests"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("source hashes: ../os/BASE-IMAGE.sha256\n"), std::string::npos);

    TempDir dir;
    EXPECT_EQ(run_program({"demo"}, in(dir.path())),
              (RunResult{1, "",
                         "error: cannot read ../os/BASE-IMAGE.sha256: No such file or directory "
                         "(os error 2) (pass --sha256-file to point at the repo's "
                         "os/BASE-IMAGE.sha256)\n"}));
}

TEST(Demo, CandidatesAreFoundByNameNotPosition) {
    TempDir dir;
    const std::string a(64, 'a');
    const std::string b(64, 'b');
    dir.write("reversed",
              b + "  vask-install-2026072900.img\n" + a + "  vask-install-2026071500.img\n");
    const auto r = run_program({"demo", "--sha256-file", dir.file("reversed")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("v1 candidate:  vask-install-2026071500.img (sha256:" + a + ")"),
              std::string::npos);

    dir.write("no-install", a + "  vask-2026071500.img\n" + b + "  vask-2026072900.img\n");
    auto bad = run_program({"demo", "--sha256-file", dir.file("no-install")});
    EXPECT_EQ(bad.err, "error: expected a 2026071500 install entry in the sha256 file\n");
    EXPECT_EQ(bad.out, "");
    dir.write("no-v2", a + "  vask-install-2026071500.img\n");
    bad = run_program({"demo", "--sha256-file", dir.file("no-v2")});
    EXPECT_EQ(bad.err, "error: expected a 2026072900 install entry in the sha256 file\n");
    dir.write("empty", "");
    bad = run_program({"demo", "--sha256-file", dir.file("empty")});
    EXPECT_EQ(bad.err, "error: expected a 2026071500 install entry in the sha256 file\n");
}
