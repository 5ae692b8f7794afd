#pragma once

#include <ostream>

#include "cli/dispatch.hpp"

namespace zdz::cli {

CommandResult run_promote(const Promote& cmd, std::ostream& out);
CommandResult run_authorize_install(const AuthorizeInstall& cmd, std::ostream& out);

}  // namespace zdz::cli
