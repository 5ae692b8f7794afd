#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "crypto/digest.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"

extern char** environ;

using namespace zdz::trust;
using zdz::crypto::SigningKey;
using zdz::test::fixed_key;
using zdz::test::run_program;
using zdz::test::run_tool;
using zdz::test::RunResult;
using zdz::test::TempDir;

namespace {

const std::string kPassphraseVar = "ZDZ_REGISTRY_TEST_PASSPHRASE";
const std::string kPassphrase = "correct horse battery staple";
const std::string kSignatureInvalid =
    "registry snapshot signature does not verify \xE2\x80\x94 the store file is untrusted";

std::span<const std::uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string measurement_of(const std::string& image) {
    return zdz::crypto::measure_sha256(std::string_view(image)).to_string();
}

ImageMeasurement image(const std::string& name) {
    return {zdz::crypto::measure_sha256(std::string_view(name))};
}

class RegistryCommands : public ::testing::Test {
protected:
    void SetUp() override {
        operator_key = make_keystore("operator.json");
        dir.write("signers",
                  format_allowed_signers_line("release@tarnelos", release.verifying_key()) + "\n");
    }

    // The 8 MiB floor keeps every unsealing short.
    zdz::store::SealedSigningKey make_keystore(const std::string& name) {
        auto record = zdz::store::seal_signing_key(bytes_of(kPassphrase), zdz::test::now(),
                                                   {"argon2id", 8192, 1, 1});
        EXPECT_TRUE(record);
        EXPECT_TRUE(zdz::store::save_keystore(*record, dir.file(name)));
        return std::move(*record);
    }

    SigningKey operator_signing_key() const {
        return *zdz::store::unseal_signing_key(operator_key, bytes_of(kPassphrase),
                                               zdz::test::now());
    }

    // A manifest for the image named `image_name` (its bytes are the name).
    void write_manifest(const std::string& name, const std::string& platform,
                        SecurityVersion version, const std::string& image_name,
                        const SigningKey& key) const {
        dir.write(name,
                  zdz::test::install_manifest_json(key, platform, version, image(image_name)));
    }
    void write_manifest(const std::string& name, const std::string& platform,
                        SecurityVersion version, const std::string& image_name) const {
        write_manifest(name, platform, version, image_name, release);
    }

    // A store holding exactly `body`, signed with the operator key.
    void write_store(const std::string& name, zdz::store::RegistrySnapshotBody body) const {
        const auto envelope = zdz::envelope::sign_envelope(
            operator_signing_key(), operator_key.key_id, zdz::test::now(), std::nullopt,
            {std::string(zdz::store::kRegistryContext)}, std::move(body));
        dir.write(name, zdz::envelope::write_envelope_json(*envelope));
    }

    std::vector<std::string> promote_args(const std::string& manifest, const std::string& store,
                                          const std::string& keystore = "operator.json",
                                          const std::string& signers = "signers") const {
        return zdz::test::promote_args(dir.file(manifest), dir.file(signers), dir.file(store),
                                       dir.file(keystore), kPassphraseVar);
    }

    RunResult promote(const std::string& manifest, const std::string& store,
                      const std::string& keystore = "operator.json",
                      const std::string& signers = "signers",
                      const std::string& passphrase = kPassphrase) const {
        return run_program(
            promote_args(manifest, store, keystore, signers),
            {.cwd = "", .env = {{kPassphraseVar, passphrase}}, .unset = {}, .stdin_data = ""});
    }

    RunResult authorize(const std::string& store, const std::string& platform,
                        const std::string& measurement,
                        const std::string& keystore = "operator.json") const {
        return run_program({"authorize-install", "--store", dir.file(store), "--keystore",
                            dir.file(keystore), "--platform", platform, "--measurement",
                            measurement});
    }

    std::string promoted_report(const std::string& platform, const std::string& image_name,
                                SecurityVersion version, SecurityVersion floor,
                                const std::string& store) const {
        return "[ok] promoted\n"
               "  manifest signed by:   release@tarnelos\n"
               "  platform:             " +
               platform +
               "\n"
               "  measurement:          " +
               measurement_of(image_name) +
               "\n"
               "  security_version:     sv" +
               std::to_string(version) +
               "\n"
               "  rollback floor now:   sv" +
               std::to_string(floor) +
               "\n"
               "  store written:        " +
               dir.file(store) + "\n";
    }

    TempDir dir;
    SigningKey release = fixed_key(7);
    zdz::store::SealedSigningKey operator_key;
};

}  // namespace

