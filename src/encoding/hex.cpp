#include "encoding/hex.hpp"

#include "encoding/text.hpp"
#include "encoding/try.hpp"

namespace zdz::encoding {
namespace {

// The pairs of `text` (of even length) into `out`, one byte each.
[[nodiscard]] tl::expected<void, HexError> decode_pairs(std::string_view text,
                                                        std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto pair = text.substr(2 * i, 2);
        // An ASCII pair is always valid UTF-8: the full check only for the
        // rare pair with a high bit (a store holds 100,000 digests).
        const auto high_bits = static_cast<unsigned char>(pair[0] | pair[1]) & 0x80U;
        if (high_bits != 0 && !is_valid_utf8(pair)) {
            return tl::unexpected(HexError{HexError::Kind::NotAscii, 0, {}});
        }
        const int hi = hex_digit_value(pair[0]);
        const int lo = hex_digit_value(pair[1]);
        if (hi < 0 || lo < 0) {
            return tl::unexpected(HexError{HexError::Kind::InvalidDigits, 0, std::string(pair)});
        }
        out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return {};
}

}  // namespace

std::string hex_encode(std::span<const std::uint8_t> bytes) {
    std::string out(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kLowerHexDigits[bytes[i] >> 4];
        out[2 * i + 1] = kLowerHexDigits[bytes[i] & 0xF];
    }
    return out;
}

std::string HexError::display() const {
    switch (kind) {
        case Kind::OddLength:
            return "hex string has odd length " + std::to_string(length);
        case Kind::WrongLength:
            return "hex string must be " + std::to_string(wanted) + " hex characters, got " +
                   std::to_string(length);
        case Kind::NotAscii:
            return "hex string is not ASCII";
        case Kind::InvalidDigits:
            return "invalid hex byte " + quoted_form(pair);
    }
    return {};
}

std::string HexError::field_text(std::string_view length_name, std::string_view ascii_name,
                                 std::string_view digits_name) const {
    switch (kind) {
        case Kind::NotAscii:
            return std::string(ascii_name) + " is not ASCII";
        case Kind::InvalidDigits:
            return "invalid hex in " + std::string(digits_name) + ": " + quoted_form(pair);
        case Kind::OddLength:
        case Kind::WrongLength:
            break;
    }
    return std::string(length_name) + " must be " + std::to_string(wanted) +
           " hex characters, got " + std::to_string(length);
}

tl::expected<std::vector<std::uint8_t>, HexError> hex_decode(std::string_view text) {
    if (text.size() % 2 != 0) {
        return tl::unexpected(HexError{HexError::Kind::OddLength, text.size(), {}});
    }
    std::vector<std::uint8_t> out(text.size() / 2);
    ZDZ_RETURN_IF_ERROR(decode_pairs(text, out));
    return out;
}

tl::expected<void, HexError> hex_decode_exact(std::string_view text, std::span<std::uint8_t> out) {
    if (text.size() != out.size() * 2) {
        return tl::unexpected(
            HexError{HexError::Kind::WrongLength, text.size(), {}, out.size() * 2});
    }
    return decode_pairs(text, out);
}

}  // namespace zdz::encoding
