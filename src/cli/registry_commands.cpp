#include "cli/registry_commands.hpp"

#include <optional>
#include <string>

#include "cli/clock.hpp"
#include "cli/image_check.hpp"
#include "cli/keystore_access.hpp"
#include "cli/manifest_commands.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/store_access.hpp"
#include "contracts/content_hash.hpp"
#include "contracts/time.hpp"
#include "encoding/text.hpp"
#include "trust/manifest.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

std::string promoted_report(const Promote& cmd, const CheckedManifest& verified,
                            const trust::KnownGoodStore& registry) {
    const auto& body = verified.manifest.body;
    return "[ok] promoted\n"
           "  manifest signed by:   " +
           encoding::terminal_safe(verified.signer_principal) + "\n" +
           "  platform:             " + body.platform.text() + "\n" +
           "  measurement:          " + body.measurement.to_string() + "\n" +
           "  security_version:     " + trust::security_version_text(body.security_version) + "\n" +
           "  rollback floor now:   " +
           trust::security_version_text(registry.rollback_floor(body.platform)) + "\n" +
           "  store written:        " + cmd.store + "\n";
}

std::string authorized_report(const AuthorizeInstall& cmd, const trust::ImagePlatform& platform,
                              const MeasuredCandidate& candidate,
                              const trust::PromotionRecord& authorized,
                              const trust::KnownGoodStore& registry) {
    std::string report =
        "[ok] install authorized\n"
        "  platform:          " +
        platform.text() + "\n" + "  measurement:       " + authorized.measurement.to_string() +
        "\n" + "  security_version:  " + trust::security_version_text(authorized.security_version) +
        "\n" +
        "  rollback floor:    " + trust::security_version_text(registry.rollback_floor(platform)) +
        "\n";
    if (candidate.bytes_measured) {
        report +=
            "  image file:        " +
            measured_file_text(cmd.candidate.image_file.value_or(""), *candidate.bytes_measured) +
            "\n";
    }
    return report;
}

}  // namespace

CommandResult run_promote(const Promote& cmd, std::ostream& out) {
    protect_process_secrets();
    // One instant for verification, unsealing, the store check, the promotion
    // and the save.
    const auto now = read_clock();
    if (!now) {
        return tl::unexpected(now.error());
    }
    // Before any keystore work: an untrusted manifest is refused without the
    // passphrase ever being read.
    const auto verified = check_manifest_file(cmd.manifest, cmd.signers_file, *now);
    if (!verified) {
        return tl::unexpected(verified.error());
    }
    if (auto writable = check_store_inputs_apart(
            cmd.store, {{"--manifest", cmd.manifest},
                        {"--signers-file", cmd.signers_file.value_or(kDefaultSignersFile)},
                        {"--keystore", cmd.keystore}});
        !writable) {
        return tl::unexpected(std::move(writable.error()));
    }
    const auto unsealed = unseal_keystore_file(cmd.keystore, cmd.passphrase_env, *now);
    if (!unsealed) {
        return tl::unexpected(unsealed.error());
    }
    // Loaded, decided on and saved under the store's lock.
    const StoreUpdateWording wording{"cannot load existing store ", true, "promotion"};
    const auto registry = update_store(
        cmd.store, unsealed->key, unsealed->record.key_id, *now, wording,
        [&](trust::KnownGoodStore& loaded) -> tl::expected<StoreChange, CommandError> {
            const auto promoted = loaded.promote(verified->manifest);
            if (!promoted) {
                return tl::unexpected(fail("promotion refused: " + promoted.error().display()));
            }
            return StoreChange::Save;
        });
    if (!registry) {
        return tl::unexpected(registry.error());
    }
    out << promoted_report(cmd, *verified, *registry);
    return {};
}

CommandResult run_authorize_install(const AuthorizeInstall& cmd, std::ostream& out) {
    const auto registry = read_store(cmd.store, cmd.keystore, cmd.public_key);
    if (!registry) {
        return tl::unexpected(registry.error());
    }
    const auto request = parse_candidate_request(cmd.platform, cmd.candidate);
    if (!request) {
        return tl::unexpected(request.error());
    }
    const auto& platform = request->platform;
    std::optional<io::ImageDigests> file;
    if (cmd.candidate.image_file) {
        auto measured = measure_candidate_file(*cmd.candidate.image_file);
        if (!measured) {
            return tl::unexpected(measured.error());
        }
        file = *measured;
    }
    const auto candidate = candidate_on(request->measurement, file, *registry, platform);
    // The bytes of a file are refused when withdrawn under any algorithm.
    const auto authorized = file ? registry->authorize_image(platform, candidate.digests)
                                 : registry->authorize_install(platform, candidate.measurement);
    if (!authorized) {
        std::string message = "install refused: " + authorized.error().display();
        // The refused measurement was computed here: show it.
        if (candidate.bytes_measured) {
            message += " (image file " + cmd.candidate.image_file.value_or("") + " measures " +
                       candidate.measurement.to_string() + ")";
        }
        return tl::unexpected(fail(std::move(message)));
    }
    out << authorized_report(cmd, platform, candidate, *authorized, *registry);
    return {};
}

}  // namespace zdz::cli
