#include "encoding/text.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

using zdz::encoding::quoted_form;

TEST(QuotedForm, ShortEscapesAndPlainText) {
    EXPECT_EQ(quoted_form("plain"), "\"plain\"");
    EXPECT_EQ(quoted_form(""), "\"\"");
    EXPECT_EQ(quoted_form("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(quoted_form("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(quoted_form("it's"), "\"it's\"");
    EXPECT_EQ(quoted_form("tab\there"), "\"tab\\there\"");
    EXPECT_EQ(quoted_form("cr\rlf\n"), "\"cr\\rlf\\n\"");
    EXPECT_EQ(quoted_form(std::string("nul\0x", 5)), "\"nul\\0x\"");
}

TEST(QuotedForm, InvisibleCharactersAsCodePoints) {
    EXPECT_EQ(quoted_form("\x01\x07\x08\x0b\x0c\x1b\x1f"),
              "\"\\u{1}\\u{7}\\u{8}\\u{b}\\u{c}\\u{1b}\\u{1f}\"");
    EXPECT_EQ(quoted_form("del\x7f"), "\"del\\u{7f}\"");
    EXPECT_EQ(quoted_form("\u0080\u0085\u009f"), "\"\\u{80}\\u{85}\\u{9f}\"");
    EXPECT_EQ(quoted_form("nbsp\u00a0x"), "\"nbsp\\u{a0}x\"");
    EXPECT_EQ(quoted_form("zw\u200bsp"), "\"zw\\u{200b}sp\"");
    EXPECT_EQ(quoted_form("\u2028\u2029"), "\"\\u{2028}\\u{2029}\"");
    EXPECT_EQ(quoted_form("e\u0301mid"), "\"e\\u{301}mid\"");
    EXPECT_EQ(quoted_form("x\ufe0f"), "\"x\\u{fe0f}\"");
    EXPECT_EQ(quoted_form("pua\ue000"), "\"pua\\u{e000}\"");
    EXPECT_EQ(quoted_form("unassigned\u0378"), "\"unassigned\\u{378}\"");
    EXPECT_EQ(quoted_form("\U0010ffff"), "\"\\u{10ffff}\"");
}

TEST(QuotedForm, PrintableNonAsciiAsItself) {
    EXPECT_EQ(quoted_form("\u00e9 caf\u00e9"), "\"\u00e9 caf\u00e9\"");
    EXPECT_EQ(quoted_form("\ufffd"), "\"\ufffd\"");
    EXPECT_EQ(quoted_form("emoji\U0001F600"), "\"emoji\U0001F600\"");
    EXPECT_EQ(quoted_form("\u0903"), "\"\u0903\"");
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
