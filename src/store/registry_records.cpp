// The JSON forms of the registry snapshot records: the strict reader, the
// quick reader, the canonical bytes and the file form of each.

#include <array>
#include <cstdint>
#include <utility>

#include "json/fields.hpp"
#include "json/record.hpp"
#include "store/registry_file.hpp"

namespace zdz::store {
namespace {

using json::JsonReadError;
using json::JsonValue;

using MemberNames = std::array<std::string_view, 3>;

// Each record's member names in declaration order, the order of the file form
// and of the quick reader's table, and the index of each in that table.
enum PromotionMember : std::size_t { kMeasurement, kSecurityVersion, kPromotedAt };
constexpr MemberNames kPromotionMembers = {"measurement", "security_version", "promoted_at"};
enum PlatformStateMember : std::size_t { kPlatform, kHistory, kRevoked };
constexpr MemberNames kPlatformStateMembers = {"platform", "history", "revoked"};
enum SnapshotMember : std::size_t { kFormatVersion, kExportedAt, kPlatforms };
constexpr MemberNames kSnapshotMembers = {"format_version", "exported_at", "platforms"};

constexpr std::string_view name_of(PromotionMember member) {
    return kPromotionMembers[member];
}
constexpr std::string_view name_of(PlatformStateMember member) {
    return kPlatformStateMembers[member];
}
constexpr std::string_view name_of(SnapshotMember member) {
    return kSnapshotMembers[member];
}

constexpr std::uint32_t kAllThreeMembers = 0b111;

// The most a promotion and a withdrawn measurement take in canonical form
// (a timestamp with nanoseconds, the largest security version), and a little
// for each platform and the snapshot around them.
constexpr std::size_t kCanonicalPromotionBytes = 200;
constexpr std::size_t kCanonicalMeasurementBytes = 80;
constexpr std::size_t kCanonicalFrameBytes = 200;

using MemberOrder = std::array<std::size_t, 3>;

// The file form writes members in declaration order; the canonical form in
// ascending byte order of their names.
constexpr MemberOrder kDeclarationOrder = {0, 1, 2};
constexpr MemberOrder by_name(const MemberNames& names) {
    MemberOrder order = kDeclarationOrder;
    for (std::size_t i = 1; i < order.size(); ++i) {
        for (std::size_t j = i; j > 0 && names[order[j]] < names[order[j - 1]]; --j) {
            std::swap(order[j], order[j - 1]);
        }
    }
    return order;
}

template <class Builder, class Items, class WriteItem>
void write_items(Builder& out, const Items& items, WriteItem write_item) {
    out.begin_array();
    for (const auto& item : items) {
        write_item(item);
    }
    out.end_array();
}

// The value of member `member` (an index into the record's member names).
template <class Builder>
void write_member_value(Builder& out, const PersistedPromotion& promotion, std::size_t member) {
    switch (member) {
        case kMeasurement:
            out.text(promotion.measurement.to_string());
            break;
        case kSecurityVersion:
            out.number(promotion.security_version);
            break;
        case kPromotedAt:
        default:
            out.text(promotion.promoted_at.to_string());
            break;
    }
}

template <class Builder>
void write_member_value(Builder& out, const PersistedPlatformState& state, std::size_t member) {
    switch (member) {
        case kPlatform:
            out.text(state.platform.text());
            break;
        case kHistory:
            write_items(out, state.history,
                        [&](const PersistedPromotion& promotion) { promotion.write_json(out); });
            break;
        case kRevoked:
        default:
            write_items(out, state.revoked, [&](const trust::ImageMeasurement& measurement) {
                out.text(measurement.to_string());
            });
            break;
    }
}

template <class Builder>
void write_member_value(Builder& out, const RegistrySnapshotBody& body, std::size_t member) {
    switch (member) {
        case kFormatVersion:
            out.number(body.format_version);
            break;
        case kExportedAt:
            out.text(body.exported_at.to_string());
            break;
        case kPlatforms:
        default:
            write_items(out, body.platforms,
                        [&](const PersistedPlatformState& state) { state.write_json(out); });
            break;
    }
}

template <class Record>
void write_object(json::JsonWriter& out, const Record& record, const MemberNames& names) {
    const MemberOrder order =
        out.layout() == json::Layout::Canonical ? by_name(names) : kDeclarationOrder;
    out.begin_object();
    for (const std::size_t member : order) {
        out.member(names[member]);
        write_member_value(out, record, member);
    }
    out.end_object();
}

}  // namespace

JsonValue PersistedPromotion::to_json() const {
    auto object = JsonValue::object();
    object.add(std::string(name_of(kMeasurement)), JsonValue::string(measurement.to_string()));
    object.add(std::string(name_of(kSecurityVersion)), JsonValue::uint64(security_version));
    object.add(std::string(name_of(kPromotedAt)), JsonValue::string(promoted_at.to_string()));
    return object;
}

tl::expected<PersistedPromotion, JsonReadError> PersistedPromotion::from_json(
    const JsonValue& value) {
    json::RecordReader r(value, kPersistedPromotionRecordName,
                         {name_of(kMeasurement), name_of(kSecurityVersion), name_of(kPromotedAt)});
    auto measurement = r.required(name_of(kMeasurement), json::read_content_hash);
    auto security_version = r.required_u32(name_of(kSecurityVersion));
    auto promoted_at = r.required(name_of(kPromotedAt), json::read_timestamp);
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
                case kMeasurement:
                    return json::scan_text(reader, contracts::ContentHash::parse,
                                           promotion.measurement.hash);
                case kSecurityVersion:
                    return json::scan_unsigned(reader, promotion.security_version);
                case kPromotedAt:
                default:
                    return json::scan_text(reader, contracts::Timestamp::parse,
                                           promotion.promoted_at);
            }
        });
    return read ? std::optional(promotion) : std::nullopt;
}

