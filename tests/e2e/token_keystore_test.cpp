// Keystores whose key stays in a PKCS#11 token, run end to end against a
// SoftHSM2 token of each test's own: every command that signs, with the
// signatures checked by libsodium alone; the commands that need only the
// public key, without any module; and each refusal, with the files around it
// as they were.

#include "store/token_keystore.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli/json_report.hpp"
#include "crypto/digest.hpp"
#include "encoding/hex.hpp"
#include "json/reader.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/softhsm.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"

using namespace zdz::test;

namespace {

// The same check by OpenSSL's command line, a second implementation: the
// public key as DER SubjectPublicKeyInfo, the canonical body and the raw
// signature as files.
bool openssl_verifies_manifest(const TempDir& dir, const std::string& manifest_name,
                               const std::string& public_hex) {
    const auto manifest = zdz::trust::read_manifest_json(dir.read(manifest_name));
    const auto bytes = manifest ? zdz::trust::manifest_signing_bytes(manifest->body)
                                : tl::expected<std::string, zdz::contracts::ContractError>();
    const auto key = zdz::encoding::hex_decode("302a300506032b6570032100" + public_hex);
    if (!manifest || !bytes || !key) {
        return false;
    }
    const auto& signature = manifest->signature.bytes();
    dir.write("openssl.body", *bytes);
    dir.write("openssl.sig", std::string(signature.begin(), signature.end()));
    dir.write("openssl.der", std::string(key->begin(), key->end()));
    const auto r = run_tool({"openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey",
                             dir.file("openssl.der"), "-rawin", "-in", dir.file("openssl.body"),
                             "-sigfile", dir.file("openssl.sig")});
    for (const auto* name : {"openssl.body", "openssl.sig", "openssl.der"}) {
        std::filesystem::remove(dir.file(name));
    }
    return r.status == 0 && r.out.find("Signature Verified Successfully") != std::string::npos;
}

// The top-level members of a JSON report, sorted, one per line.
std::string top_level_members(const std::string& document) {
    return run_tool({"jq", "-r", "keys[]"}, {.stdin_data = document}).out;
}

// What the manual page documents for a token keystore's report of `command`.
std::string documented_for_a_token(std::string_view command) {
    using Keystore = zdz::cli::JsonMemberDoc::Keystore;
    std::set<std::string> members;
    for (const auto& report : zdz::cli::json_report_docs()) {
        if (report.command != command) {
            continue;
        }
        for (const auto& member : report.members) {
            if (member.only != Keystore::Sealed && member.path.find('.') == std::string::npos) {
                members.emplace(member.path);
            }
        }
    }
    std::string lines;
    for (const auto& member : members) {
        lines += member + "\n";
    }
    return lines;
}

class TokenKeystores : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("image.img", "the image bytes of release 7");
        dir.write("other.img", "the image bytes of release 8");
    }

    // The token's environment and the PIN.
    RunOptions with_pin(const std::string& pin = kTokenPin) const {
        auto env = token.env_with_pin(pin);
        env[kPassphraseVar] = kPassphrase;
        return {.env = env};
    }

    RunResult run(const std::vector<std::string>& args, const std::string& pin = kTokenPin) const {
        return run_program(args, with_pin(pin));
    }

    std::vector<std::string> keygen_args(const std::string& out, const std::string& object,
                                         const std::vector<std::string>& more = {}) const {
        auto args = token.keygen_args(object, dir.file(out), "release@token");
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    RunResult keygen(const std::string& out, const std::string& object,
                     const std::vector<std::string>& more = {}) const {
        return run(keygen_args(out, object, more));
    }

    // The verifying key a keygen report printed.
    static std::string verifying_key_of(const std::string& report) {
        std::smatch m;
        EXPECT_TRUE(std::regex_search(report, m, std::regex("verifying_key: ([0-9a-f]{64})")))
            << report;
        return m.size() > 1 ? m[1].str() : "";
    }

    // keygen on the token, and a trust file that trusts the key.
    std::string make_token_keystore(const std::string& out = "token.json",
                                    const std::string& object = "release-2027") {
        const auto made = keygen(out, object);
        EXPECT_EQ(made.status, 0) << made.err;
        dir.write("signers", made.out.substr(made.out.rfind("  release@token") + 2));
        return verifying_key_of(made.out);
    }

    std::vector<std::string> sign_args(const std::string& keystore, const std::string& image,
                                       const std::string& version, const std::string& out) const {
        return zdz::test::sign_args(dir.file(keystore), dir.file(image), version, dir.file(out),
                                    "install", kTokenPinVar);
    }

    std::vector<std::string> promote_args(const std::string& manifest, const std::string& keystore,
                                          const std::string& secret_var = kTokenPinVar) const {
        return zdz::test::promote_args(dir.file(manifest), dir.file("signers"),
                                       dir.file("store.json"), dir.file(keystore), secret_var);
    }

    // A URI as the keystore records it: in p11-kit's own formatting.
    std::string recorded_uri(const std::string& object) const {
        return "pkcs11:token=" + token.label() + ";object=" + object +
               "?module-path=%2Fusr%2Flib%2Fsofthsm%2Flibsofthsm2.so";
    }

    SoftHsmToken token;
    TempDir dir;
};

