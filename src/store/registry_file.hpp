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
#include "trust/errors.hpp"
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

    // About as many bytes as its canonical form takes, a little more.
    std::size_t canonical_size_hint() const;

    friend bool operator==(const RegistrySnapshotBody&, const RegistrySnapshotBody&) = default;
};

constexpr auto describe(json::Type<RegistrySnapshotBody>) {
    using R = RegistrySnapshotBody;
    return json::record<R>(
        kRegistrySnapshotBodyRecordName,
        json::required("format_version", &R::format_version, json::u16),
        json::required("exported_at", &R::exported_at, json::timestamp),
        json::required("platforms", &R::platforms, json::sequence(json::nested)));
}

using RegistryEnvelope = envelope::SignedEnvelope<RegistrySnapshotBody>;

// Platforms in the registry's order, each history as recorded and each
// withdrawn set as it stands.
RegistrySnapshotBody snapshot_registry(const trust::KnownGoodStore& store,
                                       const contracts::Timestamp& now);

// The file text of `store` signed at `now` with `key` as `key_id` (context
// [kRegistryContext], no expiry) in an envelope whose id is `envelope_id`:
// the same inputs give the same bytes. RegistryMalformed when it cannot be
// signed.
tl::expected<std::string, trust::TrustError> registry_store_text(
    const trust::KnownGoodStore& store, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& now, const contracts::Uuid& envelope_id);

// Signs the snapshot at `now` (context [kRegistryContext], no expiry, a fresh
// envelope_id) and replaces `path` through io::write_file_atomically (`held`: the
// caller's RegistryDirectoryLock on the store, if it holds it).
// RegistryMalformed when the snapshot could not be signed; StorageFailed, the
// previous file left in place, or StorageNotDurable, the new file in place,
// with write_file_atomically's own account (io/atomic_file.hpp).
[[nodiscard]] tl::expected<void, trust::TrustError> save_registry_store(
    const trust::KnownGoodStore& store, const std::string& path, const crypto::Signer& key,
    const contracts::Uuid& key_id, const contracts::Timestamp& now,
    const io::DirectoryLock* held = nullptr);

// In this order: nullopt when nothing exists at `path` (ENOENT, or ENOTDIR for
// a path below a file) — any other failure to look the path up is
// StorageFailed, so that a passing fault never passes for an empty registry;
// StorageFailed for a file that cannot be read, is not a regular file or is
// not UTF-8 (worded in store/file_errors.cpp); RegistryMalformed
// with the reader's message; RegistrySignatureInvalid for any failure of the
// envelope check against `key` at `now`; then rebuild_registry's error.
[[nodiscard]] tl::expected<std::optional<trust::KnownGoodStore>, trust::TrustError>
load_registry_store(const std::string& path, const crypto::VerifyingKey& key,
                    const contracts::Timestamp& now);

// load_registry_store, keeping the file's text as read in `text` (left empty
// for an absent store): the bytes to put back when what replaced them turns
// out wrong. The whole text is held as long as the caller keeps it.
[[nodiscard]] tl::expected<std::optional<trust::KnownGoodStore>, trust::TrustError>
load_registry_store(const std::string& path, const crypto::VerifyingKey& key,
                    const contracts::Timestamp& now, std::string& text);

// Replays each platform's history through KnownGoodStore::record_promotion (the
// rollback rule without the withdrawn check), then withdraws its revoked
// measurements; platforms in file order. BelowRollbackFloor for a history that
// falls below its own floor.
[[nodiscard]] tl::expected<trust::KnownGoodStore, trust::TrustError> rebuild_registry(
    const RegistrySnapshotBody& body);

// The lock that promotions against one store hold from before the load until
// after the save, so that none is lost: the DirectoryLock of the store's
// directory, which every io::write_file_atomically into it takes as well.
using RegistryDirectoryLock = io::DirectoryLock;

}  // namespace zdz::store
