// The program run on the golden files of tests/data/golden: the good ones are
// accepted with their exact reports, every forged copy is refused with its
// exact message and changes nothing, and what the commands write from the
// golden inputs, with the clock frozen at the golden signing time, is the
// golden file byte for byte except for the identifier the command draws at
// random and the signature that covers it.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "support/fixtures.hpp"
#include "support/golden.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

namespace fs = std::filesystem;
namespace golden = zdz::test::golden;
using zdz::test::RunOptions;
using zdz::test::RunResult;

namespace {

// `text` with its first `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    if (const auto at = text.find(from); at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

const std::string kOperator(golden::kOperator);
const std::string kManifestSignatureInvalid = "image manifest signature does not verify";
const std::string kStoreUntrusted =
    "registry snapshot signature does not verify \xE2\x80\x94 the store file is untrusted";
const std::string kUnsealFailed =
    "error: cannot unseal keystore: signing key could not be unsealed (wrong passphrase or "
    "corrupted keystore)\n";

// Every file below `root` with its bytes.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), root).string()] =
                zdz::io::read_file_bytes(entry.path().string()).value_or("(unreadable)");
        }
    }
    return files;
}

// A store file without the members that number and link its save.
std::string without_chain(std::string text) {
    text = std::regex_replace(text, std::regex(",\n    \"sequence\": [0-9]+\n"), "\n");
    return std::regex_replace(text, std::regex("\n  \"previous_hash\": \"[^\"]*\","), "");
}

// The members whose lines differ between two files of the same layout; a
// layout that differs is reported as "(line count)".
std::set<std::string> differing_members(const std::string& a, const std::string& b) {
    std::istringstream left(a);
    std::istringstream right(b);
    std::set<std::string> members;
    std::string l;
    std::string r;
    while (true) {
        const bool more_left = static_cast<bool>(std::getline(left, l));
        const bool more_right = static_cast<bool>(std::getline(right, r));
        if (more_left != more_right) {
            members.insert("(line count)");
            break;
        }
        if (!more_left) {
            break;
        }
        if (l != r) {
            const auto open = l.find('"');
            members.insert(l.substr(open + 1, l.find('"', open + 1) - open - 1));
        }
    }
    return members;
}

// A copy of the golden folder that commands run in, with relative paths, so
// that their reports do not depend on where the test runs.
class GoldenFiles : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy(golden::golden_dir(), dir.path(), fs::copy_options::recursive);
    }

    RunResult run(const std::vector<std::string>& args) const {
        RunOptions options;
        options.cwd = dir.path();
        options.env = {{zdz::test::kPassphraseVar, zdz::test::kPassphrase}};
        return zdz::test::run_program(args, options);
    }

    // The command with the clock frozen at the golden signing time.
    RunResult run_at_signing_time(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"faketime", "-f", std::string(golden::kSignedAtFaketime),
                                      zdz::test::program_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.cwd = dir.path();
        options.env = {{zdz::test::kPassphraseVar, zdz::test::kPassphrase}, {"TZ", "UTC"}};
        return zdz::test::run_tool(argv, options);
    }

    static std::vector<std::string> verify(const std::string& manifest) {
        return {"verify", "--manifest", manifest, "--signers-file", "allowed_signers"};
    }

    static std::vector<std::string> promote(const std::string& manifest, const std::string& store,
                                            const std::string& keystore = "keystore.json") {
        return zdz::test::promote_args(manifest, "allowed_signers", store, keystore);
    }

    static std::vector<std::string> authorize(const std::string& store, const std::string& image) {
        return zdz::test::authorize_args(store, "keystore.json", image);
    }

    static std::vector<std::string> sign(const std::string& keystore, const std::string& out) {
        return zdz::test::sign_args(keystore, "image-sv3.img", "3", out);
    }

    std::string read(const std::string& name) const { return dir.read(name); }

    zdz::test::TempDir dir;
};

}  // namespace

