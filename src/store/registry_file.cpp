#include "store/registry_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <utility>

#include "crypto/digest.hpp"
#include "encoding/large_buffer.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "io/file.hpp"
#include "store/file_errors.hpp"

namespace zdz::store {
namespace {

constexpr std::string_view kSigningFailed = "failed to sign registry snapshot";

envelope::EnvelopeContext registry_context() {
    return {std::string(kRegistryContext)};
}

// Only a path that does not exist is an absent store. Any other failure to
// look it up (a directory we may not search, an I/O error) is reported: taken
// as "absent", it would let a promotion start from an empty registry and
// overwrite the history on disk.
[[nodiscard]] tl::expected<bool, StoreError> store_exists(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return true;
    }
    const int err = errno;
    // A link whose target is gone is something at the path, not an absent
    // store.
    if ((err == ENOENT || err == ENOTDIR) && ::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    return tl::unexpected(cannot_read(path, contracts::os_error_text(err)));
}

// A store is only ever a regular file: anything else is refused before a
// byte is read.
[[nodiscard]] tl::expected<std::string, StoreError> read_store_text(const std::string& path) {
    auto text = io::read_file_text(path, io::Accept::RegularFile);
    if (!text) {
        return tl::unexpected(cannot_read(path, text.error().display()));
    }
    return std::move(*text);
}

}  // namespace

// ---- snapshot and replay ----------------------------------------------------

std::size_t RegistrySnapshotBody::canonical_size_hint() const {
    // The most a promotion and a withdrawn measurement take in canonical form
    // (a timestamp with nanoseconds, the largest security version), and a
    // little for each platform and the snapshot around them.
    constexpr std::size_t kCanonicalPromotionBytes = 232;
    constexpr std::size_t kCanonicalMeasurementBytes = 80;
    constexpr std::size_t kCanonicalFrameBytes = 200;
    std::size_t bytes = kCanonicalFrameBytes;
    for (const auto& state : platforms) {
        bytes += kCanonicalFrameBytes + state.history.size() * kCanonicalPromotionBytes +
                 state.revoked.size() * kCanonicalMeasurementBytes;
    }
    return bytes;
}

RegistrySnapshotBody snapshot_registry(const trust::KnownGoodStore& store,
                                       const contracts::Timestamp& now) {
    RegistrySnapshotBody body{kRegistrySnapshotFormatVersion, now, {}};
    body.platforms.reserve(store.platforms().size());
    for (const auto& [platform, state] : store.platforms()) {
        std::vector<PersistedPromotion> history;
        history.reserve(state.history.size());
        for (const auto& promotion : state.history) {
            history.push_back({promotion.measurement, promotion.security_version,
                               promotion.promoted_at, promotion.kind});
        }
        body.platforms.push_back(
            {platform, std::move(history), state.withdrawn,
             state.min_signers == 1 ? std::nullopt : std::optional(state.min_signers)});
    }
    return body;
}

tl::expected<trust::KnownGoodStore, StoreError> rebuild_registry(const RegistrySnapshotBody& body) {
    trust::KnownGoodStore store;
    for (const auto& state : body.platforms) {
        for (const auto& promotion : state.history) {
            ZDZ_RETURN_IF_ERROR(store.record_promotion(
                {state.platform, promotion.measurement, promotion.security_version,
                 promotion.promoted_at, promotion.image_kind}));
        }
        for (const auto& measurement : state.revoked) {
            store.withdraw(state.platform, measurement);
        }
        if (state.min_signers) {
            store.set_min_signers(state.platform, *state.min_signers);
        }
    }
    return store;
}

// ---- the file ---------------------------------------------------------------

StoreLink next_link(const std::optional<StoreStanding>& previous,
                    const std::optional<contracts::Timestamp>& expires_at) {
    if (!previous) {
        return {1, std::nullopt, expires_at};
    }
    return {previous->sequence + 1, previous->hash, expires_at ? expires_at : previous->expires_at};
}

tl::expected<SignedStoreText, StoreError> signed_store_text(
    const trust::KnownGoodStore& store, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& now, const contracts::Uuid& envelope_id, const StoreLink& link) {
    // One buffer holds the signed bytes and then the file text: its memory
    // is taken once, for the larger of the two.
    auto body = snapshot_registry(store, now);
    body.sequence = link.sequence;
    std::string text;
    encoding::reserve_large(text, envelope::envelope_file_size_hint(body));
    const auto envelope = envelope::sign_envelope_with_id(
        envelope_id, key, key_id, now, link.expires_at, registry_context(), std::move(body),
        link.previous_hash, &text);
    if (!envelope) {
        // A key held in a token may fail to sign; say why.
        std::string detail(kSigningFailed);
        if (envelope.error().kind() == contracts::ContractError::Kind::SigningFailed) {
            detail += ": " + envelope.error().display();
        }
        return tl::unexpected(StoreError::registry_malformed(std::move(detail)));
    }
    // The buffer holds the signed bytes until the file text is written over
    // them.
    const auto hash = crypto::measure_sha256(std::string_view(text));
    envelope::write_envelope_json(*envelope, text);
    return SignedStoreText{std::move(text), hash};
}

tl::expected<std::string, StoreError> registry_store_text(const trust::KnownGoodStore& store,
                                                          const crypto::Signer& key,
                                                          const contracts::Uuid& key_id,
                                                          const contracts::Timestamp& now,
                                                          const contracts::Uuid& envelope_id) {
    return signed_store_text(store, key, key_id, now, envelope_id, {})
        .map([](SignedStoreText&& signed_text) { return std::move(signed_text.text); });
}

tl::expected<void, StoreError> save_registry_store(
    const trust::KnownGoodStore& store, const std::string& path, const crypto::Signer& key,
    const contracts::Uuid& key_id, const contracts::Timestamp& now, const io::DirectoryLock* held,
    const StoreLink& link) {
    try {
        ZDZ_TRY(const auto text,
                signed_store_text(store, key, key_id, now, contracts::Uuid::new_v4(), link));
        return io::write_file_atomically(path, text.text,
                                         {io::FileMode::Default, io::TempName::Beside, held})
            .map_error(StoreError::from_write_error);
    } catch (const std::bad_alloc&) {
        // Nothing was written: the file is replaced only by a complete text.
        return tl::unexpected(cannot_write(path, contracts::os_error_text(ENOMEM)));
    }
}

namespace {

[[nodiscard]] tl::expected<std::optional<LoadedStore>, StoreError> load_store_file(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    ExpiredStore expired, std::string* text_out) {
    ZDZ_TRY(const auto exists, store_exists(path));
    if (!exists) {
        return std::optional<LoadedStore>();
    }
    ZDZ_TRY(auto text, read_store_text(path));
    auto envelope = envelope::read_signed_envelope_json<RegistrySnapshotBody>(text);
    if (!envelope) {
        return tl::unexpected(StoreError::registry_malformed(envelope.error().display()));
    }
    // Once parsed, the text's memory (already paged in, and as large as the
    // signed bytes) holds the signed bytes, unless the caller keeps the text.
    std::string scratch;
    if (text_out != nullptr) {
        *text_out = std::move(text);
    } else {
        scratch = std::move(text);
    }
    StoreStanding standing{0,
                           {},
                           envelope->key_id,
                           envelope->created_at,
                           envelope->expires_at,
                           envelope->previous_hash};
    // A store read in spite of its expiry is checked as at the instant it
    // expired: its signature must still verify.
    const auto checked_at =
        expired == ExpiredStore::Read && envelope->expires_at && *envelope->expires_at < now
            ? *envelope->expires_at
            : now;
    // Which check failed is not reported, but for an expiry that a valid
    // signature vouches for: a forged, re-keyed or re-purposed file is
    // equally untrusted.
    auto body = std::move(*envelope).verify(key, checked_at, registry_context(), std::move(scratch),
                                            &standing.hash);
    if (!body) {
        if (body.error().kind() == contracts::ContractError::Kind::Expired && standing.expires_at) {
            return tl::unexpected(StoreError::registry_expired(standing.expires_at->to_string()));
        }
        return tl::unexpected(StoreError::registry_signature_invalid());
    }
    standing.sequence = body->sequence.value_or(0);
    ZDZ_TRY(auto store, rebuild_registry(*body));
    return std::optional<LoadedStore>(LoadedStore{std::move(store), standing});
}

// Without the standing.
tl::expected<std::optional<trust::KnownGoodStore>, StoreError> registry_only(
    tl::expected<std::optional<LoadedStore>, StoreError>&& loaded) {
    if (!loaded) {
        return tl::unexpected(std::move(loaded.error()));
    }
    if (!loaded->has_value()) {
        return std::optional<trust::KnownGoodStore>();
    }
    return std::optional<trust::KnownGoodStore>(std::move((*loaded)->registry));
}

}  // namespace

tl::expected<std::optional<LoadedStore>, StoreError> load_store_standing(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    ExpiredStore expired, std::string* text) {
    if (text != nullptr) {
        text->clear();
    }
    try {
        return load_store_file(path, key, now, expired, text);
    } catch (const std::bad_alloc&) {
        if (text != nullptr) {
            text->clear();
        }
        return tl::unexpected(cannot_read(path, contracts::os_error_text(ENOMEM)));
    }
}

tl::expected<std::optional<trust::KnownGoodStore>, StoreError> load_registry_store(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now) {
    return registry_only(load_store_standing(path, key, now));
}

tl::expected<std::optional<trust::KnownGoodStore>, StoreError> load_registry_store(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    std::string& text) {
    return registry_only(load_store_standing(path, key, now, ExpiredStore::Refuse, &text));
}

}  // namespace zdz::store
