#pragma once

#include <ostream>

#include "cli/dispatch.hpp"

namespace zdz::cli {

// The life of a release key after keygen: show its public key again, change
// its passphrase, move a registry store from one key to another.
[[nodiscard]] CommandResult run_show_key(const ShowKey& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_change_passphrase(const ChangePassphrase& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_rekey_store(const RekeyStore& cmd, std::ostream& out);

}  // namespace zdz::cli
