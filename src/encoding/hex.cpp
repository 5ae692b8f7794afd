#include "encoding/hex.hpp"

#include "encoding/text.hpp"

namespace zdz::encoding {

std::string hex_encode(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return out;
}

tl::expected<std::vector<std::uint8_t>, std::string> hex_decode(std::string_view text) {
    if (text.size() % 2 != 0) {
        return tl::unexpected("hex string has odd length " + std::to_string(text.size()));
    }
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const auto pair = text.substr(i, 2);
        if (!is_valid_utf8(pair)) {
            return tl::unexpected(std::string("hex string is not ASCII"));
        }
        const int hi = hex_digit_value(pair[0]);
        const int lo = hex_digit_value(pair[1]);
        if (hi < 0 || lo < 0) {
            return tl::unexpected("invalid hex byte " + quoted_form(pair));
        }
        out.push_back(static_cast<std::uint8_t>((hi << 4) | lo));
    }
    return out;
}

}  // namespace zdz::encoding
