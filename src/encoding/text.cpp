#include "encoding/text.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "encoding/hex.hpp"

namespace zdz::encoding {
namespace {

struct Range {
    char32_t first;
    char32_t last;
};

constexpr Range kEscapedRanges[] = {
#include "encoding/escaped_ranges.inc"
};

bool is_escaped(char32_t c) {
    const auto* it = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), c,
                                      [](char32_t v, const Range& r) { return v < r.first; });
    return it != std::begin(kEscapedRanges) && c <= std::prev(it)->last;
}

void append_hex_escape(std::string& out, std::uint32_t value) {
    out += "\\u{";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const auto nibble = (value >> shift) & 0xFU;
        if (nibble != 0 || started || shift == 0) {
            out += kLowerHexDigits[nibble];
            started = true;
        }
    }
    out += '}';
}

void append_byte_escape(std::string& out, unsigned char byte) {
    out += "\\x{";
    out += kLowerHexDigits[byte >> 4];
    out += kLowerHexDigits[byte & 0xF];
    out += '}';
}

// Appends the short escape of the quoted form for TAB, LF, CR and NUL; false
// for any other character.
bool append_short_escape(std::string& out, char32_t c) {
    struct ShortEscape {
        char32_t character;
        std::string_view escape;
    };
    static constexpr ShortEscape kShortEscapes[] = {
        {U'\t', "\\t"}, {U'\n', "\\n"}, {U'\r', "\\r"}, {U'\0', "\\0"}};
    for (const auto& [character, escape] : kShortEscapes) {
        if (c == character) {
            out += escape;
            return true;
        }
    }
    return false;
}

}  // namespace

bool is_terminal_unsafe(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || c == 0x2060 || (c >= 0x2066 && c <= 0x2069) ||
           c == 0xFEFF;
}

std::optional<Utf8Char> decode_utf8_at(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) {
        return std::nullopt;
    }
    const auto b0 = static_cast<unsigned char>(text[pos]);
    if (b0 < 0x80) {
        return Utf8Char{b0, 1};
    }
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        cp = b0 & 0x1FU;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        cp = b0 & 0x0FU;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        cp = b0 & 0x07U;
        min = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - pos < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[pos + i]);
        if ((b & 0xC0) != 0x80) {
            return std::nullopt;
        }
        cp = (cp << 6) | (b & 0x3FU);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return std::nullopt;
    }
    return Utf8Char{cp, length};
}

bool is_valid_utf8(std::string_view text) {
    // Whole files pass through here (a store is tens of megabytes of ASCII):
    // eight bytes at a time while none has its top bit set.
    constexpr std::uint64_t kTopBits = 0x8080808080808080ULL;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text.size() - pos >= sizeof(std::uint64_t)) {
            std::uint64_t word = 0;
            std::memcpy(&word, text.data() + pos, sizeof word);
            if ((word & kTopBits) == 0) {
                pos += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const auto c = decode_utf8_at(text, pos);
        if (!c) {
            return false;
        }
        pos += c->length;
    }
    return true;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<std::string_view> LineReader::next() {
    if (start_ >= text_.size()) {
        return std::nullopt;
    }
    auto end = text_.find('\n', start_);
    const bool terminated = end != std::string_view::npos;
    if (!terminated) {
        end = text_.size();
    }
    auto line = text_.substr(start_, end - start_);
    if (terminated && !line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    start_ = end + 1;
    return line;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    LineReader reader(text);
    while (const auto line = reader.next()) {
        lines.push_back(*line);
    }
    return lines;
}

bool is_unicode_whitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto c = decode_utf8_at(text, begin);
        if (!c || !is_unicode_whitespace(c->code_point)) {
            break;
        }
        begin += c->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the first byte of the last character.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const auto c = decode_utf8_at(text, start);
        if (!c || start + c->length != end || !is_unicode_whitespace(c->code_point)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

namespace {

// Appends the first `max_chars` characters of `text`: a byte that is not
// valid UTF-8 as \x{NN} (counted as one character), each character through
// `append_character(code_point, bytes)`. Returns the offset reached.
template <class AppendCharacter>
std::size_t append_characters(std::string& out, std::string_view text, std::size_t max_chars,
                              AppendCharacter append_character) {
    std::size_t pos = 0;
    for (std::size_t shown = 0; pos < text.size() && shown < max_chars; ++shown) {
        const auto c = decode_utf8_at(text, pos);
        if (!c) {
            append_byte_escape(out, static_cast<unsigned char>(text[pos]));
            ++pos;
            continue;
        }
        append_character(c->code_point, text.substr(pos, c->length));
        pos += c->length;
    }
    return pos;
}

}  // namespace

std::string quoted_form(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    append_characters(out, text, std::string_view::npos, [&](char32_t cp, std::string_view bytes) {
        if (cp == U'"' || cp == U'\\') {
            out += '\\';
            out += static_cast<char>(cp);
            return;
        }
        if (append_short_escape(out, cp)) {
            return;
        }
        if (is_escaped(cp)) {
            append_hex_escape(out, static_cast<std::uint32_t>(cp));
        } else {
            out.append(bytes);
        }
    });
    out += '"';
    return out;
}

std::string quoted_excerpt(std::string_view text, std::size_t max_chars) {
    std::size_t pos = 0;
    for (std::size_t shown = 0; pos < text.size() && shown < max_chars; ++shown) {
        const auto c = decode_utf8_at(text, pos);
        pos += c ? c->length : 1;
    }
    auto out = quoted_form(text.substr(0, pos));
    if (pos < text.size()) {
        out += "\u2026";
    }
    return out;
}

namespace {

// Appends terminal_safe of the first `max_chars` characters of `text`; true
// when that was all of it.
bool append_terminal_safe_prefix(std::string& out, std::string_view text, std::size_t max_chars) {
    const bool printable_ascii =
        std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    if (printable_ascii && text.size() <= max_chars) {
        out += text;
        return true;
    }
    const std::size_t pos =
        append_characters(out, text, max_chars, [&](char32_t cp, std::string_view bytes) {
            if (!is_terminal_unsafe(cp)) {
                out.append(bytes);
            } else if (!append_short_escape(out, cp)) {
                append_hex_escape(out, static_cast<std::uint32_t>(cp));
            }
        });
    return pos == text.size();
}

}  // namespace

void append_terminal_safe(std::string& out, std::string_view text) {
    append_terminal_safe_prefix(out, text, std::string_view::npos);
}

std::string terminal_safe(std::string_view text) {
    std::string out;
    append_terminal_safe(out, text);
    return out;
}

std::string terminal_safe_excerpt(std::string_view text, std::size_t max_chars) {
    std::string out;
    if (!append_terminal_safe_prefix(out, text, max_chars)) {
        out += "\u2026";
    }
    return out;
}

}  // namespace zdz::encoding
