#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zdz::encoding {

// One decoded UTF-8 character: its code point and its length in bytes.
struct Utf8Char {
    char32_t code_point;
    std::size_t length;
};

// Decodes the character that starts at `pos`; nullopt when the bytes there are
// not a well-formed UTF-8 sequence (overlong forms and surrogates included).
std::optional<Utf8Char> decode_utf8_at(std::string_view text, std::size_t pos);

bool is_valid_utf8(std::string_view text);

// Appends the UTF-8 encoding of a code point.
void append_utf8(std::string& out, char32_t cp);

// The lines of a text file: split at "\n", with a "\r" right before the "\n"
// dropped too. A last line without a terminator counts; a final "\n" does
// not open another, empty line.
std::vector<std::string_view> split_lines(std::string_view text);

// The lines of a text one at a time, as split_lines splits them, for a reader
// that must not hold a list of them all.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}

    // The next line, or nullopt after the last.
    std::optional<std::string_view> next();

private:
    std::string_view text_;
    std::size_t start_ = 0;
};

// Unicode White_Space property.
bool is_unicode_whitespace(char32_t code_point);

// `text` without leading and trailing Unicode white space. Expects valid UTF-8.
std::string_view trim_unicode_whitespace(std::string_view text);

// The quoted (debug) form that messages use to echo user input: double quotes
// around the text, with quotes, backslashes, control and invisible characters
// escaped. Bytes that are not valid UTF-8 are shown as \x{NN}.
std::string quoted_form(std::string_view text);

// Whether a character changes what a terminal shows of the text around it, or
// shows as nothing: C0 controls, DEL, C1 controls (U+0080-U+009F), the
// zero-width characters and marks (U+200B-U+200F, U+2060, U+FEFF) and the
// bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069), which can make a name read backwards.
bool is_terminal_unsafe(char32_t code_point);

// `text` made safe to show on a terminal, for report and error lines that echo
// text read from a file: the is_terminal_unsafe characters are written as in
// the quoted form (\t, \n, \r, \0, else \u{X}) and bytes that are not valid
// UTF-8 as \x{NN}; everything else, backslashes and quotes included, stays as
// it is, so printable text comes out byte for byte.
std::string terminal_safe(std::string_view text);

// terminal_safe(text) appended to `out`, without a string of its own: for
// reports that echo a name per line for millions of lines.
void append_terminal_safe(std::string& out, std::string_view text);

// terminal_safe of the first `max_chars` characters of `text`, with
// "…" appended where anything was cut, so that a hostile input cannot make a
// message as long as itself. Never cuts inside an escape or a character.
std::string terminal_safe_excerpt(std::string_view text, std::size_t max_chars);

// The excerpt length messages use for text quoted from an input file.
inline constexpr std::size_t kMessageExcerptChars = 200;

// quoted_form of the first `max_chars` characters of `text` (a byte that is
// not UTF-8 counts as one), with "…" after the closing quote where anything
// was cut: the quoted form for messages that echo text from an input file.
std::string quoted_excerpt(std::string_view text, std::size_t max_chars);

}  // namespace zdz::encoding
