// What reaches the operator's terminal and what the exit status says: report
// lines that echo file text are escaped, a report that could not be written
// is a failure, the clock is never taken for another instant, and no
// failure ends in an abort.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/digest.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/sanitizers.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

using namespace zdz::trust;
using zdz::contracts::Timestamp;
using namespace zdz::test;

namespace {

// ESC starting a colour sequence, the C1 CSI (U+009B) doing the same in one
// character, DEL, the C1 DCS (U+0090), a right-to-left override (U+202E)
// that shows the rest reversed, a first-strong isolate (U+2068), and the
// invisible zero-width space (U+200B) and byte-order mark (U+FEFF).
const std::string kHostilePrincipal =
    "ops\x1b[31m\xc2\x9b"
    "1m\x7f\xc2\x90x\u202etsoh\u2068@\u200bho\ufeffst";
const std::string kHostilePrincipalShown =
    "ops\\u{1b}[31m\\u{9b}1m\\u{7f}\\u{90}x\\u{202e}tsoh\\u{2068}@\\u{200b}ho\\u{feff}st";

const std::string kImageDigest =
    "6105d6cc76af400325e94d588ce511be5bfdbb73b437dc51eca43917d7a43e3d";  // sha256("image")

// A character a terminal would act on or show as nothing: a C0 control other
// than the line feed that ends each report line, DEL, a C1 control, or a
// bidirectional or zero-width character, each as UTF-8.
bool has_raw_control(const std::string& text) {
    for (const std::string_view raw :
         {"\xc2\x80", "\xc2\x90", "\xc2\x9b", "\u200b", "\u202e", "\u2068", "\ufeff"}) {
        if (text.find(raw) != std::string::npos) {
            return true;
        }
    }
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return (b < 0x20 && b != '\n') || b == 0x7F;
    });
}

RunResult run_at(const std::string& when, const std::vector<std::string>& args,
                 const RunOptions& options = {}) {
    std::vector<std::string> argv{"faketime", when, zdz::test::program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv, options);
}

// A manifest signed by a key that the trust file lists under a principal
// full of control characters, and a keystore and store to promote it into.
class TerminalAndExitStatus : public ::testing::Test {
protected:
    void SetUp() override {
        zdz::test::write_test_keystore(dir.file("ks.json"));
        const auto release = zdz::test::fixed_key(7);
        dir.write("signers",
                  format_allowed_signers_line(kHostilePrincipal, release.verifying_key()) + "\n");
        dir.write("m.json", zdz::test::signed_manifest_json(release));
    }

    RunOptions with_passphrase(StdoutTo stdout_to = StdoutTo::Pipe) const {
        RunOptions options;
        options.env = {{zdz::test::kPassphraseVar, zdz::test::kPassphrase}};
        options.stdout_to = stdout_to;
        return options;
    }

    std::vector<std::string> verify_args() const {
        return {"verify", "--manifest", dir.file("m.json"), "--signers-file", dir.file("signers")};
    }

    std::vector<std::string> promote_args(const std::string& store) const {
        return zdz::test::promote_args(dir.file("m.json"), dir.file("signers"), dir.file(store),
                                       dir.file("ks.json"));
    }

    RunResult authorize(const std::string& store) const {
        return run_program({"authorize-install", "--store", dir.file(store), "--keystore",
                            dir.file("ks.json"), "--platform", "vask", "--measurement",
                            "sha256:" + kImageDigest});
    }

    TempDir dir;
};

}  // namespace

