#include "encoding/text.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string_view>
#include <vector>

using zdz::encoding::quoted_form;
using namespace std::string_view_literals;

namespace {

// A text and its quoted form.
struct Quoted {
    std::string_view text;
    std::string_view form;
};

void expect_quoted_forms(std::initializer_list<Quoted> cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(quoted_form(c.text), c.form);
    }
}

}  // namespace

TEST(QuotedForm, ShortEscapesAndPlainText) {
    expect_quoted_forms({
        {"plain", "\"plain\""},
        {"", "\"\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\b", "\"a\\\\b\""},
        {"it's", "\"it's\""},
        {"tab\there", "\"tab\\there\""},
        {"cr\rlf\n", "\"cr\\rlf\\n\""},
        {"nul\0x"sv, "\"nul\\0x\""},
    });
}

TEST(QuotedForm, InvisibleCharactersAsCodePoints) {
    expect_quoted_forms({
        {"\x01\x07\x08\x0b\x0c\x1b\x1f", "\"\\u{1}\\u{7}\\u{8}\\u{b}\\u{c}\\u{1b}\\u{1f}\""},
        {"del\x7f", "\"del\\u{7f}\""},
        {"\u0080\u0085\u009f", "\"\\u{80}\\u{85}\\u{9f}\""},
        {"nbsp\u00a0x", "\"nbsp\\u{a0}x\""},
        {"zw\u200bsp", "\"zw\\u{200b}sp\""},
        {"\u2028\u2029", "\"\\u{2028}\\u{2029}\""},
        {"e\u0301mid", "\"e\\u{301}mid\""},
        {"x\ufe0f", "\"x\\u{fe0f}\""},
        {"pua\ue000", "\"pua\\u{e000}\""},
        {"unassigned\u0378", "\"unassigned\\u{378}\""},
        {"\U0010ffff", "\"\\u{10ffff}\""},
    });
}

TEST(QuotedForm, PrintableNonAsciiAsItself) {
    expect_quoted_forms({
        {"\u00e9 caf\u00e9", "\"\u00e9 caf\u00e9\""},
        {"\ufffd", "\"\ufffd\""},
        {"emoji\U0001F600", "\"emoji\U0001F600\""},
        {"\u0903", "\"\u0903\""},
    });
}

TEST(UnicodeWhitespace, TrimsEveryWhiteSpaceCharacter) {
    using zdz::encoding::trim_unicode_whitespace;
    EXPECT_EQ(trim_unicode_whitespace(" \t\u00a0x y\u3000\u2029\r"), "x y");
    EXPECT_EQ(trim_unicode_whitespace("\u0085\u1680\u202f"), "");
    // U+200B is not white space.
    EXPECT_EQ(trim_unicode_whitespace("\u200bx"), "\u200bx");
}

TEST(Utf8, RejectsMalformedSequences) {
    using zdz::encoding::is_valid_utf8;
    EXPECT_TRUE(is_valid_utf8("caf\u00e9 \U0001F600"));
    EXPECT_FALSE(is_valid_utf8("\xc3"));
    EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));          // overlong
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
}

TEST(TerminalSafe, EscapesControlsOnlyAndCapsExcerpts) {
    using zdz::encoding::terminal_safe;
    using zdz::encoding::terminal_safe_excerpt;
    EXPECT_EQ(terminal_safe("ops@host \"q\" \\ caf\u00e9 \u00a0"),
              "ops@host \"q\" \\ caf\u00e9 \u00a0");
    EXPECT_EQ(terminal_safe(std::string("a\x1b[31m\x07\t\n\r\0z", 12)),
              "a\\u{1b}[31m\\u{7}\\t\\n\\r\\0z");
    EXPECT_EQ(terminal_safe("del\x7f c1\u0085\u009b"), "del\\u{7f} c1\\u{85}\\u{9b}");
    EXPECT_EQ(terminal_safe("bad\x9b\xff"), "bad\\x{9b}\\x{ff}");
    // Bidirectional controls and zero-width characters, and their neighbours
    // that show as themselves.
    EXPECT_EQ(terminal_safe("\u202a\u202e\u2066\u2069\u200b\u200f\u2060\ufeff"),
              "\\u{202a}\\u{202e}\\u{2066}\\u{2069}\\u{200b}\\u{200f}\\u{2060}\\u{feff}");
    EXPECT_EQ(terminal_safe("\u200a\u2010\u202f\u2061\u2070\ufefe"),
              "\u200a\u2010\u202f\u2061\u2070\ufefe");
    EXPECT_EQ(terminal_safe_excerpt("abcdef", 6), "abcdef");
    EXPECT_EQ(terminal_safe_excerpt("abcdef", 3), "abc\u2026");
    EXPECT_EQ(terminal_safe_excerpt("\x1b\x1b\x1b", 2), "\\u{1b}\\u{1b}\u2026");
    EXPECT_EQ(terminal_safe_excerpt("\u00e9\u00e9\u00e9", 1), "\u00e9\u2026");
}

// The reader that goes line by line splits exactly as split_lines does: a
// "\r" only before "\n", a last line without a terminator, no empty line
// after a final "\n".
TEST(LineReader, SplitsAsSplitLines) {
    for (const std::string_view text :
         {"", "\n", "a", "a\n", "a\r\nb", "a\r", "\r\n\r\n", "a\n\nb\n", "x\ry\n\r"}) {
        std::vector<std::string_view> read;
        zdz::encoding::LineReader reader(text);
        while (const auto line = reader.next()) {
            read.push_back(*line);
        }
        EXPECT_EQ(read, zdz::encoding::split_lines(text)) << text;
        EXPECT_FALSE(reader.next());
    }
    EXPECT_EQ(zdz::encoding::split_lines("a\r\nb\r"), (std::vector<std::string_view>{"a", "b\r"}));
}
