// The commands that write (keygen, sign, promote) under faults of the system
// around them: a file-size limit, a full file system, a folder they may not
// write, the process killed halfway, a folder flush that fails, their files
// replaced by something that is not a regular file, something planted at their
// temporary path, and writers running at the same time. Whatever happens, the
// file that was there before keeps its bytes or is wholly replaced, and a
// failure is reported as one.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/digest.hpp"
#include "encoding/hex.hpp"
#include "io/atomic_file.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/kills.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"
#include "trust/registry.hpp"
#include "trust/signers.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using zdz::io::atomic_temp_path;

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

RunOptions with_passphrase() {
    RunOptions options;
    options.env.emplace(kPassphraseVar, kPassphrase);
    return options;
}

// Runs `argv` with the test passphrase in its environment; a child that gives
// no answer within `timeout` is a failure of the test, and is killed.
RunResult run_argv(const std::vector<std::string>& argv, RunOptions options = {},
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

RunResult run(const std::vector<std::string>& args, RunOptions options = {},
              std::chrono::milliseconds timeout = kNoHangTimeout) {
    std::vector<std::string> argv{program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_argv(argv, std::move(options), timeout);
}

zdz::crypto::VerifyingKey keystore_at(const std::string& path) {
    const auto hex = zdz::test::write_test_keystore(path);
    return *zdz::crypto::VerifyingKey::from_bytes(*zdz::encoding::hex_decode(hex));
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

    std::vector<std::string> keygen_args(const std::string& out) const {
        return {"keygen", "--out", out, "--passphrase-env", kPassphraseVar};
    }
    std::vector<std::string> sign_args(const std::string& out) const {
        return zdz::test::sign_args(keystore, image, "5", out);
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
std::optional<RunResult> run_on_full_disk(const std::string& dir, const std::string& seed,
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
RunResult run_without_override(const std::vector<std::string>& args) {
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
    RunOptions limited;
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

namespace {

// Kills the run of `args_of(round)` at random moments: after each round the
// store holds, byte for byte, what it held, or `count` (of the entries the
// command adds) is one more; `also` checks the store further after a round.
// Whatever a kill left beside the store, the next run then goes through.
void kill_store_writer(
    const Workspace& w, const std::function<std::vector<std::string>(int round)>& args_of,
    const std::function<std::size_t()>& count,
    const std::function<void(int round)>& also = [](int) {}) {
    std::string before;
    std::size_t count_before = 0;
    kill_at_random(
        kKillRounds,
        [&](int round) {
            before = bytes_of(w.store);
            count_before = count();
            return Invocation{args_of(round), with_passphrase()};
        },
        [&](int status, int round) {
            const auto now_count = count();
            if (status == 0 || now_count != count_before) {
                EXPECT_EQ(now_count, count_before + 1) << "round " << round;
            } else {
                EXPECT_EQ(bytes_of(w.store), before) << "round " << round;
            }
            also(round);
            return now_count != count_before;
        });

    const auto next_count = count();
    const auto next = run(args_of(kKillRounds));
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(count(), next_count + 1);
}

}  // namespace

// After each round the store holds the promotions it had, byte for byte, or
// one more.
TEST(FaultInjection, PromoteKilledAtRandomPointsLeavesTheOldOrTheNewStore) {
    Workspace w;
    kill_store_writer(
        w, [&](int) { return w.promote_args(); }, [&] { return w.promotions(w.store); });
}

// Each round withdraws another measurement, so that every run that gets to
// its save changes the store; the promotion history is never touched.
TEST(FaultInjection, WithdrawKilledAtRandomPointsLeavesTheOldOrTheNewStore) {
    Workspace w;
    const auto measurement = [](int round) {
        return zdz::crypto::measure_sha256(std::string_view("recalled-" + std::to_string(round)))
            .to_string();
    };
    kill_store_writer(
        w, [&](int round) { return w.withdraw_args(measurement(round)); },
        [&] { return w.withdrawn(w.store); },
        [&](int round) { EXPECT_EQ(w.promotions(w.store), 1U) << "round " << round; });
}

TEST(FaultInjection, WithdrawThatCannotSaveLeavesTheStoreAsItWas) {
    Workspace w;
    const auto before = bytes_of(w.store);
    const auto files = listing(w.dir.path());
    RunOptions limited;
    limited.limits = {{RLIMIT_FSIZE, kFileSizeLimitBytes}};
    const auto recalled = zdz::crypto::measure_sha256(std::string_view("recalled")).to_string();
    const auto r = run(w.withdraw_args(recalled), limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "error: withdrawal succeeded in memory but the store could not be saved: "
              "local storage operation failed: cannot write " +
                  w.dir.file("store.tmp") + ": " + std::string(kEfbig) + "\n");
    EXPECT_EQ(bytes_of(w.store), before);
    EXPECT_EQ(listing(w.dir.path()), files);
    EXPECT_EQ(run(w.withdraw_args(recalled)).status, 0);
    EXPECT_EQ(w.withdrawn(w.store), 1U);
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

    // keygen replaces a file at --out by renaming over it. A link is neither
    // replaced (whoever reads through it would go on reading the old file)
    // nor written through: refused before the key is made, and a folder is
    // refused by the rename.
    w.dir.write("target", "not a keystore");
    fs::create_symlink(w.dir.file("target"), k);
    const auto onto_link = run(w.keygen_args(k));
    EXPECT_EQ(onto_link.status, 1);
    EXPECT_EQ(onto_link.err, "error: failed to write keystore to " + k +
                                 ": local storage operation failed: cannot write " + k +
                                 ": it is a symbolic link; name the file it leads to\n");
    EXPECT_TRUE(fs::is_symlink(k));
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

// ---- what sits where a command writes ---------------------------------------

namespace {

constexpr auto kConcurrentTimeout = 300s;
constexpr int kConcurrentKeygens = 8;
constexpr int kConcurrentRounds = 3;
constexpr uid_t kNobody = 65534;
constexpr std::string_view kEio = "Input/output error (os error 5)";

// Options under which the program runs with the test library preloaded that
// brings about the faults and timings named in `env` (see fault_shim.c).
RunOptions with_fault_shim(std::map<std::string, std::string> env) {
    RunOptions options;
    options.env = std::move(env);
    options.env.emplace("LD_PRELOAD", ZDZ_FAULT_SHIM);
    // A sanitizer runtime linked dynamically would refuse to come after it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env.emplace("ASAN_OPTIONS",
                        std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
    return options;
}

// The verifying key a keygen report prints, empty if there is none.
std::string printed_key(const std::string& report) {
    static const std::regex line("\n  verifying_key: ([0-9a-f]{64})\n");
    std::smatch m;
    return std::regex_search(report, m, line) ? m[1].str() : "";
}

// The verifying key recorded in a keystore text, empty if it does not read.
std::string recorded_key(const std::string& keystore_text) {
    const auto record = zdz::store::read_keystore_json(keystore_text);
    return record ? record->verifying_key_hex : "";
}

// What identifies a file-system object, to tell that it was left alone.
struct Node {
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    dev_t rdev = 0;
    friend bool operator==(const Node&, const Node&) = default;
};

Node node_at(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return {st.st_dev, st.st_ino, st.st_mode, st.st_rdev};
}

}  // namespace

// The temporary file of the keystore and the store has a fixed name beside
// its destination. What sits there is never followed, reused or opened, and
// only the leftover of an interrupted write of this program is removed:
// anything else (a keystore someone named "store.tmp", a planted link, a
// FIFO, another user's file, a folder) makes the write refuse, naming it,
// with every file as it was.
TEST(FaultInjection, OnlyALeftoverAtTheTemporaryPathIsRemoved) {
    Workspace w;
    const auto keystore_before = bytes_of(w.keystore);
    const auto store_tmp = w.dir.file("store.tmp");
    const auto out = w.dir.file("new.json");
    const auto out_tmp = w.dir.file("new.tmp");
    const auto other = w.dir.file("other");
    const std::string in_the_way =
        ": it already exists and was not left by an interrupted write of this program; move it "
        "away first";

    const auto promote_refused = [&](const std::string& planted, const std::string& err) {
        const auto store_before = bytes_of(w.store);
        const auto node_before = node_at(store_tmp);
        const auto r = run(w.promote_args(), {}, kQuickTimeout);
        EXPECT_EQ(r.status, 1) << planted;
        EXPECT_EQ(r.out, "") << planted;
        EXPECT_EQ(r.err, err) << planted;
        EXPECT_EQ(bytes_of(w.store), store_before) << planted;
        EXPECT_EQ(node_at(store_tmp), node_before) << planted;
        EXPECT_EQ(bytes_of(w.keystore), keystore_before) << planted;
    };
    const auto keygen_refused = [&](const std::string& planted) {
        const auto node_before = node_at(out_tmp);
        const auto r = run(w.keygen_args(out));
        EXPECT_EQ(r.status, 1) << planted;
        EXPECT_EQ(r.err, "error: failed to write keystore to " + out +
                             ": local storage operation failed: cannot write " + out_tmp +
                             in_the_way + "\n")
            << planted;
        EXPECT_FALSE(fs::exists(fs::symlink_status(out))) << planted;
        EXPECT_EQ(node_at(out_tmp), node_before) << planted;
    };
    const auto clear = [&] {
        fs::remove(store_tmp);
        fs::remove(out_tmp);
    };

    const auto save_refused = [&](const std::string& detail) {
        return kSaveFailed + store_tmp + detail + "\n";
    };

    // Followed, the link would have the store written over the signing key;
    // removed, it would be gone for whoever relies on it. Since it leads to
    // the command's own keystore, promote refuses before unsealing it.
    fs::create_symlink(w.keystore, store_tmp);
    promote_refused("link to the keystore", "error: store " + w.store +
                                                " cannot be saved: its temporary file " +
                                                store_tmp + " is the same file as --keystore\n");
    fs::remove(store_tmp);
    fs::create_symlink(w.image, store_tmp);
    promote_refused("link to a file promote does not read", save_refused(in_the_way));
    fs::create_symlink(other, out_tmp);
    keygen_refused("link to a missing file");
    EXPECT_FALSE(fs::exists(fs::symlink_status(other)));
    clear();

    // A keystore that happens to carry the temporary name of a store.
    fs::copy_file(w.keystore, store_tmp);
    promote_refused("a keystore", save_refused(in_the_way));
    EXPECT_EQ(bytes_of(store_tmp), keystore_before);
    clear();

    // Opened for writing, a FIFO nobody reads would stall the command for
    // ever, promote while it holds the store's lock.
    ASSERT_EQ(::mkfifo(store_tmp.c_str(), 0600), 0);
    promote_refused("FIFO", save_refused(in_the_way));
    ASSERT_EQ(::mkfifo(out_tmp.c_str(), 0600), 0);
    keygen_refused("FIFO");
    clear();

    // Another user's file, even one that carries the mark of a pending write.
    if (::geteuid() == 0) {
        for (const auto& planted : {store_tmp, out_tmp}) {
            std::ofstream(planted) << "planted";
            ASSERT_EQ(::chown(planted.c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(::chmod(planted.c_str(), 01666), 0);
        }
        promote_refused("file of another user", save_refused(in_the_way));
        keygen_refused("file of another user");
        clear();
    }

    // A folder is not something a failed write leaves: the write says so.
    fs::create_directory(store_tmp);
    promote_refused("folder", save_refused(": Is a directory (os error 21)"));
    EXPECT_TRUE(fs::is_directory(store_tmp));
    clear();

    // What an interrupted write leaves (a regular file of ours that still
    // carries the pending mark) is removed by the next write, which then
    // succeeds.
    for (const auto& leftover : {store_tmp, out_tmp}) {
        std::ofstream(leftover) << "{\"cut\": ";
        ASSERT_EQ(::chmod(leftover.c_str(), 01600), 0);
    }
    const auto count = w.promotions(w.store);
    const auto promoted = run(w.promote_args(), {}, kQuickTimeout);
    EXPECT_EQ(promoted.status, 0) << promoted.err;
    EXPECT_EQ(w.promotions(w.store), count + 1);
    const auto made = run(w.keygen_args(out));
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(recorded_key(bytes_of(out)), printed_key(made.out));
    for (const auto& written : {w.store, out}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(atomic_temp_path(written)))) << written;
        // The mark goes with the rename.
        EXPECT_EQ(node_at(written).mode & 07000, 0U) << written;
    }
}

// Keygens started together onto one --out each install their own file, one
// after the other: every report describes the file its own rename put in
// place, and the key left on disk is one that a report printed. Each rename
// is delayed, to leave a concurrent writer time to interfere.
TEST(FaultInjection, ConcurrentKeygensOnOneOutEachReportTheFileTheyInstalled) {
    Workspace w;
    const auto out = w.dir.file("shared.json");
    for (int round = 0; round < kConcurrentRounds; ++round) {
        const auto installed = w.dir.file("installed-" + std::to_string(round));
        fs::create_directory(installed);
        auto options = with_fault_shim(
            {{"ZDZ_SHIM_RENAME_DELAY_MS", "100"}, {"ZDZ_SHIM_RENAME_COPY_DIR", installed}});
        options.env.emplace(kPassphraseVar, kPassphrase);
        std::vector<std::string> argv{program_path()};
        const auto args = w.keygen_args(out);
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::unique_ptr<ChildProcess>> children;
        for (int i = 0; i < kConcurrentKeygens; ++i) {
            children.push_back(std::make_unique<ChildProcess>(argv, options));
        }
        std::set<std::string> reported;
        for (auto& child : children) {
            const auto pid = child->pid();
            const auto done = child->wait_for(kConcurrentTimeout);
            ASSERT_TRUE(done) << "round " << round << ": a keygen gave no answer";
            EXPECT_EQ(done->status, 0) << "round " << round << ": " << done->err;
            if (done->status != 0) {
                continue;
            }
            const auto key = printed_key(done->out);
            reported.insert(key);
            EXPECT_EQ(recorded_key(bytes_of(installed + "/" + std::to_string(pid))), key)
                << "round " << round << ": the report is not what this keygen installed";
        }
        EXPECT_EQ(reported.size(), static_cast<std::size_t>(kConcurrentKeygens))
            << "round " << round;
        EXPECT_EQ(reported.count(recorded_key(bytes_of(out))), 1U)
            << "round " << round << ": the key on disk was printed by no keygen";
        EXPECT_FALSE(fs::exists(fs::symlink_status(w.dir.file("shared.tmp"))));
    }
}

// Withdrawals and promotions started together against one store follow one
// another under the store's folder lock: none of their changes is lost. Each
// rename is delayed, to leave a concurrent writer time to interfere.
TEST(FaultInjection, ConcurrentWithdrawalsAndPromotionsAreAllKept) {
    constexpr int kEach = 4;
    Workspace w;
    const auto signer = zdz::test::fixed_key(0x42);
    const auto manifest_of = [&](int i) {
        std::string name = "m";
        name += std::to_string(i);
        name += ".json";
        return w.dir.file(name);
    };
    for (int i = 0; i < kEach; ++i) {
        std::ofstream(manifest_of(i)) << zdz::test::install_manifest_json(
            signer, "platform-" + std::to_string(i), 1,
            {zdz::crypto::measure_sha256(std::string_view("image-" + std::to_string(i)))});
    }
    for (int round = 0; round < kConcurrentRounds; ++round) {
        auto options = with_fault_shim({{"ZDZ_SHIM_RENAME_DELAY_MS", "50"}});
        options.env.emplace(kPassphraseVar, kPassphrase);
        const auto withdrawn = [&](int i) {
            return zdz::crypto::measure_sha256(std::string_view("recalled-" +
                                                                std::to_string(round) + "-" +
                                                                std::to_string(i)))
                .to_string();
        };
        std::vector<std::unique_ptr<ChildProcess>> children;
        for (int i = 0; i < kEach; ++i) {
            auto promote = w.promote_args();
            promote[2] = manifest_of(i);
            for (const auto& args : {promote, w.withdraw_args(withdrawn(i))}) {
                std::vector<std::string> argv{program_path()};
                argv.insert(argv.end(), args.begin(), args.end());
                children.push_back(std::make_unique<ChildProcess>(argv, options));
            }
        }
        for (auto& child : children) {
            const auto done = child->wait_for(kConcurrentTimeout);
            ASSERT_TRUE(done) << "round " << round << ": a command gave no answer";
            EXPECT_EQ(done->status, 0) << "round " << round << ": " << done->err;
        }
        const auto loaded =
            zdz::store::load_registry_store(w.store, w.operator_key, zdz::test::now());
        ASSERT_TRUE(loaded && loaded->has_value());
        const auto& registry = **loaded;
        EXPECT_EQ(registry.platforms().size(), static_cast<std::size_t>(kEach + 1));
        const auto& vask = registry.platforms().at(*zdz::trust::ImagePlatform::parse("vask"));
        for (int i = 0; i < kEach; ++i) {
            EXPECT_TRUE(
                vask.withdrawn.contains({*zdz::contracts::ContentHash::parse(withdrawn(i))}))
                << "round " << round << ", withdrawal " << i;
            const auto platform =
                *zdz::trust::ImagePlatform::parse("platform-" + std::to_string(i));
            EXPECT_EQ(registry.history(platform).size(), static_cast<std::size_t>(round + 1))
                << "round " << round << ", " << platform.text();
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(w.dir.file("store.tmp"))));
    }
}

// A FIFO or a device at --out is not a file the command wrote before: it is
// refused and left as it was, so that --out /dev/null (as root) cannot
// replace the system's device node. So is a link, to one or to anything.
TEST(FaultInjection, OutThatIsNotARegularFileIsRefusedAndLeftAsItWas) {
    Workspace w;
    std::vector<std::string> nodes{w.dir.file("fifo.json")};
    ASSERT_EQ(::mkfifo(nodes.back().c_str(), 0600), 0);
    if (::geteuid() == 0) {
        // The numbers of /dev/null, made in the test's own folder.
        nodes.push_back(w.dir.file("null.json"));
        ASSERT_EQ(::mknod(nodes.back().c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    const auto files = listing(w.dir.path());
    for (const auto& node : nodes) {
        const auto before = node_at(node);
        const auto keygen = run(w.keygen_args(node));
        EXPECT_EQ(keygen.status, 1) << node;
        EXPECT_EQ(keygen.out, "");
        EXPECT_EQ(keygen.err, "error: failed to write keystore to " + node +
                                  ": local storage operation failed: cannot write " + node +
                                  ": not a regular file\n");
        const auto sign = run(w.sign_args(node), {}, kQuickTimeout);
        EXPECT_EQ(sign.status, 1) << node;
        EXPECT_EQ(sign.out, "");
        EXPECT_EQ(sign.err, "error: cannot write " + node + ": not a regular file\n");
        EXPECT_EQ(node_at(node), before) << node;
    }
    EXPECT_EQ(listing(w.dir.path()), files);

    // A link at --out is refused as well, and what it leads to is not touched.
    const auto link = w.dir.file("link.json");
    fs::create_symlink(nodes.back(), link);
    const auto before = node_at(nodes.back());
    const auto through_link = run(w.sign_args(link), {}, kQuickTimeout);
    EXPECT_EQ(through_link.status, 1);
    EXPECT_EQ(through_link.err, "error: cannot write " + link +
                                    ": it is a symbolic link; name the file it leads to\n");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(node_at(nodes.back()), before);
}

// sign refuses an --out that is its own keystore or image, however named:
// the manifest written over them would lose the key or the image just
// measured. An existing manifest is still replaced. promote needs no such
// check: it reads and verifies its store before writing it, and neither its
// keystore, its manifest nor its trust file reads as a store.
TEST(FaultInjection, AnOutThatIsTheCommandsOwnInputIsRefused) {
    Workspace w;
    const auto keystore_before = bytes_of(w.keystore);
    const auto image_before = bytes_of(w.image);
    fs::create_hard_link(w.keystore, w.dir.file("hard-link.json"));
    fs::create_symlink(w.image, w.dir.file("image-link.json"));
    const auto files = listing(w.dir.path());
    const std::pair<std::string, std::string> refusals[] = {
        {w.keystore, "--keystore"},
        {w.image, "--image-file"},
        {w.dir.file("hard-link.json"), "--keystore"},
        {w.dir.file("image-link.json"), "--image-file"},
    };
    for (const auto& [out, option] : refusals) {
        const auto sign = run(w.sign_args(out), {}, kQuickTimeout);
        EXPECT_EQ(sign.status, 1) << out;
        EXPECT_EQ(sign.out, "");
        EXPECT_EQ(sign.err, "error: cannot write " + out + ": same file as " + option + "\n");
    }
    EXPECT_EQ(bytes_of(w.keystore), keystore_before);
    EXPECT_EQ(bytes_of(w.image), image_before);
    EXPECT_TRUE(fs::is_symlink(w.dir.file("image-link.json")));
    EXPECT_EQ(listing(w.dir.path()), files);

    for (const auto& input : {w.keystore, w.manifest, w.signers}) {
        const auto before = bytes_of(input);
        const auto promote = run(w.promote_args(input, w.keystore), {}, kQuickTimeout);
        EXPECT_EQ(promote.status, 1) << input;
        EXPECT_EQ(promote.err.rfind("error: cannot load existing store " + input + ": ", 0), 0U)
            << promote.err;
        EXPECT_EQ(bytes_of(input), before) << input;
    }

    const auto manifest_before = bytes_of(w.manifest);
    const auto over_manifest = run(w.sign_args(w.manifest), {}, kQuickTimeout);
    EXPECT_EQ(over_manifest.status, 0) << over_manifest.err;
    EXPECT_NE(bytes_of(w.manifest), manifest_before);
}

// The folder flush after the rename fails: the new file is in place and the
// command says so, while still failing, since the file may not survive a
// crash. Promoting again would record the image a second time.
TEST(FaultInjection, FailedFolderFlushAfterTheRenameSaysTheFileWasReplaced) {
    Workspace w;
    const auto flush_fails = with_fault_shim({{"ZDZ_SHIM_FAIL_DIR_FSYNC", "1"}});

    const auto count = w.promotions(w.store);
    const auto promote = run(w.promote_args(), flush_fails, kQuickTimeout);
    EXPECT_EQ(promote.status, 1);
    EXPECT_EQ(promote.out, "");
    EXPECT_EQ(promote.err, "error: promotion written to " + w.store +
                               " but it may not be durable: local storage operation failed: "
                               "cannot finalize " +
                               w.store + ": " + std::string(kEio) + "\n");
    EXPECT_EQ(w.promotions(w.store), count + 1);

    const auto keystore = w.dir.file("k2.json");
    fs::copy_file(w.keystore, keystore);
    const auto keygen = run(w.keygen_args(keystore), flush_fails);
    EXPECT_EQ(keygen.status, 1);
    EXPECT_EQ(keygen.out, "");
    EXPECT_EQ(keygen.err, "error: keystore written to " + keystore +
                              " but it may not be durable: local storage operation failed: "
                              "cannot finalize " +
                              keystore + ": " + std::string(kEio) + "\n");
    EXPECT_NE(recorded_key(bytes_of(keystore)), recorded_key(bytes_of(w.keystore)));
    EXPECT_NE(recorded_key(bytes_of(keystore)), "");

    const auto manifest = w.dir.file("signed.json");
    w.dir.write("signed.json", "previous");
    const auto sign = run(w.sign_args(manifest), flush_fails, kQuickTimeout);
    EXPECT_EQ(sign.status, 1);
    EXPECT_EQ(sign.out, "");
    EXPECT_EQ(sign.err, "error: manifest written to " + manifest +
                            " but it may not be durable: cannot finalize " + manifest + ": " +
                            std::string(kEio) + "\n");
    EXPECT_TRUE(zdz::trust::read_manifest_json(bytes_of(manifest)));

    // Nothing of the writes is left beside them.
    for (const auto& name : listing(w.dir.path())) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        EXPECT_NE(name.front(), '.') << name;
    }
}
