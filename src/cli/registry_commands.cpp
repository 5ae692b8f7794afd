#include "cli/registry_commands.hpp"

namespace zdz::cli {

CommandResult run_promote(const Promote&, std::ostream&) {
    return tl::unexpected(CommandError{"the promote command is not available yet"});
}
CommandResult run_authorize_install(const AuthorizeInstall&, std::ostream&) {
    return tl::unexpected(CommandError{"the authorize-install command is not available yet"});
}

}  // namespace zdz::cli
