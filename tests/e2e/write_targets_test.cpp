// What a writing command does with the paths around its destination: a file
// that happens to carry the name of the write's temporary file, a store or
// keystore named through a symbolic link, an "image" that is a FIFO or a
// device, and a file another user owns.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "crypto/digest.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/signers.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace std::chrono_literals;

namespace {

constexpr auto kNoHang = 20s;
constexpr uid_t kNobody = 65534;

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A keystore, a trust file and a manifest signed by the key it trusts, and a
// store that holds one promotion of it, all in one folder.
class WriteTargets : public ::testing::Test {
protected:
    void SetUp() override {
        write_test_keystore(dir.file("k.json"));
        const auto signer = fixed_key(0x42);
        dir.write(
            "signers",
            zdz::trust::format_allowed_signers_line("release@test", signer.verifying_key()) + "\n");
        dir.write("image.img", "image bytes");
        dir.write("m.json", install_manifest_json(
                                signer, "vask", 4,
                                {zdz::crypto::measure_sha256(std::string_view("image bytes"))}));
        const auto first = run(promote_args("store.json", "k.json"));
        ASSERT_EQ(first.status, 0) << first.err;
    }

    // Runs the program with the test passphrase; a run that gives no answer
    // within kNoHang fails the test and is killed.
    RunResult run(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{program_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.env = {{kPassphraseVar, kPassphrase}, {"NEW_PASSPHRASE", "another passphrase"}};
        ChildProcess child(argv, options);
        if (auto done = child.wait_for(kNoHang)) {
            return *done;
        }
        ADD_FAILURE() << "no answer within " << kNoHang.count() << " s: " << args.front();
        child.send(SIGKILL);
        return child.wait();
    }

    std::vector<std::string> promote_args(const std::string& store,
                                          const std::string& keystore) const {
        return zdz::test::promote_args(dir.file("m.json"), dir.file("signers"), dir.file(store),
                                       dir.file(keystore));
    }
    std::vector<std::string> withdraw_args(const std::string& store, const std::string& keystore,
                                           const std::string& image) const {
        return zdz::test::withdraw_args(dir.file(store), dir.file(keystore), image);
    }
    std::vector<std::string> rekey_args(const std::string& store,
                                        const std::string& new_keystore) const {
        return {"rekey-store",          "--store",          dir.file(store),
                "--keystore",           dir.file("k.json"), "--new-keystore",
                dir.file(new_keystore), "--passphrase-env", kPassphraseVar};
    }
    // With --force: what these tests write over exists, and the write rules
    // below the refusal of an existing --out are what they check.
    std::vector<std::string> keygen_args(const std::string& out) const {
        return {"keygen", "--out", dir.file(out), "--passphrase-env", kPassphraseVar, "--force"};
    }
    std::vector<std::string> change_args(const std::string& keystore) const {
        return {"change-passphrase", "--keystore",           dir.file(keystore), "--passphrase-env",
                kPassphraseVar,      "--new-passphrase-env", "NEW_PASSPHRASE"};
    }

    // Every file of the folder and its bytes (a link by where it leads).
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const auto name = entry.path().filename().string();
            const auto status = entry.symlink_status();
            files[name] = fs::is_symlink(status) ? "-> " + fs::read_symlink(entry.path()).string()
                          : fs::is_regular_file(status) ? bytes_of(entry.path().string())
                                                        : std::string("(not a file)");
        }
        return files;
    }

    void expect_refused(const std::vector<std::string>& args, const std::string& err) const {
        const auto before = snapshot();
        const auto r = run(args);
        EXPECT_EQ(r.status, 1) << args.front();
        EXPECT_EQ(r.out, "") << args.front();
        EXPECT_EQ(r.err, err) << args.front();
        EXPECT_EQ(snapshot(), before) << args.front();
    }

    TempDir dir;
};

}  // namespace

