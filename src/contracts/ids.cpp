#include "contracts/ids.hpp"

#include <sodium.h>

#include <algorithm>
#include <optional>

#include "encoding/hex.hpp"
#include "encoding/text.hpp"

namespace zdz::contracts {
namespace {

// --- Slug ------------------------------------------------------------------

constexpr std::string_view kSlugEmpty = "must not be empty";
constexpr std::string_view kSlugBadCharacter =
    "may contain only lowercase ASCII letters, digits and hyphens";
constexpr std::string_view kSlugEdgeHyphen = "must not start or end with a hyphen";
constexpr std::string_view kSlugDoubleHyphen = "must not contain consecutive hyphens";

ContractError slug_error(std::string reason) {
    return ContractError::invalid_identifier(std::string(kSlugKindText), std::move(reason));
}

bool is_slug_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// --- UUID ------------------------------------------------------------------

constexpr std::size_t kSimpleLength = 32;
constexpr std::size_t kHyphenatedLength = 36;
constexpr std::size_t kBracedLength = kHyphenatedLength + 2;
constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::size_t kUrnLength = kUrnPrefix.size() + kHyphenatedLength;
constexpr std::size_t kGroups = 5;
constexpr std::size_t kInnerHyphens = kGroups - 1;
constexpr std::array<std::size_t, kInnerHyphens> kHyphenOffsets = {8, 13, 18, 23};
constexpr std::array<std::size_t, kInnerHyphens> kGroupStarts = {0, 9, 14, 19};
constexpr std::array<std::size_t, kInnerHyphens> kGroupLengths = {8, 4, 4, 4};
constexpr std::size_t kLastGroupLength = 12;
constexpr std::size_t kLastGroupStart = 24;

constexpr std::uint8_t kVersionByte = 6;
constexpr std::uint8_t kVersion4Bits = 0x40;
constexpr std::uint8_t kVariantByte = 8;
constexpr std::uint8_t kRfcVariantBits = 0x80;
constexpr std::uint8_t kLowNibble = 0x0F;
constexpr std::uint8_t kLowSixBits = 0x3F;

constexpr std::string_view kEllipsis = "\u2026";
constexpr std::size_t kDeviceIdShownChars = 8;

bool is_hyphen_position(std::size_t i) {
    return std::find(kHyphenOffsets.begin(), kHyphenOffsets.end(), i) != kHyphenOffsets.end();
}

// Reads 32 hex digits, skipping the hyphens of the hyphenated form when they
// stand exactly where they belong.
std::optional<Uuid> read_digits(std::string_view text, bool hyphenated) {
    Uuid::Bytes bytes{};
    std::size_t out = 0;
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (hyphenated && is_hyphen_position(i)) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            continue;
        }
        const int value = encoding::hex_digit_value(text[i]);
        if (value < 0) {
            return std::nullopt;
        }
        if (high < 0) {
            high = value;
        } else {
            bytes[out++] = static_cast<std::uint8_t>((high << 4) | value);
            high = -1;
        }
    }
    return Uuid(bytes);
}

bool braced(std::string_view text) {
    return text.size() >= 2 && text.front() == '{' && text.back() == '}';
}