TEST_F(TokenKeystores, EveryCommandThatSignsSignsInTheToken) {
    const auto made = keygen("token.json", "release-2027");
    ASSERT_EQ(made.status, 0) << made.err;
    const std::regex report(
        "\\[ok\\] wrote token keystore: " + dir.file("token.json") +
        "\n  key_id:        [0-9a-f-]{36}"
        "\n  verifying_key: [0-9a-f]{64}"
        "\n  token:         release"
        "\n  object:        release-2027"
        "\n\\(the private key was generated in the token and never leaves it\\)\n\n"
        "allowed_signers line \u2014 append to a real trust file to trust this key:\n"
        "  release@token ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAI[A-Za-z0-9+/]{43}\n");
    EXPECT_TRUE(std::regex_match(made.out, report)) << made.out;
    const auto public_hex = verifying_key_of(made.out);
    dir.write("signers", made.out.substr(made.out.rfind("  release@token") + 2));

    // The keystore holds where the key is, and no secret.
    const auto keystore = dir.read("token.json");
    const auto record = zdz::store::read_token_keystore_json(keystore);
    ASSERT_TRUE(record) << keystore;
    EXPECT_EQ(record->verifying_key_hex, public_hex);
    EXPECT_EQ(record->pkcs11_uri, recorded_uri("release-2027"));
    EXPECT_EQ(keystore.find(kTokenPin), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("token.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);

    // The private key on the token can be neither read nor taken out.
    const auto objects = token.pkcs11_tool({"--list-objects", "--type", "privkey"});
    EXPECT_NE(objects.out.find("label:      release-2027"), std::string::npos) << objects.out;
    EXPECT_NE(objects.out.find("Access:     sensitive, always sensitive, never extractable"),
              std::string::npos)
        << objects.out;

    const auto signed_7 = run(sign_args("token.json", "image.img", "7", "m7.json"));
    ASSERT_EQ(signed_7.status, 0) << signed_7.err;
    EXPECT_NE(signed_7.out.find("[ok] signed manifest written: "), std::string::npos);
    EXPECT_TRUE(sodium_verifies_manifest(dir.read("m7.json"), public_hex));
    EXPECT_TRUE(openssl_verifies_manifest(dir, "m7.json", public_hex));
    const auto verified =
        run_program({"verify", "--manifest", dir.file("m7.json"), "--signers-file",
                     dir.file("signers"), "--image-file", dir.file("image.img")});
    EXPECT_EQ(verified.status, 0) << verified.err;

    const auto promoted = run(promote_args("m7.json", "token.json"));
    ASSERT_EQ(promoted.status, 0) << promoted.err;
    ASSERT_EQ(run(sign_args("token.json", "other.img", "8", "m8.json")).status, 0);
    ASSERT_EQ(run(promote_args("m8.json", "token.json")).status, 0);

    // Checking the store needs the public key alone: no module is loaded
    // (the token's configuration is gone), neither with the keystore nor with
    // the trust line.
    const RunOptions no_token{.env = {{"SOFTHSM2_CONF", dir.file("nowhere.conf")}}};
    const auto measurement =
        zdz::crypto::measure_sha256(std::string_view("the image bytes of release 8")).to_string();
    for (const auto& key : std::vector<std::vector<std::string>>{
             {"--keystore", dir.file("token.json")}, {"--public-key", dir.file("signers")}}) {
        std::vector<std::string> args = {"authorize-install", "--store", dir.file("store.json"),
                                         "--platform",        "vask",    "--measurement",
                                         measurement};
        args.insert(args.end(), key.begin(), key.end());
        const auto authorized = run_program(args, no_token);
        EXPECT_EQ(authorized.status, 0) << authorized.err;
    }
    const auto shown = run_program(
        {"show-key", "--keystore", dir.file("token.json"), "--principal", "release@token"},
        no_token);
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("\n  held in token: " + recorded_uri("release-2027") +
                             "\n(read without the PIN: the private key stays in the token)\n"),
              std::string::npos)
        << shown.out;
    const auto shown_json = run_program(
        {"show-key", "--keystore", dir.file("token.json"), "--format", "json"}, no_token);
    EXPECT_EQ(run_tool({"jq", "-r", ".pkcs11_uri"}, {.stdin_data = shown_json.out}).out,
              recorded_uri("release-2027") + "\n");
    EXPECT_EQ(top_level_members(shown_json.out), documented_for_a_token("show-key"));
    const auto made_json = keygen("json.json", "json-key", {"--format", "json"});
    EXPECT_EQ(top_level_members(made_json.out), documented_for_a_token("keygen"));

    const auto withdrawn = run({"withdraw", "--store", dir.file("store.json"), "--keystore",
                                dir.file("token.json"), "--passphrase-env", kTokenPinVar,
                                "--platform", "vask", "--image-file", dir.file("other.img")});
    ASSERT_EQ(withdrawn.status, 0) << withdrawn.err;
    const auto store = run_program(
        {"show-store", "--store", dir.file("store.json"), "--keystore", dir.file("token.json")},
        no_token);
    EXPECT_EQ(store.status, 0) << store.err;
    EXPECT_NE(store.out.find("withdrawn"), std::string::npos) << store.out;

    // The PIN is in no output and no file.
    for (const auto& [name, bytes] : files_in(dir.path())) {
        EXPECT_EQ(bytes.find(kTokenPin), std::string::npos) << name;
    }
    for (const auto& result : {made, signed_7, promoted, withdrawn}) {
        EXPECT_EQ(result.out.find(kTokenPin), std::string::npos);
        EXPECT_EQ(result.err.find(kTokenPin), std::string::npos);
    }
}

TEST_F(TokenKeystores, AStoreMovesToATokenKeyAndBack) {
    const auto file_key = zdz::test::write_test_keystore(dir.file("file.json"));
    make_token_keystore();
    // A manifest the trust file trusts, promoted with the file key.
    ASSERT_EQ(run(sign_args("token.json", "image.img", "7", "m7.json")).status, 0);
    ASSERT_EQ(run(promote_args("m7.json", "file.json", kPassphraseVar)).status, 0);
    const auto history = [&](const std::string& keystore) {
        auto shown = run_program({"show-store", "--store", dir.file("store.json"), "--keystore",
                                  dir.file(keystore), "--format", "json"});
        EXPECT_EQ(shown.status, 0) << shown.err;
        return run_tool({"jq", "-c", ".platforms"}, {.stdin_data = shown.out}).out;
    };
    const auto before = history("file.json");

    // The store moves to the key of `next`, whose secret is in `secret_var`.
    const auto rekey = [&](const std::string& current, const std::string& next,
                           const std::string& secret_var) {
        return run({"rekey-store", "--store", dir.file("store.json"), "--keystore",
                    dir.file(current), "--new-keystore", dir.file(next), "--passphrase-env",
                    secret_var});
    };
    const auto to_token = rekey("file.json", "token.json", kTokenPinVar);
    ASSERT_EQ(to_token.status, 0) << to_token.err;
    EXPECT_EQ(history("token.json"), before);
    // Signed in the token now: promote with it.
    ASSERT_EQ(run(sign_args("token.json", "other.img", "8", "m8.json")).status, 0);
    ASSERT_EQ(run(promote_args("m8.json", "token.json")).status, 0);
    const auto with_token = history("token.json");

    const auto to_file = rekey("token.json", "file.json", kPassphraseVar);
    ASSERT_EQ(to_file.status, 0) << to_file.err;
    EXPECT_EQ(history("file.json"), with_token);
    EXPECT_FALSE(file_key.empty());
}

TEST_F(TokenKeystores, AKeyMadeByTheTokensOwnToolsIsUsedAsItIs) {
    token.tool_keypair("EC:edwards25519", "made-by-tool");
    const auto made = keygen("tool.json", "made-by-tool", {"--existing-key"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("(the private key was already in the token and never leaves it)"),
              std::string::npos);
    dir.write("signers", made.out.substr(made.out.rfind("  release@token") + 2));
    ASSERT_EQ(run(sign_args("tool.json", "image.img", "7", "m.json")).status, 0);
    EXPECT_TRUE(sodium_verifies_manifest(dir.read("m.json"), verifying_key_of(made.out)));
    EXPECT_EQ(run_program({"verify", "--manifest", dir.file("m.json"), "--signers-file",
                           dir.file("signers")})
                  .status,
              0);
}

TEST_F(TokenKeystores, EachRefusalLeavesEveryFileAsItWas) {
    make_token_keystore();
    token.tool_keypair("EC:prime256v1", "p256");
    token.tool_keypair("EC:edwards25519", "twice");
    token.tool_keypair("EC:edwards25519", "twice");
    ASSERT_EQ(run(sign_args("token.json", "image.img", "7", "m7.json")).status, 0);
    ASSERT_EQ(run(promote_args("m7.json", "token.json")).status, 0);
    // A keystore naming the token's key with another public key.
    auto other = dir.read("token.json");
    const auto stranger = zdz::test::write_test_keystore(dir.file("stranger.json"));
    const auto recorded = *zdz::store::read_token_keystore_json(other);
    other.replace(other.find(recorded.verifying_key_hex), 64, stranger);
    dir.write("swapped.json", other);
    // One that points at the shim module, which fails chosen calls.
    auto shimmed = dir.read("token.json");
    const auto module_at = shimmed.find("module-path=");
    shimmed.replace(module_at, shimmed.find('"', module_at) - module_at,
                    "module-path=" + zdz::test::pkcs11_shim_module());
    dir.write("shim.json", shimmed);
    const auto before = files_in(dir.path());

    const auto refused = [&](const std::vector<std::string>& args,
                             const std::string& pin = kTokenPin,
                             const std::map<std::string, std::string>& more = {}) {
        auto options = with_pin(pin);
        options.env.insert(more.begin(), more.end());
        const auto r = run_program(args, options);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(files_in(dir.path()), before) << r.err;
        return r.err;
    };
    const auto sign = [&](const std::string& keystore) {
        return sign_args(keystore, "image.img", "9", "new.json");
    };

    EXPECT_EQ(refused(sign("token.json"), "0000"),
              "error: cannot use the token of keystore: the token refused the PIN: it is incorrect "
              "(CKR_PIN_INCORRECT)\n");
    EXPECT_EQ(refused(sign("shim.json"), kTokenPin, {{"ZDZ_PKCS11_SHIM_FAIL", "C_Login=0xa4"}}),
              "error: cannot use the token of keystore: the token's PIN is locked "
              "(CKR_PIN_LOCKED)\n");
    // Removed after the session opened: the key pair check signs once.
    EXPECT_EQ(refused(sign("shim.json"), kTokenPin, {{"ZDZ_PKCS11_SHIM_FAIL", "C_Sign=0x32@2"}}),
              "error: signing failed: the token was removed (C_Sign: CKR_DEVICE_REMOVED)\n");
    EXPECT_EQ(refused({"withdraw", "--store", dir.file("store.json"), "--keystore",
                       dir.file("shim.json"), "--passphrase-env", kTokenPinVar, "--platform",
                       "vask", "--image-file", dir.file("image.img")},
                      kTokenPin, {{"ZDZ_PKCS11_SHIM_FAIL", "C_Sign=0x32@2"}}),
              "error: withdrawal succeeded in memory but the store could not be saved: registry "
              "snapshot is malformed: failed to sign registry snapshot: the token was removed "
              "(C_Sign: CKR_DEVICE_REMOVED)\n");
    const auto swapped = refused(sign("swapped.json"));
    EXPECT_TRUE(swapped.starts_with(
        "error: cannot use the token of keystore: the token's key labelled \"release-2027\" is "))
        << swapped;
    EXPECT_EQ(refused(keygen_args("again.json", "release-2027")),
              "error: cannot use the token: a key labelled \"release-2027\" is already on token "
              "\"release\"; it is left as it is\n");
    EXPECT_EQ(refused(keygen_args("none.json", "absent", {"--existing-key"})),
              "error: cannot use the token: no private key labelled \"absent\" on token "
              "\"release\"\n");
    EXPECT_EQ(refused(keygen_args("twice.json", "twice", {"--existing-key"})),
              "error: cannot use the token: 2 private keys labelled \"twice\" on token "
              "\"release\": name one with id=\n");
    EXPECT_EQ(refused(keygen_args("p256.json", "p256", {"--existing-key"})),
              "error: cannot use the token: the key labelled \"p256\" is not an Ed25519 key: its "
              "key type is CKK_EC\n");
    EXPECT_EQ(refused({"keygen", "--pkcs11",
                       "pkcs11:token=release;object=k;pin-value=" + std::string(kTokenPin), "--out",
                       dir.file("pin.json"), "--passphrase-env", kTokenPinVar}),
              "error: the PKCS#11 URI holds a PIN (pin-value or pin-source): the PIN is never "
              "part of the URI\n");
    EXPECT_EQ(
        refused({"keygen", "--pkcs11", "pkcs11:token=release;object=k?module-path=/nowhere.so",
                 "--out", dir.file("m.json"), "--passphrase-env", kTokenPinVar}),
        "error: cannot use the token: cannot load PKCS#11 module /nowhere.so: /nowhere.so: "
        "cannot open shared object file: No such file or directory\n");
    EXPECT_EQ(refused({"keygen", "--pkcs11",
                       "pkcs11:object=k?module-path=/lib/x86_64-linux-gnu/libc.so.6", "--out",
                       dir.file("m.json"), "--passphrase-env", kTokenPinVar}),
              "error: cannot use the token: /lib/x86_64-linux-gnu/libc.so.6 is not a PKCS#11 "
              "module: it has no C_GetFunctionList\n");
    EXPECT_EQ(refused({"keygen", "--pkcs11",
                       "pkcs11:token=other;object=k?module-path=" +
                           std::string(zdz::test::kSoftHsmModule),
                       "--out", dir.file("m.json"), "--passphrase-env", kTokenPinVar}),
              "error: cannot use the token: no token matches "
              "pkcs11:token=other;object=k?module-path=%2Fusr%2Flib%2Fsofthsm%2Flibsofthsm2.so\n");
    EXPECT_EQ(refused({"keygen", "--out", dir.file("x.json"), "--passphrase-env", kTokenPinVar,
                       "--existing-key"}),
              "error: --existing-key names a key on a token: it needs --pkcs11\n");
    EXPECT_EQ(refused({"change-passphrase", "--keystore", dir.file("token.json"),
                       "--passphrase-env", kTokenPinVar, "--new-passphrase-env", kPassphraseVar}),
              "error: keystore " + dir.file("token.json") +
                  " holds its key in a PKCS#11 token and has no passphrase: the token's PIN is "
                  "changed with the token's own tools\n");
}

// Hardware tokens often take one session at a time, and SoftHSM2 refuses a
// few simultaneous logins: the program's own uses of one token follow one
// another, so that neither surfaces as a failure.
TEST_F(TokenKeystores, SigningCommandsAtOnceAllSucceed) {
    make_token_keystore();
    std::vector<std::unique_ptr<zdz::test::ChildProcess>> children;
    constexpr std::size_t kAtOnce = 6;
    for (std::size_t i = 0; i < kAtOnce; ++i) {
        auto args = sign_args("token.json", "image.img", "7", "m" + std::to_string(i) + ".json");
        args.insert(args.begin(), ZDZ_BINARY);
        children.push_back(std::make_unique<zdz::test::ChildProcess>(args, with_pin()));
    }
    // The PIN is in no argument list while they run.
    for (const auto& child : children) {
        std::ifstream in("/proc/" + std::to_string(child->pid()) + "/cmdline", std::ios::binary);
        const std::string cmdline(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(cmdline.find(kTokenPin), std::string::npos);
    }
    for (std::size_t i = 0; i < kAtOnce; ++i) {
        const auto r = children[i]->wait();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(sodium_verifies_manifest(
            dir.read("m" + std::to_string(i) + ".json"),
            zdz::store::read_token_keystore_json(dir.read("token.json"))->verifying_key_hex));
    }
}

}  // namespace
