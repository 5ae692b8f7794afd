#include "cli/withdraw_command.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "cli/clock.hpp"
#include "cli/image_check.hpp"
#include "cli/passphrase.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/store_access.hpp"
#include "store/keystore.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

CommandError fail(std::string message) {
    return CommandError{std::move(message)};
}

std::size_t times_promoted(const trust::KnownGoodStore& registry,
                           const trust::ImagePlatform& platform,
                           const trust::ImageMeasurement& measurement) {
    const auto history = registry.history(platform);
    return static_cast<std::size_t>(std::count_if(
        history.begin(), history.end(),
        [&](const trust::PromotionRecord& record) { return record.measurement == measurement; }));
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
    const auto platform = trust::ImagePlatform::parse(cmd.platform);
    if (!platform) {
        return tl::unexpected(fail(platform.error().display()));
    }
    std::optional<trust::ImageMeasurement> parsed;
    if (cmd.candidate.measurement) {
        auto measurement = parse_candidate_measurement(*cmd.candidate.measurement);
        if (!measurement) {
            return tl::unexpected(measurement.error());
        }
        parsed = *measurement;
    }
    const auto keystore = store::load_keystore(cmd.keystore);
    if (!keystore) {
        return tl::unexpected(
            fail("cannot load keystore " + cmd.keystore + ": " + keystore.error().display()));
    }
    auto passphrase = read_passphrase_env(cmd.passphrase_env);
    if (!passphrase) {
        return tl::unexpected(passphrase.error());
    }
    const auto key = store::unseal_signing_key(*keystore, passphrase->bytes(), *now);
    passphrase->wipe();
    if (!key) {
        return tl::unexpected(fail("cannot unseal keystore: " + key.error().display()));
    }

    // Filled in under the store's lock: an image file is measured with the
    // algorithm of the platform's current image as the loaded store has it.
    std::optional<MeasuredCandidate> candidate;
    trust::Withdrawal withdrawal;
    const StoreUpdateWording wording{"cannot load store ", false, "withdrawal"};
    const auto registry = update_store(
        cmd.store, *key, keystore->key_id, *now, wording,
        [&](trust::KnownGoodStore& loaded) -> tl::expected<StoreChange, CommandError> {
            auto resolved = resolve_candidate(cmd.candidate, parsed, loaded, *platform);
            if (!resolved) {
                return tl::unexpected(resolved.error());
            }
            candidate = *resolved;
            withdrawal = loaded.withdraw(*platform, candidate->measurement);
            // Withdrawn already: the file keeps its bytes.
            return withdrawal.newly_withdrawn ? StoreChange::Save : StoreChange::Unchanged;
        });
    if (!registry) {
        return tl::unexpected(registry.error());
    }

    std::string report = withdrawal.newly_withdrawn ? "[ok] withdrawn\n"
                                                    : "[ok] already withdrawn, store unchanged\n";
    report += "  platform:             " + platform->text() + "\n";
    report += "  measurement:          " + candidate->measurement.to_string() + "\n";
    if (candidate->bytes_measured) {
        report +=
            "  image file:           " +
            measured_file_text(cmd.candidate.image_file.value_or(""), *candidate->bytes_measured) +
            "\n";
    }
    report += "  times promoted:       " +
              std::to_string(times_promoted(*registry, *platform, candidate->measurement)) + "\n";
    if (withdrawal.blocks_current) {
        report += "  installs:             no install is authorized on " + platform->text() +
                  " until a newer image is promoted\n";
    }
    report +=
        (withdrawal.newly_withdrawn ? "  store written:        " : "  store unchanged:      ") +
        cmd.store + "\n";
    out << report;
    return {};
}

}  // namespace zdz::cli
