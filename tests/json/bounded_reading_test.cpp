// What a hostile input can cost: JSON read under a record's shape stops at the
// first refusal and keeps no tree of sequence items, and messages quote file
// text escaped and cut short.

#include <gtest/gtest.h>

#include <string>

#include "contracts/content_hash.hpp"
#include "contracts/time.hpp"
#include "encoding/text.hpp"
#include "json/record.hpp"

using namespace zdz::encoding;
using namespace zdz::contracts;
using namespace zdz::json;

namespace {

enum class Kind { Install, OtaUpdate };

tl::expected<int, JsonReadError> read_pair(const JsonValue& v) {
    RecordReader r(v, "Pair", {"id", "count", "kind", "hashes"});
    r.required_string("id");
    r.required_u32("count");
    r.optional("kind",
               as_variant<Kind>({{"install", Kind::Install}, {"ota_update", Kind::OtaUpdate}}));
    r.optional("hashes", as_sequence(as_validated_text(ContentHash::parse)));
    if (auto done = r.finish(); !done) {
        return tl::unexpected(done.error());
    }
    return 0;
}

// The tree read under read_pair's shape.
JsonParse shaped_parse(std::string_view text) {
    static JsonShape shape;
    if (shape.kind == JsonShape::Kind::Any) {
        json_detail::learn_value(shape, read_pair, NullMeans::Error);
    }
    return parse_json_document(text, &shape);
}

std::string outcome(std::string_view text) {
    auto r = read_json_record(text, read_pair);
    return r ? "ok" : r.error().display();
}

std::string repeated(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

const std::string kHash = "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kPairNames = "one of `id`, `count`, `kind`, `hashes`";

}  // namespace

// A refusal ends the reading where it is met: what follows is never read, so
// a long hostile tail changes neither the message nor the tree.
TEST(ShapedJsonReading, StopsAtTheFirstRefusal) {
    struct Case {
        std::string prefix;
        std::string tail;  // repeated after the prefix
        std::string message;
    };
    const std::vector<Case> cases = {
        {"{\"id\":\"a\",\"u0\":0", ",\"u\":0",
         "unknown field `u0`, expected " + kPairNames + " at line 1 column 14"},
        {"{\"id\":\"a\",\"id\":\"b\"", ",\"id\":\"b\"", "duplicate field `id` at line 1 column 14"},
        {"{\"id\":[", "[],", "invalid type: sequence, expected a string at line 1 column 6"},
        {"{\"count\":{", "\"a\":[],", "invalid type: map, expected u32 at line 1 column 9"},
        {"{\"kind\":[", "[[]],", "expected value at line 1 column 9"},
        {"{\"hashes\":{", "\"a\":1,", "invalid type: map, expected a sequence at line 1 column 10"},
        {"{\"hashes\":[[", "[],", "invalid type: sequence, expected a string at line 1 column 11"},
        {"{\"count\":\"7\"", ",\"u\":0",
         "invalid type: string \"7\", expected u32 at line 1 column 12"},
        {"{\"hashes\":[\"" + kHash + "\",\"x\",", "[],",
         "validation failed: content hash must be 'algorithm:hex', got \"x\" at line 1 column 89"},
        {"[", "[],", "invalid type: sequence, expected struct Pair at line 1 column 0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(c.prefix), c.message) << c.prefix;
        const auto hostile = c.prefix + repeated(c.tail, 100000);
        EXPECT_EQ(outcome(hostile), c.message) << c.prefix;
        // Nothing after the refusal is in the tree.
        const auto parsed = shaped_parse(hostile);
        ASSERT_TRUE(parsed.root);
        const auto& members = parsed.root->members();
        for (const auto& member : members) {
            EXPECT_TRUE(member.value.items().size() <= 2 && member.value.members().empty())
                << c.prefix;
        }
        EXPECT_LE(members.size(), 2U) << c.prefix;
    }
}

// Items of a sequence leave the tree as they are converted; the record gets
// them all, in order, and an item refused among them is named at its place.
TEST(ShapedJsonReading, SequenceItemsLeaveTheTree) {
    const auto text = "{\"id\":\"a\",\"count\":1,\"hashes\":[" +
                      repeated("\"" + kHash + "\",", 999) + "\"" + kHash + "\"]}";
    const auto parsed = shaped_parse(text);
    ASSERT_TRUE(parsed.root);
    ASSERT_FALSE(parsed.error);
    const auto& list = parsed.root->members()[2].value;
    EXPECT_TRUE(list.items().empty());
    ASSERT_NE(list.converted_items(), nullptr);

    const auto read = [](const JsonValue& v) -> tl::expected<std::size_t, JsonReadError> {
        RecordReader r(v, "Pair", {"id", "count", "hashes"});
        r.required_string("id");
        r.required_u32("count");
        auto hashes = r.required("hashes", as_sequence(as_validated_text(ContentHash::parse)));
        if (auto done = r.finish(); !done) {
            return tl::unexpected(done.error());
        }
        return hashes->size();
    };
    EXPECT_EQ(read_json_record(text, read).value(), 1000U);
    // Cut short after converted items: the list is still the innermost
    // construct being read.
    EXPECT_EQ(outcome("{\"hashes\":[\"" + kHash + "\""),
              "EOF while parsing a list at line 1 column 84");
    EXPECT_EQ(outcome("{\"hashes\":[\"" + kHash + "\","),
              "EOF while parsing a value at line 1 column 85");
}

// File text in a message is escaped for the terminal and cut to 200
// characters with a visible ellipsis; printable text of ordinary length is
// shown as it always was.
TEST(JsonMessages, FileTextIsEscapedAndCapped) {
    EXPECT_EQ(
        outcome("{\"a\\u001b[31m\\u0007\":1}"),
        "unknown field `a\\u{1b}[31m\\u{7}`, expected " + kPairNames + " at line 1 column 20");
    EXPECT_EQ(outcome("{\"id\\u009b\":1}"),
              "unknown field `id\\u{9b}`, expected " + kPairNames + " at line 1 column 11");
    EXPECT_EQ(outcome("{\"kind\":\"\\u001b]0;x\\u0007\"}"),
              "unknown variant `\\u{1b}]0;x\\u{7}`, expected `install` or `ota_update` at line 1 "
              "column 26");

    const std::string big(10'000'000, 'a');
    const auto message = outcome("{\"count\":\"" + big + "\"}");
    EXPECT_EQ(message, "invalid type: string \"" + std::string(200, 'a') +
                           "\"\u2026, expected u32 at line 1 column 10000011");
    EXPECT_EQ(outcome("{\"" + big + "\":1}"), "unknown field `" + std::string(200, 'a') +
                                                  "\u2026`, expected " + kPairNames +
                                                  " at line 1 column 10000003");

    const auto timestamp = Timestamp::parse(big);
    ASSERT_FALSE(timestamp);
    EXPECT_LT(timestamp.error().display().size(), 400U);
    const auto hash = ContentHash::parse(big);
    ASSERT_FALSE(hash);
    EXPECT_EQ(hash.error().display(),
              "validation failed: content hash must be 'algorithm:hex', got \"" +
                  std::string(200, 'a') + "\"\u2026");
    EXPECT_EQ(ContentHash::parse("md\x1b[2J5:00").error().display(),
              "unknown or rejected algorithm: md\\u{1b}[2J5");
}

TEST(QuotedExcerpt, CutsWholeCharactersAndMarksTheCut) {
    EXPECT_EQ(quoted_excerpt("a\"b\\c", 200), quoted_form("a\"b\\c"));
    EXPECT_EQ(quoted_excerpt("abcdef", 6), "\"abcdef\"");
    EXPECT_EQ(quoted_excerpt("abcdef", 3), "\"abc\"\u2026");
    EXPECT_EQ(quoted_excerpt("\x1b\x1b\x1b", 2), "\"\\u{1b}\\u{1b}\"\u2026");
    EXPECT_EQ(quoted_excerpt("\u00e9\u00e9", 1), "\"\u00e9\"\u2026");
    EXPECT_EQ(quoted_excerpt("\xff\xfe z", 2), "\"\\x{ff}\\x{fe}\"\u2026");
}
