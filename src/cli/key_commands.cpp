#include "cli/key_commands.hpp"

#include <sys/stat.h>

#include <functional>
#include <string>
#include <utility>

#include "cli/clock.hpp"
#include "cli/passphrase.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/signer_line.hpp"
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

CommandError fail(std::string message) {
    return CommandError{std::move(message)};
}

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
tl::expected<void, CommandError> replace_confirmed(
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

}  // namespace

CommandResult run_show_key(const ShowKey& cmd, std::ostream& out) {
    const auto principal = checked_principal(cmd.principal);
    if (!principal) {
        return tl::unexpected(principal.error());
    }
    const auto keystore = store::load_keystore(cmd.keystore);
    if (!keystore) {
        return tl::unexpected(
            fail("cannot load keystore " + cmd.keystore + ": " + keystore.error().display()));
    }
    // The recorded public key, read without the passphrase, as the install
    // check reads it.
    const auto key = store::keystore_verifying_key(*keystore);
    if (!key) {
        return tl::unexpected(
            fail("cannot read public key from keystore: " + key.error().display()));
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
    // Held from before the keystore is read until it has been read back, so
    // that another writer in this folder (a keygen onto the same file, a
    // second passphrase change) waits instead of being undone unseen.
    const auto lock = io::DirectoryLock::acquire(cmd.keystore);
    if (!lock) {
        return tl::unexpected(
            fail("cannot load keystore " + cmd.keystore + ": " + lock.error().display()));
    }
    const auto loaded = store::load_keystore_with_text(cmd.keystore);
    if (!loaded) {
        return tl::unexpected(
            fail("cannot load keystore " + cmd.keystore + ": " + loaded.error().display()));
    }
    // The rename would replace the link, not the file it leads to, which
    // would go on opening with the old passphrase under its own name.
    if (is_symbolic_link(cmd.keystore)) {
        return tl::unexpected(fail("cannot change the passphrase of " + cmd.keystore +
                                   ": it is a symbolic link; name the keystore file itself"));
    }
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
    const auto key = store::unseal_signing_key(loaded->record, passphrase->bytes(), *now);
    passphrase->wipe();
    if (!key) {
        return tl::unexpected(fail("cannot unseal keystore: " + key.error().display()));
    }
    // Today's costs, so that an old keystore gets them too.
    const auto resealed = store::reseal_signing_key(loaded->record, *key, new_passphrase->bytes(),
                                                    store::KdfParams::keygen_default());
    if (!resealed) {
        return tl::unexpected(fail("failed to seal the signing key under the new passphrase: " +
                                   resealed.error().display()));
    }
    const auto replaced = replace_confirmed(
        {"keystore", cmd.keystore, loaded->text, io::FileMode::OwnerOnly, *lock},
        [&] { return store::save_keystore(*resealed, cmd.keystore, &*lock); },
        [&]() -> tl::expected<void, std::string> {
            const auto on_disk = store::load_keystore(cmd.keystore);
            if (!on_disk) {
                return tl::unexpected(on_disk.error().display());
            }
            if (store::write_keystore_json(*on_disk) != store::write_keystore_json(*resealed)) {
                return tl::unexpected(std::string("the file holds another keystore"));
            }
            const auto reopened =
                store::unseal_signing_key(*on_disk, new_passphrase->bytes(), *now);
            if (!reopened) {
                return tl::unexpected("it does not open with the new passphrase: " +
                                      reopened.error().display());
            }
            if (!(reopened->verifying_key() == key->verifying_key())) {
                return tl::unexpected(std::string("it opens to another key"));
            }
            return {};
        });
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
    if (io::is_same_file(cmd.new_keystore, cmd.keystore)) {
        return tl::unexpected(fail("--new-keystore " + cmd.new_keystore +
                                   " is the same file as --keystore " + cmd.keystore));
    }
    // The key the store is signed with now: its public key is all it takes.
    const auto current = store::load_keystore(cmd.keystore);
    if (!current) {
        return tl::unexpected(
            fail("cannot load keystore " + cmd.keystore + ": " + current.error().display()));
    }
    const auto current_key = store::keystore_verifying_key(*current);
    if (!current_key) {
        return tl::unexpected(
            fail("cannot read public key from keystore: " + current_key.error().display()));
    }
    const auto next = store::load_keystore(cmd.new_keystore);
    if (!next) {
        return tl::unexpected(
            fail("cannot load new keystore " + cmd.new_keystore + ": " + next.error().display()));
    }
    const auto next_key = store::keystore_verifying_key(*next);
    if (!next_key) {
        return tl::unexpected(
            fail("cannot read public key from new keystore: " + next_key.error().display()));
    }
    if (*next_key == *current_key) {
        return tl::unexpected(fail("--new-keystore " + cmd.new_keystore +
                                   " holds the same key as --keystore " + cmd.keystore));
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
    const auto loaded = store::load_registry_store(cmd.store, *current_key, *now, previous);
    if (!loaded) {
        // Run again after it went through, the command would otherwise only
        // say that the store does not verify.
        if (loaded.error().kind() == TrustError::Kind::RegistrySignatureInvalid) {
            const auto as_next = store::load_registry_store(cmd.store, *next_key, *now);
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
    const auto& registry = **loaded;

    auto passphrase = read_passphrase_env(cmd.passphrase_env);
    if (!passphrase) {
        return tl::unexpected(passphrase.error());
    }
    const auto key = store::unseal_signing_key(*next, passphrase->bytes(), *now);
    passphrase->wipe();
    if (!key) {
        return tl::unexpected(fail("cannot unseal new keystore: " + key.error().display()));
    }

    const auto replaced = replace_confirmed(
        {"store", cmd.store, previous, io::FileMode::Default, *lock},
        [&] {
            return store::save_registry_store(registry, cmd.store, *key, next->key_id, *now,
                                              &*lock);
        },
        [&]() -> tl::expected<void, std::string> {
            const auto reread = store::load_registry_store(cmd.store, key->verifying_key(), *now);
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
        });
    if (!replaced) {
        return tl::unexpected(replaced.error());
    }
    out << "[ok] store re-signed with the new keystore: " << cmd.store << "\n"
        << "  previous key_id:  " << current->key_id.to_string() << "\n"
        << "  new key_id:       " << next->key_id.to_string() << "\n"
        << "  platforms:        " << registry.platforms().size()
        << " carried over (histories, rollback floors and withdrawn images unchanged)\n";
    return {};
}

}  // namespace zdz::cli
