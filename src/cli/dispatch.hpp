#pragma once

#include <ostream>

#include "cli/command.hpp"

namespace zdz::cli {

// Runs the handler of the parsed subcommand; report lines go to `out`.
[[nodiscard]] CommandResult dispatch(const Cli& cli, std::ostream& out);

// The report format the parsed subcommand asked for: Text for a command that
// has no --format.
OutputFormat output_format(const Cli& cli);

}  // namespace zdz::cli
