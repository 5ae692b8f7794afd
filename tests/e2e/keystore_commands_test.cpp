#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "encoding/hex.hpp"
#include "store/keystore.hpp"
#include "support/fixtures.hpp"
#include "support/independent_keystore.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"

using namespace zdz::test;

namespace {

RunOptions with_passphrase(const std::string& value = kPassphrase) {
    return {.cwd = "", .env = {{kPassphraseVar, value}}, .unset = {}, .stdin_data = ""};
}

std::vector<std::string> sign_args(const TempDir& dir, const std::string& image,
                                   const std::string& kind = "install") {
    return zdz::test::sign_args(dir.file("k.json"), image, "7", dir.file("m.json"), kind);
}

}  // namespace

TEST(Keygen, WritesAKeystoreThatLibrariesAloneCanOpen) {
    TempDir dir;
    dir.write("k.json", "previous");  // replaced, as --force asks
    const auto r = run_program({"keygen", "--out", dir.file("k.json"), "--passphrase-env",
                                kPassphraseVar, "--principal", "ops@build-7", "--force"},
                               with_passphrase());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::regex report(
        "\\[ok\\] wrote sealed keystore: " + dir.file("k.json") +
        "\n  key_id:        [0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"
        "\n  verifying_key: ([0-9a-f]{64})"
        "\n  kdf:           argon2id, 128 MiB, t=3, p=4"
        "\n\\(the private key is encrypted at rest and was never printed\\)\n\n"
        "allowed_signers line \u2014 append to a real trust file to trust this key:\n"
        "  ops@build-7 ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAI[A-Za-z0-9+/]{43}\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, report)) << r.out;
    EXPECT_EQ(zdz::test::public_key_by_libraries(dir.file("k.json"), kPassphrase), m[1].str());

    struct stat st {};
    ASSERT_EQ(::stat(dir.file("k.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
    EXPECT_FALSE(std::filesystem::exists(dir.file("k.tmp")));
    // The printed trust line reads back as this key.
    dir.write("signers", r.out.substr(r.out.rfind("  ops@") + 2));
    const auto listed = run_program({"import-signers", "--file", dir.file("signers")});
    EXPECT_EQ(listed.status, 0) << listed.err;
}

TEST(Keygen, Refusals) {
    TempDir dir;
    const auto keygen = [&](const std::vector<std::string>& extra, const RunOptions& options) {
        std::vector<std::string> args{"keygen", "--passphrase-env", kPassphraseVar};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_program(args, options);
    };
    RunOptions unset;
    unset.unset = {kPassphraseVar};
    EXPECT_EQ(keygen({"--out", dir.file("k.json")}, unset).err,
              std::string("error: environment variable ") + kPassphraseVar +
                  " is not set (pass the passphrase via an env var, not a CLI flag)\n");
    EXPECT_EQ(keygen({"--out", dir.file("k.json")}, with_passphrase("")).err,
              std::string("error: environment variable ") + kPassphraseVar + " is set but empty\n");
    const auto missing_dir = keygen({"--out", dir.file("no/k.json")}, with_passphrase());
    EXPECT_EQ(missing_dir.status, 1);
    EXPECT_EQ(missing_dir.err, "error: failed to write keystore to " + dir.file("no/k.json") +
                                   ": local storage operation failed: cannot write " +
                                   dir.file("no/k.tmp") +
                                   ": No such file or directory (os error "
                                   "2)\n");
    // A principal that would break the printed trust-file line is refused
    // before anything is sealed or written.
    for (const std::string bad : {"two words", "a\nb", "#comment", ""}) {
        const auto r = keygen({"--out", dir.file("p.json"), "--principal", bad}, with_passphrase());
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err.rfind("error: invalid principal ", 0), 0U) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("p.json")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("k.json")));
}

// An existing --out may be the only copy of a key that devices trust: of any
// kind, it is refused before the passphrase is read and left as it was;
// --force replaces a keystore.
TEST(Keygen, AnExistingOutIsKeptWithoutForce) {
    namespace fs = std::filesystem;
    TempDir dir;
    zdz::test::write_test_keystore(dir.file("release.key"));
    const auto before = dir.read("release.key");
    fs::create_directory(dir.file("folder"));
    fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    RunOptions unset;
    unset.unset = {kPassphraseVar};
    for (const std::string name : {"release.key", "folder", "dangling", "fifo"}) {
        const auto r = run_program(
            {"keygen", "--out", dir.file(name), "--passphrase-env", kPassphraseVar}, unset);
        EXPECT_EQ(r, (RunResult{1, "",
                                "error: " + dir.file(name) +
                                    " already exists; pass --force to replace it\n"}));
    }
    EXPECT_EQ(dir.read("release.key"), before);
    EXPECT_TRUE(fs::is_symlink(dir.file("dangling")));
    EXPECT_FALSE(fs::exists(dir.file("release.tmp")));

    const auto forced = run_program(
        {"keygen", "--force", "--out", dir.file("release.key"), "--passphrase-env", kPassphraseVar},
        with_passphrase());
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(dir.read("release.key"), before);
    EXPECT_TRUE(zdz::store::load_keystore(dir.file("release.key")));
    // A switch takes no value: "--force=false" is no way to say "do not".
    EXPECT_EQ(
        run_program({"keygen", "--force=false", "--out", dir.file("release.key"),
                     "--passphrase-env", kPassphraseVar}),
        (RunResult{2, "", "--force: takes no value\nRun with --help for more information.\n"}));
}

TEST(Sign, WritesAManifestThatVerifiesIndependently) {
    TempDir dir;
    const auto public_hex = zdz::test::write_test_keystore(dir.file("k.json"));
    const auto image = zdz::test::source_dir() + "/os/vask-install-2026072900.img";
    const auto r = run_program(sign_args(dir, image), with_passphrase());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto sha = zdz::test::run_tool({"sha256sum", image}).out.substr(0, 64);
    const auto key_id = zdz::store::load_keystore(dir.file("k.json"))->key_id.to_string();
    EXPECT_EQ(r.out, "[ok] signed manifest written: " + dir.file("m.json") +
                         "\n"
                         "  image file:       " +
                         image +
                         " (39 bytes measured)\n"
                         "  platform:         vask\n"
                         "  kind:             install\n"
                         "  measurement:      sha256:" +
                         sha +
                         "\n"
                         "  security_version: sv7\n"
                         "  signing_key_id:   " +
                         key_id + "\n");

    // libsodium over canonical bytes rendered here by hand from the file's values.
    const auto jq = [&](const std::string& filter) {
        auto out = zdz::test::run_tool({"jq", "-r", filter, dir.file("m.json")}).out;
        return out.substr(0, out.size() - 1);
    };
    const std::string canonical =
        R"({"image_kind":"install","issued_at":")" + jq(".body.issued_at") +
        R"(","manifest_id":")" + jq(".body.manifest_id") + R"(","measurement":"sha256:)" + sha +
        R"(","platform":"vask","security_version":7,"signing_key_id":")" + key_id + R"("})";
    const auto signature = *zdz::encoding::hex_decode(jq(".signature"));
    const auto public_key = *zdz::encoding::hex_decode(public_hex);
    EXPECT_EQ(crypto_sign_verify_detached(signature.data(),
                                          reinterpret_cast<const unsigned char*>(canonical.data()),
                                          canonical.size(), public_key.data()),
              0);
    EXPECT_EQ(jq(".body | has(\"expires_at\")"), "false");

    // And with verify, against a trust line for the keystore's key.
    const auto key = zdz::crypto::VerifyingKey::from_bytes(public_key);
    dir.write("signers", zdz::trust::format_allowed_signers_line("ops@x", *key));
    const auto verified = run_program(
        {"verify", "--manifest", dir.file("m.json"), "--signers-file", dir.file("signers")});
    EXPECT_EQ(verified.status, 0) << verified.err;
}

