// The commands that write (keygen, sign, promote) under faults of the system
// around them: a file-size limit, a full file system, a folder they may not
// write, the process killed halfway, and their files replaced by something
// that is not a regular file. Whatever happens, the file that was there before
// keeps its bytes or is wholly replaced, and a failure is reported as one.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "contracts/hash.hpp"
#include "contracts/hex.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

namespace fs = std::filesystem;
using zdz::test::ChildOptions;
using zdz::test::ChildProcess;
using zdz::test::ChildResult;
using zdz::test::kPassphrase;
using zdz::test::kPassphraseVar;
using zdz::test::program_path;
using zdz::test::TempDir;

namespace {

using namespace std::chrono_literals;

constexpr rlim_t kFileSizeLimitBytes = 64;
// Long enough for a keygen at the default Argon2id cost under the sanitizers;
// the commands that unseal the test keystore (at the cost floor) need far less.
constexpr auto kNoHangTimeout = 60s;
constexpr auto kQuickTimeout = 10s;
constexpr int kKillRounds = 30;
constexpr std::string_view kEfbig = "File too large (os error 27)";
constexpr std::string_view kEnospc = "No space left on device (os error 28)";
constexpr std::string_view kEacces = "Permission denied (os error 13)";

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Runs `argv` with the test passphrase in its environment; a child that gives
// no answer within `timeout` is a failure of the test, and is killed.
ChildResult run_argv(const std::vector<std::string>& argv, ChildOptions options = {},
                     std::chrono::milliseconds timeout = kNoHangTimeout) {
    options.env.emplace(kPassphraseVar, kPassphrase);
    ChildProcess child(argv, options);
    const auto done = child.wait_for(timeout);
    if (!done) {
        std::string command;
        for (const auto& arg : argv) {
            command += " " + arg;
        }
        ADD_FAILURE() << "no answer within the timeout:" << command;
        child.send(SIGKILL);
        return child.wait();
    }
    return *done;
}

ChildResult run(const std::vector<std::string>& args, ChildOptions options = {},
                std::chrono::milliseconds timeout = kNoHangTimeout) {
    std::vector<std::string> argv{program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_argv(argv, std::move(options), timeout);
}

zdz::contracts::VerifyingKey keystore_at(const std::string& path) {
    const auto hex = zdz::test::write_test_keystore(path);
    return *zdz::contracts::VerifyingKey::from_bytes(*zdz::contracts::hex_decode(hex));
}

// A keystore, a trust file naming the manifest signer, a signed manifest and a
// store that already holds one promotion of it.
struct Workspace {
    TempDir dir;
    std::string keystore = dir.file("k.json");
    std::string signers = dir.file("signers");
    std::string manifest = dir.file("m.json");
    std::string store = dir.file("store.json");
    std::string image = dir.file("image.img");
    zdz::contracts::VerifyingKey operator_key = keystore_at(keystore);

    Workspace() {
        const auto signer = zdz::test::fixed_key(0x42);
        dir.write(
            "signers",
            zdz::trust::format_allowed_signers_line("release@test", signer.verifying_key()) + "\n");
        dir.write("image.img", "image bytes");
        const zdz::trust::ImageManifestBody body{
            zdz::contracts::Uuid::new_v4(),
            *zdz::trust::ImagePlatform::parse("vask"),
            zdz::trust::ImageKind::Install,
            {zdz::contracts::measure_sha256(std::string_view("image bytes"))},
            4,
            zdz::contracts::Uuid::new_v4(),
            zdz::contracts::Timestamp::now(),
            std::nullopt};
        dir.write("m.json",
                  zdz::trust::write_manifest_json(*zdz::trust::sign_manifest(body, signer)));
        const auto first = run(promote_args());
        if (first.status != 0) {
            throw std::runtime_error("setup promote failed: " + first.err);
        }
    }

    std::vector<std::string> keygen_args(const std::string& out) const {
        return {"keygen", "--out", out, "--passphrase-env", kPassphraseVar};
    }
    std::vector<std::string> sign_args(const std::string& out) const {
        return {"sign",
                "--keystore",
                keystore,
                "--passphrase-env",
                kPassphraseVar,
                "--image-file",
                image,
                "--platform",
                "vask",
                "--kind",
                "install",
                "--security-version",
                "5",
                "--out",
                out};
    }
    std::vector<std::string> promote_args() const { return promote_args(store, keystore); }
    std::vector<std::string> promote_args(const std::string& store_path,
                                          const std::string& keystore_path) const {
        return {"promote",     "--manifest",       manifest,      "--signers-file",
                signers,       "--store",          store_path,    "--keystore",
                keystore_path, "--passphrase-env", kPassphraseVar};
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
                zdz::contracts::measure_sha256(std::string_view("image bytes")).to_string()};
    }

    // The number of promotions in the store; a store that does not load fails
    // the test.
    std::size_t promotions(const std::string& path) const {
        const auto loaded =
            zdz::store::load_registry_store(path, operator_key, zdz::contracts::Timestamp::now());
        EXPECT_TRUE(loaded && loaded->has_value())
            << (loaded ? "no store" : loaded.error().display());
        if (!loaded || !loaded->has_value()) {
            return 0;
        }
        const auto platform = *zdz::trust::ImagePlatform::parse("vask");
        return (*loaded)->history(platform).size();
    }
};

const std::string kSaveFailed =
    "error: promotion succeeded in memory but the store could not be "
    "saved: local storage operation failed: cannot write ";

std::string keygen_failed(const std::string& out, const std::string& temp, std::string_view os) {
    return "error: failed to write keystore to " + out +
           ": local storage operation failed: cannot write " + temp + ": " + std::string(os) + "\n";
}

// Runs the program in a mount namespace of its own where `dir`/fs is a small
// file system filled to the last byte; `seed` is copied in first. Afterwards
// everything left in it (but the filler) is copied to `dir`/after. Nothing when
// the system lets no unprivileged user mount a file system.
std::optional<ChildResult> run_on_full_disk(const std::string& dir, const std::string& seed,
                                            const std::vector<std::string>& args) {
    static const std::string script = R"(set -e
mnt=$1; after=$2; seed=$3; shift 3
mount -t tmpfs -o size=64k,mode=0755 tmpfs "$mnt"
cp --preserve=mode "$seed" "$mnt/"
cat /dev/zero > "$mnt/filler" 2>/dev/null || true
set +e
"$@"
status=$?
mkdir -p "$after"
for f in "$mnt"/* "$mnt"/.[!.]*; do
  if [ -e "$f" ] && [ "$f" != "$mnt/filler" ]; then cp --preserve=mode "$f" "$after/"; fi
done
exit $status
)";
    fs::create_directories(dir + "/fs");
    const auto probe = zdz::test::run_tool(
        {"unshare", "-r", "-m", "sh", "-c", "mount -t tmpfs tmpfs \"$0\"", dir + "/fs"});
    if (probe.status != 0) {
        return std::nullopt;
    }
    std::vector<std::string> argv{"unshare",      "-r",   "-m",          "sh",
                                  "-c",           script, "full-disk",   dir + "/fs",
                                  dir + "/after", seed,   program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_argv(argv);
}

// Runs the program without the privilege of ignoring file permissions, so a
// folder without write permission refuses writes even when the tests run as
// root.
ChildResult run_without_override(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (::geteuid() == 0) {
        argv = {"setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"};
    }
    argv.push_back(program_path());
    argv.insert(argv.end(), args.begin(), args.end());
    return run_argv(argv);
}

}  // namespace

TEST(FaultInjection, FileSizeLimitLeavesThePreviousFilesAsTheyWere) {
    Workspace w;
    const auto keystore_before = bytes_of(w.keystore);
    const auto store_before = bytes_of(w.store);
    const auto signed_path = w.dir.file("signed.json");
    const auto first_sign = run(w.sign_args(signed_path));
    ASSERT_EQ(first_sign.status, 0) << first_sign.err;
    const auto signed_before = bytes_of(signed_path);
    const auto files = listing(w.dir.path());
    ChildOptions limited;
    limited.limits = {{RLIMIT_FSIZE, kFileSizeLimitBytes}};

    const auto keygen = run(w.keygen_args(w.keystore), limited);
    EXPECT_EQ(keygen.status, 1);
    EXPECT_EQ(keygen.out, "");
    EXPECT_EQ(keygen.err, keygen_failed(w.keystore, w.dir.file("k.tmp"), kEfbig));
    EXPECT_EQ(bytes_of(w.keystore), keystore_before);

    const auto sign = run(w.sign_args(signed_path), limited);
    EXPECT_EQ(sign.status, 1);
    EXPECT_EQ(sign.out, "");
    EXPECT_EQ(sign.err, "error: cannot write " + signed_path + ": " + std::string(kEfbig) + "\n");
    EXPECT_EQ(bytes_of(signed_path), signed_before);

    const auto promote = run(w.promote_args(), limited);
    EXPECT_EQ(promote.status, 1);
    EXPECT_EQ(promote.out, "");
    EXPECT_EQ(promote.err,
              kSaveFailed + w.dir.file("store.tmp") + ": " + std::string(kEfbig) + "\n");
    EXPECT_EQ(bytes_of(w.store), store_before);

    // No temporary file is left behind, and the store still serves.
    EXPECT_EQ(listing(w.dir.path()), files);
    EXPECT_EQ(run(w.authorize_args(w.store)).status, 0);
}

TEST(FaultInjection, FullDiskLeavesThePreviousFilesAsTheyWere) {
    Workspace w;
    const auto mnt = w.dir.file("fs");
    const auto after = w.dir.file("after");
    const auto keygen = run_on_full_disk(w.dir.path(), w.keystore, w.keygen_args(mnt + "/k.json"));
    if (!keygen) {
        GTEST_SKIP() << "this system does not let the test mount a small file system";
    }
    EXPECT_EQ(keygen->status, 1);
    EXPECT_EQ(keygen->err, keygen_failed(mnt + "/k.json", mnt + "/k.tmp", kEnospc));
    EXPECT_EQ(listing(after), std::set<std::string>{"k.json"});
    EXPECT_EQ(bytes_of(after + "/k.json"), bytes_of(w.keystore));

    fs::remove_all(after);
    const auto sign = run_on_full_disk(w.dir.path(), w.manifest, w.sign_args(mnt + "/m.json"));
    ASSERT_TRUE(sign);
    EXPECT_EQ(sign->status, 1);
    EXPECT_EQ(sign->err, "error: cannot write " + mnt + "/m.json: " + std::string(kEnospc) + "\n");
    EXPECT_EQ(listing(after), std::set<std::string>{"m.json"});
    EXPECT_EQ(bytes_of(after + "/m.json"), bytes_of(w.manifest));

    fs::remove_all(after);
    const auto promote =
        run_on_full_disk(w.dir.path(), w.store, w.promote_args(mnt + "/store.json", w.keystore));
    ASSERT_TRUE(promote);
    EXPECT_EQ(promote->status, 1);
    EXPECT_EQ(promote->err, kSaveFailed + mnt + "/store.tmp: " + std::string(kEnospc) + "\n");
    EXPECT_EQ(listing(after), std::set<std::string>{"store.json"});
    EXPECT_EQ(bytes_of(after + "/store.json"), bytes_of(w.store));
}

TEST(FaultInjection, PromoteKilledAtRandomPointsLeavesTheOldOrTheNewStore) {
    Workspace w;
    // How long one promotion takes here, to spread the kills over its run.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run(w.promote_args()).status, 0);
    const auto typical = std::chrono::steady_clock::now() - start;

    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> jitter(0.0, 1.0);
    int killed_old = 0;
    int killed_new = 0;
    int finished = 0;
    for (int round = 0; round < kKillRounds; ++round) {
        const auto before = bytes_of(w.store);
        const auto count = w.promotions(w.store);
        // Spread from the start to half as long again as a whole run.
        const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
            typical * 1.5 * ((round + jitter(random)) / kKillRounds));
        std::vector<std::string> argv{program_path()};
        const auto args = w.promote_args();
        argv.insert(argv.end(), args.begin(), args.end());
        ChildOptions options;
        options.env.emplace(kPassphraseVar, kPassphrase);
        ChildProcess child(argv, options);
        std::this_thread::sleep_for(delay);
        child.send(SIGKILL);
        const auto result = child.wait();

        const auto now_count = w.promotions(w.store);
        if (result.status == 0) {
            ++finished;
            EXPECT_EQ(now_count, count + 1) << "round " << round;
        } else if (now_count == count) {
            ++killed_old;
            EXPECT_EQ(bytes_of(w.store), before) << "round " << round;
        } else {
            ++killed_new;
            EXPECT_EQ(now_count, count + 1) << "round " << round;
        }
    }
    std::cout << "[          ] " << kKillRounds << " rounds: " << killed_old
              << " killed before the store changed, " << killed_new << " killed after, " << finished
              << " finished\n";
    EXPECT_GT(killed_old, 0);

    // Whatever a kill left beside it, the next promotion goes through.
    const auto count = w.promotions(w.store);
    const auto next = run(w.promote_args());
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(w.promotions(w.store), count + 1);
}

TEST(FaultInjection, ReadOnlyFolderRefusesEveryWriteAndKeepsItsFiles) {
    Workspace w;
    const auto ro = w.dir.file("ro");
    fs::create_directory(ro);
    for (const auto* name : {"k.json", "m.json", "store.json"}) {
        fs::copy_file(w.dir.file(name), ro + "/" + name);
    }
    ::chmod(ro.c_str(), 0555);
    const auto files = listing(ro);

    const auto keygen = run_without_override(w.keygen_args(ro + "/k.json"));
    EXPECT_EQ(keygen.status, 1);
    EXPECT_EQ(keygen.err, keygen_failed(ro + "/k.json", ro + "/k.tmp", kEacces));

    const auto sign = run_without_override(w.sign_args(ro + "/m.json"));
    EXPECT_EQ(sign.status, 1);
    EXPECT_EQ(sign.err, "error: cannot write " + ro + "/m.json: " + std::string(kEacces) + "\n");

    const auto promote = run_without_override(w.promote_args(ro + "/store.json", ro + "/k.json"));
    EXPECT_EQ(promote.status, 1);
    EXPECT_EQ(promote.err, kSaveFailed + ro + "/store.tmp: " + std::string(kEacces) + "\n");

    // Reading still works, and nothing was changed or added.
    EXPECT_EQ(run_without_override(w.authorize_args(ro + "/store.json")).status, 0);
    EXPECT_EQ(listing(ro), files);
    for (const auto* name : {"k.json", "m.json", "store.json"}) {
        EXPECT_EQ(bytes_of(ro + "/" + name), bytes_of(w.dir.file(name))) << name;
    }
    ::chmod(ro.c_str(), 0755);
}

TEST(FaultInjection, KeystoreReplacedBySomethingElseIsAClearError) {
    Workspace w;
    const auto k = w.dir.file("other.json");
    const auto load_error = [&](const std::string& detail) {
        return "error: cannot load keystore " + k + ": " + detail + "\n";
    };
    const auto sign = [&] {
        auto args = w.sign_args(w.dir.file("out.json"));
        args[2] = k;
        return run(args, {}, kQuickTimeout);
    };

    fs::create_directory(k);
    EXPECT_EQ(sign().err, load_error("local storage operation failed: cannot read " + k +
                                     ": Is a directory (os error 21)"));
    fs::remove(k);

    w.dir.write("other.json", "");
    EXPECT_EQ(sign().err,
              load_error("keystore is malformed: EOF while parsing a value at line 1 column 0"));
    fs::remove(k);

    fs::create_symlink(w.dir.file("nowhere.json"), k);
    EXPECT_EQ(sign().err, load_error("local storage operation failed: cannot read " + k +
                                     ": No such file or directory (os error 2)"));
    fs::remove(k);

    fs::create_symlink(k, k);
    EXPECT_EQ(sign().err, load_error("local storage operation failed: cannot read " + k +
                                     ": Too many levels of symbolic links (os error 40)"));
    fs::remove(k);

    // A link to a keystore is read through.
    fs::create_symlink(w.keystore, k);
    EXPECT_EQ(sign().status, 0);
    fs::remove(k);
    fs::remove(w.dir.file("out.json"));

    // A FIFO with no writer: opening it for reading would wait forever.
    ASSERT_EQ(::mkfifo(k.c_str(), 0600), 0);
    const auto fifo = sign();
    EXPECT_EQ(fifo.status, 1);
    EXPECT_EQ(fifo.err, load_error("local storage operation failed: cannot read " + k +
                                   ": not a regular file"));
    fs::remove(k);
    EXPECT_FALSE(fs::exists(w.dir.file("out.json")));

    // keygen replaces whatever is at --out by renaming over it: a link is
    // replaced, never written through, and a folder is refused.
    w.dir.write("target", "not a keystore");
    fs::create_symlink(w.dir.file("target"), k);
    EXPECT_EQ(run(w.keygen_args(k)).status, 0);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(k)));
    EXPECT_EQ(w.dir.read("target"), "not a keystore");
    fs::remove(k);

    fs::create_directory(k);
    const auto onto_folder = run(w.keygen_args(k));
    EXPECT_EQ(onto_folder.status, 1);
    EXPECT_EQ(onto_folder.err, "error: failed to write keystore to " + k +
                                   ": local storage operation failed: cannot finalize " + k +
                                   ": Is a directory (os error 21)\n");
    EXPECT_TRUE(fs::is_empty(k));
    EXPECT_FALSE(fs::exists(w.dir.file("other.tmp")));
}

TEST(FaultInjection, StoreReplacedBySomethingElseIsAClearError) {
    Workspace w;
    const auto s = w.dir.file("other-store.json");
    const auto expect_both = [&](const std::string& detail) {
        const auto promote = run(w.promote_args(s, w.keystore), {}, kQuickTimeout);
        EXPECT_EQ(promote.status, 1);
        EXPECT_EQ(promote.err, "error: cannot load existing store " + s + ": " + detail + "\n");
        const auto authorize = run(w.authorize_args(s), {}, kQuickTimeout);
        EXPECT_EQ(authorize.status, 1);
        EXPECT_EQ(authorize.err, "error: cannot load store " + s + ": " + detail + "\n");
    };
    const std::string cannot_read = "local storage operation failed: cannot read " + s + ": ";

    fs::create_directory(s);
    expect_both(cannot_read + "Is a directory (os error 21)");
    EXPECT_TRUE(fs::is_empty(s));
    fs::remove(s);

    w.dir.write("other-store.json", "");
    expect_both("registry snapshot is malformed: EOF while parsing a value at line 1 column 0");
    EXPECT_EQ(w.dir.read("other-store.json"), "");
    fs::remove(s);

    ASSERT_EQ(::mkfifo(s.c_str(), 0600), 0);
    expect_both(cannot_read + "not a regular file");
    fs::remove(s);

    fs::create_symlink(s, s);
    expect_both(cannot_read + "Too many levels of symbolic links (os error 40)");
    fs::remove(s);

    // A link whose target is gone is not a missing store: taken as one, the
    // promotion would start from an empty registry and drop every rollback
    // floor the real store holds.
    fs::create_symlink(w.dir.file("moved-away.json"), s);
    expect_both(cannot_read + "No such file or directory (os error 2)");
    EXPECT_TRUE(fs::is_symlink(s));
    EXPECT_FALSE(fs::exists(w.dir.file("moved-away.json")));
}