TEST_F(TerminalAndExitStatus, EveryReportShowsAHostilePrincipalEscapedAndAlike) {
    const auto signers = run_program({"import-signers", "--file", dir.file("signers")});
    const auto verify = run_program(verify_args());
    const auto promote = run_program(promote_args("store.json"), with_passphrase());
    auto json_args = verify_args();
    json_args.insert(json_args.end(), {"--format", "json"});
    const auto json = run_program(json_args);
    for (const auto* r : {&signers, &verify, &promote, &json}) {
        ASSERT_EQ(r->status, 0) << r->err;
        EXPECT_FALSE(has_raw_control(r->out)) << r->out;
    }
    EXPECT_EQ(signers.out.substr(0, signers.out.find("  fingerprint=")), kHostilePrincipalShown);
    EXPECT_NE(verify.out.find("\n  signed by:         " + kHostilePrincipalShown + "\n"),
              std::string::npos)
        << verify.out;
    EXPECT_NE(promote.out.find("\n  manifest signed by:   " + kHostilePrincipalShown + "\n"),
              std::string::npos)
        << promote.out;
    // JSON escapes them as JSON does.
    EXPECT_NE(json.out.find("\"signed_by\": \"ops\\u001B[31m\\u009B1m\\u007F\\u0090x\\u202Etsoh"
                            "\\u2068@\\u200Bho\\uFEFFst\",\n"),
              std::string::npos)
        << json.out;
}

