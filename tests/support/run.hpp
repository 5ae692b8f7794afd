#pragma once

#include <map>
#include <string>
#include <vector>

namespace zdz::test {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Where the program's standard output goes.
enum class StdoutTo {
    Pipe,        // collected in RunResult::out
    DevFull,     // /dev/full: every write fails with ENOSPC
    Closed,      // descriptor 1 closed, as `>&-` does
    BrokenPipe,  // a pipe whose reading end is already closed: EPIPE
};

struct RunOptions {
    std::string cwd;                           // empty: the current directory
    std::map<std::string, std::string> env;    // added to a minimal environment
    std::vector<std::string> unset;            // removed from it
    std::string stdin_data;
    StdoutTo stdout_to = StdoutTo::Pipe;
};

// Runs the built program with `args` and collects its output and exit status.
RunResult run_program(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs any program (looked up on PATH).
RunResult run_tool(const std::vector<std::string>& argv, const RunOptions& options = {});

// The path of the built program and of the source tree.
std::string program_path();
std::string source_dir();

}  // namespace zdz::test
