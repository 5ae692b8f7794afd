// The passphrase, the signing key and the key-encryption key stay inside the
// process that needs them: they appear in no output and no file of any
// command, and while a command holds them no other process of the same user
// can read them out of it.

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "contracts/time.hpp"
#include "crypto/digest.hpp"
#include "encoding/base64.hpp"
#include "encoding/hex.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/sanitizers.hpp"
#include "support/tempdir.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;

namespace {

using namespace std::chrono_literals;

// AddressSanitizer replaces mlock with a call that does nothing.
constexpr bool kMemoryLocking = !zdz::test::kAddressSanitizer;

constexpr const char* kVar = "ZDZ_HYGIENE_PASSPHRASE";
// The unprivileged user the probes run as when the tests run as root.
constexpr const char* kNobody = "65534";
constexpr int kProbeAttempts = 3;
constexpr auto kCommandTimeout = 60s;

std::string unique_text(const std::string& prefix) {
    std::array<std::uint8_t, 12> random{};
    randombytes_buf(random.data(), random.size());
    return prefix + zdz::encoding::hex_encode(random) + " \u2691 end";
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Fails the test for each secret found in the output of a run or in a file
// below `dir`.
void expect_found_nowhere(const std::vector<std::pair<std::string, std::string>>& secrets,
                          const std::vector<RunResult>& runs, const std::string& dir) {
    std::vector<std::pair<std::string, std::string>> places;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        places.emplace_back("stdout of run " + std::to_string(i), runs[i].out);
        places.emplace_back("stderr of run " + std::to_string(i), runs[i].err);
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            places.emplace_back(entry.path().string(), read_all(entry.path()));
        }
    }
    for (const auto& [place, text] : places) {
        for (const auto& [secret, needle] : secrets) {
            EXPECT_EQ(text.find(needle), std::string::npos) << secret << " found in " << place;
        }
    }
}

// The forms a secret could leak in: its raw bytes, hex in either case and
// Base64.
std::vector<std::pair<std::string, std::string>> forms(const std::string& name,
                                                       std::span<const std::uint8_t> secret) {
    const std::string raw(secret.begin(), secret.end());
    const auto hex = zdz::encoding::hex_encode(secret);
    return {{name + " (raw)", raw},
            {name + " (hex)", hex},
            {name + " (HEX)", upper(hex)},
            {name + " (base64)", zdz::encoding::base64_encode(secret)}};
}

RunOptions with_passphrase(const std::string& passphrase) {
    RunOptions options;
    options.env = {{kVar, passphrase}};
    return options;
}

// ---- watching a running command through /proc --------------------------------

std::string proc_field(pid_t pid, const std::string& file, const std::string& label) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(label, 0) == 0) {
            return line.substr(label.size());
        }
    }
    return {};
}

bool ignores_sigxfsz(pid_t pid) {
    const auto mask = proc_field(pid, "status", "SigIgn:");
    return !mask.empty() && ((std::stoull(mask, nullptr, 16) >> (SIGXFSZ - 1)) & 1U) != 0;
}

std::vector<std::string> as_unprivileged() {
    if (::geteuid() != 0) {
        return {};
    }
    return {"setpriv", std::string("--reuid=") + kNobody, std::string("--regid=") + kNobody,
            "--clear-groups", "--"};
}

struct Probe {
    bool read = false;  // the environment could be read
    std::string content;
    std::string failure;
};

// Reads another process's environment as a process of the same (unprivileged)
// user would.
Probe read_environment(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/environ";
    Probe probe;
    if (::geteuid() == 0) {
        auto argv = as_unprivileged();
        argv.insert(argv.end(), {"cat", path});
        const auto r = zdz::test::run_tool(argv);
        probe.read = r.status == 0;
        probe.content = r.out;
        probe.failure = r.err;
    } else {
        std::ifstream in(path, std::ios::binary);
        probe.content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        probe.read = in.good() || in.eof();
        probe.failure = probe.read ? "" : "Permission denied";
    }
    return probe;
}

struct Observation {
    Probe environment;
    std::string core_limit;  // the "Max core file size" line of /proc/PID/limits
    long locked_kib = -1;
    int status = -1;
};

