// Where and why a JSON text fails, worked out again from the text where
// RapidJSON reports a problem at another byte than the reader's message
// names, and the number tokens it converts imprecisely.

#include "json/syntax.hpp"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "encoding/hex.hpp"
#include "encoding/text.hpp"

namespace zdz::json::syntax {
namespace {

constexpr unsigned kHighSurrogateFirst = 0xD800;
constexpr unsigned kLowSurrogateFirst = 0xDC00;
constexpr unsigned kLowSurrogateLast = 0xDFFF;
// Beyond any double's decimal exponent; keeps the arithmetic from overflowing.
constexpr long kExponentCeiling = 100000;

// Whether a number token that does not fit a double is too large (rather
// than too small): its decimal exponent, with the point after the first
// significant digit, is positive.
bool too_large(std::string_view token) {
    std::size_t i = token.empty() || token[0] != '-' ? 0 : 1;
    long magnitude = 0;
    bool significant = false;
    for (; i < token.size() && is_digit(token[i]); ++i) {
        significant = significant || token[i] != '0';
        magnitude += significant ? 1 : 0;
    }
    if (i < token.size() && token[i] == '.') {
        for (++i; i < token.size() && is_digit(token[i]); ++i) {
            if (!significant && token[i] == '0') {
                --magnitude;
            }
            significant = significant || token[i] != '0';
        }
    }
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        const bool negative = i < token.size() && token[i] == '-';
        if (i < token.size() && (token[i] == '-' || token[i] == '+')) {
            ++i;
        }
        long exponent = 0;
        for (; i < token.size() && is_digit(token[i]); ++i) {
            exponent = std::min(exponent * 10 + (token[i] - '0'), kExponentCeiling);
        }
        magnitude += negative ? -exponent : exponent;
    }
    return magnitude > 0;
}

}  // namespace

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::size_t skip_space(std::string_view text, std::size_t i) {
    while (i < text.size() && is_json_space(text[i])) {
        ++i;
    }
    return i;
}

// A failure reported at byte i (P = i + 1).
JsonReadError at_byte(std::string_view message, std::size_t i) {
    return {std::string(message), i + 1, i};
}

// A failure reported at the end of the text.
JsonReadError at_end(std::string_view message, std::string_view text) {
    return {std::string(message), text.size(), text.size()};
}

// The opening quote of the string that contains byte `inside`: inside a
// string every quote is escaped by an odd run of backslashes, and the opening
// quote follows structure or white space.
std::size_t opening_quote_before(std::string_view text, std::size_t inside) {
    std::size_t i = inside;
    while (i > 0) {
        --i;
        if (text[i] != '"') {
            continue;
        }
        std::size_t backslashes = 0;
        while (backslashes < i && text[i - 1 - backslashes] == '\\') {
            ++backslashes;
        }
        if (backslashes % 2 == 0) {
            return i;
        }
    }
    return 0;
}

namespace {

// Four hex digits at i: the code unit, or the failure (reported at the fourth
// digit whichever digit is bad, or at the end of the text).
[[nodiscard]] tl::expected<unsigned, JsonReadError> hex_escape_at(std::string_view text,
                                                                  std::size_t i) {
    if (text.size() - i < kHexEscapeDigits) {
        return tl::unexpected(at_end(kEofString, text));
    }
    unsigned unit = 0;
    for (std::size_t k = 0; k < kHexEscapeDigits; ++k) {
        const int v = encoding::hex_digit_value(text[i + k]);
        if (v < 0) {
            return tl::unexpected(at_byte(kInvalidEscape, i + kHexEscapeDigits - 1));
        }
        unit = unit * 16 + static_cast<unsigned>(v);
    }
    return unit;
}

// The escape whose letter stands at `i` (just after its backslash): the
// index after it, or its problem.
[[nodiscard]] tl::expected<std::size_t, JsonReadError> after_escape(std::string_view text,
                                                                    std::size_t i) {
    if (std::string_view("\"\\/bfnrt").find(text[i]) != std::string_view::npos) {
        return i + 1;
    }
    if (text[i] != 'u') {
        return tl::unexpected(at_byte(kInvalidEscape, i));
    }
    auto unit = hex_escape_at(text, i + 1);
    if (!unit) {
        return tl::unexpected(unit.error());
    }
    i += 1 + kHexEscapeDigits;
    if (*unit >= kLowSurrogateFirst && *unit <= kLowSurrogateLast) {
        return tl::unexpected(at_byte(kLoneSurrogate, i - 1));
    }
    if (*unit < kHighSurrogateFirst || *unit >= kLowSurrogateFirst) {
        return i;
    }
    // A high surrogate: a low one must follow as its own escape.
    for (const char expected : {'\\', 'u'}) {
        if (i >= text.size()) {
            return tl::unexpected(at_end(kEofString, text));
        }
        if (text[i] != expected) {
            return tl::unexpected(at_byte(kEndOfHexEscape, i));
        }
        ++i;
    }
    auto low = hex_escape_at(text, i);
    if (!low) {
        return tl::unexpected(low.error());
    }
    i += kHexEscapeDigits;
    if (*low < kLowSurrogateFirst || *low > kLowSurrogateLast) {
        return tl::unexpected(at_byte(kLoneSurrogate, i - 1));
    }
    return i;
}

}  // namespace

std::optional<JsonReadError> string_problem(std::string_view text, std::size_t quote) {
    std::size_t i = quote + 1;
    for (;;) {
        if (i >= text.size()) {
            return at_end(kEofString, text);
        }
        const char c = text[i];
        if (c == '"') {
            return std::nullopt;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            return at_byte(kControlCharacter, i);
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            const auto decoded = encoding::decode_utf8_at(text, i);
            if (!decoded) {
                return at_byte(kInvalidCodePoint, i);
            }
            i += decoded->length;
        } else if (c != '\\') {
            ++i;
        } else if (++i >= text.size()) {
            return at_end(kEofString, text);
        } else if (auto next = after_escape(text, i); next) {
            i = *next;
        } else {
            return next.error();
        }
    }
}

// The end of the number token that starts at `start` (JSON number grammar).
std::size_t number_end(std::string_view text, std::size_t start) {
    std::size_t i = start;
    const auto digits = [&] {
        while (i < text.size() && is_digit(text[i])) {
            ++i;
        }
    };
    if (i < text.size() && text[i] == '-') {
        ++i;
    }
    digits();
    if (i + 1 < text.size() && text[i] == '.' && is_digit(text[i + 1])) {
        ++i;
        digits();
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            ++j;
        }
        if (j < text.size() && is_digit(text[j])) {
            i = j;
            digits();
        }
    }
    return i;
}

std::size_t number_start(std::string_view text, std::size_t end) {
    std::size_t i = end;
    while (i > 0 && (is_digit(text[i - 1]) ||
                     std::string_view("+-.eE").find(text[i - 1]) != std::string_view::npos)) {
        --i;
    }
    return i;
}

// The double nearest to a number token; nullopt when it is too large for one.
// Too small a number is zero.
std::optional<double> decimal_value(std::string_view token) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec == std::errc() && ptr == token.data() + token.size()) {
        return value;
    }
    if (ec == std::errc::result_out_of_range && !too_large(token)) {
        return token[0] == '-' ? -0.0 : 0.0;
    }
    return std::nullopt;
}

bool after_leading_zero(std::string_view text, std::size_t i) {
    return i > 0 && i < text.size() && is_digit(text[i]) && text[i - 1] == '0';
}

}  // namespace zdz::json::syntax
