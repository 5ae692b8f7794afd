#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

namespace zdz::encoding {

// Standard-alphabet Base64 with "=" padding.
std::string base64_encode(std::span<const std::uint8_t> bytes);

// Accepts only canonical padded standard Base64 (zero trailing bits, nothing
// skipped). The error is the decoder's own message, e.g. "Invalid padding" or
// "Invalid symbol 61, offset 2.", which callers embed after their context.
tl::expected<std::vector<std::uint8_t>, std::string> base64_decode(std::string_view text);

}  // namespace zdz::encoding