TEST_F(RegistryCommands, PromoteCreatesTheStoreThatInstallChecksRead) {
    write_manifest("v1.json", "vask", 1, "image-one");
    write_manifest("v2.json", "vask", 2, "image-two");
    const auto absent = authorize("store.json", "vask", measurement_of("image-one"));
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.err, "error: no store file found at " + dir.file("store.json") + "\n");
    EXPECT_EQ(absent.out, "");

    auto r = promote("v1.json", "store.json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, promoted_report("vask", "image-one", 1, 1, "store.json"));
    EXPECT_EQ(r.err, "");

    r = authorize("store.json", "vask", measurement_of("image-one"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "[ok] install authorized\n"
              "  platform:          vask\n"
              "  measurement:       " +
                  measurement_of("image-one") +
                  "\n"
                  "  security_version:  sv1\n"
                  "  rollback floor:    sv1\n");

    r = promote("v2.json", "store.json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, promoted_report("vask", "image-two", 2, 2, "store.json"));
    // Upper-case hex names the same measurement.
    auto upper = measurement_of("image-two");
    for (auto& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    r = authorize("store.json", "vask", "sha256:" + upper.substr(7));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  measurement:       " + measurement_of("image-two") + "\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("  rollback floor:    sv2\n"), std::string::npos);
    EXPECT_EQ(authorize("store.json", "vask", measurement_of("image-one")).err,
              "error: install refused: candidate image is not the platform's currently promoted "
              "known-good image\n");

    // Re-indented with sorted members by another tool, the store still verifies
    // and can be promoted into.
    const auto sorted = run_tool({"jq", "-S", "--indent", "4", ".", dir.file("store.json")});
    ASSERT_EQ(sorted.status, 0) << sorted.err;
    dir.write("sorted.json", sorted.out);
    EXPECT_EQ(authorize("sorted.json", "vask", measurement_of("image-two")).status, 0);
    write_manifest("alder.json", "alder", 5, "image-alder");
    r = promote("alder.json", "sorted.json");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(authorize("sorted.json", "vask", measurement_of("image-two")).status, 0);
    EXPECT_EQ(authorize("sorted.json", "alder", measurement_of("image-alder")).status, 0);
}

TEST_F(RegistryCommands, PromoteRefusalsLeaveTheStoreFileUnchanged) {
    write_manifest("v2.json", "vask", 2, "image-two");
    write_manifest("v1.json", "vask", 1, "image-one");
    write_manifest("untrusted.json", "vask", 3, "image-three", fixed_key(9));
    ASSERT_EQ(promote("v2.json", "store.json").status, 0);
    const auto before = dir.read("store.json");
    dir.write("comments", "# nobody\n");
    dir.write("broken.json", "{");
    dir.write("empty-keystore.json", "{}");
    make_keystore("other-operator.json");

    const auto refused = [&](const RunResult& r) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(dir.read("store.json"), before);
        return r.err;
    };
    const std::string no_file = ": No such file or directory (os error 2)\n";
    EXPECT_EQ(refused(promote("missing.json", "store.json")),
              "error: cannot read manifest " + dir.file("missing.json") + no_file);
    EXPECT_EQ(refused(promote("broken.json", "store.json")),
              "error: manifest " + dir.file("broken.json") +
                  " is malformed: EOF while parsing an object at line 1 column 1\n");
    EXPECT_EQ(refused(promote("v1.json", "store.json", "operator.json", "missing")),
              "error: cannot read signers file " + dir.file("missing") + no_file);
    EXPECT_EQ(refused(promote("v1.json", "store.json", "operator.json", "comments")),
              "error: trust store entry invalid at line 0: no trusted signer entries found in "
              "file\n");
    EXPECT_EQ(refused(promote("untrusted.json", "store.json")),
              "error: manifest refused against trust file " + dir.file("signers") +
                  ": image manifest signature does not verify\n");
    EXPECT_EQ(refused(promote("v1.json", "store.json", "missing.json")),
              "error: cannot load keystore " + dir.file("missing.json") +
                  ": local storage operation failed: cannot read " + dir.file("missing.json") +
                  ": No such file or directory (os error 2)\n");
    EXPECT_EQ(refused(promote("v1.json", "store.json", "empty-keystore.json")),
              "error: cannot load keystore " + dir.file("empty-keystore.json") +
                  ": keystore is malformed: missing field `format_version` at line 1 column 2\n");
    EXPECT_EQ(refused(promote("v1.json", "store.json", "operator.json", "signers", "")),
              "error: environment variable " + kPassphraseVar + " is set but empty\n");
    EXPECT_EQ(refused(promote("v1.json", "store.json", "operator.json", "signers", "wrong")),
              "error: cannot unseal keystore: signing key could not be unsealed (wrong "
              "passphrase or corrupted keystore)\n");
    EXPECT_EQ(refused(promote("v1.json", "store.json", "other-operator.json")),
              "error: cannot load existing store " + dir.file("store.json") + ": " +
                  kSignatureInvalid + "\n");
    EXPECT_EQ(refused(promote("v1.json", "store.json")),
              "error: promotion refused: image security version 1 is below the rollback floor 2 "
              "for platform vask\n");

    // Without the variable, a manifest nobody trusts is refused first.
    auto r = run_program(promote_args("untrusted.json", "store.json"),
                         {.cwd = "", .env = {}, .unset = {kPassphraseVar}, .stdin_data = ""});
    EXPECT_EQ(refused(r), "error: manifest refused against trust file " + dir.file("signers") +
                              ": image manifest signature does not verify\n");
    r = run_program(promote_args("v1.json", "store.json"),
                    {.cwd = "", .env = {}, .unset = {kPassphraseVar}, .stdin_data = ""});
    EXPECT_EQ(refused(r), "error: environment variable " + kPassphraseVar +
                              " is not set (pass the passphrase via an env var, not a CLI "
                              "flag)\n");

    // Stores that are present but cannot be trusted are never replaced.
    auto forged = before;
    const auto digit = forged.find(measurement_of("image-two")) + 7;
    forged[digit] = forged[digit] == '0' ? '1' : '0';
    dir.write("forged.json", forged);
    r = promote("v2.json", "forged.json");
    EXPECT_EQ(r.err, "error: cannot load existing store " + dir.file("forged.json") + ": " +
                         kSignatureInvalid + "\n");
    EXPECT_EQ(dir.read("forged.json"), forged);
    r = promote("v2.json", "broken.json");
    EXPECT_EQ(r.err, "error: cannot load existing store " + dir.file("broken.json") +
                         ": registry snapshot is malformed: EOF while parsing an object at line 1 "
                         "column 1\n");
    EXPECT_EQ(dir.read("broken.json"), "{");
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
    r = promote("v2.json", "folder");
    EXPECT_EQ(r.err, "error: cannot load existing store " + dir.file("folder") +
                         ": local storage operation failed: cannot read " + dir.file("folder") +
                         ": Is a directory (os error 21)\n");

    r = promote("v2.json", "missing/store.json");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: promotion succeeded in memory but the store could not be saved: local "
              "storage operation failed: cannot write " +
                  dir.file("missing/store.tmp") + no_file);
}

