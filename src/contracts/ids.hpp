#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <utility>

#include "contracts/errors.hpp"

namespace zdz::contracts {

inline constexpr std::size_t kSlugMaxBytes = 64;
inline constexpr std::string_view kSlugKindText = "Slug";

// A lower-case identifier of 1 to 64 bytes of a-z, 0-9 and single inner
// hyphens. Kept exactly as given: every value of this type passed parse().
class Slug {
public:
    // Refusals are InvalidIdentifier with the kind text "Slug".
    [[nodiscard]] static tl::expected<Slug, ContractError> parse(std::string_view text);

    const std::string& text() const { return text_; }

    friend bool operator==(const Slug&, const Slug&) = default;
    // Byte order of the text, so a slug can key an ordered map.
    friend auto operator<=>(const Slug&, const Slug&) = default;

private:
    explicit Slug(std::string text) : text_(std::move(text)) {}

    std::string text_;
};

// The prefix record readers put before the UUID parser's own message.
inline constexpr std::string_view kUuidParseFailedPrefix = "UUID parsing failed: ";

// A 128-bit identifier, written as 36 lower-case hyphenated characters.
class Uuid {
public:
    static constexpr std::size_t kBytes = 16;
    using Bytes = std::array<std::uint8_t, kBytes>;

    // The nil identifier (all zero bytes).
    constexpr Uuid() = default;
    explicit constexpr Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // Version 4: random bytes from the operating system's secure source with
    // the version and variant bits set.
    static Uuid new_v4();

    // Accepts the simple, hyphenated, braced and URN forms in either case.
    // The refusal is Validation with "UUID parsing failed: " + the parser's
    // message (see parse_uuid_text).
    [[nodiscard]] static tl::expected<Uuid, ContractError> parse(std::string_view text);

    const Bytes& bytes() const { return bytes_; }

    // 8-4-4-4-12 lower-case hex.
    std::string to_string() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

// Why a text is not a UUID. display() is the parser's bare message (no
// prefix), for readers that embed it in their own text.
struct UuidError {
    enum class Kind {
        InvalidCharacter,    // `shown` at `position` (1-based, counting a wrapper)
        InvalidLength,       // a simple form of `found` characters, not 32
        InvalidGroupCount,   // `found` groups, not 5
        InvalidGroupLength,  // group `group` has `found` characters, not `expected`
    };
    Kind kind = Kind::InvalidCharacter;
    std::string shown;
    std::size_t position = 0;
    std::size_t group = 0;
    std::size_t expected = 0;
    std::size_t found = 0;

    std::string display() const;

    friend bool operator==(const UuidError&, const UuidError&) = default;
};

[[nodiscard]] tl::expected<Uuid, UuidError> parse_uuid_text(std::string_view text);

// The UUID that names one device. Its debug form hides all but the first eight
// characters so that logs never carry a whole device identifier.
class DeviceId {
public:
    constexpr DeviceId() = default;
    explicit constexpr DeviceId(const Uuid& uuid) : uuid_(uuid) {}

    static DeviceId new_random();
    [[nodiscard]] static tl::expected<DeviceId, ContractError> parse(std::string_view text);

    const Uuid& uuid() const { return uuid_; }

    // The full 36-character text.
    std::string to_string() const { return uuid_.to_string(); }
    // "DeviceId(" + first 8 characters + "…" + ")".
    std::string debug() const;

    friend bool operator==(const DeviceId&, const DeviceId&) = default;
    friend auto operator<=>(const DeviceId&, const DeviceId&) = default;

private:
    Uuid uuid_;
};

}  // namespace zdz::contracts