// A keystore whose name is the temporary name of the store being saved, or
// of the keystore being written: never removed, never replaced. A command
// that reads it is refused before its key is unsealed; any other write that
// would pass through that name refuses, naming it.
TEST_F(WriteTargets, AFileAtTheTemporaryPathOfEveryWriteIsKept) {
    fs::copy_file(dir.file("k.json"), dir.file("release.tmp"));
    fs::copy_file(dir.file("store.json"), dir.file("release.json"));
    const auto is_input = [&](const std::string& store, const std::string& tmp,
                              const std::string& option) {
        return "error: store " + dir.file(store) + " cannot be saved: its temporary file " +
               dir.file(tmp) + " is the same file as " + option + "\n";
    };
    expect_refused(promote_args("release.json", "release.tmp"),
                   is_input("release.json", "release.tmp", "--keystore"));
    expect_refused(withdraw_args("release.json", "release.tmp", dir.file("image.img")),
                   is_input("release.json", "release.tmp", "--keystore"));
    expect_refused(withdraw_args("release.json", "k.json", dir.file("release.tmp")),
                   is_input("release.json", "release.tmp", "--image-file"));
    write_test_keystore(dir.file("new.tmp"));
    fs::copy_file(dir.file("store.json"), dir.file("new.json"));
    expect_refused(rekey_args("new.json", "new.tmp"),
                   is_input("new.json", "new.tmp", "--new-keystore"));

    const std::string in_the_way =
        ": it already exists and was not left by an interrupted write of this program; move it "
        "away first";
    expect_refused(keygen_args("release.json"),
                   "error: failed to write keystore to " + dir.file("release.json") +
                       ": local storage operation failed: cannot write " + dir.file("release.tmp") +
                       in_the_way + "\n");
    fs::copy_file(dir.file("k.json"), dir.file("release.key"));
    expect_refused(change_args("release.key"),
                   "error: failed to write keystore to " + dir.file("release.key") +
                       ": local storage operation failed: cannot write " + dir.file("release.tmp") +
                       in_the_way + "; the previous keystore is unchanged\n");
    expect_refused(promote_args("release.json", "k.json"),
                   "error: promotion succeeded in memory but the store could not be saved: local "
                   "storage operation failed: cannot write " +
                       dir.file("release.tmp") + in_the_way + "\n");

    // Still the keystore it was, and it still opens.
    const auto shown = run({"show-key", "--keystore", dir.file("release.tmp")});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(bytes_of(dir.file("release.tmp")), bytes_of(dir.file("k.json")));
}

// A store or keystore named through a symbolic link: writing the file in
// its place would fork the store (the link's other users go on reading the
// old one), and the folder lock would be taken where the link is, not where
// the store is. Every writer refuses, and both the link and what it leads to
// stay as they are.
TEST_F(WriteTargets, AStoreOrKeystoreNamedThroughALinkIsRefused) {
    fs::create_directory(dir.file("shared"));
    fs::rename(dir.file("store.json"), dir.file("shared/store.json"));
    fs::create_symlink(dir.file("shared/store.json"), dir.file("store.json"));
    fs::copy_file(dir.file("k.json"), dir.file("shared/next.json"));
    const std::string link_refused = "cannot write " + dir.file("store.json") +
                                     ": it is a symbolic link; name the file it leads to";
    const std::string saved =
        " succeeded in memory but the store could not be saved: local "
        "storage operation failed: ";
    expect_refused(promote_args("store.json", "k.json"),
                   "error: promotion" + saved + link_refused + "\n");
    expect_refused(withdraw_args("store.json", "k.json", dir.file("image.img")),
                   "error: withdrawal" + saved + link_refused + "\n");
    write_test_keystore(dir.file("next.json"));
    expect_refused(rekey_args("store.json", "next.json"),
                   "error: failed to write store to " + dir.file("store.json") +
                       ": local storage operation failed: " + link_refused +
                       "; the previous store is unchanged\n");
    fs::create_symlink(dir.file("shared/next.json"), dir.file("linked.json"));
    expect_refused(keygen_args("linked.json"),
                   "error: failed to write keystore to " + dir.file("linked.json") +
                       ": local storage operation failed: cannot write " + dir.file("linked.json") +
                       ": it is a symbolic link; name the file it leads to\n");

    // Named by its real path, the store is written as usual.
    auto promote = promote_args("shared/store.json", "k.json");
    EXPECT_EQ(run(promote).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir.file("store.json")));
}

