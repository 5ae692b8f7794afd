#include "cli/demo_command.hpp"

namespace zdz::cli {

CommandResult run_demo(const Demo&, std::ostream&) {
    return tl::unexpected(CommandError{"the demo command is not available yet"});
}

}  // namespace zdz::cli
