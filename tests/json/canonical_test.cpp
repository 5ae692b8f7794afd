#include "json/canonical.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/reader.hpp"
#include "json/record.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"
#include "support/json_trees.hpp"
#include "support/run.hpp"

using namespace zdz::contracts;
using namespace zdz::json;

namespace {

std::string canonical_text(const JsonValue& v) {
    auto r = canonical_json(v);
    return r ? *r : "ERROR " + r.error().display();
}

std::string canonical_of(std::string_view document) {
    auto v = read_json(document);
    return v ? canonical_text(*v) : "READ " + v.error().display();
}

struct Sample {
    std::string key;
    JsonValue value;
};

}  // namespace

TEST(CanonicalJson, LayoutEscapesAndOrder) {
    // A document and its canonical text.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{}", "{}"},
        {" [ ] ", "[]"},
        {"{\"b\": [1, -2, true, null], \"a\": {\"z\": \"\", \"B\": false}}",
         "{\"a\":{\"B\":false,\"z\":\"\"},\"b\":[1,-2,true,null]}"},
        // Keys sort by their bytes: upper case before lower case before non-ASCII.
        {"{\"\xC3\xA9\":1,\"a\":2,\"B\":3,\"aa\":4}", "{\"B\":3,\"a\":2,\"aa\":4,\"\xC3\xA9\":1}"},
        {"[\"\\b\\t\\n\\f\\r\\u000b\\u001f\\u0000\\\"\\\\\\/\\u007f\\u00e9\"]",
         "[\"\\b\\t\\n\\f\\r\\u000b\\u001f\\u0000\\\"\\\\/\x7F\xC3\xA9\"]"},
        {"[18446744073709551615,-9223372036854775808]",
         "[18446744073709551615,-9223372036854775808]"},
    };
    for (const auto& [document, canonical] : cases) {
        EXPECT_EQ(canonical_of(document), canonical) << document;
    }
}

TEST(CanonicalJson, RefusesFloatsWithTheirPath) {
    const std::string tail =
        " cannot be canonicalised; use an integer or a decimal string in signed contracts";
    EXPECT_EQ(canonical_of("1.5"),
              "ERROR canonical serialization failed: floating-point number at <root>" + tail);
    EXPECT_EQ(canonical_of("{\"items\":[1,2.0]}"),
              "ERROR canonical serialization failed: floating-point number at items.1" + tail);
    EXPECT_EQ(
        canonical_of("{\"a\":{\"e\xCC\x81\":[[0,1e2]]}}"),
        "ERROR canonical serialization failed: floating-point number at a.\xC3\xA9.0.1" + tail);
    // One past the largest unsigned 64-bit integer is read as a double.
    EXPECT_EQ(canonical_of("[18446744073709551616]"),
              "ERROR canonical serialization failed: floating-point number at 0" + tail);
    EXPECT_EQ(canonical_of("-0"),
              "ERROR canonical serialization failed: floating-point number at <root>" + tail);
}

TEST(CanonicalJson, DuplicateKeysAfterNormalisation) {
    EXPECT_EQ(canonical_of("{\"\xC3\xA9\":1,\"e\xCC\x81\":2}"),
              "ERROR canonical serialization failed: duplicate object key \"\xC3\xA9\" after "
              "Unicode normalisation");
    EXPECT_EQ(canonical_of("{\"a\\\"\":1,\"x\":2,\"a\\\"\":3}"),
              "ERROR canonical serialization failed: duplicate object key \"a\\\"\" after "
              "Unicode normalisation");
    // Values are canonicalised before keys are compared.
    EXPECT_EQ(canonical_of("{\"k\":1,\"k\":2,\"z\":0.5}"),
              "ERROR canonical serialization failed: floating-point number at z cannot be "
              "canonicalised; use an integer or a decimal string in signed contracts");
}

