// The two-person rule through the program: approve adds a second engineer's
// signature, verify and promote count distinct trusted keys, and set-policy
// keeps a platform's minimum in the signed store. Approval signatures are
// checked by libsodium alone.

#include <gtest/gtest.h>
#include <sodium.h>

#include <filesystem>
#include <string>
#include <vector>

#include "encoding/hex.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/softhsm.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"

using namespace zdz::test;

namespace {

constexpr const char* kImage = "vask-install-2026071500.img";

class CoSigning : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::string name : {"release", "reviewer", "outsider"}) {
            public_hex[name] = write_test_keystore(dir.file(name + ".key"));
        }
        dir.write("signers", trust_line("release") + trust_line("reviewer"));
        std::filesystem::copy_file(source_dir() + "/os/" + kImage, dir.file(kImage));
        const auto made = run(zdz::test::sign_args(dir.file("release.key"), dir.file(kImage), "3",
                                                   dir.file("m.json")));
        ASSERT_EQ(made.status, 0) << made.err;
    }

    std::string trust_line(const std::string& name) const {
        return run_program({"show-key", "--keystore", dir.file(name + ".key"), "--principal",
                            name + "@x", "--trust-line"})
            .out;
    }

    RunResult run(const std::vector<std::string>& args) const {
        return run_program(args, {.env = {{kPassphraseVar, kPassphrase}}});
    }

    RunResult approve(const std::string& approver,
                      const std::vector<std::string>& more = {}) const {
        std::vector<std::string> args = {
            "approve",           "--manifest", dir.file("m.json"),          "--signers-file",
            dir.file("signers"), "--keystore", dir.file(approver + ".key"), "--passphrase-env",
            kPassphraseVar};
        args.insert(args.end(), more.begin(), more.end());
        return run(args);
    }

    RunResult verify(const std::vector<std::string>& more = {}) const {
        std::vector<std::string> args = {"verify", "--manifest", dir.file("m.json"),
                                         "--signers-file", dir.file("signers")};
        args.insert(args.end(), more.begin(), more.end());
        return run(args);
    }

    RunResult promote(const std::vector<std::string>& more = {}) const {
        auto args = promote_args(dir.file("m.json"), dir.file("signers"), dir.file("store.json"),
                                 dir.file("release.key"));
        args.insert(args.end(), more.begin(), more.end());
        return run(args);
    }

    RunResult set_policy(const std::string& count, const std::string& platform = "vask") const {
        return run({"set-policy", "--store", dir.file("store.json"), "--keystore",
                    dir.file("release.key"), "--passphrase-env", kPassphraseVar, "--platform",
                    platform, "--min-signers", count});
    }

    // Every approval of the manifest checked by libsodium over the canonical
    // body with the public key of `names`, in order.
    bool sodium_approves(const std::vector<std::string>& names) const {
        const auto manifest = zdz::trust::read_manifest_json(dir.read("m.json"));
        if (!manifest || manifest->approvals.size() != names.size()) {
            return false;
        }
        const auto bytes = *zdz::trust::manifest_signing_bytes(manifest->body);
        for (std::size_t i = 0; i < names.size(); ++i) {
            const auto key = *zdz::encoding::hex_decode(public_hex.at(names[i]));
            if (crypto_sign_verify_detached(manifest->approvals[i].signature.bytes().data(),
                                            reinterpret_cast<const unsigned char*>(bytes.data()),
                                            bytes.size(), key.data()) != 0) {
                return false;
            }
        }
        return true;
    }

    std::string measurement() const {
        return zdz::trust::read_manifest_json(dir.read("m.json"))->body.measurement.to_string();
    }

    TempDir dir;
    std::map<std::string, std::string> public_hex;
};

