#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "json/writer.hpp"

namespace {

// The escaping rule one byte at a time, as the writer's comment states it.
std::string escaped_byte_by_byte(const std::string& text) {
    // Each byte with a short escape, and the letter that follows its backslash.
    constexpr std::string_view kNamed = "\"\\\b\f\n\r\t";
    constexpr std::string_view kLetters = "\"\\bfnrt";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (const auto at = kNamed.find(c); at != std::string_view::npos) {
            out += '\\';
            out += kLetters[at];
        } else if (byte < 0x20) {
            std::array<char, 7> escape{};
            std::snprintf(escape.data(), escape.size(), "\\u%04X", byte);
            out += escape.data();
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

}  // namespace

// The writer skips eight plain bytes at a time: every byte that needs an
// escape, and its neighbours that do not, at every offset in and across
// those words and in the tail after them.
TEST(JsonStringEscape, EveryByteAtEveryOffsetMatchesTheRule) {
    const std::string kBytes = {'\0',   '\x01', '\x1f', ' ',    '"',   '\\',   '\x7f',
                                '!',    '#',    '[',    '\\',   ']',   '\xc3', '\xa9',
                                '\x80', '\xff', '\x21', '\x5b', '\x5d'};
    for (std::size_t length = 0; length <= 19; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            for (const char c : kBytes) {
                std::string text(length, 'a');
                text[at] = c;
                text[length - 1 - at] = c == '"' ? '\\' : '"';
                std::string out;
                zdz::json::append_json_string(out, text, zdz::json::Layout::File);
                ASSERT_EQ(out, escaped_byte_by_byte(text))
                    << "length " << length << ", byte " << int(static_cast<unsigned char>(c))
                    << " at " << at;
            }
        }
    }
    std::string lower;
    zdz::json::append_json_string(lower, "\x1f-plain-text-\x0b", zdz::json::Layout::Canonical);
    EXPECT_EQ(lower, "\"\\u001f-plain-text-\\u000b\"");
}
