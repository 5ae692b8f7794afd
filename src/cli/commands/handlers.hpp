#pragma once

// The handler of each subcommand, one unit each in this folder. Each reads
// the parsed command, does its work and writes its report to `out`, or
// returns the one error that words its failure; dispatch.cpp's table calls
// them.

#include <ostream>

#include "cli/command.hpp"

namespace zdz::cli {

[[nodiscard]] CommandResult run_keygen(const Keygen& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_show_key(const ShowKey& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_change_passphrase(const ChangePassphrase& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_import_hashes(const ImportHashes& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_import_signers(const ImportSigners& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_sign(const Sign& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_verify(const Verify& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_approve(const Approve& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_sign_release(const SignRelease& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_verify_release(const VerifyRelease& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_promote(const Promote& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_authorize_install(const AuthorizeInstall& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_withdraw(const Withdraw& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_set_policy(const SetPolicy& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_show_store(const ShowStore& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_audit_store(const AuditStore& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_rekey_store(const RekeyStore& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_refresh_store(const RefreshStore& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_demo(const Demo& cmd, std::ostream& out);

}  // namespace zdz::cli
