#pragma once

#include <string>
#include <variant>
#include <vector>

#include "cli/command.hpp"

namespace zdz::cli {

// What the argument parser decided when no handler is to run: help, version or
// a usage error, with the text to print and where.
struct EarlyExit {
    int status = 0;
    std::string out;  // for standard output
    std::string err;  // for standard error
};

using ParseResult = std::variant<Cli, EarlyExit>;

// Parses the arguments (without the program name) against the command
// definition. Never throws.
ParseResult parse_command_line(const std::vector<std::string>& given);

// Whether the arguments ask for JSON reports ("--format json" or
// "--format=json"), read without the parser: a command line the parser
// refuses still gets its failure as a JSON document.
bool json_requested(const std::vector<std::string>& given);

// The full help text of the program, as `--help` prints it.
std::string program_help();

}  // namespace zdz::cli
