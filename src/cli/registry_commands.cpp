#include "cli/registry_commands.hpp"

#include <string>

#include "cli/clock.hpp"
#include "cli/manifest_commands.hpp"
#include "cli/passphrase.hpp"
#include "cli/process_hygiene.hpp"
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

    // Held from before the load until after the save, so that a promotion
    // running at the same time against this store cannot be overwritten.
    const auto lock = store::RegistryDirectoryLock::acquire(cmd.store);
    if (!lock) {
        return tl::unexpected(fail("cannot load existing store " + cmd.store + ": " +
                                   trust::TrustError::from_write_error(lock.error()).display()));
    }
    // The store is checked with the unsealed key's own public key.
    auto loaded = store::load_registry_store(cmd.store, key->verifying_key(), now);
    if (!loaded) {
        return tl::unexpected(
            fail("cannot load existing store " + cmd.store + ": " + loaded.error().display()));
    }
    auto registry = loaded->has_value() ? std::move(**loaded) : trust::KnownGoodStore{};
    const auto promoted = registry.promote(verified->manifest);
    if (!promoted) {
        return tl::unexpected(fail("promotion refused: " + promoted.error().display()));
    }
    // Saved under the lock already held: taking it again would wait forever.
    const auto saved =
        store::save_registry_store(registry, cmd.store, *key, keystore->key_id, now, &*lock);
    if (!saved) {
        // The new store is in place: promoting again would record the image
        // a second time.
        if (saved.error().kind() == trust::TrustError::Kind::StorageNotDurable) {
            return tl::unexpected(fail("promotion written to " + cmd.store +
                                       " but it may not be durable: " + saved.error().display()));
        }
        return tl::unexpected(
            fail("promotion succeeded in memory but the store could not be saved: " +
                 saved.error().display()));
    }

    const auto& body = verified->manifest.body;
    out << "[ok] promoted\n"
        << "  manifest signed by:   " << encoding::terminal_safe(verified->signer_principal) << "\n"
        << "  platform:             " << body.platform.text() << "\n"
        << "  measurement:          " << body.measurement.to_string() << "\n"
        << "  security_version:     " << trust::security_version_text(body.security_version) << "\n"
        << "  rollback floor now:   "
        << trust::security_version_text(registry.rollback_floor(body.platform)) << "\n"
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
    const auto loaded = store::load_registry_store(cmd.store, *key, *now);
    if (!loaded) {
        return tl::unexpected(
            fail("cannot load store " + cmd.store + ": " + loaded.error().display()));
    }
    if (!loaded->has_value()) {
        return tl::unexpected(fail("no store file found at " + cmd.store));
    }
    const auto& registry = **loaded;
    const auto platform = trust::ImagePlatform::parse(cmd.platform);
    if (!platform) {
        return tl::unexpected(fail(platform.error().display()));
    }
    const auto candidate = contracts::ContentHash::parse(cmd.measurement);
    if (!candidate) {
        return tl::unexpected(fail("invalid measurement " + encoding::quoted_form(cmd.measurement) +
                                   ": " + candidate.error().display()));
    }
    const auto authorized = registry.authorize_install(*platform, {*candidate});
    if (!authorized) {
        return tl::unexpected(fail("install refused: " + authorized.error().display()));
    }

    out << "[ok] install authorized\n"
        << "  platform:          " << platform->text() << "\n"
        << "  measurement:       " << authorized->measurement.to_string() << "\n"
        << "  security_version:  " << trust::security_version_text(authorized->security_version)
        << "\n"
        << "  rollback floor:    "
        << trust::security_version_text(registry.rollback_floor(*platform)) << "\n";
    return {};
}

}  // namespace zdz::cli
