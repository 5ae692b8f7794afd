#include <string>
#include <utility>

#include "cli/access/keystore_access.hpp"
#include "cli/access/store_access.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "encoding/try.hpp"

namespace zdz::cli {

CommandResult run_refresh_store(const RefreshStore& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"store", cmd.store}}));
    ZDZ_RETURN_IF_ERROR(check_store_inputs_apart(cmd.store, {{"--keystore", cmd.keystore}}));
    ZDZ_TRY(const auto clock, read_save_clock(cmd.store_expires_at));
    const auto& now = clock.now;
    const auto& expires_at = clock.store_expires_at;
    ZDZ_TRY(const auto unsealed, unseal_keystore_file(cmd.keystore, cmd.passphrase_env, now));
    // An expired store is read all the same: renewing it is what this is for.
    const StoreUpdateWording wording{"cannot load store ", false, "refresh"};
    const auto updated =
        update_store(cmd.store, *unsealed.key, unsealed.key_id(), now, wording,
                     {expires_at, std::nullopt, store::ExpiredStore::Read},
                     [](trust::KnownGoodStore&,
                        store::AuditEntry& note) -> tl::expected<StoreChange, CommandError> {
                         note.command = "refresh-store";
                         return StoreChange::Save;
                     });
    if (!updated) {
        return tl::unexpected(updated.error());
    }
    const auto& before = *updated->loaded;
    const auto& after = *updated->standing;
    const auto expiry_text = [](const store::StoreStanding& standing) {
        return standing.expires_at ? standing.expires_at->to_string() : std::string("none");
    };
    if (cmd.format == OutputFormat::Json) {
        using json::JsonValue;
        auto document = json_success();
        document.add("store", JsonValue::string(cmd.store));
        document.add("sequence", JsonValue::uint64(after.sequence));
        document.add("store_hash", JsonValue::string(after.hash.to_string()));
        document.add("expires_at", JsonValue::string(expiry_text(after)));
        document.add("previous_expires_at",
                     before.expires_at ? JsonValue::string(expiry_text(before)) : JsonValue());
        out << json_report_text(document);
        return {};
    }
    out << "[ok] store refreshed: " << cmd.store << "\n"
        << "  sequence:     " << after.sequence << "\n"
        << "  expires at:   " << expiry_text(after) << " (was " << expiry_text(before) << ")\n"
        << "  store hash:   " << after.hash.to_string() << "\n";
    return {};
}

}  // namespace zdz::cli