TEST(CanonicalJson, RefusesBytesNoJsonTextCanHold) {
    EXPECT_EQ(canonical_text(JsonValue::object({{"k", JsonValue::string("\xFF")}})),
              "ERROR canonical serialization failed: value is not representable as JSON: "
              "invalid UTF-8 in a string at k");
}

TEST(NormalizeText, ComposesExactlyTheTable) {
    constexpr std::pair<std::string_view, std::string_view> cases[] = {
        {"e\xCC\x81", "\xC3\xA9"},  // é
        {"A\xCC\x8A", "\xC3\x85"},  // Å
        {"o\xCC\x83", "\xC3\xB5"},  // õ
        {"y\xCC\x88", "\xC3\xBF"},  // ÿ
        {"Z\xCC\x8C"
         "z\xCC\x8C",
         "\xC5\xBD\xC5\xBE"},  // Žž
        {"caf"
         "e\xCC\x81"
         "!",
         "caf\xC3\xA9!"},
        // Upper-case Y takes only the acute accent; n + acute (ń) is not in
        // the table.
        {"Y\xCC\x88", "Y\xCC\x88"},
        {"n\xCC\x81", "n\xCC\x81"},
        {"E\xCC\x83", "E\xCC\x83"},
        // One mark per letter; the second stays.
        {"n\xCC\x83\xCC\x81", "\xC3\xB1\xCC\x81"},
        // Precomposed text, other scripts and lone marks pass through.
        {"\xC3\xA9\xCC\x81", "\xC3\xA9\xCC\x81"},
        {"\xCC\x81"
         "a",
         "\xCC\x81"
         "a"},
        {"\xE6\xBC\xA2\xF0\x9F\x98\x80", "\xE6\xBC\xA2\xF0\x9F\x98\x80"},
    };
    for (const auto& [text, normalized] : cases) {
        EXPECT_EQ(normalize_text(std::string(text)), normalized);
    }
}

TEST(NormalizeText, AsciiComesBackWithoutACopy) {
    std::string text(100, 'x');
    const char* buffer = text.data();
    const auto out = normalize_text(std::move(text));
    EXPECT_EQ(out.data(), buffer);
    EXPECT_EQ(out, std::string(100, 'x'));
}

TEST(CanonicalJson, MatchesJqSortedCompactOutput) {
    // jq writes sorted compact JSON with the same escapes for this content.
    const std::string document =
        "{\n  \"b\": [\"tab\\there\", \"\\u000b\", \"a/b\", \"q\\\"\\\\\"],\n"
        "  \"\xC3\xA9t\xC3\xA9\": {\"z\": null, \"Z\": -5, \"aa\": 7},\n  \"a\": true\n}";
    zdz::test::RunOptions options;
    options.stdin_data = document;
    auto jq = zdz::test::run_tool({"jq", "-cS", "."}, options);
    ASSERT_EQ(jq.status, 0) << jq.err;
    EXPECT_EQ(canonical_of(document) + "\n", jq.out);
}

namespace {

// Random trees without floating-point numbers or keys that normalisation
// could merge.
class TreeMaker {
public:
    explicit TreeMaker(std::uint32_t seed) : random_(seed) {}

    JsonValue value(int depth) {
        switch (pick(depth > 0 ? 7 : 5)) {
            case 0:
                return JsonValue();
            case 1:
                return JsonValue::boolean(pick(2) == 1);
            case 2:
                return JsonValue::int64(-1 - static_cast<std::int64_t>(random_() >> 1));
            case 3:
                return JsonValue::uint64(pick(4) == 0 ? UINT64_MAX : random_());
            case 4:
                return JsonValue::string(text(kValuePieces));
            case 5: {
                auto items = JsonValue::array();
                for (int i = pick(4); i > 0; --i) {
                    items.push(value(depth - 1));
                }
                return items;
            }
            default: {
                auto members = JsonValue::object();
                std::set<std::string> keys;
                for (int i = pick(5); i > 0; --i) {
                    auto key = text(kKeyPieces);
                    if (keys.insert(key).second) {
                        members.add(key, value(depth - 1));
                    }
                }
                return members;
            }
        }
    }