std::optional<Uuid> read_accepted_shape(std::string_view text) {
    switch (text.size()) {
        case kSimpleLength:
            return read_digits(text, false);
        case kHyphenatedLength:
            return read_digits(text, true);
        case kBracedLength:
            if (braced(text)) {
                return read_digits(text.substr(1, kHyphenatedLength), true);
            }
            return std::nullopt;
        case kUrnLength:
            if (text.starts_with(kUrnPrefix)) {
                return read_digits(text.substr(kUrnPrefix.size()), true);
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

UuidError invalid_group_length(std::size_t group, std::size_t expected, std::size_t found) {
    return {UuidError::Kind::InvalidGroupLength, {}, 0, group, expected, found};
}

// Explains why `text` is not a UUID. The texts are observable, so the steps
// stay literal, quirks included: positions and the last group's length count
// a wrapper that was not stripped.
UuidError diagnose_uuid(std::string_view text) {
    std::string_view d = text;
    if (text.size() == kBracedLength && braced(text)) {
        d = text.substr(1, kHyphenatedLength);
    } else if (text.size() == kUrnLength && text.starts_with(kUrnPrefix)) {
        d = text.substr(kUrnPrefix.size());
    }

    std::string_view body = d;
    std::size_t wrapper = 0;
    if (braced(d)) {
        body = d.substr(1, d.size() - 2);
        wrapper = 1;
    } else if (d.starts_with(kUrnPrefix)) {
        body = d.substr(kUrnPrefix.size());
        wrapper = kUrnPrefix.size();
    }

    std::size_t hyphens = 0;
    std::array<std::size_t, kInnerHyphens> hyphen_at{};
    for (std::size_t i = 0; i < body.size();) {
        const char c = body[i];
        if (c == '-') {
            if (hyphens < kInnerHyphens) {
                hyphen_at[hyphens] = i;
            }
            ++hyphens;
            ++i;
            continue;
        }
        if (encoding::hex_digit_value(c) >= 0) {
            ++i;
            continue;
        }
        // A multi-byte character is shown whole; a byte that is not UTF-8 at
        // all shows as the replacement character so the message stays text.
        const auto decoded = encoding::decode_utf8_at(body, i);
        const std::string shown = decoded ? encoding::terminal_safe(body.substr(i, decoded->length))
                                          : std::string("\uFFFD");
        return {UuidError::Kind::InvalidCharacter, shown, i + wrapper + 1, 0, 0, 0};
    }

    if (hyphens == 0 && wrapper == 0) {
        return {UuidError::Kind::InvalidLength, {}, 0, 0, 0, d.size()};
    }
    if (hyphens != kInnerHyphens) {
        return {UuidError::Kind::InvalidGroupCount, {}, 0, 0, 0, hyphens + 1};
    }
    // Hyphens before g stand in place, so hyphen g lies at or after group g's start.
    for (std::size_t g = 0; g < kInnerHyphens; ++g) {
        if (hyphen_at[g] != kHyphenOffsets[g]) {
            return invalid_group_length(g, kGroupLengths[g], hyphen_at[g] - kGroupStarts[g]);
        }
    }
    // Only reachable when the length is wrong, so the difference is never
    // negative: 4 hyphens in place already need 24 bytes of D.
    return invalid_group_length(kInnerHyphens, kLastGroupLength, d.size() - kLastGroupStart);
}

}  // namespace

tl::expected<Slug, ContractError> Slug::parse(std::string_view text) {
    if (text.empty()) {
        return tl::unexpected(slug_error(std::string(kSlugEmpty)));
    }
    if (text.size() > kSlugMaxBytes) {
        return tl::unexpected(slug_error("must be at most " + std::to_string(kSlugMaxBytes) +
                                         " bytes, got " + std::to_string(text.size())));
    }
    if (!std::all_of(text.begin(), text.end(), is_slug_byte)) {
        return tl::unexpected(slug_error(std::string(kSlugBadCharacter)));
    }
    if (text.front() == '-' || text.back() == '-') {
        return tl::unexpected(slug_error(std::string(kSlugEdgeHyphen)));
    }
    if (text.find("--") != std::string_view::npos) {
        return tl::unexpected(slug_error(std::string(kSlugDoubleHyphen)));
    }
    return Slug(std::string(text));
}

Uuid Uuid::new_v4() {
    Bytes bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    bytes[kVersionByte] =
        static_cast<std::uint8_t>((bytes[kVersionByte] & kLowNibble) | kVersion4Bits);
    bytes[kVariantByte] =
        static_cast<std::uint8_t>((bytes[kVariantByte] & kLowSixBits) | kRfcVariantBits);
    return Uuid(bytes);
}

std::string UuidError::display() const {
    switch (kind) {
        case Kind::InvalidCharacter:
            return "invalid character: expected an optional prefix of `urn:uuid:` followed by "
                   "[0-9a-fA-F-], found `" +
                   shown + "` at " + std::to_string(position);
        case Kind::InvalidLength:
            return "invalid length: expected length " + std::to_string(kSimpleLength) +
                   " for simple format, found " + std::to_string(found);
        case Kind::InvalidGroupCount:
            return "invalid group count: expected " + std::to_string(kGroups) + ", found " +
                   std::to_string(found);
        case Kind::InvalidGroupLength:
            return "invalid group length in group " + std::to_string(group) + ": expected " +
                   std::to_string(expected) + ", found " + std::to_string(found);
    }
    return {};
}

tl::expected<Uuid, UuidError> parse_uuid_text(std::string_view text) {
    if (auto uuid = read_accepted_shape(text)) {
        return *uuid;
    }
    return tl::unexpected(diagnose_uuid(text));
}

tl::expected<Uuid, ContractError> Uuid::parse(std::string_view text) {
    return parse_uuid_text(text).map_error([](const UuidError& error) {
        return ContractError::invalid(ContractError::Subject::Uuid,
                                      std::string(kUuidParseFailedPrefix) + error.display());
    });
}

std::string Uuid::to_string() const {
    const std::string hex = encoding::hex_encode(bytes_);
    std::string out;
    out.reserve(kHyphenatedLength);
    std::size_t from = 0;
    for (const auto length : kGroupLengths) {
        out.append(hex, from, length);
        out += '-';
        from += length;
    }
    out.append(hex, from, kLastGroupLength);
    return out;
}

DeviceId DeviceId::new_random() {
    return DeviceId(Uuid::new_v4());
}

tl::expected<DeviceId, ContractError> DeviceId::parse(std::string_view text) {
    return Uuid::parse(text).map([](const Uuid& uuid) { return DeviceId(uuid); });
}

std::string DeviceId::debug() const {
    return "DeviceId(" + uuid_.to_string().substr(0, kDeviceIdShownChars) + std::string(kEllipsis) +
           ")";
}

}  // namespace zdz::contracts
