#pragma once

// A change to the registry store from its load to its save under the lock of
// its folder, so that commands changing one store at the same time follow
// one another and none of their changes is lost: promote, withdraw and
// rekey-store.

#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "io/directory_lock.hpp"
#include "store/replacement.hpp"
#include "trust/errors.hpp"
#include "trust/registry.hpp"

namespace zdz::store {

// Why a registry update did not load or save the store.
struct RegistryUpdateError {
    enum class Kind {
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
    Kind kind = Kind::Load;
    std::optional<trust::TrustError> error;
};

class RegistryUpdate {
public:
    // Takes the lock of the store's folder and loads the store checked with
    // `key` at `now`. A store that does not exist is an empty registry when
    // `absent_starts_empty` (a first promotion), else Absent: a mistyped path
    // must never start a new registry.
    [[nodiscard]] static tl::expected<RegistryUpdate, RegistryUpdateError> begin(
        const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
        bool absent_starts_empty);

    trust::KnownGoodStore& registry() { return registry_; }
    const trust::KnownGoodStore& registry() const { return registry_; }

    // Saves the registry as it now stands, signed with `key` as `key_id` at
    // `now`, under the lock still held.
    [[nodiscard]] tl::expected<void, RegistryUpdateError> save(const crypto::Signer& key,
                                                               const contracts::Uuid& key_id,
                                                               const contracts::Timestamp& now);

    // Saves as save() does with a key other than the one the store was loaded
    // with, then reads the store back with that key's public key: it must
    // verify and hold the same registry, or the previous store is put back.
    [[nodiscard]] tl::expected<void, ReplacementError> save_confirmed(
        const crypto::Signer& key, const contracts::Uuid& key_id, const contracts::Timestamp& now);

private:
    RegistryUpdate(std::string path, io::DirectoryLock lock)
        : path_(std::move(path)), lock_(std::move(lock)) {}

    std::string path_;
    io::DirectoryLock lock_;
    trust::KnownGoodStore registry_;
    // The file's bytes as loaded: what save_confirmed puts back.
    std::string previous_;
};

}  // namespace zdz::store
