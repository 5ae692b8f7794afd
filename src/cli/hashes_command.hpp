#pragma once

#include <ostream>

#include "cli/dispatch.hpp"

namespace zdz::cli {

[[nodiscard]] CommandResult run_import_hashes(const ImportHashes& cmd, std::ostream& out);

}  // namespace zdz::cli
