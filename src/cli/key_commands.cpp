#include "cli/key_commands.hpp"

#include <sys/stat.h>

#include <functional>
#include <string>
#include <utility>

#include "cli/clock.hpp"
#include "cli/keystore_access.hpp"
#include "cli/passphrase.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/signer_line.hpp"
#include "cli/store_access.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/text.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"

namespace zdz::cli {
namespace {

using trust::TrustError;

constexpr std::uint32_t kKibPerMib = 1024;

// "argon2id, 128 MiB, t=3, p=4", as keygen reports it. A memory cost that is
// not a whole number of MiB (only an edited keystore has one) is given in KiB
// rather than rounded down, and the algorithm as the file names it.
std::string kdf_text(const store::KdfParams& kdf) {
    const std::string memory = kdf.m_cost_kib % kKibPerMib == 0
                                   ? std::to_string(kdf.m_cost_kib / kKibPerMib) + " MiB"
                                   : std::to_string(kdf.m_cost_kib) + " KiB";
    return encoding::terminal_safe_excerpt(kdf.algorithm, encoding::kMessageExcerptChars) + ", " +
           memory + ", t=" + std::to_string(kdf.t_cost) + ", p=" + std::to_string(kdf.parallelism);
}

// A file that a command replaces and then reads back before it reports.
struct Replacement {
    std::string_view noun;  // "keystore", "store"
    const std::string& path;
    // The file's bytes before, as read under `lock`.
    const std::string& previous;
    io::FileMode mode;
    const io::DirectoryLock& lock;
};

// Runs `write` (an atomic replacement of the file under the lock), then
// `confirm`, which reads the file back. A write that fails has left the
// previous file alone. A file that does not read back as meant is replaced
// by the previous bytes again, atomically and under the same lock: the file
// holds the old content or the confirmed new one, whatever fails. A folder
// flush that failed after the rename is reported once the file is confirmed,
// as keygen and promote report it.
[[nodiscard]] tl::expected<void, CommandError> replace_confirmed(
    const Replacement& r, const std::function<tl::expected<void, TrustError>()>& write,
    const std::function<tl::expected<void, std::string>()>& confirm) {
    const std::string noun(r.noun);
    const auto written = write();
    if (!written && written.error().kind() != TrustError::Kind::StorageNotDurable) {
        return tl::unexpected(fail("failed to write " + noun + " to " + r.path + ": " +
                                   written.error().display() + "; the previous " + noun +
                                   " is unchanged"));
    }
    if (const auto confirmed = confirm(); !confirmed) {
        const std::string what = "the " + noun + " written to " + r.path +
                                 " did not read back as written (" + confirmed.error() + ")";
        const auto restored = io::write_file_atomically(r.path, r.previous, r.mode, &r.lock)
                                  .map_error(TrustError::from_write_error);
        if (!restored && restored.error().kind() != TrustError::Kind::StorageNotDurable) {
            return tl::unexpected(fail(what + ", and the previous " + noun +
                                       " could not be put back: " + restored.error().display()));
        }
        return tl::unexpected(fail(what + "; the previous " + noun + " was put back"));
    }
    if (!written) {
        return tl::unexpected(fail(noun + " written to " + r.path +
                                   " but it may not be durable: " + written.error().display()));
    }
    return {};
}

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

// The two keystores of rekey-store, read without their passphrases.
struct RekeyKeystores {
    store::SealedSigningKey current;
    crypto::VerifyingKey current_key;
    store::SealedSigningKey next;
    crypto::VerifyingKey next_key;
};

[[nodiscard]] tl::expected<RekeyKeystores, CommandError> load_rekey_keystores(
    const RekeyStore& cmd) {
    if (io::is_same_file(cmd.new_keystore, cmd.keystore)) {
        return tl::unexpected(fail("--new-keystore " + cmd.new_keystore +
                                   " is the same file as --keystore " + cmd.keystore));
    }
    // The key the store is signed with now: its public key is all it takes.
    auto current = load_keystore_file(cmd.keystore);
    if (!current) {
        return tl::unexpected(current.error());
    }
    const auto current_key = recorded_public_key(*current);
    if (!current_key) {
        return tl::unexpected(current_key.error());
    }
    auto next = load_keystore_file(cmd.new_keystore, "new keystore");
    if (!next) {
        return tl::unexpected(next.error());
    }
    const auto next_key = recorded_public_key(*next, "new keystore");
    if (!next_key) {
        return tl::unexpected(next_key.error());
    }
    if (*next_key == *current_key) {
        return tl::unexpected(fail("--new-keystore " + cmd.new_keystore +
                                   " holds the same key as --keystore " + cmd.keystore));
    }
    return RekeyKeystores{std::move(*current), *current_key, std::move(*next), *next_key};
}

// The store as signed with the current key, its text kept in `previous`.
[[nodiscard]] tl::expected<trust::KnownGoodStore, CommandError> load_store_to_rekey(
    const RekeyStore& cmd, const RekeyKeystores& keys, const contracts::Timestamp& now,
    std::string& previous) {
    auto loaded = store::load_registry_store(cmd.store, keys.current_key, now, previous);
    if (!loaded) {
        // Run again after it went through, the command would otherwise only
        // say that the store does not verify.
        if (loaded.error().kind() == TrustError::Kind::RegistrySignatureInvalid) {
            const auto as_next = store::load_registry_store(cmd.store, keys.next_key, now);
            if (as_next && as_next->has_value()) {
                return tl::unexpected(fail("store " + cmd.store +
                                           " is already signed with the key of --new-keystore " +
                                           cmd.new_keystore));
            }
        }
        return tl::unexpected(
            fail("cannot load store " + cmd.store + ": " + loaded.error().display()));
    }
    if (!loaded->has_value()) {
        return tl::unexpected(fail("no store file found at " + cmd.store));
    }
    return std::move(**loaded);
}

// Whether the store at `path` verifies with `key` and holds `registry`.
[[nodiscard]] tl::expected<void, std::string> confirm_rekeyed(const std::string& path,
                                                              const trust::KnownGoodStore& registry,
                                                              const crypto::VerifyingKey& key,
                                                              const contracts::Timestamp& now) {
    const auto reread = store::load_registry_store(path, key, now);
    if (!reread) {
        return tl::unexpected(reread.error().display());
    }
    if (!reread->has_value()) {
        return tl::unexpected(std::string("no file is there"));
    }
    if ((*reread)->platforms() != registry.platforms()) {
        return tl::unexpected(std::string("it holds another registry"));
    }
    return {};
}

}  // namespace

CommandResult run_show_key(const ShowKey& cmd, std::ostream& out) {
    const auto principal = checked_principal(cmd.principal);
    if (!principal) {
        return tl::unexpected(principal.error());
    }
    const auto keystore = load_keystore_file(cmd.keystore);
    if (!keystore) {
        return tl::unexpected(keystore.error());
    }
    // The recorded public key, read without the passphrase, as the install
    // check reads it.
    const auto key = recorded_public_key(*keystore);
    if (!key) {
        return tl::unexpected(key.error());
    }
    std::string report = "[ok] keystore: " + cmd.keystore + "\n" +
                         "  key_id:        " + keystore->key_id.to_string() + "\n" +
                         "  verifying_key: " + key->to_hex() + "\n" +
                         "  fingerprint:   " + crypto::key_fingerprint(*key).to_string() + "\n" +
                         "  created_at:    " + keystore->created_at.to_string() + "\n" +
                         "  kdf:           " + kdf_text(keystore->kdf) + "\n";
    // Every unseal refuses such costs, whatever the passphrase: better known
    // now than at the next release.
    if (const auto usable = store::check_kdf_params(keystore->kdf); !usable) {
        report +=
            "  warning:       this keystore cannot be unsealed: " + usable.error().display() + "\n";
    }
    report += "(read without the passphrase: the private key stays sealed)\n";
    report += allowed_signers_block(*principal, *key);
    out << report;
    return {};
}

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
                                   TrustError::from_write_error(writable.error()).display() +
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

CommandResult run_rekey_store(const RekeyStore& cmd, std::ostream& out) {
    protect_process_secrets();
    const auto keys = load_rekey_keystores(cmd);
    if (!keys) {
        return tl::unexpected(keys.error());
    }
    if (auto writable = check_store_inputs_apart(
            cmd.store, {{"--keystore", cmd.keystore}, {"--new-keystore", cmd.new_keystore}});
        !writable) {
        return tl::unexpected(std::move(writable.error()));
    }
    // Held from before the load until the new store has been read back, so
    // that no promotion against this store runs in between and is lost.
    const auto lock = store::RegistryDirectoryLock::acquire(cmd.store);
    if (!lock) {
        return tl::unexpected(
            fail("cannot load store " + cmd.store + ": " + lock.error().display()));
    }
    const auto now = read_clock();
    if (!now) {
        return tl::unexpected(now.error());
    }
    std::string previous;
    const auto loaded = load_store_to_rekey(cmd, *keys, *now, previous);
    if (!loaded) {
        return tl::unexpected(loaded.error());
    }
    const auto& registry = *loaded;
    auto passphrase = read_passphrase_env(cmd.passphrase_env);
    if (!passphrase) {
        return tl::unexpected(passphrase.error());
    }
    const auto key = unseal_with(keys->next, *passphrase, *now, "new keystore");
    if (!key) {
        return tl::unexpected(key.error());
    }
    const auto replaced = replace_confirmed(
        {"store", cmd.store, previous, io::FileMode::Default, *lock},
        [&] {
            return store::save_registry_store(registry, cmd.store, *key, keys->next.key_id, *now,
                                              &*lock);
        },
        [&] { return confirm_rekeyed(cmd.store, registry, key->verifying_key(), *now); });
    if (!replaced) {
        return tl::unexpected(replaced.error());
    }
    out << "[ok] store re-signed with the new keystore: " << cmd.store << "\n"
        << "  previous key_id:  " << keys->current.key_id.to_string() << "\n"
        << "  new key_id:       " << keys->next.key_id.to_string() << "\n"
        << "  platforms:        " << registry.platforms().size()
        << " carried over (histories, rollback floors and withdrawn images unchanged)\n";
    return {};
}

}  // namespace zdz::cli
