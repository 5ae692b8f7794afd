#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "cli/access/keystore_access.hpp"
#include "cli/access/store_access.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "encoding/try.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

struct PolicyChange {
    std::uint32_t before = 1;
    std::uint32_t after = 1;
};

std::string policy_report(const SetPolicy& cmd, const trust::ImagePlatform& platform,
                          const PolicyChange& change) {
    std::string report =
        change.before == change.after ? "[ok] policy unchanged\n" : "[ok] policy set\n";
    report += "  platform:      " + platform.text() + "\n" +
              "  min signers:   " + std::to_string(change.after);
    if (change.before != change.after) {
        report += " (was " + std::to_string(change.before) + ")";
    }
    report += "\n";
    if (change.before != change.after) {
        report += "  store written: " + cmd.store + "\n";
    }
    return report;
}

json::JsonValue policy_json(const SetPolicy& cmd, const trust::ImagePlatform& platform,
                            const PolicyChange& change) {
    using json::JsonValue;
    auto document = json_success();
    document.add("store", JsonValue::string(cmd.store));
    document.add("platform", JsonValue::string(platform.text()));
    document.add("min_signers", JsonValue::uint64(change.after));
    document.add("previous_min_signers", JsonValue::uint64(change.before));
    document.add("changed", JsonValue::boolean(change.before != change.after));
    return document;
}

}  // namespace

CommandResult run_set_policy(const SetPolicy& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"store", cmd.store}}));
    // What is asked for is checked before any keystore work.
    auto platform = trust::ImagePlatform::parse(cmd.platform);
    if (!platform) {
        return tl::unexpected(fail(platform.error().display()));
    }
    if (cmd.min_signers == 0) {
        return tl::unexpected(
            fail("--min-signers must be at least 1: a promotion needs the manifest's own "
                 "signature"));
    }
    ZDZ_RETURN_IF_ERROR(check_store_inputs_apart(cmd.store, {{"--keystore", cmd.keystore}}));
    ZDZ_TRY(const auto clock, read_save_clock(cmd.store_expires_at));
    const auto& now = clock.now;
    const auto& expires_at = clock.store_expires_at;
    ZDZ_TRY(const auto unsealed, unseal_keystore_file(cmd.keystore, cmd.passphrase_env, now));
    PolicyChange change;
    // A store that does not exist yet starts empty, so that a platform's rule
    // can hold from its first promotion on (--new-platform still asked for).
    const StoreUpdateWording wording{"cannot load existing store ", true, "policy change"};
    const auto registry =
        update_store(cmd.store, *unsealed.key, unsealed.key_id(), now, wording, {expires_at},
                     [&](trust::KnownGoodStore& loaded,
                         store::AuditEntry& note) -> tl::expected<StoreChange, CommandError> {
                         ZDZ_RETURN_IF_ERROR(check_platform_held(
                             cmd.store, *platform, loaded, cmd.new_platform, "set the policy of"));
                         change = {loaded.min_signers(*platform), cmd.min_signers};
                         if (change.before == change.after) {
                             return StoreChange::Unchanged;
                         }
                         loaded.set_min_signers(*platform, cmd.min_signers);
                         note.command = "set-policy";
                         note.platform = *platform;
                         note.min_signers = cmd.min_signers;
                         return StoreChange::Save;
                     });
    if (!registry) {
        return tl::unexpected(registry.error());
    }
    out << (cmd.format == OutputFormat::Json ? json_report_text(policy_json(cmd, *platform, change))
                                             : policy_report(cmd, *platform, change));
    return {};
}

}  // namespace zdz::cli
