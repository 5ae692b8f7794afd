#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "cli/access/clock.hpp"
#include "cli/access/image_check.hpp"
#include "cli/access/keystore_access.hpp"
#include "cli/access/store_access.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/report.hpp"
#include "store/keystore.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

std::size_t times_promoted(const trust::KnownGoodStore& registry,
                           const trust::ImagePlatform& platform,
                           const trust::ImageMeasurement& measurement) {
    const auto history = registry.history(platform);
    return static_cast<std::size_t>(std::count_if(
        history.begin(), history.end(),
        [&](const trust::PromotionRecord& record) { return record.measurement == measurement; }));
}

// What withdraw found and did, for its report.
struct WithdrawOutcome {
    MeasuredCandidate candidate;
    trust::Withdrawal withdrawal;
};

std::string withdraw_report(const Withdraw& cmd, const trust::ImagePlatform& platform,
                            const WithdrawOutcome& outcome, const trust::KnownGoodStore& registry) {
    const auto& [candidate, withdrawal] = outcome;
    std::string report = withdrawal.newly_withdrawn ? "[ok] withdrawn\n"
                                                    : "[ok] already withdrawn, store unchanged\n";
    report += "  platform:             " + platform.text() + "\n";
    report += "  measurement:          " + candidate.measurement.to_string() + "\n";
    if (candidate.bytes_measured) {
        report +=
            "  image file:           " +
            measured_file_text(cmd.candidate.image_file.value_or(""), *candidate.bytes_measured) +
            "\n";
    }
    report += "  times promoted:       " +
              std::to_string(times_promoted(registry, platform, candidate.measurement)) + "\n";
    if (withdrawal.blocks_current) {
        report += "  installs:             no install is authorized on " + platform.text() +
                  " until a newer image is promoted\n";
    }
    report +=
        (withdrawal.newly_withdrawn ? "  store written:        " : "  store unchanged:      ") +
        cmd.store + "\n";
    return report;
}

}  // namespace

CommandResult run_withdraw(const Withdraw& cmd, std::ostream& out) {
    protect_process_secrets();
    // One instant for unsealing, the store check and the save.
    const auto now = read_clock();
    if (!now) {
        return tl::unexpected(now.error());
    }
    // What is to be withdrawn is checked before any keystore work: a typo
    // costs no passphrase.
    const auto request = parse_candidate_request(cmd.platform, cmd.candidate);
    if (!request) {
        return tl::unexpected(request.error());
    }
    const auto& platform = request->platform;
    const auto unsealed = unseal_keystore_file(cmd.keystore, cmd.passphrase_env, *now);
    if (!unsealed) {
        return tl::unexpected(unsealed.error());
    }

    // Filled in under the store's lock: an image file is measured with the
    // algorithm of the platform's current image as the loaded store has it.
    std::optional<WithdrawOutcome> outcome;
    const StoreUpdateWording wording{"cannot load store ", false, "withdrawal"};
    const auto registry = update_store(
        cmd.store, unsealed->key, unsealed->record.key_id, *now, wording,
        [&](trust::KnownGoodStore& loaded) -> tl::expected<StoreChange, CommandError> {
            auto resolved =
                resolve_candidate(cmd.candidate, request->measurement, loaded, platform);
            if (!resolved) {
                return tl::unexpected(resolved.error());
            }
            const auto withdrawal = loaded.withdraw(platform, resolved->measurement);
            outcome.emplace(WithdrawOutcome{*resolved, withdrawal});
            // Withdrawn already: the file keeps its bytes.
            return withdrawal.newly_withdrawn ? StoreChange::Save : StoreChange::Unchanged;
        });
    if (!registry) {
        return tl::unexpected(registry.error());
    }
    out << withdraw_report(cmd, platform, *outcome, *registry);
    return {};
}

}  // namespace zdz::cli