TEST_F(RegistryCommands, StoredHistoryIsReplayedUnderTheRollbackRule) {
    zdz::store::RegistrySnapshotBody falling{1, zdz::test::now(), {}};
    const auto t = zdz::test::now();
    falling.platforms.push_back(
        {*ImagePlatform::parse("vask"), {{image("two"), 2, t}, {image("one"), 1, t}}, {}, {}});
    write_store("falling.json", falling);
    const auto stored = dir.read("falling.json");
    const std::string rollback =
        "image security version 1 is below the rollback floor 2 for platform vask\n";
    EXPECT_EQ(authorize("falling.json", "vask", measurement_of("two")).err,
              "error: cannot load store " + dir.file("falling.json") + ": " + rollback);
    write_manifest("v3.json", "vask", 3, "three");
    EXPECT_EQ(promote("v3.json", "falling.json").err,
              "error: cannot load existing store " + dir.file("falling.json") + ": " + rollback);
    EXPECT_EQ(dir.read("falling.json"), stored);
}

TEST_F(RegistryCommands, AWithdrawnImageBlocksPromotionAndEveryInstall) {
    zdz::store::RegistrySnapshotBody body{1, zdz::test::now(), {}};
    body.platforms.push_back(
        {*ImagePlatform::parse("vask"), {{image("current"), 4, zdz::test::now()}}, {}, {}});
    body.platforms.back().revoked.insert(image("current"));
    body.platforms.back().revoked.insert(image("recalled"));
    write_store("store.json", body);
    const auto before = dir.read("store.json");

    const std::string withdrawn = "error: install refused: image measurement " +
                                  measurement_of("current") + " was withdrawn for platform vask\n";
    EXPECT_EQ(authorize("store.json", "vask", measurement_of("current")).err, withdrawn);
    EXPECT_EQ(authorize("store.json", "vask", measurement_of("anything")).err, withdrawn);

    write_manifest("recalled.json", "vask", 5, "recalled");
    const auto r = promote("recalled.json", "store.json");
    EXPECT_EQ(r.err, "error: promotion refused: image measurement " + measurement_of("recalled") +
                         " was withdrawn for platform vask\n");
    EXPECT_EQ(dir.read("store.json"), before);

    // A new image lifts the block.
    write_manifest("fixed.json", "vask", 5, "fixed");
    ASSERT_EQ(promote("fixed.json", "store.json").status, 0);
    EXPECT_EQ(authorize("store.json", "vask", measurement_of("fixed")).status, 0);
}