// An image is a regular file or a block device. A FIFO without a writer
// would hang the command, /dev/zero would run for ever: both are refused at
// once, before any key is derived or lock taken. withdraw measures before it
// takes the store's lock, so a large image never holds up the other writers
// of the folder.
TEST_F(WriteTargets, AnImageThatIsNoFileIsRefusedAtOnce) {
    ASSERT_EQ(::mkfifo(dir.file("fifo.img").c_str(), 0600), 0);
    for (const std::string& image : {dir.file("fifo.img"), std::string("/dev/zero")}) {
        const std::string refused =
            "error: cannot read image file " + image + ": not a regular file or block device\n";
        expect_refused(withdraw_args("store.json", "k.json", image), refused);
        expect_refused({"authorize-install", "--store", dir.file("store.json"), "--keystore",
                        dir.file("k.json"), "--platform", "vask", "--image-file", image},
                       refused);
        expect_refused({"verify", "--manifest", dir.file("m.json"), "--signers-file",
                        dir.file("signers"), "--image-file", image},
                       refused);
        expect_refused(sign_args(dir.file("k.json"), image, "5", dir.file("out.json")), refused);
    }

    // The folder's lock held elsewhere: withdraw has read the whole image by
    // the time it waits for the lock.
    const std::string image(8 << 20, 'i');
    dir.write("large.img", image);
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    std::vector<std::string> argv{program_path()};
    const auto args = withdraw_args("store.json", "k.json", dir.file("large.img"));
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.env = {{kPassphraseVar, kPassphrase}};
    ChildProcess child(argv, options);
    const auto read_by_child = [&] {
        std::ifstream io("/proc/" + std::to_string(child.pid()) + "/io");
        std::string key;
        std::uint64_t value = 0;
        while (io >> key >> value) {
            if (key == "rchar:") {
                return value;
            }
        }
        return std::uint64_t{0};
    };
    const auto deadline = std::chrono::steady_clock::now() + kNoHang;
    while (read_by_child() < image.size() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(read_by_child(), image.size()) << "the image was not measured before the lock";
    EXPECT_FALSE(child.wait_for(200ms)) << "withdraw did not wait for the store's lock";
    ::close(folder);
    const auto done = child.wait_for(kNoHang);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 0) << done->err;
}

// Run as root on another user's keystore or store, a write keeps the file
// theirs: replaced by a file of root's (mode 0600 for a keystore), the
// keystore would no longer open for its owner.
TEST_F(WriteTargets, AReplacedFileKeepsItsOwnerAndGroup) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to give files to another user";
    }
    for (const auto* name : {"k.json", "store.json"}) {
        ASSERT_EQ(::chown(dir.file(name).c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(run(change_args("k.json")).status, 0);
    auto promote = promote_args("store.json", "k.json");
    promote.back() = "NEW_PASSPHRASE";
    const auto promoted = run(promote);
    ASSERT_EQ(promoted.status, 0) << promoted.err;
    for (const auto* name : {"k.json", "store.json"}) {
        struct stat st {};
        ASSERT_EQ(::stat(dir.file(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kNobody) << name;
        EXPECT_EQ(st.st_gid, kNobody) << name;
    }
}

// An expiry whose offset carries it before the year 0000 has no RFC 3339
// text: refused with the text as given, never shown as a bare number.
TEST_F(WriteTargets, AnExpiryBeforeTheYear0000IsRefusedWithItsText) {
    auto args = sign_args(dir.file("k.json"), dir.file("image.img"), "5", dir.file("out.json"));
    args.insert(args.end(), {"--expires-at", "0000-01-01T00:00:00+23:59"});
    expect_refused(args,
                   "error: invalid --expires-at: validation failed: invalid RFC 3339 timestamp "
                   "\"0000-01-01T00:00:00+23:59\": the instant lies before the year 0000 once "
                   "normalised to UTC\n");
}