// Starts the command as an unprivileged user, waits until it has set up its
// protections (visible as SIGXFSZ ignored) and, while it still runs, probes
// it. Nothing when the command ended before the probe was done.
std::optional<Observation> observe(const std::vector<std::string>& args,
                                   const std::string& passphrase) {
    auto argv = as_unprivileged();
    argv.push_back(program_path());
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.env = {{kVar, passphrase}};
    ChildProcess child(argv, options);
    while (!ignores_sigxfsz(child.pid())) {
        if (child.wait_for(0ms)) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(200us);
    }
    Observation seen;
    seen.environment = read_environment(child.pid());
    seen.core_limit = proc_field(child.pid(), "limits", "Max core file size");
    const auto locked = proc_field(child.pid(), "status", "VmLck:");
    seen.locked_kib = locked.empty() ? -1 : std::stol(locked);
    // A finished command is a zombie whose environment reads as empty: the
    // probe only counts while the command still runs.
    if (child.wait_for(0ms)) {
        return std::nullopt;
    }
    const auto done = child.wait_for(kCommandTimeout);
    EXPECT_TRUE(done.has_value());
    seen.status = done ? done->status : -1;
    return seen;
}

void expect_protected(const std::vector<std::string>& args, const std::string& passphrase) {
    std::optional<Observation> seen;
    for (int attempt = 0; attempt < kProbeAttempts && !seen; ++attempt) {
        seen = observe(args, passphrase);
    }
    ASSERT_TRUE(seen) << "the command never ran long enough to be probed";
    EXPECT_EQ(seen->status, 0);
    EXPECT_FALSE(seen->environment.read) << seen->environment.content;
    EXPECT_NE(seen->environment.failure.find("Permission denied"), std::string::npos)
        << seen->environment.failure;
    EXPECT_EQ(seen->environment.content.find(passphrase), std::string::npos);
    std::istringstream limits(seen->core_limit);
    std::string soft;
    std::string hard;
    limits >> soft >> hard;
    EXPECT_EQ(soft, "0");
    EXPECT_EQ(hard, "0");
    rlimit memlock{};
    ::getrlimit(RLIMIT_MEMLOCK, &memlock);
    if (kMemoryLocking && memlock.rlim_cur > 0) {
        EXPECT_GT(seen->locked_kib, 0) << "no page of the passphrase is locked in memory";
    }
}

}  // namespace