    // The same tree with every object's members in a random order.
    JsonValue shuffled(const JsonValue& v) {
        auto shuffle = [this](std::vector<JsonMember>& members) {
            std::shuffle(members.begin(), members.end(), random_);
        };
        return zdz::test::with_members_reordered(v, shuffle);
    }

private:
    static constexpr const char* kKeyPieces[] = {
        "a", "b", "B", "_", "id", "\xC3\xA9", "\xE6\xBC\xA2", "\xF0\x9F\x98\x80", "0", "~"};
    static constexpr const char* kValuePieces[] = {"a",
                                                   "Z",
                                                   " ",
                                                   "\"",
                                                   "\\",
                                                   "/",
                                                   "\x01",
                                                   "\x0b",
                                                   "\t",
                                                   "\n",
                                                   "\x7f",
                                                   "e\xCC\x81",
                                                   "\xC3\xA9",
                                                   "\xE2\x80\xA8",
                                                   "\xF0\x9F\x98\x80",
                                                   "n\xCC\x83\xCC\x81",
                                                   "Y\xCC\x88"};

    int pick(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }

    template <std::size_t N>
    std::string text(const char* const (&pieces)[N]) {
        std::string out;
        for (int i = pick(6); i > 0; --i) {
            out += pieces[static_cast<std::size_t>(pick(static_cast<int>(N)))];
        }
        return out;
    }

    std::mt19937 random_;
};

// Another layout of the same document: tabs for indentation, escaped slashes
// and an escaped é (both stand only inside strings).
std::string relaid(const std::string& pretty) {
    std::string out;
    bool line_start = true;
    for (std::size_t i = 0; i < pretty.size(); ++i) {
        const char c = pretty[i];
        if (line_start && c == ' ' && i + 1 < pretty.size() && pretty[i + 1] == ' ') {
            out += '\t';
            ++i;
            continue;
        }
        line_start = c == '\n';
        if (c == '/') {
            out += "\\/";
        } else if (c == '\xC3' && i + 1 < pretty.size() && pretty[i + 1] == '\xA9') {
            out += "\\u00E9";
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

TEST(CanonicalJson, SameBytesWhateverTheFileLayout) {
    TreeMaker maker(20260715);
    for (int round = 0; round < 300; ++round) {
        const auto tree = maker.value(4);
        const auto expected = canonical_json(tree);
        ASSERT_TRUE(expected) << expected.error().display();

        const auto shuffled = maker.shuffled(tree);
        const auto file = relaid(to_pretty_json(shuffled));
        const auto read = read_json(file);
        ASSERT_TRUE(read) << read.error().display() << "\n" << file;
        EXPECT_EQ(*read, shuffled) << file;
        EXPECT_EQ(canonical_text(*read), *expected) << file;
        // The canonical bytes are themselves a document with the same bytes.
        EXPECT_EQ(canonical_of(*expected), *expected);
    }
}

namespace {
struct Versioned {
    std::uint32_t version = 0;
    std::string name;
};
constexpr auto describe(Type<Versioned>) {
    return record<Versioned>("Versioned", required("version", &Versioned::version, u32),
                             required("name", &Versioned::name, plain_text));
}
}  // namespace

TEST(CanonicalBytes, ComesFromTheRecordsDescription) {
    const Versioned record{7, "e\xCC\x81"};
    EXPECT_EQ(canonical_record(record).value(), "{\"name\":\"\xC3\xA9\",\"version\":7}");
    EXPECT_EQ(write_record_file(record), "{\n  \"version\": 7,\n  \"name\": \"e\xCC\x81\"\n}");
    // A text no JSON document can hold is a fault of the canonical form.
    EXPECT_EQ(
        canonical_record(Versioned{1, "\xFF"}).error().display(),
        canonical_json(JsonValue::object({{"name", JsonValue::string("\xFF")}})).error().display());
}
