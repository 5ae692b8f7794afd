#pragma once

// The known-good registry as it outlives a command: one file holding a
// SignedEnvelope whose payload is a RegistrySnapshotBody, signed with the
// operator's keystore key. Loading trusts nothing that does not verify against
// that key, and rebuilds the registry by replaying every recorded promotion
// through the registry's own rollback rule, so a file cannot carry a history
// the registry would not have accepted.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "envelope/envelope.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "json/fields.hpp"
#include "json/record.hpp"
#include "store/errors.hpp"
#include "trust/image.hpp"
#include "trust/registry.hpp"

namespace zdz::store {

// The associated-data context of the store's envelope, so that an envelope
// signed with the same key for another purpose cannot pass for a registry.
inline constexpr std::string_view kRegistryContext = "tarnelos:known-good-registry:v1";
inline constexpr std::uint16_t kRegistrySnapshotFormatVersion = 1;

inline constexpr std::string_view kRegistrySnapshotBodyRecordName = "RegistrySnapshotBody";
inline constexpr std::string_view kPersistedPlatformStateRecordName = "PersistedPlatformState";
inline constexpr std::string_view kPersistedPromotionRecordName = "PersistedPromotion";

struct PersistedPromotion {
    trust::ImageMeasurement measurement;
    trust::SecurityVersion security_version = 0;
    contracts::Timestamp promoted_at;
    // Absent in the promotions of stores written before promotions had a
    // kind: left out of the file and the signed bytes alike.
    std::optional<trust::ImageKind> image_kind = std::nullopt;

    friend bool operator==(const PersistedPromotion&, const PersistedPromotion&) = default;
};

constexpr auto describe(json::Type<PersistedPromotion>) {
    using R = PersistedPromotion;
    return json::record<R>(kPersistedPromotionRecordName,
                           json::required("measurement", &R::measurement, trust::measurement_codec),
                           json::required("security_version", &R::security_version, json::u32),
                           json::required("promoted_at", &R::promoted_at, json::timestamp),
                           json::optional("image_kind", &R::image_kind, trust::image_kind_codec));
}

struct PersistedPlatformState {
    trust::ImagePlatform platform;
    // Oldest first.
    std::vector<PersistedPromotion> history;
    // A set in the registry's order: a list read out of order or with repeats
    // is held, written and signed in that order, once each.
    trust::MeasurementSet revoked;
    // The approval policy; absent (and left out of the file and the signed
    // bytes) when it is 1, so that a store without one is what it always
    // was.
    std::optional<std::uint32_t> min_signers;

    friend bool operator==(const PersistedPlatformState&, const PersistedPlatformState&) = default;
};

constexpr auto describe(json::Type<PersistedPlatformState>) {
    using R = PersistedPlatformState;
    return json::record<R>(
        kPersistedPlatformStateRecordName,
        json::required("platform", &R::platform, trust::platform_codec),
        json::required("history", &R::history, json::sequence(json::nested)),
        json::required("revoked", &R::revoked, json::sequence(trust::measurement_codec)),
        json::optional("min_signers", &R::min_signers, json::u32));
}

struct RegistrySnapshotBody {
    // Written as 1; not judged when read.
    std::uint16_t format_version = kRegistrySnapshotFormatVersion;
    contracts::Timestamp exported_at;
    // As held: a snapshot lists platforms in byte order of their text, a file
    // read back keeps its own order (a platform listed twice continues).
    std::vector<PersistedPlatformState> platforms;
    // The number of this save: 1 for a new store, one more than the store it
    // replaced otherwise. Absent in stores written before saves were
    // numbered, which count as 0.
    std::optional<std::uint64_t> sequence = std::nullopt;

    // About as many bytes as its canonical form takes, a little more.
    std::size_t canonical_size_hint() const;

    friend bool operator==(const RegistrySnapshotBody&, const RegistrySnapshotBody&) = default;
};

constexpr auto describe(json::Type<RegistrySnapshotBody>) {
    using R = RegistrySnapshotBody;
    return json::record<R>(kRegistrySnapshotBodyRecordName,
                           json::format_version(&R::format_version),
                           json::required("exported_at", &R::exported_at, json::timestamp),
                           json::required("platforms", &R::platforms, json::sequence(json::nested)),
                           json::optional("sequence", &R::sequence, json::u64));
}

using RegistryEnvelope = envelope::SignedEnvelope<RegistrySnapshotBody>;

// Platforms in the registry's order, each history as recorded and each
// withdrawn set as it stands; no sequence.
RegistrySnapshotBody snapshot_registry(const trust::KnownGoodStore& store,
                                       const contracts::Timestamp& now);

// Where a store stands in the chain of its saves, as its signed envelope
// says: what a reader remembers of it (a checkpoint) and what the next save
// links to.
struct StoreStanding {
    // 0 for a store written before saves were numbered.
    std::uint64_t sequence = 0;
    // SHA-256 of the bytes its signature covers: the store's identity.
    contracts::ContentHash hash;
    contracts::Uuid key_id;
    contracts::Timestamp saved_at;
    std::optional<contracts::Timestamp> expires_at;
    // The hash of the store it replaced; absent for the first save and for
    // stores written before saves were chained.
    std::optional<contracts::ContentHash> previous_hash;

