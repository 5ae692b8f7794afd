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

constexpr std::string_view kFormatVersionMember = "format_version";
constexpr std::string_view kExportedAtMember = "exported_at";
constexpr std::string_view kPlatformsMember = "platforms";
constexpr std::string_view kPlatformMember = "platform";
constexpr std::string_view kHistoryMember = "history";
constexpr std::string_view kRevokedMember = "revoked";
constexpr std::string_view kMeasurementMember = "measurement";
constexpr std::string_view kSecurityVersionMember = "security_version";
constexpr std::string_view kPromotedAtMember = "promoted_at";

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

}  // namespace

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

}  // namespace zdz::store