TEST_F(CoSigning, ASecondEngineerApprovesAndTwoSignersVerify) {
    EXPECT_EQ(verify({"--min-signers", "2"}),
              (RunResult{1, "",
                         "error: manifest refused against trust file " + dir.file("signers") +
                             ": manifest has 1 trusted signature, 2 required\n"}));

    const auto approved = approve("reviewer", {"--image-file", dir.file(kImage)});
    ASSERT_EQ(approved.status, 0) << approved.err;
    const auto fingerprint = approved.out.substr(approved.out.find("(blake3:") + 1, 71);
    EXPECT_EQ(approved.out, "[ok] manifest approved: " + dir.file("m.json") +
                                "\n"
                                "  trust file:        " +
                                dir.file("signers") +
                                "\n"
                                "  platform:          vask\n"
                                "  kind:              install\n"
                                "  measurement:       " +
                                measurement() +
                                "\n"
                                "  security_version:  sv3\n"
                                "  image file:        " +
                                dir.file(kImage) +
                                " (matches)\n"
                                "  signed by:         release@x\n"
                                "  approved now by:   reviewer@x (" +
                                fingerprint +
                                ")\n"
                                "  signatures:        2 trusted\n");
    EXPECT_TRUE(sodium_approves({"reviewer"}));

    const auto verified = verify({"--min-signers", "2"});
    ASSERT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(verified.out,
              "[ok] manifest verified\n"
              "  trust file:        " +
                  dir.file("signers") +
                  "\n"
                  "  signed by:         release@x\n"
                  "  approved by:       reviewer@x\n"
                  "  signatures:        2 trusted (2 required)\n"
                  "  platform:          vask\n"
                  "  measurement:       " +
                  measurement() + "\n  security_version:  sv3\n");
    EXPECT_EQ(verify({"--min-signers", "3"}).err,
              "error: manifest refused against trust file " + dir.file("signers") +
                  ": manifest has 2 trusted signatures, 3 required\n");

    const auto json = verify({"--format", "json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"signers\": [\n    {\n      \"principal\": \"release@x\","),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"principal\": \"reviewer@x\",\n      \"fingerprint\": \"" +
                            fingerprint + "\""),
              std::string::npos)
        << json.out;
}

TEST_F(CoSigning, ApprovalsThatCountForNothingLeaveTheManifestAsItWas) {
    const auto original = dir.read("m.json");
    // The key that signed it.
    EXPECT_EQ(approve("release").err.rfind("error: manifest " + dir.file("m.json") +
                                               " is signed by the key of " +
                                               dir.file("release.key") + " already (blake3:",
                                           0),
              0U);
    // A key the trust file does not trust.
    const auto outsider = approve("outsider");
    EXPECT_EQ(outsider.status, 1);
    EXPECT_NE(outsider.err.find(") is not trusted by " + dir.file("signers") +
                                " for a manifest issued at "),
              std::string::npos)
        << outsider.err;
    // Another image than the one signed for.
    dir.write("other.img", "other bytes");
    const auto other = approve("reviewer", {"--image-file", dir.file("other.img")});
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("does not match the manifest"), std::string::npos) << other.err;
    // A manifest that does not verify.
    auto tampered = original;
    const std::string version = "\"security_version\": 3";
    tampered.replace(tampered.find(version), version.size(), "\"security_version\": 4");
    dir.write("m.json", tampered);
    EXPECT_EQ(approve("reviewer").err, "error: manifest refused against trust file " +
                                           dir.file("signers") +
                                           ": image manifest signature does not verify\n");
    EXPECT_EQ(dir.read("m.json"), tampered);
    dir.write("m.json", original);
    // A wrong passphrase.
    const auto wrong = run_program(
        {"approve", "--manifest", dir.file("m.json"), "--signers-file", dir.file("signers"),
         "--keystore", dir.file("reviewer.key"), "--passphrase-env", "WRONG"},
        {.env = {{"WRONG", "not it"}}});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(dir.read("m.json"), original);

    // Approved once, the same approver again.
    ASSERT_EQ(approve("reviewer").status, 0);
    const auto once = dir.read("m.json");
    EXPECT_EQ(approve("reviewer").status, 1);
    EXPECT_EQ(dir.read("m.json"), once);
}