    friend bool operator==(const StoreStanding&, const StoreStanding&) = default;
};

// What a save writes beside the registry: the number of the save, the link
// to the store it replaces and the expiry. A link of all-absent members
// writes a store as stores were written before they were chained.
struct StoreLink {
    std::optional<std::uint64_t> sequence = std::nullopt;
    std::optional<contracts::ContentHash> previous_hash = std::nullopt;
    std::optional<contracts::Timestamp> expires_at = std::nullopt;
};

// The link of the save that follows `previous` (nullopt: a new store) with
// the expiry `expires_at`, or the previous store's when none is given.
StoreLink next_link(const std::optional<StoreStanding>& previous,
                    const std::optional<contracts::Timestamp>& expires_at);

// A signed store's file text and the hash of its signed bytes.
struct SignedStoreText {
    std::string text;
    contracts::ContentHash hash;
};

// The file text of `store` signed at `now` with `key` as `key_id` (context
// [kRegistryContext]) in an envelope whose id is `envelope_id`, linked as
// `link` says: the same inputs give the same bytes. RegistryMalformed when it
// cannot be signed.
[[nodiscard]] tl::expected<SignedStoreText, StoreError> signed_store_text(
    const trust::KnownGoodStore& store, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& now, const contracts::Uuid& envelope_id, const StoreLink& link);

// signed_store_text's text of an unlinked store (no sequence, no link, no
// expiry).
[[nodiscard]] tl::expected<std::string, StoreError> registry_store_text(
    const trust::KnownGoodStore& store, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& now, const contracts::Uuid& envelope_id);

// Signs the snapshot at `now` (context [kRegistryContext], linked as `link`
// says, a fresh envelope_id) and replaces `path` through io::write_file_atomically (`held`: the
// caller's RegistryDirectoryLock on the store, if it holds it).
// RegistryMalformed when the snapshot could not be signed; StorageFailed, the
// previous file left in place, or StorageNotDurable, the new file in place,
// with write_file_atomically's own account (io/atomic_file.hpp).
[[nodiscard]] tl::expected<void, StoreError> save_registry_store(
    const trust::KnownGoodStore& store, const std::string& path, const crypto::Signer& key,
    const contracts::Uuid& key_id, const contracts::Timestamp& now,
    const io::DirectoryLock* held = nullptr, const StoreLink& link = {});

// In this order: nullopt when nothing exists at `path` (ENOENT, or ENOTDIR for
// a path below a file) — any other failure to look the path up is
// StorageFailed, so that a passing fault never passes for an empty registry;
// StorageFailed for a file that cannot be read, is not a regular file or is
// not UTF-8 (worded in store/file_errors.cpp); RegistryMalformed
// with the reader's message; RegistrySignatureInvalid for any failure of the
// envelope check against `key` at `now` but its expiry, RegistryExpired for a
// store whose expiry has passed; then rebuild_registry's error.
[[nodiscard]] tl::expected<std::optional<trust::KnownGoodStore>, StoreError> load_registry_store(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now);

// load_registry_store, keeping the file's text as read in `text` (left empty
// for an absent store): the bytes to put back when what replaced them turns
// out wrong. The whole text is held as long as the caller keeps it.
[[nodiscard]] tl::expected<std::optional<trust::KnownGoodStore>, StoreError> load_registry_store(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    std::string& text);

// A store loaded with its standing.
struct LoadedStore {
    trust::KnownGoodStore registry;
    StoreStanding standing;
};

// Whether a load refuses a store whose expiry has passed (RegistryExpired,
// after its signature verified) or reads it all the same: only the holder of
// its key renewing it does.
enum class ExpiredStore { Refuse, Read };

// load_registry_store with the store's standing. `text`, when given, keeps
// the file's text as read.
[[nodiscard]] tl::expected<std::optional<LoadedStore>, StoreError> load_store_standing(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    ExpiredStore expired = ExpiredStore::Refuse, std::string* text = nullptr);

// Replays each platform's history through KnownGoodStore::record_promotion (the
// rollback rule without the withdrawn check), then withdraws its revoked
// measurements; platforms in file order. Trust, carrying BelowRollbackFloor,
// for a history that falls below its own floor.
[[nodiscard]] tl::expected<trust::KnownGoodStore, StoreError> rebuild_registry(
    const RegistrySnapshotBody& body);

// The lock that promotions against one store hold from before the load until
// after the save, so that none is lost: the DirectoryLock of the store's
// directory, which every io::write_file_atomically into it takes as well.
using RegistryDirectoryLock = io::DirectoryLock;

}  // namespace zdz::store
