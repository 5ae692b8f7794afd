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

struct RunOptions {
    std::string cwd;                           // empty: the current directory
    std::map<std::string, std::string> env;    // added to a minimal environment
    std::vector<std::string> unset;            // removed from it
    std::string stdin_data;
};

// Runs the built program with `args` and collects its output and exit status.
RunResult run_program(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs any program (looked up on PATH).
RunResult run_tool(const std::vector<std::string>& argv, const RunOptions& options = {});

// The path of the built program and of the source tree.
std::string program_path();
std::string source_dir();

}  // namespace zdz::test