TEST(SecretHygiene, NoSecretAppearsInAnyOutputOrFile) {
    TempDir dir;
    const auto passphrase = unique_text("hygiene passphrase ");
    const auto wrong = unique_text("wrong passphrase ");
    const auto ok = with_passphrase(passphrase);
    dir.write("image.img", "image bytes for the hygiene test");
    std::vector<RunResult> runs;
    const auto run = [&](const std::vector<std::string>& args, const RunOptions& options) {
        runs.push_back(run_program(args, options));
        return runs.back();
    };

    const auto keygen = run({"keygen", "--out", dir.file("k.json"), "--passphrase-env", kVar,
                             "--principal", "ops@hygiene"},
                            ok);
    ASSERT_EQ(keygen.status, 0) << keygen.err;
    dir.write("signers", keygen.out.substr(keygen.out.rfind("  ops@") + 2));
    const auto sign = zdz::test::sign_args(dir.file("k.json"), dir.file("image.img"), "3",
                                           dir.file("m.json"), "install", kVar);
    EXPECT_EQ(run(sign, ok).status, 0);
    EXPECT_EQ(run(sign, with_passphrase(wrong)).status, 1);
    EXPECT_EQ(
        run({"verify", "--manifest", dir.file("m.json"), "--signers-file", dir.file("signers")}, {})
            .status,
        0);
    const auto promote = zdz::test::promote_args(dir.file("m.json"), dir.file("signers"),
                                                 dir.file("store.json"), dir.file("k.json"), kVar);
    EXPECT_EQ(run(promote, ok).status, 0);
    EXPECT_EQ(run(promote, with_passphrase(wrong)).status, 1);
    const auto measurement =
        zdz::crypto::measure_sha256(std::string_view("image bytes for the hygiene test"))
            .to_string();
    EXPECT_EQ(run({"authorize-install", "--store", dir.file("store.json"), "--keystore",
                   dir.file("k.json"), "--platform", "vask", "--measurement", measurement},
                  {})
                  .status,
              0);
    const auto withdraw = zdz::test::withdraw_args(dir.file("store.json"), dir.file("k.json"),
                                                   dir.file("image.img"), kVar);
    EXPECT_EQ(run(withdraw, with_passphrase(wrong)).status, 1);
    EXPECT_EQ(run(withdraw, ok).status, 0);
    EXPECT_EQ(run({"show-store", "--store", dir.file("store.json"), "--keystore",
                   dir.file("k.json"), "--platform", "vask", "--format", "json"},
                  {})
                  .status,
              0);
    EXPECT_EQ(run({"verify", "--manifest", dir.file("m.json"), "--signers-file",
                   dir.file("signers"), "--format", "json"},
                  {})
                  .status,
              0);

    // The secrets, recovered here from the keystore with the passphrase.
    const auto record = zdz::store::load_keystore(dir.file("k.json"));
    ASSERT_TRUE(record);
    const auto key =
        zdz::store::unseal_signing_key(*record, bytes_of(passphrase), zdz::test::now());
    ASSERT_TRUE(key);
    const auto salt = zdz::encoding::hex_decode(record->salt_hex);
    const auto kek = zdz::store::derive_kek(bytes_of(passphrase), *salt, record->kdf);
    ASSERT_TRUE(kek);
    std::vector<std::pair<std::string, std::string>> secrets{{"passphrase", passphrase},
                                                             {"wrong passphrase", wrong}};
    for (auto&& f : forms("seed", key->seed())) {
        secrets.push_back(std::move(f));
    }
    for (auto&& f : forms("key-encryption key", kek->bytes())) {
        secrets.push_back(std::move(f));
    }

    // The search itself works: the public key is where it should be.
    EXPECT_NE(runs.front().out.find(record->verifying_key_hex), std::string::npos);
    EXPECT_NE(read_all(dir.file("k.json")).find(record->verifying_key_hex), std::string::npos);
    expect_found_nowhere(secrets, runs, dir.path());
}

