#include <optional>
#include <span>
#include <string>
#include <utility>

#include "cli/access/image_check.hpp"
#include "cli/access/keystore_access.hpp"
#include "cli/access/store_access.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/progress_display.hpp"
#include "cli/report.hpp"
#include "encoding/try.hpp"
#include "io/measure.hpp"
#include "store/keystore.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

// What withdraw found and did, for its report.
struct WithdrawOutcome {
    MeasuredCandidate candidate;
    trust::Withdrawal withdrawal;
};

// How many times `platform` promoted the candidate: under any of its digests
// when it came from a file.
std::size_t times_promoted(const trust::ImagePlatform& platform, const MeasuredCandidate& candidate,
                           const trust::KnownGoodStore& registry) {
    return candidate.digests.empty()
               ? registry.times_promoted(platform, std::span(&candidate.measurement, 1))
               : registry.times_promoted(platform, candidate.digests);
}

json::JsonValue withdraw_json(const Withdraw& cmd, const trust::ImagePlatform& platform,
                              const WithdrawOutcome& outcome, const UpdatedStore& updated) {
    using json::JsonValue;
    const auto& registry = updated.registry;
    const auto& [candidate, withdrawal] = outcome;
    auto document = json_success();
    document.add("store", JsonValue::string(cmd.store));
    document.add("platform", JsonValue::string(platform.text()));
    document.add("newly_withdrawn", JsonValue::boolean(withdrawal.newly_withdrawn));
    document.add("measurement", JsonValue::string(candidate.measurement.to_string()));
    auto also = JsonValue::array();
    for (const auto& digest : candidate.digests) {
        if (!(digest == candidate.measurement)) {
            also.push(JsonValue::string(digest.to_string()));
        }
    }
    document.add("also_withdrawn", std::move(also));
    document.add("image_file", candidate.bytes_measured
                                   ? measured_file_json(cmd.candidate.image_file.value_or(""),
                                                        *candidate.bytes_measured)
                                   : JsonValue());
    document.add("times_promoted",
                 JsonValue::uint64(times_promoted(platform, candidate, registry)));
    document.add("blocks_installs", JsonValue::boolean(withdrawal.blocks_current));
    if (updated.checkpoint) {
        document.add("checkpoint", checkpoint_json(*updated.checkpoint));
    }
    return document;
}

std::string withdraw_report(const Withdraw& cmd, const trust::ImagePlatform& platform,
                            const WithdrawOutcome& outcome, const UpdatedStore& updated) {
    const auto& registry = updated.registry;
    const auto& [candidate, withdrawal] = outcome;
    std::string report = withdrawal.newly_withdrawn ? "[ok] withdrawn\n"
                                                    : "[ok] already withdrawn, store unchanged\n";
    report += "  platform:             " + platform.text() + "\n";
    report += "  measurement:          " + candidate.measurement.to_string() + "\n";
    for (const auto& digest : candidate.digests) {
        if (!(digest == candidate.measurement)) {
            report += "  also withdrawn:       " + digest.to_string() + "\n";
        }
    }
    if (candidate.bytes_measured) {
        report +=
            "  image file:           " +
            measured_file_text(cmd.candidate.image_file.value_or(""), *candidate.bytes_measured) +
            "\n";
    }
    report +=
        "  times promoted:       " + std::to_string(times_promoted(platform, candidate, registry)) +
        "\n";
    if (withdrawal.blocks_current) {
        report += "  installs:             no install is authorized on " + platform.text() +
                  " until a newer image is promoted\n";
    }
    report +=
        (withdrawal.newly_withdrawn ? "  store written:        " : "  store unchanged:      ") +
        cmd.store + "\n";
    return report + checkpoint_line(updated.checkpoint, 24);
}

}  // namespace

CommandResult run_withdraw(const Withdraw& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(
        cmd.report.format, {{"store", cmd.store}, {"image file", cmd.candidate.image_file}}));
    // One instant for unsealing, the store check and the save.
    ZDZ_TRY(const auto clock, read_save_clock(cmd.store_expires_at));
    const auto& now = clock.now;
    const auto& expires_at = clock.store_expires_at;
    // What is to be withdrawn is checked before any keystore work: a typo
    // costs no passphrase.
    ZDZ_TRY(const auto request, parse_candidate_request(cmd.platform, cmd.candidate));
    const auto& platform = request.platform;
    ZDZ_RETURN_IF_ERROR(
        check_store_inputs_apart(cmd.store, {{"--keystore", cmd.keystore},
                                             {"--image-file", cmd.candidate.image_file},
                                             {"--checkpoint", cmd.checkpoint}}));
    // An image file is measured under every algorithm while the key is
    // unsealed, and before the store's lock is taken: a large image must not
    // hold up the other writers of the folder. Something that is not an
    // image is refused before any of it.
    std::optional<ShownMeasurement> measurement;
    if (cmd.candidate.image_file) {
        measurement.emplace(*cmd.candidate.image_file, progress_wanted(cmd.report));
        if (const auto refused = measurement->refusal()) {
            return tl::unexpected(cannot_read_image(*cmd.candidate.image_file, *refused));
        }
    }
    ZDZ_TRY(const auto unsealed, unseal_keystore_file(cmd.keystore, cmd.passphrase_env, now));
    std::optional<io::ImageDigests> file;
    if (measurement) {
        auto digests = measurement->digests();
        if (!digests) {
            return tl::unexpected(cannot_read_image(*cmd.candidate.image_file, digests.error()));
        }
        file = *digests;
    }

    // Filled in under the store's lock: the report shows an image file's
    // digest under the algorithm of the platform's current image as the
    // loaded store has it.
    std::optional<WithdrawOutcome> outcome;
    const StoreUpdateWording wording{"cannot load store ", false, "withdrawal"};
    const auto registry = update_store(
        cmd.store, *unsealed.key, unsealed.key_id(), now, wording, {expires_at, cmd.checkpoint},
        [&](trust::KnownGoodStore& loaded,
            store::AuditEntry& note) -> tl::expected<StoreChange, CommandError> {
            ZDZ_RETURN_IF_ERROR(
                check_platform_held(cmd.store, platform, loaded, cmd.new_platform, "withdraw on"));
            auto candidate = candidate_on(request.measurement, file, loaded, platform);
            const auto withdrawal = file ? loaded.withdraw_image(platform, candidate.digests)
                                         : loaded.withdraw(platform, candidate.measurement);
            note.command = "withdraw";
            note.platform = platform;
            note.withdrawn = candidate.digests.empty()
                                 ? std::vector<trust::ImageMeasurement>{candidate.measurement}
                                 : std::vector<trust::ImageMeasurement>(candidate.digests.begin(),
                                                                        candidate.digests.end());
            outcome.emplace(WithdrawOutcome{std::move(candidate), withdrawal});
            // Withdrawn already: the file keeps its bytes.
            return withdrawal.newly_withdrawn ? StoreChange::Save : StoreChange::Unchanged;
        });
    if (!registry) {
        return tl::unexpected(registry.error());
    }
    out << (cmd.report.format == OutputFormat::Json
                ? json_report_text(withdraw_json(cmd, platform, *outcome, *registry))
                : withdraw_report(cmd, platform, *outcome, *registry));
    return {};
}

}  // namespace zdz::cli
