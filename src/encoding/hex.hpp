#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

namespace zdz::encoding {

// Lower-case hex, high nibble first.
std::string hex_encode(std::span<const std::uint8_t> bytes);

// Decodes hex of either case. The error is a plain message without prefix;
// callers wrap it in their own error and check the decoded length themselves.
tl::expected<std::vector<std::uint8_t>, std::string> hex_decode(std::string_view text);

// Value of one hex digit of either case, or -1. Inline: digests are decoded
// a digit at a time by the hundred thousand when a store is read.
inline int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace zdz::encoding
