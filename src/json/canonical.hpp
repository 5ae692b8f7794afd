#pragma once

#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/errors.hpp"
#include "json/value.hpp"

namespace zdz::json {

// The one byte form that is signed or authenticated: no white space, object
// members in ascending byte order of their normalised keys, strings
// normalised, integers only. Fails with Canonicalization on a floating-point
// number (naming its path), on two keys equal after normalisation, or on a
// string that is not valid UTF-8.
[[nodiscard]] tl::expected<std::string, contracts::ContractError> canonical_json(
    const JsonValue& value);

// Composes a base letter and one following combining mark into the
// precomposed character for a fixed small table (grave, acute, circumflex,
// tilde, diaeresis, ring above and caron over the Latin letters that take
// them). Nothing else changes; ASCII-only text is handed back as it came.
std::string normalize_text(std::string text);

}  // namespace zdz::json
