#pragma once

// What the fault injection tests share: the workspace every test starts
// from (a keystore, a trust file, a signed manifest and a store that holds one
// promotion of it), running the program with the test passphrase under a
// timeout, and what the tests read back from the files and reports.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/digest.hpp"
#include "crypto/ed25519.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/registry.hpp"
#include "trust/signers.hpp"

namespace zdz::test::faults {

using namespace std::chrono_literals;

// Long enough for a keygen at the default Argon2id cost under the sanitizers;
// the commands that unseal the test keystore (at the cost floor) need far less.
inline constexpr auto kNoHangTimeout = 60s;
inline constexpr auto kQuickTimeout = 10s;

std::string bytes_of(const std::string& path);

std::set<std::string> listing(const std::string& dir);

RunOptions with_passphrase();

// Runs `argv` with the test passphrase in its environment; a child that gives
// no answer within `timeout` is a failure of the test, and is killed.
RunResult run_argv(const std::vector<std::string>& argv, RunOptions options = {},
                   std::chrono::milliseconds timeout = kNoHangTimeout);

RunResult run(const std::vector<std::string>& args, RunOptions options = {},
              std::chrono::milliseconds timeout = kNoHangTimeout);

// run_argv of the program with `args`, started by `launcher` (a command that
// ends by running the command line it is given).
RunResult run_behind(std::vector<std::string> launcher, const std::vector<std::string>& args);

zdz::crypto::VerifyingKey keystore_at(const std::string& path);

// A keystore, a trust file naming the manifest signer, a signed manifest and a
// store that already holds one promotion of it.
struct Workspace {
    TempDir dir;
    std::string keystore = dir.file("k.json");
    std::string signers = dir.file("signers");
    std::string manifest = dir.file("m.json");
    std::string store = dir.file("store.json");
    std::string image = dir.file("image.img");
    zdz::crypto::VerifyingKey operator_key = keystore_at(keystore);

    Workspace() {
        const auto signer = zdz::test::fixed_key(0x42);
        dir.write(
            "signers",
            zdz::trust::format_allowed_signers_line("release@test", signer.verifying_key()) + "\n");
        dir.write("image.img", "image bytes");
        dir.write("m.json", zdz::test::install_manifest_json(
                                signer, "vask", 4,
                                {zdz::crypto::measure_sha256(std::string_view("image bytes"))}));
        const auto first = run(promote_args());
        if (first.status != 0) {
            throw std::runtime_error("setup promote failed: " + first.err);
        }
    }

    // With --force: the faults are injected into the write that replaces
    // --out, which an existing --out reaches only then.
    std::vector<std::string> keygen_args(const std::string& out) const {
        return {"keygen", "--out", out, "--passphrase-env", kPassphraseVar, "--force"};
    }
    std::vector<std::string> sign_args(const std::string& out) const {
        return zdz::test::sign_args(keystore, image, "5", out);
    }
    std::vector<std::string> promote_args() const { return promote_args(store, keystore); }
    std::vector<std::string> promote_args(const std::string& store_path,
                                          const std::string& keystore_path) const {
        return zdz::test::promote_args(manifest, signers, store_path, keystore_path);
    }
    std::vector<std::string> authorize_args(const std::string& store_path) const {
        return {"authorize-install",
                "--store",
                store_path,
                "--keystore",
                keystore,
                "--platform",
                "vask",
                "--measurement",
                zdz::crypto::measure_sha256(std::string_view("image bytes")).to_string()};
    }

    std::vector<std::string> withdraw_args(const std::string& measurement) const {
        return {"withdraw", "--store",          store,          "--keystore",
                keystore,   "--passphrase-env", kPassphraseVar, "--platform",
                "vask",     "--measurement",    measurement};
    }

    // The platform's state in the store; a store that does not load fails the
    // test and reads as an empty state.
    zdz::trust::PlatformState platform_state(const std::string& path) const {
        const auto loaded = zdz::store::load_registry_store(path, operator_key, zdz::test::now());
        EXPECT_TRUE(loaded && loaded->has_value())
            << (loaded ? "no store" : loaded.error().display());
        if (!loaded || !loaded->has_value()) {
            return {};
        }
        const auto it = (*loaded)->platforms().find(*zdz::trust::ImagePlatform::parse("vask"));
        return it == (*loaded)->platforms().end() ? zdz::trust::PlatformState{} : it->second;
    }

    // The number of measurements withdrawn on the platform.
    std::size_t withdrawn(const std::string& path) const {
        return platform_state(path).withdrawn.size();
    }

    // The number of promotions in the store.
    std::size_t promotions(const std::string& path) const {
        return platform_state(path).history.size();
    }
};

inline const std::string kSaveFailed =
    "error: promotion succeeded in memory but the store could not be "
    "saved: local storage operation failed: cannot write ";

std::string keygen_failed(const std::string& out, const std::string& temp, std::string_view os);

// Options under which the program runs with the test library preloaded that
// brings about the faults and timings named in `env` (see fault_shim.c).
RunOptions with_fault_shim(std::map<std::string, std::string> env);

// The verifying key a keygen report prints, empty if there is none.
std::string printed_key(const std::string& report);

// The verifying key recorded in a keystore text, empty if it does not read.
std::string recorded_key(const std::string& keystore_text);

// What identifies a file-system object, to tell that it was left alone.
struct Node {
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    dev_t rdev = 0;
    friend bool operator==(const Node&, const Node&) = default;
};

Node node_at(const std::string& path);

}  // namespace zdz::test::faults
