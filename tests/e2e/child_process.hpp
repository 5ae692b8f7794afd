#pragma once

// A spawned program the test keeps hold of while it runs: to signal it at a
// chosen moment, to watch it through /proc, or to give up on it after a
// timeout, with resource limits set in the child before it starts.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace zdz::test {

struct ChildOptions {
    std::string cwd;                         // empty: the current directory
    std::map<std::string, std::string> env;  // added to the test's environment
    std::vector<std::string> unset;          // removed from it
    // Resource limits set in the child (soft and hard to the same value).
    std::vector<std::pair<__rlimit_resource_t, rlim_t>> limits;
};

struct ChildResult {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

class ChildProcess {
public:
    // Output goes to pipes, which no file-size limit applies to. The pipes are
    // read once the child has ended, so it must write less than a pipe holds
    // (64 KiB): the report lines of one command.
    ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
        std::vector<std::string> env_strings = environment(options);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env_strings) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        if (::pipe2(out_, O_CLOEXEC) != 0 || ::pipe2(err_, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            ::dup2(null_in, 0);
            ::dup2(out_[1], 1);
            ::dup2(err_[1], 2);
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
        ::close(out_[1]);
        ::close(err_[1]);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    ~ChildProcess() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        ::close(out_[0]);
        ::close(err_[0]);
    }

    pid_t pid() const { return pid_; }

    void send(int signal) const { ::kill(pid_, signal); }

    // The result once the child has ended, or nothing if it is still running
    // after `timeout`. An ended child stays a zombie until this is called.
    std::optional<ChildResult> wait_for(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!status_) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                status_ = decode(status);
                break;
            }
            if (done < 0 && errno != EINTR) {
                throw std::runtime_error("waitpid failed");
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return result();
    }

    ChildResult wait() {
        while (!status_) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, 0);
            if (done == pid_) {
                status_ = decode(status);
            } else if (done < 0 && errno != EINTR) {
                throw std::runtime_error("waitpid failed");
            }
        }
        return result();
    }

private:
    static constexpr int kSetupFailed = 127;

    static int decode(int status) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    static std::vector<std::string> environment(const ChildOptions& options) {
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

    static std::string drain(int fd) {
        std::string text;
        const int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                text.append(buffer, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        return text;
    }

    ChildResult result() {
        if (!collected_) {
            collected_ = ChildResult{*status_, drain(out_[0]), drain(err_[0])};
        }
        return *collected_;
    }

    pid_t pid_ = -1;
    int out_[2] = {-1, -1};
    int err_[2] = {-1, -1};
    std::optional<int> status_;
    std::optional<ChildResult> collected_;
};

}  // namespace zdz::test
