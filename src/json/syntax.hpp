#pragma once

// The reader's syntax messages, and where and why a JSON text fails, worked
// out from the text itself: RapidJSON detects some problems at other bytes
// than the messages name (an escape at its backslash, a number too big at its
// first digit). For json/reader.cpp only.

#include <cstddef>
#include <optional>
#include <string_view>
#include <tl/expected.hpp>

#include "json/value.hpp"

namespace zdz::json::syntax {

inline constexpr std::size_t kHexEscapeDigits = 4;
inline constexpr std::size_t kFalseLength = 5;
inline constexpr std::size_t kTrueOrNullLength = 4;

inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
inline constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kRecursionLimitExceeded = "recursion limit exceeded";

bool is_json_space(char c);
bool is_digit(char c);
bool is_ascii_letter(char c);
std::size_t skip_space(std::string_view text, std::size_t i);

// A failure reported at byte i (P = i + 1).
JsonReadError at_byte(std::string_view message, std::size_t i);
// A failure reported at the end of the text.
JsonReadError at_end(std::string_view message, std::string_view text);

// The opening quote of the string that contains byte `inside`: inside a
// string every quote is escaped by an odd run of backslashes, and the opening
// quote follows structure or white space.
std::size_t opening_quote_before(std::string_view text, std::size_t inside);

// Walks the string that opens at `quote` and returns its first problem in
// the reader's terms, or nullopt when the string is sound.
std::optional<JsonReadError> string_problem(std::string_view text, std::size_t quote);

// The end of the number token that starts at `start` (JSON number grammar),
// and the start of the one that ends at `end`.
std::size_t number_end(std::string_view text, std::size_t start);
std::size_t number_start(std::string_view text, std::size_t end);

// The double nearest to a number token; nullopt when it is too large for one.
// Too small a number is zero.
std::optional<double> decimal_value(std::string_view token);

// A digit right after a number that ends in 0 can only follow a leading zero.
bool after_leading_zero(std::string_view text, std::size_t i);

}  // namespace zdz::json::syntax
