#include "cli/dispatch.hpp"

#include <cstddef>
#include <variant>

#include "cli/commands/handlers.hpp"
#include "cli/grammar/binding.hpp"

namespace zdz::cli {
namespace {

// The handler of one record of Subcommand.
struct CommandEntry {
    std::size_t record = 0;
    CommandResult (*run)(const Subcommand& command, std::ostream& out) = nullptr;
};

template <class Record, CommandResult (*Run)(const Record&, std::ostream&)>
constexpr CommandEntry handled_by() {
    return {kRecordIndex<Record>, [](const Subcommand& command, std::ostream& out) {
                return Run(std::get<Record>(command), out);
            }};
}

// The one table of commands: entry i runs the record of index i.
constexpr CommandEntry kCommands[] = {
    handled_by<Keygen, run_keygen>(),
    handled_by<ShowKey, run_show_key>(),
    handled_by<ChangePassphrase, run_change_passphrase>(),
    handled_by<ImportHashes, run_import_hashes>(),
    handled_by<ImportSigners, run_import_signers>(),
    handled_by<Sign, run_sign>(),
    handled_by<Verify, run_verify>(),
    handled_by<Approve, run_approve>(),
    handled_by<SignRelease, run_sign_release>(),
    handled_by<VerifyRelease, run_verify_release>(),
    handled_by<Promote, run_promote>(),
    handled_by<AuthorizeInstall, run_authorize_install>(),
    handled_by<Withdraw, run_withdraw>(),
    handled_by<SetPolicy, run_set_policy>(),
    handled_by<ShowStore, run_show_store>(),
    handled_by<AuditStore, run_audit_store>(),
    handled_by<RekeyStore, run_rekey_store>(),
    handled_by<RefreshStore, run_refresh_store>(),
    handled_by<Demo, run_demo>(),
};

consteval bool one_entry_per_record_in_order() {
    if (std::size(kCommands) != std::variant_size_v<Subcommand>) {
        return false;
    }
    for (std::size_t i = 0; i < std::size(kCommands); ++i) {
        if (kCommands[i].record != i) {
            return false;
        }
    }
    return true;
}
static_assert(one_entry_per_record_in_order(),
              "kCommands needs one entry for each record of Subcommand, in its order");

}  // namespace

OutputFormat output_format(const Cli& cli) {
    return std::visit(
        [](const auto& record) {
            if constexpr (requires { record.format; }) {
                return record.format;
            } else if constexpr (requires { record.report.format; }) {
                return record.report.format;
            } else {
                return OutputFormat::Text;
            }
        },
        cli.subcommand);
}

CommandResult dispatch(const Cli& cli, std::ostream& out) {
    return kCommands[cli.subcommand.index()].run(cli.subcommand, out);
}

}  // namespace zdz::cli
