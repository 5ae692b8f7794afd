#include "cli/process_hygiene.hpp"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace {

// Bits of the child's exit status, one per property that did not hold.
constexpr int kStillDumpable = 1;
constexpr int kCoreLimitKept = 2;
constexpr int kXfszNotIgnored = 4;
constexpr int kNotReported = 8;

}  // namespace

// In a child process: the settings last for the rest of the process, and the
// test runner must keep its own.
TEST(ProcessHygiene, MakesTheProcessNonDumpableWithoutCoreFiles) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const auto done = zdz::cli::protect_process_secrets();
        int failures = 0;
        if (::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) {
            failures |= kStillDumpable;
        }
        rlimit core{};
        if (::getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur != 0 || core.rlim_max != 0) {
            failures |= kCoreLimitKept;
        }
        struct sigaction action {};
        if (::sigaction(SIGXFSZ, nullptr, &action) != 0 || action.sa_handler != SIG_IGN) {
            failures |= kXfszNotIgnored;
        }
        if (!done.not_dumpable || !done.no_core_files || !done.file_size_limit_reported) {
            failures |= kNotReported;
        }
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
}