TEST_F(CoSigning, ThePlatformsPolicyInTheStoreHoldsWithoutTheOption) {
    ASSERT_EQ(promote().status, 0);
    const auto without_policy = dir.read("store.json");
    EXPECT_EQ(without_policy.find("min_signers"), std::string::npos);

    const auto set = set_policy("2");
    EXPECT_EQ(set, (RunResult{0,
                              "[ok] policy set\n"
                              "  platform:      vask\n"
                              "  min signers:   2 (was 1)\n"
                              "  store written: " +
                                  dir.file("store.json") + "\n",
                              ""}));
    const auto refused = promote();
    EXPECT_EQ(refused, (RunResult{1, "",
                                  "error: promotion refused: manifest has 1 trusted signature, the "
                                  "policy of platform vask requires 2\n"}));

    ASSERT_EQ(approve("reviewer").status, 0);
    const auto promoted = promote();
    ASSERT_EQ(promoted.status, 0) << promoted.err;
    EXPECT_NE(promoted.out.find("  manifest signed by:   release@x\n"
                                "  approved by:          reviewer@x\n"
                                "  signatures:           2 trusted (2 required)\n"),
              std::string::npos)
        << promoted.out;
    // --min-signers asks for more than the policy.
    EXPECT_EQ(promote({"--min-signers", "3"}).err,
              "error: manifest refused against trust file " + dir.file("signers") +
                  ": manifest has 2 trusted signatures, 3 required\n");

    const auto shown = run(
        {"show-store", "--store", dir.file("store.json"), "--keystore", dir.file("release.key")});
    EXPECT_NE(shown.out.find("  withdrawn:         0\n  min signers:       2\n"), std::string::npos)
        << shown.out;

    // Lowering it is a change of its own, said as one; 1 leaves no trace.
    EXPECT_NE(set_policy("1").out.find("  min signers:   1 (was 2)\n"), std::string::npos);
    EXPECT_EQ(dir.read("store.json").find("min_signers"), std::string::npos);
    EXPECT_EQ(set_policy("1").out.rfind("[ok] policy unchanged\n", 0), 0U);
}

TEST_F(CoSigning, SetPolicyRefusesATypoAndZeroBeforeTheStoreChanges) {
    ASSERT_EQ(promote().status, 0);
    const auto before = dir.read("store.json");
    EXPECT_EQ(set_policy("2", "vsak"),
              (RunResult{1, "",
                         "error: platform vsak is not in store " + dir.file("store.json") +
                             " (it holds vask); pass --new-platform to set the policy of a "
                             "platform not yet in it\n"}));
    EXPECT_EQ(set_policy("0"),
              (RunResult{1, "",
                         "error: --min-signers must be at least 1: a promotion needs the "
                         "manifest's own signature\n"}));
    EXPECT_EQ(dir.read("store.json"), before);
    const auto ahead = run({"set-policy", "--store", dir.file("store.json"), "--keystore",
                            dir.file("release.key"), "--passphrase-env", kPassphraseVar,
                            "--platform", "alder", "--min-signers", "2", "--new-platform"});
    EXPECT_EQ(ahead.status, 0) << ahead.err;
    EXPECT_EQ(verify({"--min-signers", "0"}).status, 2);
}

TEST_F(CoSigning, ATokenKeyApproves) {
    const SoftHsmToken token;
    const auto env = token.env_with_pin();
    const auto made =
        run_program(token.keygen_args("reviewer", dir.file("token.key"), "token@x"), {.env = env});
    ASSERT_EQ(made.status, 0) << made.err;
    dir.write("signers", dir.read("signers") + made.out.substr(made.out.rfind("  token@x") + 2));
    const auto approved = run_program(
        {"approve", "--manifest", dir.file("m.json"), "--signers-file", dir.file("signers"),
         "--keystore", dir.file("token.key"), "--passphrase-env", kTokenPinVar},
        {.env = env});
    ASSERT_EQ(approved.status, 0) << approved.err;
    EXPECT_NE(approved.out.find("  approved now by:   token@x (blake3:"), std::string::npos);
    EXPECT_EQ(verify({"--min-signers", "2"}).status, 0);
}

}  // namespace
