#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

namespace zdz::encoding {

// Standard-alphabet Base64 with "=" padding.
std::string base64_encode(std::span<const std::uint8_t> bytes);

// Why a text is not canonical padded standard Base64.
struct Base64Error {
    enum class Kind {
        InvalidSymbol,      // a byte outside the alphabet, or a misplaced "="
        InvalidLastSymbol,  // a last symbol whose unused bits are not zero
        InvalidLength,      // too few symbols in the final group
        InvalidPadding,     // symbols and padding that do not fill the final group
    };
    Kind kind = Kind::InvalidSymbol;
    // InvalidSymbol, InvalidLastSymbol: the byte and its offset.
    unsigned byte = 0;
    std::size_t offset = 0;
    // InvalidLength: the text's length.
    std::size_t length = 0;

    // The decoder's own message, e.g. "Invalid padding" or "Invalid symbol 61,
    // offset 2.", which callers embed after their context.
    std::string display() const;

    friend bool operator==(const Base64Error&, const Base64Error&) = default;
};

// Accepts only canonical padded standard Base64 (zero trailing bits, nothing
// skipped).
[[nodiscard]] tl::expected<std::vector<std::uint8_t>, Base64Error> base64_decode(
    std::string_view text);

}  // namespace zdz::encoding
