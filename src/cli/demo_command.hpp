#pragma once

#include <ostream>

#include "cli/dispatch.hpp"

namespace zdz::cli {

[[nodiscard]] CommandResult run_demo(const Demo& cmd, std::ostream& out);

}  // namespace zdz::cli
