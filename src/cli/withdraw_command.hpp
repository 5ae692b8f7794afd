#pragma once

#include <ostream>

#include "cli/dispatch.hpp"

namespace zdz::cli {

[[nodiscard]] CommandResult run_withdraw(const Withdraw& cmd, std::ostream& out);

}  // namespace zdz::cli
