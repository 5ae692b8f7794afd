#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace zdz::json {

// Appends `text` as a JSON string: quotes and backslashes escaped, \b \t \n
// \f \r as short escapes, other controls as \u00XX with hex digits in the
// given case; everything else as its raw bytes.
enum class HexDigits { Lower, Upper };
void append_json_string(std::string& out, std::string_view text, HexDigits digits);

// The file form: two-space indentation, ": " after member names, members in
// the order given, no final newline. Strings must be valid UTF-8.
std::string to_pretty_json(const JsonValue& value);

// The way messages show a floating-point number: the shortest decimal that
// reads back as the same double, plain with ".0" for 1e-5 <= |x| < 1e16,
// otherwise as mantissa "e" exponent ("1e16", "-1.5e-7").
std::string float_text(double value);

}  // namespace zdz::json