TEST_F(GoldenFiles, TheGoodFilesAreAcceptedWithTheirExactReports) {
    const std::string sv3 =
        "sha256:3011b46acc7e9b3b0869dba86463d98a8ff330f24ff198d2c433fd5530497301";
    const std::string sv2 =
        "sha256:32d388a958543c44117d773220d4295d3485f11f9d64608342a0a71bca531ead";
    auto args = verify("manifest-sv3.json");
    args.insert(args.end(), {"--image-file", "image-sv3.img"});
    auto r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "[ok] manifest verified\n"
              "  trust file:        allowed_signers\n"
              "  signed by:         " +
                  kOperator +
                  "\n"
                  "  platform:          vask\n"
                  "  measurement:       " +
                  sv3 +
                  "\n"
                  "  security_version:  sv3\n"
                  "  image file:        image-sv3.img (41 bytes measured, matches)\n");

    args.insert(args.end(), {"--format", "json"});
    r = run_at_signing_time(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\n"
              "  \"ok\": true,\n"
              "  \"trust_file\": \"allowed_signers\",\n"
              "  \"signed_by\": \"" +
                  kOperator +
                  "\",\n"
                  "  \"manifest_id\": \"a41f6b28-0d93-4c7e-8e25-5b3c7f9a1d04\",\n"
                  "  \"platform\": \"vask\",\n"
                  "  \"kind\": \"install\",\n"
                  "  \"measurement\": \"" +
                  sv3 +
                  "\",\n"
                  "  \"security_version\": 3,\n"
                  "  \"issued_at\": \"2025-03-02T10:00:00Z\",\n"
                  "  \"expires_at\": null,\n"
                  "  \"signing_key_id\": \"" +
                  std::string(golden::kKeyId) +
                  "\",\n"
                  "  \"verified_at\": \"2025-03-02T10:00:00Z\",\n"
                  "  \"image_file\": {\n"
                  "    \"path\": \"image-sv3.img\",\n"
                  "    \"bytes_measured\": 41,\n"
                  "    \"matches\": true\n"
                  "  }\n"
                  "}\n");
    EXPECT_EQ(run(verify("manifest-sv2.json")).status, 0);

    r = run(authorize("store.json", "image-sv3.img"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "[ok] install authorized\n"
              "  platform:          vask\n"
              "  measurement:       " +
                  sv3 +
                  "\n"
                  "  security_version:  sv3\n"
                  "  rollback floor:    sv3\n"
                  "  image file:        image-sv3.img (41 bytes measured)\n");
    // The store says the sv2 image was withdrawn; and the public key file
    // serves as well as the keystore.
    r = run({"authorize-install", "--store", "store.json", "--public-key", "release-operator.pub",
             "--platform", "vask", "--measurement", sv2});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: install refused: candidate image is not the platform's currently promoted "
              "known-good image\n");

    // A store written before promotions had a kind decides every install as
    // the store of today does, and shows the same.
    for (const auto& candidate : {sv2, sv3}) {
        const std::vector<std::string> today = {
            "authorize-install", "--store", "store.json",    "--keystore", "keystore.json",
            "--platform",        "vask",    "--measurement", candidate};
        auto before = today;
        before[2] = "store-without-kinds.json";
        EXPECT_EQ(run(before), run(today)) << candidate;
    }
    const auto shown = run({"show-store", "--store", "store-without-kinds.json", "--keystore",
                            "keystore.json", "--platform", "vask"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    // Their bytes differ, and so do their hashes.
    const auto hash_line = std::regex("\n  store hash: +sha256:[0-9a-f]{64}\n");
    EXPECT_EQ(std::regex_replace(shown.out, hash_line, "\n"),
              std::regex_replace(replaced(run({"show-store", "--store", "store.json", "--keystore",
                                               "keystore.json", "--platform", "vask"})
                                              .out,
                                          "store.json", "store-without-kinds.json"),
                                 hash_line, "\n"));

    // The public key file is what show-key prints for the golden keystore.
    r = run({"show-key", "--keystore", "keystore.json", "--principal", kOperator});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("\n  " + read("release-operator.pub"))) << r.out;
    EXPECT_NE(r.out.find("  key_id:        " + std::string(golden::kKeyId) + "\n"),
              std::string::npos);
}

