#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

namespace zdz::encoding {

// The one table of hex digits: the digits of each case, and the value of
// every byte read as a digit of either case (-1 for a byte that is none).
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";
inline constexpr std::array<std::int8_t, 256> kHexDigitValues = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (std::size_t i = 0; i < 16; ++i) {
        table[static_cast<unsigned char>(kLowerHexDigits[i])] = static_cast<std::int8_t>(i);
        table[static_cast<unsigned char>(kUpperHexDigits[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}();

// Value of one hex digit of either case, or -1.
constexpr int hex_digit_value(char c) {
    return kHexDigitValues[static_cast<unsigned char>(c)];
}

// Lower-case hex, high nibble first.
std::string hex_encode(std::span<const std::uint8_t> bytes);

// Why a text did not decode as hex. Callers that word the failure their own
// way branch on kind; display() is hex_decode's own wording.
struct HexError {
    enum class Kind {
        OddLength,      // hex_decode: an odd number of characters
        WrongLength,    // hex_decode_exact: not twice the bytes wanted
        NotAscii,       // a pair of characters that is not valid UTF-8
        InvalidDigits,  // a pair that is not two hex digits
    };
    Kind kind = Kind::OddLength;
    // OddLength, WrongLength: the text's length in characters.
    std::size_t length = 0;
    // InvalidDigits: the offending pair as read.
    std::string pair;
    // WrongLength: the number of characters wanted.
    std::size_t wanted = 0;

    // "hex string has odd length N", "hex string must be M hex characters,
    // got N", "hex string is not ASCII" or "invalid hex byte \"PAIR\"".
    std::string display() const;

    // The failure of hex_decode_exact worded for a field of a record:
    // "LENGTH_NAME must be M hex characters, got N", "ASCII_NAME is not
    // ASCII" or "invalid hex in DIGITS_NAME: \"PAIR\"" (signatures and content
    // hashes name the field differently in each).
    std::string field_text(std::string_view length_name, std::string_view ascii_name,
                           std::string_view digits_name) const;

    friend bool operator==(const HexError&, const HexError&) = default;
};

// Decodes hex of either case; callers check the decoded length themselves.
[[nodiscard]] tl::expected<std::vector<std::uint8_t>, HexError> hex_decode(std::string_view text);

// Decodes exactly out.size() bytes of hex of either case into `out`
// (WrongLength for any other number of characters).
[[nodiscard]] tl::expected<void, HexError> hex_decode_exact(std::string_view text,
                                                            std::span<std::uint8_t> out);

}  // namespace zdz::encoding
