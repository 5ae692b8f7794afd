#include "cli/registry_commands.hpp"

#include <string>

#include "cli/clock.hpp"
#include "cli/image_check.hpp"
#include "cli/manifest_commands.hpp"
#include "cli/passphrase.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/store_access.hpp"
#include "cli/store_key.hpp"
#include "contracts/content_hash.hpp"
#include "encoding/text.hpp"
#include "contracts/time.hpp"
#include "encoding/text.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "trust/manifest.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

CommandError fail(std::string message) {
    return CommandError{std::move(message)};
}

}  // namespace

CommandResult run_promote(const Promote& cmd, std::ostream& out) {
    protect_process_secrets();
    // One instant for verification, unsealing, the store check, the promotion
    // and the save.
    const auto clock = read_clock();
    if (!clock) {
        return tl::unexpected(clock.error());
    }
    const auto now = *clock;
    // Before any keystore work: an untrusted manifest is refused without the
    // passphrase ever being read.
    const auto verified = check_manifest_file(cmd.manifest, cmd.signers_file, now);
    if (!verified) {
        return tl::unexpected(verified.error());
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
    const auto key = store::unseal_signing_key(*keystore, passphrase->bytes(), now);
    passphrase->wipe();
    if (!key) {
        return tl::unexpected(fail("cannot unseal keystore: " + key.error().display()));
    }

    const StoreUpdateWording wording{"cannot load existing store ", true, "promotion"};
    const auto registry = update_store(
        cmd.store, *key, keystore->key_id, now, wording,
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

    const auto& body = verified->manifest.body;
    out << "[ok] promoted\n"
        << "  manifest signed by:   " << encoding::terminal_safe(verified->signer_principal) << "\n"
        << "  platform:             " << body.platform.text() << "\n"
        << "  measurement:          " << body.measurement.to_string() << "\n"
        << "  security_version:     " << trust::security_version_text(body.security_version) << "\n"
        << "  rollback floor now:   "
        << trust::security_version_text(registry->rollback_floor(body.platform)) << "\n"
        << "  store written:        " << cmd.store << "\n";
    return {};
}

CommandResult run_authorize_install(const AuthorizeInstall& cmd, std::ostream& out) {
    const auto key = store_verifying_key(cmd.keystore, cmd.public_key);
    if (!key) {
        return tl::unexpected(key.error());
    }
    const auto now = read_clock();
    if (!now) {
        return tl::unexpected(now.error());
    }
    const auto registry = load_existing_store(cmd.store, *key, *now);
    if (!registry) {
        return tl::unexpected(registry.error());
    }
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
    const auto candidate = resolve_candidate(cmd.candidate, parsed, *registry, *platform);
    if (!candidate) {
        return tl::unexpected(candidate.error());
    }
    const auto authorized = registry->authorize_install(*platform, candidate->measurement);
    if (!authorized) {
        std::string message = "install refused: " + authorized.error().display();
        // The refused measurement was computed here: show it.
        if (candidate->bytes_measured) {
            message += " (image file " + cmd.candidate.image_file.value_or("") + " measures " +
                       candidate->measurement.to_string() + ")";
        }
        return tl::unexpected(fail(std::move(message)));
    }

    out << "[ok] install authorized\n"
        << "  platform:          " << platform->text() << "\n"
        << "  measurement:       " << authorized->measurement.to_string() << "\n"
        << "  security_version:  " << trust::security_version_text(authorized->security_version)
        << "\n"
        << "  rollback floor:    "
        << trust::security_version_text(registry->rollback_floor(*platform)) << "\n";
    if (candidate->bytes_measured) {
        out << "  image file:        "
            << measured_file_text(cmd.candidate.image_file.value_or(""), *candidate->bytes_measured)
            << "\n";
    }
    return {};
}

}  // namespace zdz::cli
