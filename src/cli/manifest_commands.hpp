#pragma once

#include <ostream>

#include "cli/dispatch.hpp"

namespace zdz::cli {

CommandResult run_keygen(const Keygen& cmd, std::ostream& out);
CommandResult run_import_signers(const ImportSigners& cmd, std::ostream& out);
CommandResult run_sign(const Sign& cmd, std::ostream& out);
CommandResult run_verify(const Verify& cmd, std::ostream& out);

}  // namespace zdz::cli
