#include <sys/stat.h>

#include <string>
#include <utility>

#include "cli/access/clock.hpp"
#include "cli/access/file_replacement.hpp"
#include "cli/access/keystore_access.hpp"
#include "cli/access/passphrase.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/report.hpp"
#include "crypto/ed25519.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"

namespace zdz::cli {
namespace {

bool is_symbolic_link(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A keystore whose passphrase is about to change, read under the lock of its
// folder. The lock is held from before the keystore is read until it has been
// read back, so that another writer in this folder (a keygen onto the same
// file, a second passphrase change) waits instead of being undone unseen.
struct LockedKeystore {
    io::DirectoryLock lock;
    store::LoadedKeystore loaded;
};

[[nodiscard]] tl::expected<LockedKeystore, CommandError> lock_keystore_file(
    const std::string& path) {
    auto lock = io::DirectoryLock::acquire(path);
    if (!lock) {
        return tl::unexpected(fail("cannot load keystore " + path + ": " + lock.error().display()));
    }
    auto loaded = store::load_keystore_with_text(path);
    if (!loaded) {
        return tl::unexpected(
            fail("cannot load keystore " + path + ": " + loaded.error().display()));
    }
    // The rename would replace the link, not the file it leads to, which
    // would go on opening with the old passphrase under its own name.
    if (is_symbolic_link(path)) {
        return tl::unexpected(fail("cannot change the passphrase of " + path +
                                   ": it is a symbolic link; name the keystore file itself"));
    }
    return LockedKeystore{std::move(*lock), std::move(*loaded)};
}

// Whether the keystore at `path` is `resealed` and opens with `passphrase` to
// `key`.
[[nodiscard]] tl::expected<void, std::string> confirm_resealed(
    const std::string& path, const store::SealedSigningKey& resealed,
    const crypto::Secret& passphrase, const crypto::SigningKey& key,
    const contracts::Timestamp& now) {
    const auto on_disk = store::load_keystore(path);
    if (!on_disk) {
        return tl::unexpected(on_disk.error().display());
    }
    if (store::write_keystore_json(*on_disk) != store::write_keystore_json(resealed)) {
        return tl::unexpected(std::string("the file holds another keystore"));
    }
    const auto reopened = store::unseal_signing_key(*on_disk, passphrase.bytes(), now);
    if (!reopened) {
        return tl::unexpected("it does not open with the new passphrase: " +
                              reopened.error().display());
    }
    if (!(reopened->verifying_key() == key.verifying_key())) {
        return tl::unexpected(std::string("it opens to another key"));
    }
    return {};
}

}  // namespace

CommandResult run_change_passphrase(const ChangePassphrase& cmd, std::ostream& out) {
    protect_process_secrets();
    const auto locked = lock_keystore_file(cmd.keystore);
    if (!locked) {
        return tl::unexpected(locked.error());
    }
    const auto& loaded = locked->loaded;
    auto passphrase = read_passphrase_env(cmd.passphrase_env);
    if (!passphrase) {
        return tl::unexpected(passphrase.error());
    }
    auto new_passphrase = read_passphrase_env(cmd.new_passphrase_env);
    if (!new_passphrase) {
        return tl::unexpected(new_passphrase.error());
    }
    const auto now = read_clock();
    if (!now) {
        return tl::unexpected(now.error());
    }
    // Before the costly unsealing: a keystore the write would refuse to
    // replace (something other than a leftover of ours at its temporary path).
    if (auto writable = io::check_destination(cmd.keystore); !writable) {
        return tl::unexpected(fail("failed to write keystore to " + cmd.keystore + ": " +
                                   trust::TrustError::from_write_error(writable.error()).display() +
                                   "; the previous keystore is unchanged"));
    }
    const auto key = unseal_with(loaded.record, *passphrase, *now);
    if (!key) {
        return tl::unexpected(key.error());
    }
    // Today's costs, so that an old keystore gets them too.
    const auto resealed = store::reseal_signing_key(loaded.record, *key, new_passphrase->bytes(),
                                                    store::KdfParams::keygen_default());
    if (!resealed) {
        return tl::unexpected(fail("failed to seal the signing key under the new passphrase: " +
                                   resealed.error().display()));
    }
    const auto replaced = replace_confirmed(
        {"keystore", cmd.keystore, loaded.text, io::FileMode::OwnerOnly, locked->lock},
        [&] { return store::save_keystore(*resealed, cmd.keystore, &locked->lock); },
        [&] { return confirm_resealed(cmd.keystore, *resealed, *new_passphrase, *key, *now); });
    new_passphrase->wipe();
    if (!replaced) {
        return tl::unexpected(replaced.error());
    }
    out << "[ok] passphrase changed: " << cmd.keystore << "\n"
        << "  key_id:        " << resealed->key_id.to_string() << "\n"
        << "  verifying_key: " << key->verifying_key().to_hex() << "\n"
        << "  kdf:           " << kdf_text(resealed->kdf) << "\n"
        << "(read back and opened with the new passphrase; the private key was never printed)\n";
    return {};
}

}  // namespace zdz::cli
