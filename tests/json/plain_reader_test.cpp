// The quick reader takes the plain JSON the program writes and gives up on
// everything else, broken JSON above all: whatever it takes, the strict
// reader must take too.

#include "json/plain_reader.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "json/reader.hpp"

using namespace zdz::json;

namespace {

// Walks any document of the subset and writes it back compactly, or "GAVE UP".
bool copy_value(PlainJsonReader& reader, std::string& out);

// Copies an object or an array between its brackets: `begin` reads the
// opening, `next` moves to the next member or item and writes what goes
// before its value (false at the end).
template <class Begin, class Next>
bool copy_container(PlainJsonReader& reader, std::string& out, char open, char close, Begin begin,
                    Next next) {
    if (!begin()) {
        return false;
    }
    out += open;
    for (bool first = true; next(first); first = false) {
        if (!copy_value(reader, out)) {
            return false;
        }
    }
    out += close;
    return reader.ok();
}

bool copy_object(PlainJsonReader& reader, std::string& out) {
    std::string_view name;
    return copy_container(
        reader, out, '{', '}', [&] { return reader.begin_object(); },
        [&](bool first) {
            if (!reader.next_member(name)) {
                return false;
            }
            out += (first ? "\"" : ",\"") + std::string(name) + "\":";
            return true;
        });
}

bool copy_array(PlainJsonReader& reader, std::string& out) {
    return copy_container(
        reader, out, '[', ']', [&] { return reader.begin_array(); },
        [&](bool first) {
            if (!reader.next_item()) {
                return false;
            }
            out += first ? "" : ",";
            return true;
        });
}

bool copy_value(PlainJsonReader& reader, std::string& out) {
    // What comes next decides which read is tried; a copy of the reader
    // looks ahead without giving up.
    PlainJsonReader probe = reader;
    if (probe.null()) {
        reader.null();
        out += "null";
        return true;
    }
    std::string_view text;
    std::uint64_t number = 0;
    if (PlainJsonReader(probe).string(text)) {
        reader.string(text);
        out += '"';
        out += text;
        out += '"';
        return true;
    }
    if (PlainJsonReader(probe).unsigned_integer(number)) {
        reader.unsigned_integer(number);
        out += std::to_string(number);
        return true;
    }
    if (PlainJsonReader(probe).begin_object()) {
        return copy_object(reader, out);
    }
    return copy_array(reader, out);
}

std::string quick_copy(std::string_view text) {
    PlainJsonReader reader(text);
    std::string out;
    if (!copy_value(reader, out) || !reader.at_end()) {
        return "GAVE UP";
    }
    return out;
}

}  // namespace

TEST(PlainJsonReader, TakesThePlainSubsetWithAnyLayout) {
    EXPECT_EQ(quick_copy(R"({"a": [1, 20, 0], "b": {"c": null, "d": "x y"}, "e": []})"),
              R"({"a":[1,20,0],"b":{"c":null,"d":"x y"},"e":[]})");
    EXPECT_EQ(quick_copy(" \t\r\n{ \"k\" :\n\"v\" } \n"), R"({"k":"v"})");
    EXPECT_EQ(quick_copy("[[],{},[{}]]"), "[[],{},[{}]]");
    EXPECT_EQ(quick_copy("[18446744073709551615]"), "[18446744073709551615]");
    // Raw UTF-8 and DEL need no escape.
    EXPECT_EQ(quick_copy("[\"caf\xC3\xA9 \x7F\"]"), "[\"caf\xC3\xA9 \x7F\"]");
}

TEST(PlainJsonReader, GivesUpOnBrokenJsonAndOnAnythingOutsideTheSubset) {
    const std::vector<std::string> broken = {"",
                                             "   ",
                                             "{",
                                             "[",
                                             "{\"a\":1",
                                             "[1",
                                             "{\"a\" 1}",
                                             "{\"a\":}",
                                             "{\"a\":1,}",
                                             "[1,]",
                                             "[,1]",
                                             "{,\"a\":1}",
                                             "[1 2]",
                                             "{\"a\":1 \"b\":2}",
                                             "{\"a\":1}}",
                                             "[1]x",
                                             "{} {}",
                                             "[01]",
                                             "[00]",
                                             "[1x]",
                                             "[\"a\" \"b\"]",
                                             "[\"unterminated]",
                                             "[\"tab\there\"]",
                                             "[\"\xC3\"]",
                                             "[\"\xED\xA0\x80\"]",
                                             "[\xEF\xBB\xBF]",
                                             "{1:2}",
                                             "[nul]",
                                             "[nullx]",
                                             "\xEF\xBB\xBF[1]"};
    // JSON, but not what the program writes: the strict reader decides.
    const std::vector<std::string> outside = {"[-1]",
                                              "[1.5]",
                                              "[1e3]",
                                              "[1E3]",
                                              "[true]",
                                              "[false]",
                                              "[\"a\\nb\"]",
                                              "[\"\\u0041\"]",
                                              "[-0]",
                                              "[0.0]",
                                              "[\"\\\\\"]",
                                              "[1.0e2]",
                                              "[18446744073709551616]"};
    for (const auto& [texts, json] : {std::pair{&broken, false}, std::pair{&outside, true}}) {
        for (const auto& text : *texts) {
            EXPECT_EQ(quick_copy(text), "GAVE UP") << text;
            EXPECT_EQ(read_json(text).has_value(), json)
                << (json ? "JSON: " : "not JSON: ") << text;
        }
    }
}

TEST(PlainJsonReader, RecordsTakeKnownMembersOnceAndAllRequiredOnes) {
    constexpr std::array<std::string_view, 3> kNames = {"a", "b", "c"};
    const auto scan = [&](std::string_view text) {
        PlainJsonReader reader(text);
        std::uint64_t values[3] = {};
        const bool read = scan_members(reader, kNames, 0b011, [&](std::size_t member) {
            return reader.unsigned_integer(values[member]);
        });
        return read && reader.at_end()
                   ? std::to_string(values[0]) + "," + std::to_string(values[1]) + "," +
                         std::to_string(values[2])
                   : std::string("GAVE UP");
    };
    EXPECT_EQ(scan(R"({"b": 2, "a": 1})"), "1,2,0");
    EXPECT_EQ(scan(R"({"c": 3, "a": 1, "b": 2})"), "1,2,3");
    EXPECT_EQ(scan(R"({"a": 1})"), "GAVE UP");                  // b is required
    EXPECT_EQ(scan(R"({"a": 1, "b": 2, "a": 1})"), "GAVE UP");  // repeated
    EXPECT_EQ(scan(R"({"a": 1, "b": 2, "d": 4})"), "GAVE UP");  // unknown
    EXPECT_EQ(scan(R"({"a": 1, "b": "2"})"), "GAVE UP");        // the member's read fails
    EXPECT_EQ(scan(R"([1, 2])"), "GAVE UP");

    PlainJsonReader reader(R"({"a": 70000, "b": 1})");
    std::uint16_t narrow = 0;
    EXPECT_FALSE(scan_members(reader, kNames, 0b011,
                              [&](std::size_t) { return scan_unsigned(reader, narrow); }));
}
