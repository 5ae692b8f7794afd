#include "cli/dispatch.hpp"

#include <variant>

#include "cli/commands/handlers.hpp"

namespace zdz::cli {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

CommandResult dispatch(const Cli& cli, std::ostream& out) {
    return std::visit(Overloaded{
                          [&](const Keygen& c) { return run_keygen(c, out); },
                          [&](const ImportHashes& c) { return run_import_hashes(c, out); },
                          [&](const ImportSigners& c) { return run_import_signers(c, out); },
                          [&](const Sign& c) { return run_sign(c, out); },
                          [&](const Verify& c) { return run_verify(c, out); },
                          [&](const Promote& c) { return run_promote(c, out); },
                          [&](const AuthorizeInstall& c) { return run_authorize_install(c, out); },
                          [&](const Withdraw& c) { return run_withdraw(c, out); },
                          [&](const ShowStore& c) { return run_show_store(c, out); },
                          [&](const Demo& c) { return run_demo(c, out); },
                          [&](const ShowKey& c) { return run_show_key(c, out); },
                          [&](const ChangePassphrase& c) { return run_change_passphrase(c, out); },
                          [&](const RekeyStore& c) { return run_rekey_store(c, out); },
                      },
                      cli.subcommand);
}

}  // namespace zdz::cli
