#pragma once

// Running the built program, or any other, from a test: to completion
// (run_program, run_tool) or held while it runs (ChildProcess), to signal it
// at a chosen moment, watch it through /proc, or give up on it after a
// timeout. Standard output and error are collected while the child runs, so
// it may write any amount.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zdz::test {

struct RunResult {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;

    // A whole outcome compares at once: EXPECT_EQ(r, (RunResult{1, "", "error: ...\n"})).
    friend bool operator==(const RunResult&, const RunResult&) = default;
};

// How a test failure shows a result: its status and both outputs, escaped.
void PrintTo(const RunResult& result, std::ostream* os);

// Where the program's standard output goes.
enum class StdoutTo {
    Pipe,        // collected in RunResult::out
    DevFull,     // /dev/full: every write fails with ENOSPC
    Closed,      // descriptor 1 closed, as `>&-` does
    BrokenPipe,  // a pipe whose reading end is already closed: EPIPE
};

struct RunOptions {
    std::string cwd{};                         // empty: the current directory
    std::map<std::string, std::string> env{};  // added to the test's environment
    std::vector<std::string> unset{};          // removed from it
    std::string stdin_data{};                  // small inputs only: a pipe holds them
    StdoutTo stdout_to = StdoutTo::Pipe;
    // Resource limits set in the child (soft and hard to the same value).
    std::vector<std::pair<__rlimit_resource_t, rlim_t>> limits{};
};

class ChildProcess {
public:
    // Starts `argv` (looked up on PATH). SIGPIPE and SIGXFSZ are back to their
    // defaults in the child whatever the test process does with them.
    ChildProcess(const std::vector<std::string>& argv, const RunOptions& options);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // A child still running is killed.
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    void send(int signal) const;

    // The result once the child has ended, or nothing if it is still running
    // after `timeout`. An ended child stays a zombie until this is called.
    std::optional<RunResult> wait_for(std::chrono::milliseconds timeout);
    RunResult wait();

private:
    // Reads what is ready on the pipes and reaps the child, until it has ended
    // and nothing more is ready, or until `deadline`. True once it has ended.
    bool collect(std::optional<std::chrono::steady_clock::time_point> deadline);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::optional<int> status_;
    RunResult collected_;
};

// Runs the built program with `args` and collects its output and exit status.
RunResult run_program(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs any program (looked up on PATH).
RunResult run_tool(const std::vector<std::string>& argv, const RunOptions& options = {});

// The built program run with its standard output and error on a terminal
// (a pseudo-terminal of 200 columns that passes bytes on as written: no
// "\r" is added before "\n"), its standard input empty: the bytes the
// terminal received from both, in the order they came, and the exit status.
// options.stdout_to and options.stdin_data are not used.
struct TerminalRun {
    int status = -1;
    std::string screen;
};
TerminalRun run_in_terminal(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs `body` in a forked copy of the test process whose address space may
// grow by only `headroom` bytes beyond what it already uses, and returns the
// child's exit status: what `body` returned, kLimitNotSet if the limit could not
// be set, or -1 if the child did not exit normally. `body` must report through
// its result only: a failed assertion in the child is not seen by the test.
inline constexpr int kLimitNotSet = 3;
int exit_status_under_address_limit(std::size_t headroom, const std::function<int()>& body);

// The path of the built program and of the source tree.
std::string program_path();
std::string source_dir();

}  // namespace zdz::test