// The same search over the key lifecycle commands: two passphrases of one
// keystore, a second keystore's, both seeds and both key-encryption keys.
TEST(SecretHygiene, KeyLifecycleCommandsPrintAndWriteNoSecret) {
    TempDir dir;
    constexpr const char* kNewVar = "ZDZ_HYGIENE_NEW_PASSPHRASE";
    const auto old_passphrase = unique_text("old passphrase ");
    const auto new_passphrase = unique_text("new passphrase ");
    const auto next_passphrase = unique_text("next keystore passphrase ");
    const auto now = zdz::test::now();
    for (const auto& [name, passphrase] :
         {std::pair{"a.json", old_passphrase}, std::pair{"b.json", next_passphrase}}) {
        const auto record =
            zdz::store::seal_signing_key(bytes_of(passphrase), now, {"argon2id", 8192, 1, 1});
        ASSERT_TRUE(record && zdz::store::save_keystore(*record, dir.file(name)));
    }
    const auto a_key = zdz::store::unseal_signing_key(
        *zdz::store::load_keystore(dir.file("a.json")), bytes_of(old_passphrase), now);
    ASSERT_TRUE(a_key);
    zdz::trust::KnownGoodStore registry;
    ASSERT_TRUE(registry.record_promotion({*zdz::trust::ImagePlatform::parse("vask"),
                                           {zdz::crypto::measure_sha256(std::string_view("image"))},
                                           1,
                                           now}));
    ASSERT_TRUE(zdz::store::save_registry_store(registry, dir.file("store.json"), *a_key,
                                                zdz::contracts::Uuid::new_v4(), now));

    std::vector<RunResult> runs;
    const auto run = [&](const std::vector<std::string>& args, const std::string& current,
                         const std::string& next) {
        RunOptions options;
        options.env = {{kVar, current}, {kNewVar, next}};
        runs.push_back(run_program(args, options));
        return runs.back().status;
    };
    const std::vector<std::string> change{
        "change-passphrase",    "--keystore", dir.file("a.json"), "--passphrase-env", kVar,
        "--new-passphrase-env", kNewVar};
    EXPECT_EQ(run(change, new_passphrase, old_passphrase), 1);
    EXPECT_EQ(run(change, old_passphrase, new_passphrase), 0);
    const std::vector<std::string> rekey{
        "rekey-store",      "--store",          dir.file("store.json"),
        "--keystore",       dir.file("a.json"), "--new-keystore",
        dir.file("b.json"), "--passphrase-env", kVar};
    EXPECT_EQ(run(rekey, old_passphrase, ""), 1);
    EXPECT_EQ(run(rekey, next_passphrase, ""), 0);
    EXPECT_EQ(run({"show-key", "--keystore", dir.file("a.json")}, "", ""), 0);

    std::vector<std::pair<std::string, std::string>> secrets{
        {"old passphrase", old_passphrase},
        {"new passphrase", new_passphrase},
        {"next keystore passphrase", next_passphrase}};
    for (const auto& [name, passphrase] :
         {std::pair{"a.json", new_passphrase}, std::pair{"b.json", next_passphrase}}) {
        const auto record = zdz::store::load_keystore(dir.file(name));
        ASSERT_TRUE(record);
        const auto key = zdz::store::unseal_signing_key(*record, bytes_of(passphrase), now);
        ASSERT_TRUE(key) << name;
        const auto kek = zdz::store::derive_kek(
            bytes_of(passphrase), *zdz::encoding::hex_decode(record->salt_hex), record->kdf);
        ASSERT_TRUE(kek);
        for (auto&& f : forms(std::string(name) + " seed", key->seed())) {
            secrets.push_back(std::move(f));
        }
        for (auto&& f : forms(std::string(name) + " key-encryption key", kek->bytes())) {
            secrets.push_back(std::move(f));
        }
    }
    expect_found_nowhere(secrets, runs, dir.path());
}

TEST(SecretHygiene, CommandsHoldingSecretsCannotBeReadByOtherProcessesOfTheirUser) {
    TempDir dir;
    const auto passphrase = unique_text("probe passphrase ");
    // The commands run as an unprivileged user when the tests run as root.
    ::chmod(dir.path().c_str(), 0777);

    // The probe can read the environment of an ordinary process of that user.
    {
        auto argv = as_unprivileged();
        argv.insert(argv.end(), {"sleep", "30"});
        RunOptions options;
        options.env = {{kVar, passphrase}};
        ChildProcess sleeper(argv, options);
        // Until the sleeper has become `sleep` under that user, the probe sees
        // the launcher instead: on a loaded machine that can take a while.
        auto probe = read_environment(sleeper.pid());
        for (int wait = 0; wait < 100 && probe.content.find(passphrase) == std::string::npos;
             ++wait) {
            std::this_thread::sleep_for(100ms);
            probe = read_environment(sleeper.pid());
        }
        EXPECT_TRUE(probe.read) << probe.failure;
        EXPECT_NE(probe.content.find(passphrase), std::string::npos);
    }

    // keygen at the default cost: the whole Argon2id run is the window.
    expect_protected({"keygen", "--out", dir.file("k.json"), "--passphrase-env", kVar}, passphrase);
    ASSERT_TRUE(fs::exists(dir.file("k.json")));

    // sign, with a keystore at the default cost as well.
    dir.write("image.img", "image");
    ::chmod(dir.file("image.img").c_str(), 0644);
    expect_protected({"sign", "--keystore", dir.file("k.json"), "--passphrase-env", kVar,
                      "--image-file", dir.file("image.img"), "--platform", "vask", "--kind",
                      "install", "--security-version", "1", "--out", dir.file("m.json")},
                     passphrase);
    EXPECT_TRUE(fs::exists(dir.file("m.json")));

    // change-passphrase, which holds both passphrases and the key through
    // two derivations at the default cost (here to the same passphrase).
    expect_protected({"change-passphrase", "--keystore", dir.file("k.json"), "--passphrase-env",
                      kVar, "--new-passphrase-env", kVar},
                     passphrase);
}