TEST(TerminalSafety, HashFileNamesAreEscapedInImportHashesAndDemo) {
    TempDir dir;
    const std::string digest(64, 'a');
    // A window-title sequence ended by BEL, and a name the demo picks up.
    dir.write("SUMS", digest + "  vask-install-1\x1b]0;owned\x07.img\n" + digest +
                          "  \xc2\x9b"
                          "2Jx.img\n");
    auto r = run_program({"import-hashes", "--file", dir.file("SUMS")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "vask-install-1\\u{1b}]0;owned\\u{7}.img  platform=vask  kind=install  "
              "measurement=sha256:" +
                  digest +
                  "\n"
                  "\\u{9b}2Jx.img  platform=\\u{9b}2Jx.img  kind=?  measurement=sha256:" +
                  digest + "\n");

    dir.write("demo.sha256", digest + "  vask-install-2026071500\x1b[2J.img\n" +
                                 std::string(64, 'b') + "  vask-install-2026072900.img\n");
    r = run_program({"demo", "--sha256-file", dir.file("demo.sha256")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(has_raw_control(r.out));
    EXPECT_NE(r.out.find("v1 candidate:  vask-install-2026071500\\u{1b}[2J.img (sha256:" + digest +
                         ")\n"),
              std::string::npos)
        << r.out;
}

TEST(TerminalSafety, KeygenRefusesAPrincipalWithAC1Control) {
    TempDir dir;
    RunOptions options;
    options.env = {{zdz::test::kPassphraseVar, zdz::test::kPassphrase}};
    for (const std::string principal : {"ops\xc2\x9b"
                                        "31m@host",
                                        "ops\xc2\x80@host", "ops\u202etsoh@host", "ops\u2066@host",
                                        "ops\u200b", "ops\ufeff@host"}) {
        const auto r =
            run_program({"keygen", "--principal", principal, "--out", dir.file("ks.json"),
                         "--passphrase-env", zdz::test::kPassphraseVar},
                        options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("error: invalid principal \"ops\\u{", 0), 0U) << r.err;
        EXPECT_NE(r.err.find("\": it must be one word without white space or control characters, "
                             "not starting with '#'\n"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("ks.json")));
    }
}

TEST_F(TerminalAndExitStatus, AReportThatCannotBeWrittenEndsWithStatus1) {
    const std::vector<std::pair<StdoutTo, std::string>> destinations{
        {StdoutTo::DevFull, "No space left on device (os error 28)"},
        {StdoutTo::Closed, "Bad file descriptor (os error 9)"},
        {StdoutTo::BrokenPipe, "Broken pipe (os error 32)"},
    };
    const std::string demo_file = zdz::test::source_dir() + "/os/BASE-IMAGE.sha256";
    int store_count = 0;
    for (const auto& [destination, why] : destinations) {
        const auto store = "store" + std::to_string(++store_count) + ".json";
        const std::vector<std::vector<std::string>> commands{
            {"--version"},        {"--help"},
            {"verify", "--help"}, {"import-signers", "--file", dir.file("signers")},
            verify_args(),        {"demo", "--sha256-file", demo_file},
            promote_args(store),
        };
        for (const auto& args : commands) {
            const auto r = run_program(args, with_passphrase(destination));
            EXPECT_EQ(r.status, 1) << args[0] << " " << why;
            EXPECT_EQ(r.err, "error: cannot write standard output: " + why + "\n") << args[0];
        }
        // The promotion itself was done and its store is whole: only the
        // report was lost.
        const auto check = authorize(store);
        EXPECT_EQ(check.status, 0) << why << ": " << check.err;
    }
}

TEST_F(TerminalAndExitStatus, AFailureWithNothingPrintedIsNotAlsoAnOutputFailure) {
    dir.write("empty-signers", "# nobody\n");
    const auto r = run_program(
        {"verify", "--manifest", dir.file("m.json"), "--signers-file", dir.file("empty-signers")},
        with_passphrase(StdoutTo::Closed));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: trust store entry invalid at line 0: no trusted signer entries found in "
              "file\n");
    const auto usage = run_program({"verify"}, with_passphrase(StdoutTo::DevFull));
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err.find("cannot write standard output"), std::string::npos);
}

// The clock read in nanoseconds wrapped in 2262: an expired manifest verified
// again and keygen dated its keystore in 1816.
TEST_F(TerminalAndExitStatus, TheClockIsReadRightPast2262AndRefusedPast9999) {
    const auto expires = *Timestamp::parse("2030-01-01T00:00:00Z");
    dir.write("expiring.json", zdz::test::signed_manifest_json(zdz::test::fixed_key(7), expires));
    auto r = run_at("2300-01-01 00:00:00", {"verify", "--manifest", dir.file("expiring.json"),
                                            "--signers-file", dir.file("signers")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: manifest refused against trust file " + dir.file("signers") +
                         ": image manifest expired at 2030-01-01T00:00:00Z\n");

    r = run_at(
        "9999-12-31 23:00:00",
        {"keygen", "--out", dir.file("new.json"), "--passphrase-env", zdz::test::kPassphraseVar},
        with_passphrase());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(dir.read("new.json").find("\"created_at\": \"9999-12-31T23:0"), std::string::npos)
        << dir.read("new.json");

    const std::string past_9999 = "10000-01-01 00:00:00";
    const std::string refusal_start = "error: the system clock reads Unix time 2534023008";
    const std::string refusal_end = ", outside the range of a timestamp (years 0000 to 9999)\n";
    const std::vector<std::vector<std::string>> commands{
        {"keygen", "--out", dir.file("late.json"), "--passphrase-env", zdz::test::kPassphraseVar},
        {"sign", "--keystore", dir.file("ks.json"), "--passphrase-env", zdz::test::kPassphraseVar,
         "--image-file", dir.file("m.json"), "--platform", "vask", "--kind", "install",
         "--security-version", "1", "--out", dir.file("late.json")},
        verify_args(),
        promote_args("late.json"),
        {"authorize-install", "--store", dir.file("late.json"), "--keystore", dir.file("ks.json"),
         "--platform", "vask", "--measurement", "sha256:" + kImageDigest},
        {"demo", "--sha256-file", zdz::test::source_dir() + "/os/BASE-IMAGE.sha256"},
    };
    for (const auto& args : commands) {
        r = run_at(past_9999, args, with_passphrase());
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err.rfind(refusal_start, 0), 0U) << args[0] << ": " << r.err;
        EXPECT_TRUE(r.err.ends_with(refusal_end)) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("late.json"))) << args[0];
    }
}

TEST(AllocationFailure, IsOneErrorLineAndStatus1NotAnAbort) {
#ifdef ZDZ_ADDRESS_SANITIZER
    GTEST_SKIP() << "the sanitizer runtime cannot run under an address-space limit";
#else
    TempDir dir;
    // 1 GiB of zero bytes, read whole by the trust-file reader, in an address
    // space of 256 MiB.
    dir.write("big", "");
    ASSERT_EQ(::truncate(dir.file("big").c_str(), off_t{1} << 30), 0);
    const rlim_t limit = rlim_t{256} << 20;
    zdz::test::ChildProcess child(
        {zdz::test::program_path(), "import-signers", "--file", dir.file("big")},
        {.cwd = {}, .env = {}, .unset = {}, .limits = {{RLIMIT_AS, limit}}});
    const auto r = child.wait();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("error: ", 0), 0U) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
#endif
}
