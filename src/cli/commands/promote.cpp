#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "cli/access/keystore_access.hpp"
#include "cli/access/manifest_check.hpp"
#include "cli/access/store_access.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/error_kind.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "trust/approvals.hpp"
#include "trust/manifest.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

// The larger of --min-signers and the platform's recorded policy.
std::uint32_t required_signers(const Promote& cmd, const CheckedManifest& verified,
                               const trust::KnownGoodStore& registry) {
    return std::max(cmd.min_signers.value_or(1),
                    registry.min_signers(verified.manifest.body.platform));
}

std::string promoted_report(const Promote& cmd, const CheckedManifest& verified,
                            const UpdatedStore& updated) {
    const auto& registry = updated.registry;
    const auto& body = verified.manifest.body;
    const auto required = required_signers(cmd, verified, registry);
    return "[ok] promoted\n"
           "  manifest signed by:   " +
           encoding::terminal_safe(verified.signer_principal) + "\n" +
           (reports_signers(verified, required) ? approval_lines(verified, required, 22)
                                                : std::string()) +
           "  platform:             " + body.platform.text() + "\n" +
           "  measurement:          " + body.measurement.to_string() + "\n" +
           "  security_version:     " + trust::security_version_text(body.security_version) + "\n" +
           "  rollback floor now:   " +
           trust::security_version_text(registry.rollback_floor(body.platform)) + "\n" +
           "  store written:        " + cmd.store + "\n" + checkpoint_line(updated.checkpoint, 24);
}

json::JsonValue promoted_json(const Promote& cmd, const CheckedManifest& verified,
                              const UpdatedStore& updated) {
    using json::JsonValue;
    const auto& registry = updated.registry;
    const auto& body = verified.manifest.body;
    auto document = json_success();
    document.add("store", JsonValue::string(cmd.store));
    document.add("signed_by", JsonValue::string(verified.signer_principal));
    if (const auto required = required_signers(cmd, verified, registry);
        reports_signers(verified, required)) {
        document.add("signers", signers_json(verified));
        document.add("min_signers", JsonValue::uint64(required));
    }
    document.add("manifest_id", JsonValue::string(body.manifest_id.to_string()));
    document.add("platform", JsonValue::string(body.platform.text()));
    document.add("measurement", JsonValue::string(body.measurement.to_string()));
    document.add("security_version", JsonValue::uint64(body.security_version));
    document.add("rollback_floor", JsonValue::uint64(registry.rollback_floor(body.platform)));
    if (updated.checkpoint) {
        document.add("checkpoint", checkpoint_json(*updated.checkpoint));
    }
    return document;
}

}  // namespace

CommandResult run_promote(const Promote& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"store", cmd.store}}));
    // One instant for verification, unsealing, the store check, the promotion
    // and the save.
    ZDZ_TRY(const auto clock, read_save_clock(cmd.store_expires_at));
    const auto& now = clock.now;
    const auto& expires_at = clock.store_expires_at;
    // Before any keystore work: an untrusted manifest is refused without the
    // passphrase ever being read.
    ZDZ_TRY(const auto verified,
            check_manifest_file(cmd.manifest, cmd.signers_file, now, cmd.min_signers.value_or(1)));
    ZDZ_RETURN_IF_ERROR(check_store_inputs_apart(
        cmd.store, {{"--manifest", cmd.manifest},
                    {"--signers-file", cmd.signers_file.value_or(kDefaultSignersFile)},
                    {"--keystore", cmd.keystore},
                    {"--checkpoint", cmd.checkpoint}}));
    ZDZ_TRY(const auto unsealed, unseal_keystore_file(cmd.keystore, cmd.passphrase_env, now));
    // Loaded, decided on and saved under the store's lock.
    const StoreUpdateWording wording{"cannot load existing store ", true, "promotion"};
    const auto registry = update_store(
        cmd.store, *unsealed.key, unsealed.key_id(), now, wording, {expires_at, cmd.checkpoint},
        [&](trust::KnownGoodStore& loaded,
            store::AuditEntry& note) -> tl::expected<StoreChange, CommandError> {
            const auto& platform = verified.manifest.body.platform;
            if (auto enough = trust::require_signers(verified.signers.size(),
                                                     loaded.min_signers(platform), platform.text());
                !enough) {
                return tl::unexpected(fail("promotion refused: " + enough.error().display(),
                                           kind_of(enough.error())));
            }
            const auto promoted = loaded.promote(verified.manifest);
            if (!promoted) {
                return tl::unexpected(fail("promotion refused: " + promoted.error().display(),
                                           kind_of(promoted.error())));
            }
            const auto& body = verified.manifest.body;
            note.command = "promote";
            note.platform = body.platform;
            note.measurement = body.measurement;
            note.security_version = body.security_version;
            note.manifest_id = body.manifest_id;
            note.signers.emplace();
            for (const auto& signer : verified.signers) {
                note.signers->push_back(crypto::key_fingerprint(signer.key));
            }
            return StoreChange::Save;
        });
    if (!registry) {
        return tl::unexpected(registry.error());
    }
    out << (cmd.format == OutputFormat::Json
                ? json_report_text(promoted_json(cmd, verified, *registry))
                : promoted_report(cmd, verified, *registry));
    return {};
}

}  // namespace zdz::cli
