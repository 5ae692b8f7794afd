#pragma once

#include <ostream>

#include "cli/dispatch.hpp"

namespace zdz::cli {

[[nodiscard]] CommandResult run_promote(const Promote& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_authorize_install(const AuthorizeInstall& cmd, std::ostream& out);

}  // namespace zdz::cli
