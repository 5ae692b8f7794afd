#pragma once

// A change to the registry store from its load to its save under the lock of
// its folder, so that commands changing one store at the same time follow
// one another and none of their changes is lost: promote, withdraw,
// set-policy, rekey-store and refresh-store. Every save is numbered and
// linked to the store it replaces, and appends its line to the store's audit
// log (store/audit_log.hpp) before the new store is renamed into place.

#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "io/directory_lock.hpp"
#include "store/audit_log.hpp"
#include "store/errors.hpp"
#include "store/registry_file.hpp"
#include "store/replacement.hpp"
#include "trust/registry.hpp"

namespace zdz::store {

// Why a registry update did not load or save the store.
enum class RegistryUpdateFailure {
    // The folder's lock could not be taken (`error`).
    Lock,
    // The store could not be read or trusted (`error`, load_registry_store's).
    Load,
    // There is no store, and a new registry is not wanted.
    Absent,
    // The save failed (`error`): the previous store is in place.
    Save,
    // The new store is in place, but flushing its folder failed (`error`).
    NotDurable,
};
using RegistryUpdateError = StoreFailure<RegistryUpdateFailure>;

// What a save records beside the registry: the log line's account of the
// change (its command and what changed; the save fills in the chain), and
// the new store's expiry (nullopt keeps the loaded store's).
struct SaveNote {
    AuditEntry change;
    std::optional<contracts::Timestamp> expires_at = std::nullopt;
};

class RegistryUpdate {
public:
    // Takes the lock of the store's folder and loads the store checked with
    // `key` at `now` (an expired store read only when `expired` says so),
    // then reads the end of its audit log: a log whose last save is not this
    // store (a store put back or replaced, a log lost) is Load. A store that
    // does not exist is an empty registry when `absent_starts_empty` (a first
    // promotion), else Absent: a mistyped path must never start a new
    // registry.
    [[nodiscard]] static tl::expected<RegistryUpdate, RegistryUpdateError> begin(
        const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
        bool absent_starts_empty, ExpiredStore expired = ExpiredStore::Refuse);

    trust::KnownGoodStore& registry() { return registry_; }
    const trust::KnownGoodStore& registry() const { return registry_; }
    // The loaded store's standing; nullopt when there was none. After a save,
    // the new store's.
    const std::optional<StoreStanding>& standing() const { return standing_; }
    // The lock of the store's folder, held until this is destroyed.
    const io::DirectoryLock& lock() const { return lock_; }

    // Saves the registry as it now stands, signed with `key` as `key_id` at
    // `now`, under the lock still held: the log line first, flushed, then
    // the store.
    [[nodiscard]] tl::expected<void, RegistryUpdateError> save(const crypto::Signer& key,
                                                               const contracts::Uuid& key_id,
                                                               const contracts::Timestamp& now,
                                                               const SaveNote& note);

    // Saves as save() does with a key other than the one the store was loaded
    // with, then reads the store back with that key's public key: it must
    // verify and hold the same registry, or the previous store is put back
    // (its log line then stays pending, superseded by the next save).
    [[nodiscard]] tl::expected<void, ReplacementError> save_confirmed(
        const crypto::Signer& key, const contracts::Uuid& key_id, const contracts::Timestamp& now,
        const SaveNote& note);

private:
    RegistryUpdate(std::string path, io::DirectoryLock lock)
        : path_(std::move(path)), lock_(std::move(lock)) {}

    // The log line, then the store; the new standing once both are written.
    [[nodiscard]] tl::expected<void, StoreError> write_linked(const crypto::Signer& key,
                                                              const contracts::Uuid& key_id,
                                                              const contracts::Timestamp& now,
                                                              const SaveNote& note);

    std::string path_;
    io::DirectoryLock lock_;
    trust::KnownGoodStore registry_;
    std::optional<StoreStanding> standing_;
    LogTail tail_;
    NextLine next_;
    // The file's bytes as loaded: what save_confirmed puts back.
    std::string previous_;
};

}  // namespace zdz::store
