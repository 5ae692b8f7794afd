// sign-release and verify-release over a build's hash manifest, written by
// sha256sum itself: every manifest made in one run, all or nothing, and every
// failure of a release named in one line. Signatures are checked by libsodium
// alone.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/softhsm.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"

using namespace zdz::test;

namespace {

const std::vector<std::string> kImages = {
    "vask-install-2027010100.img", "vask-ota_update-2027010100.img", "tarn-install-2027010100.img"};

class ReleaseBatches : public ::testing::Test {
protected:
    void SetUp() override {
        public_hex = write_test_keystore(dir.file("release.key"));
        std::filesystem::create_directory(dir.file("build"));
        std::filesystem::create_directory(dir.file("out"));
        for (const auto& name : kImages) {
            dir.write("build/" + name, "the bytes of " + name);
        }
        list_images();
        const auto trusted = run_program({"show-key", "--keystore", dir.file("release.key"),
                                          "--principal", "release@ci", "--trust-line"});
        dir.write("signers", trusted.out);
    }

    // The build's hash manifest, as sha256sum writes it.
    void list_images(const std::vector<std::string>& names = kImages) const {
        std::vector<std::string> argv = {"sha256sum"};
        argv.insert(argv.end(), names.begin(), names.end());
        const auto listed = run_tool(argv, {.cwd = dir.file("build")});
        ASSERT_EQ(listed.status, 0) << listed.err;
        dir.write("build/release.sha256", listed.out);
    }

