#pragma once

// How commands reach the persisted known-good registry: loading it for
// reading, and changing it (promote, withdraw), with each failure worded. The
// public key that checks it for reading is store_key.hpp's.

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {

// The store at `store_path`, checked with `key` at `now`: "cannot load store
// S: ..." when it cannot be read or trusted, "no store file found at S" when
// there is none.
[[nodiscard]] tl::expected<trust::KnownGoodStore, CommandError> load_existing_store(
    const std::string& store_path, const crypto::VerifyingKey& key,
    const contracts::Timestamp& now);

// The store a reading command (authorize-install, show-store) reports on: the
// key from --keystore or --public-key (store_verifying_key), the clock, then
// load_existing_store.
[[nodiscard]] tl::expected<trust::KnownGoodStore, CommandError> read_store(
    const std::string& store_path, const std::optional<std::string>& keystore,
    const std::optional<std::string>& public_key);

// A file the command reads, by the option that named it; an absent optional
// option names nothing.
struct NamedInput {
    std::string_view option;
    const std::optional<std::string> path;
};

// Before the work that leads to a save: "store STORE cannot be saved: its
// temporary file TMP is the same file as OPTION" when the temporary path of
// `store` is one of the command's own `inputs`, which the write would
// otherwise refuse only once the key is unsealed.
[[nodiscard]] tl::expected<void, CommandError> check_store_inputs_apart(
    const std::string& store, std::initializer_list<NamedInput> inputs);

// A platform the store does not hold is most likely a typo: a change there
// would report success and leave the platform as it was. Unless `new_platform`
// allows it: "platform P is not in store S (it holds A, B); pass
// --new-platform to ACTION a platform not yet in it".
[[nodiscard]] tl::expected<void, CommandError> check_platform_held(
    const std::string& store, const trust::ImagePlatform& platform,
    const trust::KnownGoodStore& registry, bool new_platform, std::string_view action);

// What a change to the registry asks of the file.
enum class StoreChange { Save, Unchanged };

// How one changing command words the failures of update_store.
struct StoreUpdateWording {
    // Put before the store path when the lock or the load fails.
    std::string_view load_failed;
    // Whether a store that does not exist starts as an empty registry (a
    // first promotion) or is refused with "no store file found at S".
    bool absent_starts_empty = false;
    // "promotion", "withdrawal": the subject of the save failures.
    std::string_view change;
};

using RegistryChange =
    std::function<tl::expected<StoreChange, CommandError>(trust::KnownGoodStore&)>;

// A change to the store through store::RegistryUpdate (the lock held from the
// load to the save), worded for the command: loads the store checked with
// `key`'s own public key, applies `change`, and when it asks for it saves the
// registry signed with `key`. Returns the registry as it now stands.
[[nodiscard]] tl::expected<trust::KnownGoodStore, CommandError> update_store(
    const std::string& store_path, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& now, const StoreUpdateWording& wording,
    const RegistryChange& change);

}  // namespace zdz::cli
