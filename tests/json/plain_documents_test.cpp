// Documents as the program writes them and their neighbours: any layout of
// the same values reads as the same values; every broken form is refused by
// the one reader, and JSON the program would not write is still JSON.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "json/canonical.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"

using namespace zdz::json;

namespace {

// The document's values without its layout.
std::string quick_copy(std::string_view text) {
    const auto tree = read_json(text);
    if (!tree) {
        return "REFUSED";
    }
    return canonical_json(*tree).value_or("NOT CANONICAL");
}

struct Abc {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::optional<std::uint64_t> c;
};
constexpr auto describe(Type<Abc>) {
    return record<Abc>("Abc", required("a", &Abc::a, u64), required("b", &Abc::b, u64),
                       optional("c", &Abc::c, u64));
}

// A value too large for its member is refused where it stands.
struct Narrow {
    std::uint16_t a = 0;
};
constexpr auto describe(Type<Narrow>) {
    return record<Narrow>("Narrow", required("a", &Narrow::a, u16));
}

// Two records that begin with the same members, held once in a base.
struct Head {
    std::uint64_t z = 0;
    std::uint64_t b = 0;
};
struct Tailed : Head {
    std::uint64_t a = 0;
    std::optional<std::uint64_t> y;
};
constexpr auto describe(Type<Tailed>) {
    return record<Tailed>("Tailed", required("z", &Head::z, u64), required("b", &Head::b, u64),
                          required("a", &Tailed::a, u64), optional("y", &Tailed::y, u64));
}

}  // namespace

TEST(PlainDocuments, ReadWithAnyLayout) {
    EXPECT_EQ(quick_copy(R"({"a": [1, 20, 0], "b": {"c": null, "d": "x y"}, "e": []})"),
              R"({"a":[1,20,0],"b":{"c":null,"d":"x y"},"e":[]})");
    EXPECT_EQ(quick_copy(" \t\r\n{ \"k\" :\n\"v\" } \n"), R"({"k":"v"})");
    EXPECT_EQ(quick_copy("[[],{},[{}]]"), "[[],{},[{}]]");
    EXPECT_EQ(quick_copy("[18446744073709551615]"), "[18446744073709551615]");
    // Raw UTF-8 and DEL need no escape.
    EXPECT_EQ(quick_copy("[\"caf\xC3\xA9 \x7F\"]"), "[\"caf\xC3\xA9 \x7F\"]");
}

TEST(PlainDocuments, BrokenJsonIsRefusedAndEveryOtherFormTaken) {
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
    // JSON, though not what the program writes.
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
            EXPECT_EQ(read_json(text).has_value(), json)
                << (json ? "JSON: " : "not JSON: ") << text;
        }
    }
}

TEST(PlainDocuments, RecordsTakeKnownMembersOnceAndAllRequiredOnes) {
    const auto read = [](std::string_view text) {
        const auto r = read_record<Abc>(text);
        return r ? std::to_string(r->a) + "," + std::to_string(r->b) + "," +
                       std::to_string(r->c.value_or(0))
                 : r.error().display();
    };
    EXPECT_EQ(read(R"({"b": 2, "a": 1})"), "1,2,0");
    EXPECT_EQ(read(R"({"c": 3, "a": 1, "b": 2})"), "1,2,3");
    EXPECT_EQ(read(R"({"a": 1})"), "missing field `b` at line 1 column 8");
    EXPECT_EQ(read(R"({"a": 1, "b": 2, "a": 1})"), "duplicate field `a` at line 1 column 20");
    EXPECT_EQ(read(R"({"a": 1, "b": 2, "d": 4})"),
              "unknown field `d`, expected one of `a`, `b`, `c` at line 1 column 20");
    EXPECT_EQ(read(R"({"a": 1, "b": "2"})"),
              "invalid type: string \"2\", expected u64 at line 1 column 17");
    EXPECT_EQ(read(R"([1, 2])"), "invalid type: sequence, expected struct Abc at line 1 column 0");
    EXPECT_EQ(read_record<Narrow>(R"({"a": 70000, "b": 1})").error().display(),
              "invalid value: integer `70000`, expected u16 at line 1 column 11");
}

TEST(PlainDocuments, ARecordBeginsWithTheMembersOfItsBaseInBothLayouts) {
    const Tailed record{{1, 2}, 3, 4};
    EXPECT_EQ(write_record_file(record), "{\n  \"z\": 1,\n  \"b\": 2,\n  \"a\": 3,\n  \"y\": 4\n}");
    EXPECT_EQ(canonical_record(record).value(), R"({"a":3,"b":2,"y":4,"z":1})");

    const auto read = read_record<Tailed>(R"({"a": 3, "z": 1, "y": 4, "b": 2})");
    ASSERT_TRUE(read) << read.error().display();
    EXPECT_EQ(write_record_file(*read), write_record_file(record));
    EXPECT_EQ(read_record<Tailed>(R"({"a": 3, "z": 1})").error().display(),
              "missing field `b` at line 1 column 16");
    EXPECT_EQ(read_record<Tailed>(R"({"z": 1, "b": 2, "a": 3, "x": 0})").error().display(),
              "unknown field `x`, expected one of `z`, `b`, `a`, `y` at line 1 column 28");
}