    std::vector<std::string> sign_args(const std::vector<std::string>& more = {}) const {
        std::vector<std::string> args = {"sign-release",
                                         "--hashes",
                                         dir.file("build/release.sha256"),
                                         "--keystore",
                                         dir.file("release.key"),
                                         "--passphrase-env",
                                         kPassphraseVar,
                                         "--security-version",
                                         "7",
                                         "--out-dir",
                                         dir.file("out")};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    RunResult sign_release(const std::vector<std::string>& more = {}) const {
        return run_program(sign_args(more), {.env = {{kPassphraseVar, kPassphrase}}});
    }

    RunResult verify_release() const {
        return run_program({"verify-release", "--hashes", dir.file("build/release.sha256"),
                            "--manifests-dir", dir.file("out"), "--signers-file",
                            dir.file("signers")});
    }

    TempDir dir;
    std::string public_hex;
};

TEST_F(ReleaseBatches, EveryListedImageIsSignedAndTheReleaseChecks) {
    const auto signed_release = sign_release();
    ASSERT_EQ(signed_release.status, 0) << signed_release.err;
    const std::regex report(
        "\\[ok\\] signed 3 manifests into " + dir.file("out") +
        "\n  vask-install-2027010100.manifest.json     vask  install     sha256:[0-9a-f]{64}"
        "\n  vask-ota_update-2027010100.manifest.json  vask  ota_update  sha256:[0-9a-f]{64}"
        "\n  tarn-install-2027010100.manifest.json     tarn  install     sha256:[0-9a-f]{64}"
        "\n  images:           3 \\(\\d+ bytes measured in \\d+\\.\\d\\d s\\)"
        "\n  security_version: sv7"
        "\n  signing_key_id:   [0-9a-f-]{36}\n");
    EXPECT_TRUE(std::regex_match(signed_release.out, report)) << signed_release.out;

    const auto written = files_in(dir.file("out"));
    ASSERT_EQ(written.size(), 3U);
    const auto listed = dir.read("build/release.sha256");
    for (const auto& name : kImages) {
        const auto manifest_name = name.substr(0, name.size() - 4) + ".manifest.json";
        ASSERT_TRUE(written.contains(manifest_name)) << manifest_name;
        const auto& text = written.at(manifest_name);
        EXPECT_TRUE(sodium_verifies_manifest(text, public_hex)) << manifest_name;
        const auto manifest = zdz::trust::read_manifest_json(text);
        ASSERT_TRUE(manifest);
        // The digest sha256sum listed for this image.
        const auto digest = manifest->body.measurement.to_string().substr(7);
        EXPECT_NE(listed.find(digest + "  " + name), std::string::npos) << manifest_name;
        EXPECT_EQ(manifest->body.security_version, 7U);
    }

    const auto verified = verify_release();
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_TRUE(verified.out.starts_with("[ok] release verified: 3 images against " +
                                         dir.file("signers") + "\n"))
        << verified.out;

    // One platform alone.
    std::filesystem::remove_all(dir.file("out"));
    std::filesystem::create_directory(dir.file("out"));
    ASSERT_EQ(sign_release({"--platform", "tarn", "--format", "json"}).status, 0);
    EXPECT_EQ(files_in(dir.file("out")).size(), 1U);
    EXPECT_TRUE(files_in(dir.file("out")).contains("tarn-install-2027010100.manifest.json"));
}

TEST_F(ReleaseBatches, ABatchWithOneBadImageWritesNothing) {
    const auto refused = [&](const std::string& expected) {
        const auto r = sign_release();
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(files_in(dir.file("out")).empty());
        EXPECT_EQ(r.err, "error: release refused, nothing written: " + expected + "\n");
    };
    // Changed after the build listed it, and gone.
    dir.write("build/" + kImages[1], "other bytes");
    std::filesystem::remove(dir.file("build/" + kImages[2]));
    const auto listed = dir.read("build/release.sha256");
    const auto digest_of = [&](const std::string& name) {
        return "sha256:" + listed.substr(listed.find("  " + name) - 64, 64);
    };
    const auto other = run_tool({"sha256sum", dir.file("build/" + kImages[1])}).out.substr(0, 64);
    refused("2 of 3 images do not match the hash manifest: " + kImages[1] +
            ": it measures sha256:" + other + ", the hash manifest lists " + digest_of(kImages[1]) +
            "; " + kImages[2] + ": cannot read it: No such file or directory (os error 2)");

    // Names no manifest can be made for, refused before any image is read.
    dir.write("build/vask-install-2027010100.bin", "a second install image");
    dir.write("build/notes.img", "no platform, no kind");
    dir.write("build/vask-firmware-1.img", "a kind this system does not know");
    list_images({kImages[0], "vask-install-2027010100.bin", "notes.img", "vask-firmware-1.img"});
    refused(
        "4 of 4 images cannot be signed: vask-install-2027010100.img: its manifest name "
        "vask-install-2027010100.manifest.json is another image's too; "
        "vask-install-2027010100.bin: its manifest name vask-install-2027010100.manifest.json is "
        "another image's too; notes.img: no platform in its name; vask-firmware-1.img: no image "
        "kind in its name (expected \"install\" or \"ota_update\")");

    // Names that would leave the folder of the hash manifest.
    const auto digest = listed.substr(0, 64);
    dir.write("build/release.sha256",
              digest + "  ../vask-install-1.img\n" + digest + "  /etc/vask-install-2.img\n");
    refused(
        "2 of 2 images cannot be signed: ../vask-install-1.img: the name leaves the folder of "
        "the hash manifest; /etc/vask-install-2.img: the name leaves the folder of the hash "
        "manifest");
}

TEST_F(ReleaseBatches, AWriteThatFailsPartWaySaysWhatWasWritten) {
    // Where the second manifest would go, a folder is in the way.
    std::filesystem::create_directory(dir.file("out/vask-ota_update-2027010100.manifest.json"));
    const auto r = sign_release();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with(
        "; written: vask-install-2027010100.manifest.json; not written: "
        "vask-ota_update-2027010100.manifest.json, tarn-install-2027010100.manifest.json\n"))
        << r.err;
    const auto written = files_in(dir.file("out"));
    EXPECT_TRUE(written.contains("vask-install-2027010100.manifest.json"));
    EXPECT_FALSE(written.contains("tarn-install-2027010100.manifest.json"));
    EXPECT_TRUE(
        sodium_verifies_manifest(written.at("vask-install-2027010100.manifest.json"), public_hex));
}

TEST_F(ReleaseBatches, VerifyReleaseNamesEveryFailure) {
    ASSERT_EQ(sign_release().status, 0);
    dir.write("build/" + kImages[0], "tampered bytes");
    std::filesystem::remove(dir.file("out/vask-ota_update-2027010100.manifest.json"));
    // The manifest of one image in the place of another's.
    std::filesystem::copy_file(dir.file("out/vask-install-2027010100.manifest.json"),
                               dir.file("out/tarn-install-2027010100.manifest.json"),
                               std::filesystem::copy_options::overwrite_existing);
    const auto r = verify_release();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const auto listed = dir.read("build/release.sha256");
    const auto digest_of = [&](const std::string& name) {
        return "sha256:" + listed.substr(listed.find("  " + name) - 64, 64);
    };
    const auto tampered =
        run_tool({"sha256sum", dir.file("build/" + kImages[0])}).out.substr(0, 64);
    EXPECT_EQ(r.err, "error: release not verified: 3 of 3 images fail: " + kImages[0] +
                         ": it measures sha256:" + tampered + ", the hash manifest lists " +
                         digest_of(kImages[0]) + "; " + kImages[1] + ": cannot read manifest " +
                         dir.file("out/vask-ota_update-2027010100.manifest.json") +
                         ": No such file or directory (os error 2); " + kImages[2] +
                         ": its manifest names " + digest_of(kImages[0]) +
                         ", the hash manifest lists " + digest_of(kImages[2]) + "\n");
}

TEST_F(ReleaseBatches, ATokenKeySignsTheWholeRelease) {
    const SoftHsmToken token;
    const auto env = token.env_with_pin();
    const auto made = run_program(token.keygen_args("release", dir.file("token.key"), "release@ci"),
                                  {.env = env});
    ASSERT_EQ(made.status, 0) << made.err;
    dir.write("signers", made.out.substr(made.out.rfind("  release@ci") + 2));
    auto args = sign_args();
    args[4] = dir.file("token.key");
    args[6] = kTokenPinVar;
    const auto r = run_program(args, {.env = env});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files_in(dir.file("out")).size(), 3U);
    EXPECT_EQ(verify_release().status, 0);
}