TEST_F(GoldenFiles, CommandsWriteTheGoldenBytesButForWhatTheyDraw) {
    auto r = run_at_signing_time(sign("keystore.json", "signed.json"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(differing_members(read("signed.json"), read("manifest-sv3.json")),
              (std::set<std::string>{"manifest_id", "signature"}));
    EXPECT_EQ(run(verify("signed.json")).status, 0);

    for (const auto* manifest : {"manifest-sv2.json", "manifest-sv3.json"}) {
        r = run_at_signing_time(promote(manifest, "written.json"));
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // The golden store withdraws the SHA-256 digest of the sv2 image alone.
    r = run_at_signing_time(
        {"withdraw", "--store", "written.json", "--keystore", "keystore.json", "--passphrase-env",
         zdz::test::kPassphraseVar, "--platform", "vask", "--measurement",
         "sha256:32d388a958543c44117d773220d4295d3485f11f9d64608342a0a71bca531ead"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Written by three saves, the store is numbered and linked; the rest is
    // the golden store's.
    const auto written = read("written.json");
    EXPECT_NE(written.find(",\n    \"sequence\": 3\n  },\n"), std::string::npos) << written;
    EXPECT_EQ(differing_members(without_chain(written), read("store.json")),
              (std::set<std::string>{"envelope_id", "signature"}));
    EXPECT_EQ(run(authorize("written.json", "image-sv3.img")).status, 0);
}

TEST_F(GoldenFiles, EveryForgeryIsRefusedWithItsMessageAndChangesNothing) {
    const auto manifest_refused =
        "error: manifest refused against trust file allowed_signers: " + kManifestSignatureInvalid +
        "\n";
    const auto store_untrusted = [](const std::string& load, const std::string& store) {
        return "error: " + load + store + ": " + kStoreUntrusted + "\n";
    };
    const std::string changed_digit = "forged/manifest-changed-digit.json";
    const std::string swapped = "forged/manifest-swapped-signature.json";
    const std::string resigned = "forged/store-resigned-by-other-key.json";
    const std::string unwithdrawn = "forged/store-withdrawal-removed.json";
    const std::string keystore = "forged/keystore-header-edited.json";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {verify(changed_digit), manifest_refused},
        {verify(swapped), manifest_refused},
        {promote(changed_digit, "store.json"), manifest_refused},
        {promote(swapped, "store.json"), manifest_refused},
        {authorize(resigned, "image-sv3.img"), store_untrusted("cannot load store ", resigned)},
        {authorize(unwithdrawn, "image-sv2.img"),
         store_untrusted("cannot load store ", unwithdrawn)},
        {{"show-store", "--store", resigned, "--keystore", "keystore.json"},
         store_untrusted("cannot load store ", resigned)},
        {promote("manifest-sv3.json", resigned),
         store_untrusted("cannot load existing store ", resigned)},
        {promote("manifest-sv3.json", unwithdrawn),
         store_untrusted("cannot load existing store ", unwithdrawn)},
        {sign(keystore, "signed.json"), kUnsealFailed},
        {promote("manifest-sv3.json", "store.json", keystore), kUnsealFailed},
        {{"withdraw", "--store", "store.json", "--keystore", keystore, "--passphrase-env",
          zdz::test::kPassphraseVar, "--platform", "vask", "--image-file", "image-sv3.img"},
         kUnsealFailed},
    };
    const auto before = snapshot(dir.path());
    for (const auto& c : cases) {
        const auto r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0] << " " << c.args[2];
        EXPECT_EQ(r.out, "") << c.args[0] << " " << c.args[2];
        EXPECT_EQ(r.err, c.err) << c.args[0] << " " << c.args[2];
        EXPECT_EQ(snapshot(dir.path()), before) << c.args[0] << " " << c.args[2];
    }
}
