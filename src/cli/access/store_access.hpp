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
#include "io/directory_lock.hpp"
#include "json/value.hpp"
#include "store/audit_log.hpp"
#include "store/checkpoint.hpp"
#include "store/registry_file.hpp"
#include "store/registry_update.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {

// The store at `store_path`, checked with `key` at `now`: "cannot load store
// S: ..." when it cannot be read or trusted, "no store file found at S" when
// there is none.
[[nodiscard]] tl::expected<store::LoadedStore, CommandError> load_existing_store(
    const std::string& store_path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    store::ExpiredStore expired = store::ExpiredStore::Refuse);

// The store a reading command (authorize-install, show-store, audit-store)
// reports on: the key from --keystore or --public-key (store_verifying_key),
// the clock, then load_existing_store.
[[nodiscard]] tl::expected<store::LoadedStore, CommandError> read_store(
    const std::string& store_path, const StoreKey& key,
    store::ExpiredStore expired = store::ExpiredStore::Refuse);

// The one instant a command that saves the store works at, and its
// --store-expires-at when given: "invalid --store-expires-at: ..." for a
// text that is not RFC 3339, and "store expiry time T is not later than now,
// N" for a time already past.
struct SaveClock {
    contracts::Timestamp now;
    std::optional<contracts::Timestamp> store_expires_at;
};
[[nodiscard]] tl::expected<SaveClock, CommandError> read_save_clock(
    const std::optional<std::string>& store_expires_at);

// A --checkpoint that accepted a store: where it stands now.
struct CheckpointReport {
    std::string path;
    store::CheckpointAdvance advance;
};

// With --checkpoint: judges `store` against the checkpoint file and advances
// it (store::advance_checkpoint, under `held` when that is the checkpoint
// folder's lock), a replay or a fork refused.
[[nodiscard]] tl::expected<std::optional<CheckpointReport>, CommandError> accept_checkpoint(
    const std::optional<std::string>& path, const store::StoreStanding& store,
    const io::DirectoryLock* held = nullptr);

// "FILE created at sequence 5 (first use: the store found is trusted)",
// "FILE advanced from sequence 4 to 5" or "FILE at sequence 5, as seen
// before".
std::string checkpoint_text(const CheckpointReport& report);
// {"file", "sequence", "previous_sequence" (null when created), "created"}.
json::JsonValue checkpoint_json(const CheckpointReport& report);

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

// What a change writes beside the registry: the new store's expiry (nullopt
// keeps the store's) and the checkpoint to judge the loaded store by and
// advance to the saved one.
struct StoreSaveOptions {
    std::optional<contracts::Timestamp> expires_at = std::nullopt;
    std::optional<std::string> checkpoint = std::nullopt;
    // Read a store whose expiry has passed: refresh-store, which renews it.
    store::ExpiredStore expired = store::ExpiredStore::Refuse;
};

// Changes the registry and fills in the log line's account of the change
// (its command and what changed).
using RegistryChange = std::function<tl::expected<StoreChange, CommandError>(trust::KnownGoodStore&,
                                                                             store::AuditEntry&)>;

// The registry as a change left it.
struct UpdatedStore {
    trust::KnownGoodStore registry;
    // The store as loaded, and as it now stands.
    std::optional<store::StoreStanding> loaded;
    std::optional<store::StoreStanding> standing;
    std::optional<CheckpointReport> checkpoint;
};

// The kind of a store that did not open for an update (the Lock and Load
// failures of RegistryUpdate::begin): a lock that cannot be taken is the
// system's; a store that does not load is an input, or a refusal when its
// signature or expiry fails.
[[nodiscard]] ErrorKind opening_kind(const store::RegistryUpdateError& error);

// A change to the store through store::RegistryUpdate (the lock held from the
// load to the save), worded for the command: loads the store checked with
// `key`'s own public key, judges it against the checkpoint, applies
// `change`, and when it asks for it saves the registry signed with `key`
// (its log line first); then advances the checkpoint.
[[nodiscard]] tl::expected<UpdatedStore, CommandError> update_store(
    const std::string& store_path, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& now, const StoreUpdateWording& wording,
    const StoreSaveOptions& options, const RegistryChange& change);

// "  LABEL" padded to `width` and checkpoint_text, one line; nothing without
// a checkpoint.
std::string checkpoint_line(const std::optional<CheckpointReport>& report, std::size_t width);

}  // namespace zdz::cli
