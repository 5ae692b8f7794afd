#pragma once

#include <ostream>

#include "cli/dispatch.hpp"

namespace zdz::cli {

[[nodiscard]] CommandResult run_show_store(const ShowStore& cmd, std::ostream& out);

}  // namespace zdz::cli
