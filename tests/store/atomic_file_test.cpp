#include "io/atomic_file.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "store/errors.hpp"
#include "support/tempdir.hpp"

using zdz::io::atomic_temp_path;
using zdz::io::DirectoryLock;
using zdz::io::FileMode;
using namespace zdz::test;

namespace {

// The atomic write as the keystore and the registry store report it: its
// failures become StorageFailed or StorageNotDurable with the same text. (An
// object, so that argument-dependent lookup does not find the io function.)
const auto write_file_atomically =
    [](const std::string& path, std::string_view bytes, FileMode mode = FileMode::Default,
       const DirectoryLock* held = nullptr) -> tl::expected<void, zdz::store::StoreError> {
    return zdz::io::write_file_atomically(path, bytes, {mode, zdz::io::TempName::Beside, held})
        .map_error(zdz::store::StoreError::from_write_error);
};

// The replacement a manifest goes through, with the reason of a failure.
const auto write_file_replacing = [](const std::string& path,
                                     std::string_view bytes) -> tl::expected<void, std::string> {
    return zdz::io::write_file_atomically(path, bytes,
                                          {FileMode::Default, zdz::io::TempName::Unique})
        .map_error([](const zdz::io::WriteError& error) { return error.reason; });
};

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

mode_t permissions(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Runs `body` in a child process whose files may not grow beyond a few bytes
// (this holds for root too) and returns the text the child reported.
std::string with_small_file_size_limit(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const rlimit limit{4, 4};
        std::signal(SIGXFSZ, SIG_IGN);
        const std::string text = ::setrlimit(RLIMIT_FSIZE, &limit) == 0 ? body() : "no limit";
        const auto written = ::write(fds[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return text;
}

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : previous_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(previous_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

private:
    mode_t previous_;
};

}  // namespace

TEST(AtomicTempPath, ReplacesTheExtensionOfTheFileName) {
    constexpr std::pair<std::string_view, std::string_view> cases[] = {
        {"operator.keystore.json", "operator.keystore.tmp"},
        {"store", "store.tmp"},
        {"store.", "store.tmp"},
        {"/var/lib/a.d/store", "/var/lib/a.d/store.tmp"},
        {"../reg/store.json", "../reg/store.tmp"},
        {"dir/.keystore", "dir/.keystore.tmp"},
        // Never the target itself, which a failed write would then destroy.
        {"backup.tmp", "backup.tmp.tmp"},
    };
    for (const auto& [path, temp] : cases) {
        EXPECT_EQ(atomic_temp_path(std::string(path)), temp);
    }
}

TEST(WriteFileAtomically, WritesAndReplacesLeavingNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir.file("store.json");
    ASSERT_TRUE(write_file_atomically(path, "{\n  \"a\": 1\n}"));
    EXPECT_EQ(dir.read("store.json"), "{\n  \"a\": 1\n}");
    ASSERT_TRUE(write_file_atomically(path, ""));
    EXPECT_EQ(dir.read("store.json"), "");
    const std::string large(3 << 20, 'x');
    ASSERT_TRUE(write_file_atomically(path, large));
    EXPECT_EQ(dir.read("store.json"), large);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"store.json"});
}

TEST(WriteFileAtomically, FileModes) {
    TempDir dir;
    {
        UmaskGuard mask(022);
        ASSERT_TRUE(write_file_atomically(dir.file("store.json"), "s"));
        EXPECT_EQ(permissions(dir.file("store.json")), 0644U);
        ASSERT_TRUE(write_file_atomically(dir.file("a.keystore.json"), "k", FileMode::OwnerOnly));
        EXPECT_EQ(permissions(dir.file("a.keystore.json")), 0600U);
    }
    {
        UmaskGuard mask(0);
        ASSERT_TRUE(write_file_atomically(dir.file("open.json"), "s"));
        EXPECT_EQ(permissions(dir.file("open.json")), 0666U);
        // A world-readable temporary file left over from an interrupted write:
        // removed, not reused.
        dir.write("b.keystore.tmp", "stale");
        ASSERT_EQ(::chmod(dir.file("b.keystore.tmp").c_str(), 01666), 0);
        ASSERT_TRUE(write_file_atomically(dir.file("b.keystore.json"), "k", FileMode::OwnerOnly));
        EXPECT_EQ(permissions(dir.file("b.keystore.json")), 0600U);
        EXPECT_EQ(dir.read("b.keystore.json"), "k");
    }
}

TEST(WriteFileAtomically, FailureMessagesAndWhatIsLeftBehind) {
    TempDir dir;
    auto missing = write_file_atomically(dir.file("missing/store.json"), "x");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), zdz::store::StoreError::Kind::StorageFailed);
    EXPECT_EQ(missing.error().display(), "local storage operation failed: cannot write " +
                                             dir.file("missing/store.tmp") +
                                             ": No such file or directory (os error 2)");

    // The rename fails: the target is a non-empty directory.
    ASSERT_EQ(::mkdir(dir.file("taken.json").c_str(), 0755), 0);
    dir.write("taken.json/inside", "keep");
    auto taken = write_file_atomically(dir.file("taken.json"), "x");
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().display(), "local storage operation failed: cannot finalize " +
                                           dir.file("taken.json") +
                                           ": Is a directory (os error 21)");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"taken.json"});

    // The write fails part-way: the previous file stays whole.
    dir.write("store.json", "old");
    const std::string path = dir.file("store.json");
    const std::string reported = with_small_file_size_limit([&] {
        auto r = write_file_atomically(path, "0123456789", FileMode::OwnerOnly);
        return r ? std::string("written") : r.error().display();
    });
    EXPECT_EQ(reported, "local storage operation failed: cannot write " + dir.file("store.tmp") +
                            ": File too large (os error 27)");
    EXPECT_EQ(dir.read("store.json"), "old");
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"store.json", "taken.json"}));
}