TEST_F(ReleaseBatches, TheInstallAndTheUpdateImageOfAReleaseAreBothAuthorized) {
    ASSERT_EQ(sign_release({"--platform", "vask"}).status, 0);
    const RunOptions unseal = {.env = {{kPassphraseVar, kPassphrase}}};
    for (const auto& manifest :
         {"vask-install-2027010100.manifest.json", "vask-ota_update-2027010100.manifest.json"}) {
        const auto promoted =
            run_program(promote_args(dir.file("out/" + std::string(manifest)), dir.file("signers"),
                                     dir.file("store.json"), dir.file("release.key")),
                        unseal);
        ASSERT_EQ(promoted.status, 0) << promoted.err;
    }
    for (const auto& image : {kImages[0], kImages[1]}) {
        const auto r = run_program(authorize_args(dir.file("store.json"), dir.file("release.key"),
                                                  dir.file("build/" + image)));
        EXPECT_EQ(r.status, 0) << image << ": " << r.err;
    }
    const auto shown = run_program(
        {"show-store", "--store", dir.file("store.json"), "--keystore", dir.file("release.key")});
    EXPECT_TRUE(std::regex_search(shown.out,
                                  std::regex("  current image:     sha256:[0-9a-f]{64}  install\n"
                                             "  current image:     sha256:[0-9a-f]{64}  "
                                             "ota_update\n  rollback floor:    sv7\n")))
        << shown.out;
}

TEST_F(ReleaseBatches, VerifyReleaseCountsTheSignersOfEveryManifest) {
    ASSERT_EQ(sign_release().status, 0);
    const auto r = run_program({"verify-release", "--hashes", dir.file("build/release.sha256"),
                                "--manifests-dir", dir.file("out"), "--signers-file",
                                dir.file("signers"), "--min-signers", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("3 of 3 images fail"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("manifest has 1 trusted signature, 2 required"), std::string::npos)
        << r.err;
}

}  // namespace
