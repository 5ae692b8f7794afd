#include "support/run.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <ostream>
#include <stdexcept>

extern char** environ;

namespace zdz::test {
namespace {

constexpr int kSetupFailed = 127;
constexpr int kPollMillis = 10;

std::vector<std::string> child_environment(const RunOptions& options) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) {
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& name : options.unset) {
        env.erase(name);
    }
    for (const auto& [name, value] : options.env) {
        env[name] = value;
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : env) {
        out.push_back(name + "=" + value);
    }
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

void make_pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

// The descriptor the child's standard output goes to (-1: closed), opened
// before the fork.
int stdout_target(StdoutTo to, int pipe_end) {
    switch (to) {
        case StdoutTo::Pipe:
            return pipe_end;
        case StdoutTo::DevFull:
            return ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        case StdoutTo::Closed:
            return -1;
        case StdoutTo::BrokenPipe: {
            int broken[2];
            make_pipe(broken);
            ::close(broken[0]);
            return broken[1];
        }
    }
    return -1;
}

int decode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

void PrintTo(const RunResult& result, std::ostream* os) {
    *os << "{status " << result.status << ", out " << ::testing::PrintToString(result.out)
        << ", err " << ::testing::PrintToString(result.err) << "}";
}

std::string program_path() {
    return ZDZ_BINARY;
}
std::string source_dir() {
    return ZDZ_SOURCE_DIR;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const RunOptions& options) {
    std::vector<std::string> args_strings = argv;
    std::vector<std::string> env_strings = child_environment(options);
    const auto args = pointers(args_strings);
    const auto envp = pointers(env_strings);
    int in[2];
    int out[2];
    int err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    const int stdout_fd = stdout_target(options.stdout_to, out[1]);
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::dup2(in[0], 0);
        if (stdout_fd >= 0) {
            ::dup2(stdout_fd, 1);
        } else {
            ::close(1);
        }
        ::dup2(err[1], 2);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGXFSZ, &dfl, nullptr);
        ::sigaction(SIGPIPE, &dfl, nullptr);
        for (const auto& [resource, value] : options.limits) {
            const rlimit limit{value, value};
            if (::setrlimit(resource, &limit) != 0) {
                ::_exit(kSetupFailed);
            }
        }
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            ::_exit(kSetupFailed);
        }
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(kSetupFailed);
    }
    if (stdout_fd >= 0 && stdout_fd != out[1]) {
        ::close(stdout_fd);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (!options.stdin_data.empty()) {
        [[maybe_unused]] const auto n =
            ::write(in[1], options.stdin_data.data(), options.stdin_data.size());
    }
    ::close(in[1]);
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    for (const int fd : {out_, err_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void ChildProcess::send(int signal) const {
    ::kill(pid_, signal);
}

bool ChildProcess::collect(std::optional<std::chrono::steady_clock::time_point> deadline) {
    int* fds[2] = {&out_, &err_};
    std::string* sinks[2] = {&collected_.out, &collected_.err};
    char buffer[65536];
    for (;;) {
        if (!status_) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                status_ = decode(status);
            } else if (done < 0 && errno != EINTR) {
                throw std::runtime_error("waitpid failed");
            }
        }
        pollfd polled[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        // Once the child has ended, only what is already in the pipes: a
        // process it left behind may hold them open.
        int wait_millis = status_ ? 0 : kPollMillis;
        if (!status_ && deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            wait_millis = static_cast<int>(std::clamp<long long>(left.count(), 0, kPollMillis));
        }
        const int ready = ::poll(polled, 2, wait_millis);
        if (ready < 0 && errno != EINTR) {
            throw std::runtime_error("poll failed");
        }
        for (int i = 0; ready > 0 && i < 2; ++i) {
            if (*fds[i] >= 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = ::read(*fds[i], buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(*fds[i]);
                    *fds[i] = -1;
                }
            }
        }
        if (status_ && ready == 0) {
            return true;
        }
        if (!status_ && deadline && std::chrono::steady_clock::now() >= *deadline) {
            return false;
        }
    }
}

std::optional<RunResult> ChildProcess::wait_for(std::chrono::milliseconds timeout) {
    if (!collect(std::chrono::steady_clock::now() + timeout)) {
        return std::nullopt;
    }
    return wait();
}

RunResult ChildProcess::wait() {
    collect(std::nullopt);
    collected_.status = *status_;
    return collected_;
}

RunResult run_tool(const std::vector<std::string>& argv, const RunOptions& options) {
    return ChildProcess(argv, options).wait();
}

RunResult run_program(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv, options);
}

TerminalRun run_in_terminal(const std::vector<std::string>& args, const RunOptions& options) {
    constexpr auto kTimeout = std::chrono::seconds(120);
    std::vector<std::string> args_strings{program_path()};
    args_strings.insert(args_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = child_environment(options);
    const auto argv = pointers(args_strings);
    const auto envp = pointers(env_strings);
    int terminal = -1;
    int device = -1;
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = 200;
    if (::openpty(&terminal, &device, nullptr, nullptr, &size) != 0) {
        throw std::runtime_error("openpty failed");
    }
    struct termios modes {};
    ::tcgetattr(device, &modes);
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(device, TCSANOW, &modes);
    ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
    ::fcntl(device, F_SETFD, FD_CLOEXEC);
    const int empty = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setsid();
        ::ioctl(device, TIOCSCTTY, 0);
        ::dup2(empty, 0);
        ::dup2(device, 1);
        ::dup2(device, 2);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            ::_exit(kSetupFailed);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(kSetupFailed);
    }
    ::close(empty);
    ::close(device);
    TerminalRun run;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    // Read until the last holder of the terminal's other side is gone (EIO).
    std::array<char, 4096> buffer{};
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{terminal, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) {
            continue;
        }
        const auto got = ::read(terminal, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        run.screen.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(terminal);
    if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = decode(status);
    return run;
}

int exit_status_under_address_limit(std::size_t headroom, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const auto in_use = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::getpagesize());
        const rlimit limit{in_use + headroom, in_use + headroom};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) {
            ::_exit(kLimitNotSet);
        }
        ::_exit(body());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) != pid) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zdz::test
