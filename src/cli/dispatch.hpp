#pragma once

#include <ostream>

#include <tl/expected.hpp>

#include "cli/command.hpp"

namespace zdz::cli {

using CommandResult = tl::expected<void, CommandError>;

// Runs the handler of the parsed subcommand; report lines go to `out`.
CommandResult dispatch(const Cli& cli, std::ostream& out);

// The whole program: parse, dispatch, print the error line; returns the exit
// status.
int run_main(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace zdz::cli
