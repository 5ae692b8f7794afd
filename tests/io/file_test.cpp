#include "io/file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "support/tempdir.hpp"

using zdz::io::directory_of;
using zdz::io::read_file_bytes;
using zdz::io::stream_file_text;
using zdz::test::TempDir;

namespace {

// Runs `body` in a child process and reports its exit status, or -1 when it
// had not finished after `limit` (the child is then killed): a read that
// hangs fails the test instead of stalling the whole run.
int exit_status_within(std::chrono::milliseconds limit, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(body());
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReadFile, AFifoWithoutAWriterDoesNotHang) {
    TempDir dir;
    const std::string fifo = dir.file("signers");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Nothing will ever write: the read ends at once, with nothing read.
    EXPECT_EQ(exit_status_within(std::chrono::seconds(10),
                                 [&] {
                                     const auto read = read_file_bytes(fifo);
                                     return read && read->empty() ? 0 : 1;
                                 }),
              0);
    EXPECT_EQ(exit_status_within(std::chrono::seconds(10),
                                 [&] {
                                     std::string all;
                                     const auto streamed = stream_file_text(
                                         fifo, 16, [&](std::string_view p) { all += p; });
                                     return streamed && all.empty() ? 0 : 1;
                                 }),
              0);
}

TEST(ReadFile, APipeIsReadToItsEndWithBlockingReads) {
    // As `--signers-file <(cat file)` hands it over: a pipe whose writer is
    // still writing when the read starts.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string path = "/dev/fd/" + std::to_string(fds[0]);
    std::thread writer([fd = fds[1]] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string first = "ssh-ed25519 AAAA first\n";
        EXPECT_EQ(::write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string second = "second\n";
        EXPECT_EQ(::write(fd, second.data(), second.size()), static_cast<ssize_t>(second.size()));
        ::close(fd);
    });
    const auto read = read_file_bytes(path);
    writer.join();
    ::close(fds[0]);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, "ssh-ed25519 AAAA first\nsecond\n");
}

TEST(ReadFile, ARegularFileOnlyReadRefusesWhatItOpenedThatIsNoFile) {
    using zdz::io::Accept;
    TempDir dir;
    const std::string fifo = dir.file("store.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A writer is waiting on the FIFO: read as any file it would be read, and
    // a store must never be.
    EXPECT_EQ(exit_status_within(std::chrono::seconds(10),
                                 [&] {
                                     const auto read = read_file_bytes(fifo, Accept::RegularFile);
                                     return !read && read.error().display() == "not a regular file"
                                                ? 0
                                                : 1;
                                 }),
              0);
    const auto device = read_file_bytes("/dev/null", Accept::RegularFile);
    ASSERT_FALSE(device);
    EXPECT_EQ(device.error().display(), "not a regular file");
    const auto folder = read_file_bytes(dir.path(), Accept::RegularFile);
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().display(), "Is a directory (os error 21)");

    // A regular file is read whole, at its size and beyond a read's chunk.
    const std::string large(200000, 'x');
    dir.write("large", large);
    const auto read = read_file_bytes(dir.file("large"), Accept::RegularFile);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, large);
    EXPECT_EQ(read_file_bytes("/dev/null").value(), "");
}

TEST(DirectoryOf, NamesTheFolderWhoseEntryARenameChanges) {
    EXPECT_EQ(directory_of("store.json"), ".");
    EXPECT_EQ(directory_of("/store.json"), "/");
    EXPECT_EQ(directory_of("/var/lib/store.json"), "/var/lib");
    EXPECT_EQ(directory_of("../reg/store.json"), "../reg");
}

}  // namespace