void PersistedPromotion::write_json(json::JsonWriter& out) const {
    write_object(out, *this, kPromotionMembers);
}

JsonValue PersistedPlatformState::to_json() const {
    auto object = JsonValue::object();
    object.add(std::string(name_of(kPlatform)), JsonValue::string(platform.text()));
    auto entries = JsonValue::array();
    for (const auto& promotion : history) {
        entries.push(promotion.to_json());
    }
    object.add(std::string(name_of(kHistory)), std::move(entries));
    auto withdrawn = JsonValue::array();
    for (const auto& measurement : revoked) {
        withdrawn.push(JsonValue::string(measurement.to_string()));
    }
    object.add(std::string(name_of(kRevoked)), std::move(withdrawn));
    return object;
}

tl::expected<PersistedPlatformState, JsonReadError> PersistedPlatformState::from_json(
    const JsonValue& value) {
    static const auto read_platform = json::as_validated_text(trust::ImagePlatform::parse);
    static const auto read_history = json::as_sequence(PersistedPromotion::from_json);
    static const auto read_revoked = json::as_sequence(json::read_content_hash);
    json::RecordReader r(value, kPersistedPlatformStateRecordName,
                         {name_of(kPlatform), name_of(kHistory), name_of(kRevoked)});
    auto platform = r.required(name_of(kPlatform), read_platform);
    auto history = r.required(name_of(kHistory), read_history);
    auto revoked = r.required(name_of(kRevoked), read_revoked);
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
                case kPlatform:
                    return json::scan_text(reader, trust::ImagePlatform::parse, platform);
                case kHistory:
                    return json::scan_items(reader, [&] {
                        auto promotion = PersistedPromotion::scan(reader);
                        if (promotion) {
                            history.push_back(*promotion);
                        }
                        return promotion.has_value();
                    });
                case kRevoked:
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

void PersistedPlatformState::write_json(json::JsonWriter& out) const {
    write_object(out, *this, kPlatformStateMembers);
}

JsonValue RegistrySnapshotBody::to_json() const {
    auto object = JsonValue::object();
    object.add(std::string(name_of(kFormatVersion)), JsonValue::uint64(format_version));
    object.add(std::string(name_of(kExportedAt)), JsonValue::string(exported_at.to_string()));
    auto states = JsonValue::array();
    for (const auto& state : platforms) {
        states.push(state.to_json());
    }
    object.add(std::string(name_of(kPlatforms)), std::move(states));
    return object;
}

tl::expected<RegistrySnapshotBody, JsonReadError> RegistrySnapshotBody::from_json(
    const JsonValue& value) {
    static const auto read_platforms = json::as_sequence(PersistedPlatformState::from_json);
    json::RecordReader r(value, kRegistrySnapshotBodyRecordName,
                         {name_of(kFormatVersion), name_of(kExportedAt), name_of(kPlatforms)});
    auto format_version = r.required_u16(name_of(kFormatVersion));
    auto exported_at = r.required(name_of(kExportedAt), json::read_timestamp);
    auto platforms = r.required(name_of(kPlatforms), read_platforms);
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
                case kFormatVersion:
                    return json::scan_unsigned(reader, body.format_version);
                case kExportedAt:
                    return json::scan_text(reader, contracts::Timestamp::parse, body.exported_at);
                case kPlatforms:
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

void RegistrySnapshotBody::write_json(json::JsonWriter& out) const {
    write_object(out, *this, kSnapshotMembers);
}

std::size_t RegistrySnapshotBody::canonical_size_hint() const {
    std::size_t bytes = kCanonicalFrameBytes;
    for (const auto& state : platforms) {
        bytes += kCanonicalFrameBytes + state.history.size() * kCanonicalPromotionBytes +
                 state.revoked.size() * kCanonicalMeasurementBytes;
    }
    return bytes;
}

}  // namespace zdz::store
