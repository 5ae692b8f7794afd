#pragma once

#include <ostream>

#include "cli/command.hpp"

namespace zdz::cli {

// Runs the handler of the parsed subcommand; report lines go to `out`.
[[nodiscard]] CommandResult dispatch(const Cli& cli, std::ostream& out);

}  // namespace zdz::cli
