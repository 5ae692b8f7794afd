// What a hostile input can cost: a record's reading stops at the first
// refusal and keeps nothing but the typed record, and messages quote file
// text escaped and cut short.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "contracts/content_hash.hpp"
#include "contracts/time.hpp"
#include "encoding/text.hpp"
#include "json/fields.hpp"
#include "json/record.hpp"

using namespace zdz::encoding;
using namespace zdz::contracts;
using namespace zdz::json;

namespace {

enum class Kind { Install, OtaUpdate };

constexpr std::array<std::pair<std::string_view, Kind>, 2> kKinds{{
    {"install", Kind::Install},
    {"ota_update", Kind::OtaUpdate},
}};

struct Pair {
    std::string id;
    std::uint32_t count = 0;
    std::optional<Kind> kind;
    std::optional<std::vector<ContentHash>> hashes;
};
constexpr auto describe(Type<Pair>) {
    return record<Pair>("Pair", required("id", &Pair::id, plain_text),
                        required("count", &Pair::count, u32),
                        optional("kind", &Pair::kind, variant(kKinds)),
                        optional("hashes", &Pair::hashes, sequence(content_hash)));
}

std::string outcome(std::string_view text) {
    auto r = read_record<Pair>(text);
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
// a long hostile tail changes neither the message nor the cost.
TEST(RecordReading, StopsAtTheFirstRefusal) {
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
        // Nothing after the refusal is read: a thousand such documents take
        // less time than reading the tail once would.
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i) {
            EXPECT_EQ(outcome(hostile), c.message) << c.prefix;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.prefix;
    }
}

// The items of a sequence go straight into the record, all of them in
// order, and an item refused among them is named at its place.
TEST(RecordReading, SequenceItemsGoStraightIntoTheRecord) {
    std::string text = "{\"id\":\"a\",\"count\":1,\"hashes\":[";
    for (int i = 0; i < 1000; ++i) {
        text += (i == 0 ? "\"sha256:" : ",\"sha256:") + std::string(60, '0') +
                (i < 10    ? "000"
                 : i < 100 ? "00"
                           : "0") +
                std::to_string(i) + "\"";
    }
    text += "]}";
    const auto read = read_record<Pair>(text);
    ASSERT_TRUE(read) << read.error().display();
    ASSERT_EQ(read->hashes->size(), 1000U);
    EXPECT_EQ(read->hashes->back().to_string(), "sha256:" + std::string(61, '0') + "999");
    // Cut short after items read: the list is still the innermost construct
    // being read.
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

    const auto parsed_time = Timestamp::parse(big);
    ASSERT_FALSE(parsed_time);
    EXPECT_LT(parsed_time.error().display().size(), 400U);
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