TEST(WriteFileReplacing, ReplacesThroughAUniqueTemporaryFile) {
    TempDir dir;
    UmaskGuard mask(027);
    const std::string path = dir.file("image.manifest.json");
    dir.write("image.manifest.tmp", "not ours");
    ASSERT_TRUE(write_file_replacing(path, "first"));
    ASSERT_TRUE(write_file_replacing(path, "second"));
    EXPECT_EQ(dir.read("image.manifest.json"), "second");
    EXPECT_EQ(permissions(path), 0640U);
    EXPECT_EQ(dir.read("image.manifest.tmp"), "not ours");
    EXPECT_EQ(entries(dir.path()),
              (std::vector<std::string>{"image.manifest.json", "image.manifest.tmp"}));

    auto missing = write_file_replacing(dir.file("none/m.json"), "x");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");

    const std::string long_name(250, 'n');
    ASSERT_TRUE(write_file_replacing(dir.file(long_name), "long"));
    EXPECT_EQ(dir.read(long_name), "long");
}

TEST(WriteFileReplacing, FailedWriteKeepsThePreviousFile) {
    TempDir dir;
    dir.write("m.json", "previous manifest");
    const std::string path = dir.file("m.json");
    const std::string reported = with_small_file_size_limit([&] {
        auto r = write_file_replacing(path, "new manifest");
        return r ? std::string("written") : r.error();
    });
    EXPECT_EQ(reported, "File too large (os error 27)");
    EXPECT_EQ(dir.read("m.json"), "previous manifest");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"m.json"});

    ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0755), 0);
    dir.write("d/x", "");
    auto onto_directory = write_file_replacing(dir.file("d"), "x");
    ASSERT_FALSE(onto_directory);
    EXPECT_EQ(onto_directory.error(), "Is a directory (os error 21)");
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"d", "m.json"}));
}

TEST(DirectoryLock, GuardsItsDirectoryHoweverItIsNamed) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    auto lock = DirectoryLock::acquire(dir.file("a.json"));
    ASSERT_TRUE(lock && lock->held());
    EXPECT_TRUE(lock->guards(dir.file("b.json")));
    EXPECT_TRUE(lock->guards(dir.file("sub/../c.json")));
    EXPECT_FALSE(lock->guards(dir.file("sub/c.json")));
    // A write under a lock its caller holds does not wait for that lock.
    ASSERT_TRUE(write_file_atomically(dir.file("b.json"), "b", FileMode::Default, &*lock));
    EXPECT_EQ(dir.read("b.json"), "b");

    auto nowhere = DirectoryLock::acquire(dir.file("missing/a.json"));
    ASSERT_TRUE(nowhere);
    EXPECT_FALSE(nowhere->held());
    EXPECT_FALSE(nowhere->guards(dir.file("missing/a.json")));
}

// A write into a directory waits while another holds its lock: two writers
// of one destination never meet at its temporary file.
TEST(DirectoryLock, AWriteWaitsForTheLockOfItsDirectory) {
    TempDir dir;
    const std::string path = dir.file("store.json");
    // The child starts its write once the lock is held here; it must not
    // inherit the lock's descriptor, which would keep the lock alive.
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(go[1]);
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1) {
            ::_exit(2);
        }
        ::_exit(write_file_atomically(path, "written") ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    ::close(go[0]);
    std::optional<DirectoryLock> lock;
    {
        auto acquired = DirectoryLock::acquire(path);
        ASSERT_TRUE(acquired);
        lock.emplace(std::move(*acquired));
    }
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the write did not wait for the lock";
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{});
    lock.reset();
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(dir.read("store.json"), "written");
}