TEST(Sign, EmptyImageAndOtaKind) {
    TempDir dir;
    zdz::test::write_test_keystore(dir.file("k.json"));
    dir.write("empty.img", "");
    const auto r =
        run_program(sign_args(dir, dir.file("empty.img"), "ota_update"), with_passphrase());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(0 bytes measured)\n"), std::string::npos);
    EXPECT_NE(r.out.find("  kind:             ota_update\n"), std::string::npos);
    EXPECT_NE(r.out.find("sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
              std::string::npos);
}

// The image is read while the key is derived; a wrong passphrase is still
// what is reported, whatever the file is, and never waits on it. What is no
// image at all (a FIFO that may never be written, a device without end) is
// refused before the key is derived.
TEST(Sign, AWrongPassphraseIsReportedWhateverTheImage) {
    TempDir dir;
    zdz::test::write_test_keystore(dir.file("k.json"));
    const auto fifo = dir.file("fifo.img");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string wrong =
        "error: cannot unseal keystore: signing key could not be unsealed (wrong passphrase "
        "or corrupted keystore)\n";
    for (const auto& image : {fifo, std::string("/dev/zero")}) {
        const auto r = run_program(sign_args(dir, image), with_passphrase("wrong"));
        EXPECT_EQ(r.status, 1) << image;
        EXPECT_EQ(r.err, "error: cannot read image file " + image +
                             ": not a regular file or block device\n");
        EXPECT_FALSE(std::filesystem::exists(dir.file("m.json")));
    }
    for (const auto& image : {zdz::test::source_dir() + "/os/vask-install-2026072900.img",
                              dir.file("none.img"), dir.path()}) {
        const auto r = run_program(sign_args(dir, image), with_passphrase("wrong"));
        EXPECT_EQ(r.status, 1) << image;
        EXPECT_EQ(r.err, wrong) << image;
        EXPECT_FALSE(std::filesystem::exists(dir.file("m.json")));
    }
    const auto r = run_program(sign_args(dir, dir.path()), with_passphrase());
    EXPECT_EQ(r.err,
              "error: cannot read image file " + dir.path() + ": Is a directory (os error 21)\n");
}

TEST(Sign, RefusalsLeaveNoManifest) {
    TempDir dir;
    zdz::test::write_test_keystore(dir.file("k.json"));
    const auto image = zdz::test::source_dir() + "/os/vask-install-2026072900.img";
    const auto refused = [&](std::vector<std::string> args, const RunOptions& options) {
        const auto r = run_program(args, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::filesystem::exists(dir.file("m.json"))) << r.err;
        return r.err;
    };
    EXPECT_EQ(refused(sign_args(dir, image), with_passphrase("wrong")),
              "error: cannot unseal keystore: signing key could not be unsealed (wrong passphrase "
              "or corrupted keystore)\n");
    EXPECT_EQ(refused(sign_args(dir, image, "update"), with_passphrase()),
              "error: unknown image kind \"update\" (expected \"install\" or \"ota_update\")\n");
    EXPECT_EQ(refused(sign_args(dir, image, "Install"), with_passphrase()),
              "error: unknown image kind \"Install\" (expected \"install\" or \"ota_update\")\n");
    auto args = sign_args(dir, image);
    args[8] = "Vask";
    EXPECT_EQ(refused(args, with_passphrase()),
              "error: invalid Slug identifier: may contain only lowercase ASCII letters, digits "
              "and hyphens\n");
    EXPECT_EQ(refused(sign_args(dir, dir.file("none.img")), with_passphrase()),
              "error: cannot read image file " + dir.file("none.img") +
                  ": No such file or directory (os error 2)\n");
    args = sign_args(dir, image);
    args[2] = dir.file("none.json");
    EXPECT_EQ(refused(args, with_passphrase()),
              "error: cannot load keystore " + dir.file("none.json") +
                  ": local storage operation failed: cannot read " + dir.file("none.json") +
                  ": No such file or directory (os error 2)\n");
    args = sign_args(dir, image);
    args.back() = dir.file("no/m.json");
    EXPECT_EQ(refused(args, with_passphrase()), "error: cannot write " + dir.file("no/m.json") +
                                                    ": No such file or directory (os error 2)\n");
}
