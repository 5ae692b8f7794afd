#include "support/run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace zdz::test {
namespace {

std::vector<std::string> child_environment(const RunOptions& options) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) {
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& name : options.unset) {
        env.erase(name);
    }
    for (const auto& [k, v] : options.env) {
        env[k] = v;
    }
    std::vector<std::string> out;
    for (const auto& [k, v] : env) {
        out.push_back(k + "=" + v);
    }
    return out;
}

}  // namespace

std::string program_path() { return ZDZ_BINARY; }
std::string source_dir() { return ZDZ_SOURCE_DIR; }

RunResult run_tool(const std::vector<std::string>& argv, const RunOptions& options) {
    int out_pipe[2];
    int err_pipe[2];
    int in_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0 ||
        ::pipe2(in_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // For the other destinations out_pipe stays unused and reads as empty.
    int stdout_fd = out_pipe[1];
    int broken[2] = {-1, -1};
    switch (options.stdout_to) {
        case StdoutTo::Pipe:
            break;
        case StdoutTo::DevFull:
            stdout_fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
            break;
        case StdoutTo::Closed:
            stdout_fd = -1;
            break;
        case StdoutTo::BrokenPipe:
            if (::pipe2(broken, O_CLOEXEC) != 0) {
                throw std::runtime_error("pipe failed");
            }
            ::close(broken[0]);
            stdout_fd = broken[1];
            break;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    if (stdout_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
    } else {
        posix_spawn_file_actions_addclose(&actions, 1);
    }
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    if (!options.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    auto env_strings = child_environment(options);
    std::vector<char*> envp;
    for (auto& e : env_strings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int rc =
        ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (stdout_fd >= 0 && stdout_fd != out_pipe[1]) {
        ::close(stdout_fd);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (rc != 0) {
        ::close(in_pipe[1]);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        throw std::runtime_error("posix_spawn failed: " + std::string(std::strerror(rc)));
    }
    if (!options.stdin_data.empty()) {
        // Small inputs only: the pipe buffer holds them.
        [[maybe_unused]] auto n =
            ::write(in_pipe[1], options.stdin_data.data(), options.stdin_data.size());
    }
    ::close(in_pipe[1]);

    RunResult result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_count;
                }
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult run_program(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv, options);
}

}  // namespace zdz::test
