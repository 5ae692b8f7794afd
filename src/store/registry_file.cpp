#include "store/registry_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <new>
#include <utility>

#include "encoding/large_buffer.hpp"
#include "encoding/text.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "io/file.hpp"
#include "json/fields.hpp"
#include "json/record.hpp"

namespace zdz::store {
namespace {

using json::JsonReadError;
using json::JsonValue;
using trust::TrustError;

constexpr std::string_view kFormatVersionMember = "format_version";
constexpr std::string_view kExportedAtMember = "exported_at";
constexpr std::string_view kPlatformsMember = "platforms";
constexpr std::string_view kPlatformMember = "platform";
constexpr std::string_view kHistoryMember = "history";
constexpr std::string_view kRevokedMember = "revoked";
constexpr std::string_view kMeasurementMember = "measurement";
constexpr std::string_view kSecurityVersionMember = "security_version";
constexpr std::string_view kPromotedAtMember = "promoted_at";

constexpr std::string_view kCannotRead = "cannot read ";
constexpr std::string_view kCannotWrite = "cannot write ";
constexpr std::string_view kDetailSeparator = ": ";
constexpr std::string_view kNotRegularFile = "not a regular file";
constexpr std::string_view kSigningFailed = "failed to sign registry snapshot";

constexpr std::size_t kReadChunkBytes = 65536;

// Member names as the quick reader looks them up, in declaration order.
constexpr std::array<std::string_view, 3> kPromotionMembers = {
    kMeasurementMember, kSecurityVersionMember, kPromotedAtMember};
constexpr std::array<std::string_view, 3> kPlatformStateMembers = {kPlatformMember, kHistoryMember,
                                                                   kRevokedMember};
constexpr std::array<std::string_view, 3> kSnapshotMembers = {kFormatVersionMember,
                                                              kExportedAtMember, kPlatformsMember};
constexpr std::uint32_t kAllThreeMembers = 0b111;

// The most a promotion and a withdrawn measurement take in canonical form
// (a timestamp with nanoseconds, the largest security version), and a little
// for each platform and the snapshot around them.
constexpr std::size_t kCanonicalPromotionBytes = 200;
constexpr std::size_t kCanonicalMeasurementBytes = 80;
constexpr std::size_t kCanonicalFrameBytes = 200;

envelope::EnvelopeContext registry_context() {
    return {std::string(kRegistryContext)};
}

TrustError cannot_read(const std::string& path, const std::string& detail) {
    return TrustError::storage_failed(std::string(kCannotRead) + path +
                                      std::string(kDetailSeparator) + detail);
}

// Only a path that does not exist is an absent store. Any other failure to
// look it up (a directory we may not search, an I/O error) is reported: taken
// as "absent", it would let a promotion start from an empty registry and
// overwrite the history on disk.
[[nodiscard]] tl::expected<bool, TrustError> store_exists(const std::string& path) {
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

// Reads a regular file whole. O_NONBLOCK so that opening a FIFO cannot wait
// for a writer; anything but a regular file is refused before a byte is read,
// so a FIFO or a device can neither hang the command nor fill its memory.
[[nodiscard]] tl::expected<std::string, TrustError> read_store_text(const std::string& path) {
    const io::FileDescriptor file(
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) {
        return tl::unexpected(cannot_read(path, contracts::os_error_text(errno)));
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) {
        return tl::unexpected(cannot_read(path, contracts::os_error_text(errno)));
    }
    if (S_ISDIR(st.st_mode)) {
        return tl::unexpected(cannot_read(path, contracts::os_error_text(EISDIR)));
    }
    if (!S_ISREG(st.st_mode)) {
        return tl::unexpected(cannot_read(path, std::string(kNotRegularFile)));
    }
    // Read straight into the text, so that each byte is copied once; a file
    // that grew since fstat is read on to its end.
    std::string text;
    encoding::reserve_large(text, static_cast<std::size_t>(st.st_size));
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t filled = 0;
    char beyond[kReadChunkBytes];
    for (;;) {
        const bool in_place = filled < text.size();
        const ssize_t n = in_place ? ::read(file.get(), text.data() + filled, text.size() - filled)
                                   : ::read(file.get(), beyond, sizeof beyond);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return tl::unexpected(cannot_read(path, contracts::os_error_text(errno)));
        }
        if (n == 0) {
            break;
        }
        if (!in_place) {
            text.append(beyond, static_cast<std::size_t>(n));
        }
        filled += static_cast<std::size_t>(n);
    }
    text.resize(filled);
    if (!encoding::is_valid_utf8(text)) {
        return tl::unexpected(cannot_read(path, io::IoError::not_utf8().display()));
    }
    return text;
}

}  // namespace

// ---- records ----------------------------------------------------------------

JsonValue PersistedPromotion::to_json() const {
    auto object = JsonValue::object();
    object.add(std::string(kMeasurementMember), JsonValue::string(measurement.to_string()));
    object.add(std::string(kSecurityVersionMember), JsonValue::uint64(security_version));
    object.add(std::string(kPromotedAtMember), JsonValue::string(promoted_at.to_string()));
    return object;
}

tl::expected<PersistedPromotion, JsonReadError> PersistedPromotion::from_json(
    const JsonValue& value) {
    json::RecordReader r(value, kPersistedPromotionRecordName,
                         {kMeasurementMember, kSecurityVersionMember, kPromotedAtMember});
    auto measurement = r.required(kMeasurementMember, json::read_content_hash);
    auto security_version = r.required_u32(kSecurityVersionMember);
    auto promoted_at = r.required(kPromotedAtMember, json::read_timestamp);
    if (auto done = r.finish(); !done) {
        return tl::unexpected(std::move(done.error()));
    }
    return PersistedPromotion{{*measurement}, *security_version, *promoted_at};
}

std::optional<PersistedPromotion> PersistedPromotion::scan(json::PlainJsonReader& reader) {
    PersistedPromotion promotion;
    const bool read =
        json::scan_members(reader, kPromotionMembers, kAllThreeMembers, [&](std::size_t member) {
            switch (member) {
                case 0:
                    return json::scan_text(reader, contracts::ContentHash::parse,
                                           promotion.measurement.hash);
                case 1:
                    return json::scan_unsigned(reader, promotion.security_version);
                default:
                    return json::scan_text(reader, contracts::Timestamp::parse,
                                           promotion.promoted_at);
            }
        });
    return read ? std::optional(promotion) : std::nullopt;
}

void PersistedPromotion::write_canonical(json::CanonicalBuilder& out) const {
    out.begin_object();
    out.member(kMeasurementMember);
    out.text(measurement.to_string());
    out.member(kPromotedAtMember);
    out.text(promoted_at.to_string());
    out.member(kSecurityVersionMember);
    out.number(security_version);
    out.end_object();
}

void PersistedPromotion::write_file_json(json::PrettyBuilder& out) const {
    out.begin_object();
    out.member(kMeasurementMember);
    out.text(measurement.to_string());
    out.member(kSecurityVersionMember);
    out.number(security_version);
    out.member(kPromotedAtMember);
    out.text(promoted_at.to_string());
    out.end_object();
}

JsonValue PersistedPlatformState::to_json() const {
    auto object = JsonValue::object();
    object.add(std::string(kPlatformMember), JsonValue::string(platform.text()));
    auto entries = JsonValue::array();
    for (const auto& promotion : history) {
        entries.push(promotion.to_json());
    }
    object.add(std::string(kHistoryMember), std::move(entries));
    auto withdrawn = JsonValue::array();
    for (const auto& measurement : revoked) {
        withdrawn.push(JsonValue::string(measurement.to_string()));
    }
    object.add(std::string(kRevokedMember), std::move(withdrawn));
    return object;
}

tl::expected<PersistedPlatformState, JsonReadError> PersistedPlatformState::from_json(
    const JsonValue& value) {
    static const auto read_platform = json::as_validated_text(trust::ImagePlatform::parse);
    static const auto read_history = json::as_sequence(PersistedPromotion::from_json);
    static const auto read_revoked = json::as_sequence(json::read_content_hash);
    json::RecordReader r(value, kPersistedPlatformStateRecordName,
                         {kPlatformMember, kHistoryMember, kRevokedMember});
    auto platform = r.required(kPlatformMember, read_platform);
    auto history = r.required(kHistoryMember, read_history);
    auto revoked = r.required(kRevokedMember, read_revoked);
    if (auto done = r.finish(); !done) {
        return tl::unexpected(std::move(done.error()));
    }
    trust::MeasurementSet withdrawn;
    for (const auto& hash : *revoked) {
        withdrawn.insert(trust::ImageMeasurement{hash});
    }
    return PersistedPlatformState{std::move(*platform), std::move(*history), std::move(withdrawn)};
}

std::optional<PersistedPlatformState> PersistedPlatformState::scan(json::PlainJsonReader& reader) {
    std::optional<trust::ImagePlatform> platform;
    std::vector<PersistedPromotion> history;
    trust::MeasurementSet revoked;
    const bool read = json::scan_members(
        reader, kPlatformStateMembers, kAllThreeMembers, [&](std::size_t member) {
            switch (member) {
                case 0:
                    return json::scan_text(reader, trust::ImagePlatform::parse, platform);
                case 1:
                    return json::scan_items(reader, [&] {
                        auto promotion = PersistedPromotion::scan(reader);
                        if (promotion) {
                            history.push_back(*promotion);
                        }
                        return promotion.has_value();
                    });
                default:
                    return json::scan_items(reader, [&] {
                        trust::ImageMeasurement measurement;
                        if (!json::scan_text(reader, contracts::ContentHash::parse,
                                             measurement.hash)) {
                            return false;
                        }
                        revoked.insert(measurement);
                        return true;
                    });
            }
        });
    if (!read) {
        return std::nullopt;
    }
    return PersistedPlatformState{std::move(*platform), std::move(history), std::move(revoked)};
}

void PersistedPlatformState::write_canonical(json::CanonicalBuilder& out) const {
    out.begin_object();
    out.member(kHistoryMember);
    out.begin_array();
    for (const auto& promotion : history) {
        promotion.write_canonical(out);
    }
    out.end_array();
    out.member(kPlatformMember);
    out.text(platform.text());
    out.member(kRevokedMember);
    out.begin_array();
    for (const auto& measurement : revoked) {
        out.text(measurement.to_string());
    }
    out.end_array();
    out.end_object();
}

void PersistedPlatformState::write_file_json(json::PrettyBuilder& out) const {
    out.begin_object();
    out.member(kPlatformMember);
    out.text(platform.text());
    out.member(kHistoryMember);
    out.begin_array();
    for (const auto& promotion : history) {
        promotion.write_file_json(out);
    }
    out.end_array();
    out.member(kRevokedMember);
    out.begin_array();
    for (const auto& measurement : revoked) {
        out.text(measurement.to_string());
    }
    out.end_array();
    out.end_object();
}

JsonValue RegistrySnapshotBody::to_json() const {
    auto object = JsonValue::object();
    object.add(std::string(kFormatVersionMember), JsonValue::uint64(format_version));
    object.add(std::string(kExportedAtMember), JsonValue::string(exported_at.to_string()));
    auto states = JsonValue::array();
    for (const auto& state : platforms) {
        states.push(state.to_json());
    }
    object.add(std::string(kPlatformsMember), std::move(states));
    return object;
}

tl::expected<RegistrySnapshotBody, JsonReadError> RegistrySnapshotBody::from_json(
    const JsonValue& value) {
    static const auto read_platforms = json::as_sequence(PersistedPlatformState::from_json);
    json::RecordReader r(value, kRegistrySnapshotBodyRecordName,
                         {kFormatVersionMember, kExportedAtMember, kPlatformsMember});
    auto format_version = r.required_u16(kFormatVersionMember);
    auto exported_at = r.required(kExportedAtMember, json::read_timestamp);
    auto platforms = r.required(kPlatformsMember, read_platforms);
    if (auto done = r.finish(); !done) {
        return tl::unexpected(std::move(done.error()));
    }
    return RegistrySnapshotBody{*format_version, *exported_at, std::move(*platforms)};
}

std::optional<RegistrySnapshotBody> RegistrySnapshotBody::scan(json::PlainJsonReader& reader) {
    RegistrySnapshotBody body;
    const bool read =
        json::scan_members(reader, kSnapshotMembers, kAllThreeMembers, [&](std::size_t member) {
            switch (member) {
                case 0:
                    return json::scan_unsigned(reader, body.format_version);
                case 1:
                    return json::scan_text(reader, contracts::Timestamp::parse, body.exported_at);
                default:
                    return json::scan_items(reader, [&] {
                        auto state = PersistedPlatformState::scan(reader);
                        if (state) {
                            body.platforms.push_back(std::move(*state));
                        }
                        return state.has_value();
                    });
            }
        });
    return read ? std::optional(std::move(body)) : std::nullopt;
}

void RegistrySnapshotBody::write_canonical(json::CanonicalBuilder& out) const {
    out.begin_object();
    out.member(kExportedAtMember);
    out.text(exported_at.to_string());
    out.member(kFormatVersionMember);
    out.number(format_version);
    out.member(kPlatformsMember);
    out.begin_array();
    for (const auto& state : platforms) {
        state.write_canonical(out);
    }
    out.end_array();
    out.end_object();
}

void RegistrySnapshotBody::write_file_json(json::PrettyBuilder& out) const {
    out.begin_object();
    out.member(kFormatVersionMember);
    out.number(format_version);
    out.member(kExportedAtMember);
    out.text(exported_at.to_string());
    out.member(kPlatformsMember);
    out.begin_array();
    for (const auto& state : platforms) {
        state.write_file_json(out);
    }
    out.end_array();
    out.end_object();
}

std::size_t RegistrySnapshotBody::canonical_size_hint() const {
    std::size_t bytes = kCanonicalFrameBytes;
    for (const auto& state : platforms) {
        bytes += kCanonicalFrameBytes + state.history.size() * kCanonicalPromotionBytes +
                 state.revoked.size() * kCanonicalMeasurementBytes;
    }
    return bytes;
}

// ---- snapshot and replay ----------------------------------------------------

RegistrySnapshotBody snapshot_registry(const trust::KnownGoodStore& store,
                                       const contracts::Timestamp& now) {
    RegistrySnapshotBody body{kRegistrySnapshotFormatVersion, now, {}};
    body.platforms.reserve(store.platforms().size());
    for (const auto& [platform, state] : store.platforms()) {
        std::vector<PersistedPromotion> history;
        history.reserve(state.history.size());
        for (const auto& promotion : state.history) {
            history.push_back(
                {promotion.measurement, promotion.security_version, promotion.promoted_at});
        }
        body.platforms.push_back({platform, std::move(history), state.withdrawn});
    }
    return body;
}

tl::expected<trust::KnownGoodStore, TrustError> rebuild_registry(const RegistrySnapshotBody& body) {
    trust::KnownGoodStore store;
    for (const auto& state : body.platforms) {
        for (const auto& promotion : state.history) {
            auto recorded =
                store.record_promotion({state.platform, promotion.measurement,
                                        promotion.security_version, promotion.promoted_at});
            if (!recorded) {
                return tl::unexpected(std::move(recorded.error()));
            }
        }
        for (const auto& measurement : state.revoked) {
            store.withdraw(state.platform, measurement);
        }
    }
    return store;
}

// ---- the file ---------------------------------------------------------------

tl::expected<std::string, TrustError> registry_store_text(const trust::KnownGoodStore& store,
                                                          const crypto::SigningKey& key,
                                                          const contracts::Uuid& key_id,
                                                          const contracts::Timestamp& now,
                                                          const contracts::Uuid& envelope_id) {
    const auto envelope =
        envelope::sign_envelope_with_id(envelope_id, key, key_id, now, std::nullopt,
                                        registry_context(), snapshot_registry(store, now));
    if (!envelope) {
        return tl::unexpected(TrustError::registry_malformed(std::string(kSigningFailed)));
    }
    return envelope::write_envelope_json(*envelope);
}

tl::expected<void, TrustError> save_registry_store(
    const trust::KnownGoodStore& store, const std::string& path, const crypto::SigningKey& key,
    const contracts::Uuid& key_id, const contracts::Timestamp& now, const io::DirectoryLock* held) {
    try {
        const auto text = registry_store_text(store, key, key_id, now, contracts::Uuid::new_v4());
        if (!text) {
            return tl::unexpected(text.error());
        }
        return io::write_file_atomically(path, *text, io::FileMode::Default, held)
            .map_error(TrustError::from_write_error);
    } catch (const std::bad_alloc&) {
        // Nothing was written: the file is replaced only by a complete text.
        return tl::unexpected(TrustError::storage_failed(std::string(kCannotWrite) + path +
                                                         std::string(kDetailSeparator) +
                                                         contracts::os_error_text(ENOMEM)));
    }
}

namespace {

[[nodiscard]] tl::expected<std::optional<trust::KnownGoodStore>, TrustError> load_store_file(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    std::string* text_out = nullptr) {
    const auto exists = store_exists(path);
    if (!exists) {
        return tl::unexpected(exists.error());
    }
    if (!*exists) {
        return std::optional<trust::KnownGoodStore>();
    }
    auto text = read_store_text(path);
    if (!text) {
        return tl::unexpected(text.error());
    }
    auto envelope = envelope::read_signed_envelope_json<RegistrySnapshotBody>(*text);
    if (!envelope) {
        return tl::unexpected(TrustError::registry_malformed(std::move(envelope.error())));
    }
    if (text_out != nullptr) {
        *text_out = std::move(*text);
    }
    // Which check failed is not reported: a forged, re-keyed or re-purposed
    // file is equally untrusted. Once parsed, the text's memory (already
    // paged in, and as large as the signed bytes) holds the signed bytes.
    const auto body = std::move(*envelope).verify(key, now, registry_context(), std::move(*text));
    if (!body) {
        return tl::unexpected(TrustError::registry_signature_invalid());
    }
    auto store = rebuild_registry(*body);
    if (!store) {
        return tl::unexpected(std::move(store.error()));
    }
    return std::optional<trust::KnownGoodStore>(std::move(*store));
}

}  // namespace

tl::expected<std::optional<trust::KnownGoodStore>, TrustError> load_registry_store(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now) {
    try {
        return load_store_file(path, key, now);
    } catch (const std::bad_alloc&) {
        return tl::unexpected(cannot_read(path, contracts::os_error_text(ENOMEM)));
    }
}

tl::expected<std::optional<trust::KnownGoodStore>, TrustError> load_registry_store(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    std::string& text) {
    text.clear();
    try {
        return load_store_file(path, key, now, &text);
    } catch (const std::bad_alloc&) {
        text.clear();
        return tl::unexpected(cannot_read(path, contracts::os_error_text(ENOMEM)));
    }
}

}  // namespace zdz::store
