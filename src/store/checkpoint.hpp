#pragma once

// What a reader of a registry store remembers of the last store it accepted:
// its sequence and hash, in a small file of the reader's own. A store older
// than that is a replay of an old copy; another store of the same sequence
// is a fork. Neither is accepted, however validly signed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/content_hash.hpp"
#include "io/directory_lock.hpp"
#include "json/fields.hpp"
#include "json/record.hpp"
#include "store/registry_file.hpp"

namespace zdz::store {

inline constexpr std::string_view kStoreCheckpointRecordName = "StoreCheckpoint";
inline constexpr std::uint16_t kStoreCheckpointFormatVersion = 1;

struct StoreCheckpoint {
    std::uint16_t format_version = kStoreCheckpointFormatVersion;
    std::uint64_t sequence = 0;
    contracts::ContentHash store_hash;
};

constexpr auto describe(json::Type<StoreCheckpoint>) {
    using R = StoreCheckpoint;
    return json::record<R>(kStoreCheckpointRecordName, json::format_version(&R::format_version),
                           json::required("sequence", &R::sequence, json::u64),
                           json::required("store_hash", &R::store_hash, json::content_hash));
}

struct CheckpointError {
    enum class Kind {
        // The store is older than the one last accepted.
        Replayed,
        // The store has the sequence of the one last accepted, not its hash.
        Forked,
        // The checkpoint file cannot be read or is not a checkpoint.
        Unreadable,
        // The checkpoint file could not be written.
        NotWritten,
    };
    Kind kind = Kind::Unreadable;
    std::string message;
};

// How a checkpoint moved: `before` is nullopt when the file was created.
struct CheckpointAdvance {
    std::optional<std::uint64_t> before;
    std::uint64_t after = 0;
};

// The checkpoint at `path`, nullopt when there is none.
[[nodiscard]] tl::expected<std::optional<StoreCheckpoint>, CheckpointError> read_checkpoint(
    const std::string& path);

// Whether `store` may be accepted where `seen` was the last store accepted:
// "store sequence 41 is older than the last one seen here, 42 (checkpoint
// PATH)", or the same sequence with another hash refused as a fork.
[[nodiscard]] tl::expected<void, CheckpointError> judge_checkpoint(
    const StoreStanding& store, const std::optional<StoreCheckpoint>& seen,
    const std::string& path);

// Under the lock of the checkpoint's folder: reads it, judges `store`
// against it, and replaces it atomically when `store` is newer (or creates
// it). A store equal to the one remembered leaves the file as it is. `held`
// is a lock the caller holds (a writer's, on the store's folder): when it is
// the checkpoint's folder's, it is the lock used.
[[nodiscard]] tl::expected<CheckpointAdvance, CheckpointError> advance_checkpoint(
    const std::string& path, const StoreStanding& store, const io::DirectoryLock* held = nullptr);

}  // namespace zdz::store