TEST_F(RegistryCommands, AuthorizeInstallRefusals) {
    write_manifest("v1.json", "vask", 1, "image-one");
    ASSERT_EQ(promote("v1.json", "store.json").status, 0);
    make_keystore("other-operator.json");
    auto bad_key = dir.read("operator.json");
    const auto hex_at = bad_key.find("\"verifying_key_hex\": \"") + 22;
    bad_key.replace(hex_at, 64, "00");
    dir.write("bad-key.json", bad_key);

    const auto refused = [](const RunResult& r) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        return r.err;
    };
    const auto m = measurement_of("image-one");
    EXPECT_EQ(refused(authorize("store.json", "vask", m, "missing.json")),
              "error: cannot load keystore " + dir.file("missing.json") +
                  ": local storage operation failed: cannot read " + dir.file("missing.json") +
                  ": No such file or directory (os error 2)\n");
    EXPECT_EQ(refused(authorize("store.json", "vask", m, "bad-key.json")),
              "error: cannot read public key from keystore: keystore is malformed: "
              "verifying_key_hex is not 32 bytes\n");
    EXPECT_EQ(
        refused(authorize("store.json", "vask", m, "other-operator.json")),
        "error: cannot load store " + dir.file("store.json") + ": " + kSignatureInvalid + "\n");
    EXPECT_EQ(refused(authorize("operator.json", "vask", m)),
              "error: cannot load store " + dir.file("operator.json") +
                  ": registry snapshot is malformed: unknown field `verifying_key_hex`, expected "
                  "one of `format_version`, `envelope_id`, `key_id`, `created_at`, `expires_at`, "
                  "`associated_data`, `payload`, `previous_hash`, `signature` at line 4 column "
                  "21\n");
    EXPECT_EQ(refused(authorize("store.json", "Vask", m)),
              "error: invalid Slug identifier: may contain only lowercase ASCII letters, digits "
              "and hyphens\n");
    EXPECT_EQ(refused(authorize("store.json", "vask", m.substr(0, m.size() - 1))),
              "error: invalid measurement \"" + m.substr(0, m.size() - 1) +
                  "\": validation failed: content hash digest must be 64 hex characters, got "
                  "63\n");
    EXPECT_EQ(refused(authorize("store.json", "alder", m)),
              "error: install refused: no known-good image is promoted for platform alder\n");
    EXPECT_EQ(refused(authorize("store.json", "vask", measurement_of("image-two"))),
              "error: install refused: candidate image is not the platform's currently promoted "
              "known-good image\n");
}

// Promotions started together against one store must all be kept: each waits
// for the one before it to save.
TEST_F(RegistryCommands, ConcurrentPromotionsAreAllKept) {
    constexpr int kProcesses = 8;
    constexpr int kRounds = 5;
    for (int i = 0; i < kProcesses; ++i) {
        write_manifest("m" + std::to_string(i) + ".json", "platform-" + std::to_string(i), 1,
                       "image-" + std::to_string(i));
    }
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        env_strings.emplace_back(*e);
    }
    env_strings.push_back(kPassphraseVar + "=" + kPassphrase);
    std::vector<char*> envp;
    for (auto& e : env_strings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    const auto key = *zdz::store::keystore_verifying_key(operator_key);

    for (int round = 0; round < kRounds; ++round) {
        const auto store = "store-" + std::to_string(round) + ".json";
        std::vector<pid_t> pids;
        for (int i = 0; i < kProcesses; ++i) {
            std::vector<std::string> args{zdz::test::program_path()};
            const auto rest = promote_args("m" + std::to_string(i) + ".json", store);
            args.insert(args.end(), rest.begin(), rest.end());
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            const auto err_file = dir.file("err-" + std::to_string(i));
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
            pid_t pid = 0;
            ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
            posix_spawn_file_actions_destroy(&actions);
            pids.push_back(pid);
        }
        for (int i = 0; i < kProcesses; ++i) {
            int status = 0;
            ASSERT_EQ(::waitpid(pids[static_cast<std::size_t>(i)], &status, 0),
                      pids[static_cast<std::size_t>(i)]);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << dir.read("err-" + std::to_string(i));
        }
        const auto loaded = zdz::store::load_registry_store(dir.file(store), key, zdz::test::now());
        ASSERT_TRUE(loaded && *loaded);
        EXPECT_EQ((*loaded)->platforms().size(), static_cast<std::size_t>(kProcesses))
            << "round " << round;
        for (int i = 0; i < kProcesses; ++i) {
            const auto platform = *ImagePlatform::parse("platform-" + std::to_string(i));
            EXPECT_TRUE((*loaded)->authorize_install(platform, image("image-" + std::to_string(i))))
                << "round " << round << ", " << platform.text();
        }
    }
}
