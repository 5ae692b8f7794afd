#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "encoding/text.hpp"
#include "json/canonical.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"
#include "support/json_trees.hpp"

namespace {

using zdz::json::JsonKind;
using zdz::json::JsonMember;
using zdz::json::JsonValue;

constexpr int kMaxDepth = 6;
constexpr std::size_t kMaxItems = 5;
constexpr std::size_t kMaxPieces = 6;

// Pieces that strings and keys are made of, chosen to meet the writer's hard
// cases: combining marks that compose (so distinct keys can collide after
// normalisation), characters that need escapes, and bytes that are not UTF-8.
constexpr std::string_view kPieces[] = {
    "a",      "e",          "A",      "n",      "s",      "z",      "y",      "\u0301",
    "\u0300", "\u0303",     "\u0308", "\u030C", "\u00E1", "\u00F1", "\u0161", "\"",
    "\\",     "\n",         "\t",     "\x01",   "\x1f",   "\x7f",   "/",      " ",
    "\u2028", "\U0001F600", "key",    "0",      "\xC3",   "\xFF",
};

std::string make_text(FuzzedDataProvider& in) {
    std::string text;
    const auto pieces = in.ConsumeIntegralInRange<std::size_t>(0, kMaxPieces);
    for (std::size_t i = 0; i < pieces; ++i) {
        text += in.PickValueInArray(kPieces);
    }
    return text;
}

JsonValue make_value(FuzzedDataProvider& in, int depth) {
    const int last_kind = depth >= kMaxDepth ? 5 : 7;
    switch (in.ConsumeIntegralInRange<int>(0, last_kind)) {
        case 0:
            return JsonValue();
        case 1:
            return JsonValue::boolean(in.ConsumeBool());
        case 2:
            // As the reader makes them: Int only for negative numbers.
            return JsonValue::int64(-1 - in.ConsumeIntegralInRange<std::int64_t>(
                                             0, std::numeric_limits<std::int64_t>::max()));
        case 3:
            return JsonValue::uint64(in.ConsumeIntegral<std::uint64_t>());
        case 4:
            // Rarer than the others: any double makes the tree uncanonical.
            if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
                return JsonValue::floating(in.ConsumeFloatingPoint<double>());
            }
            return JsonValue::string(make_text(in));
        case 5:
            return JsonValue::string(make_text(in));
        case 6: {
            auto array = JsonValue::array();
            const auto n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxItems);
            for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
                array.push(make_value(in, depth + 1));
            }
            return array;
        }
        default: {
            auto object = JsonValue::object();
            const auto n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxItems);
            for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
                auto key = make_text(in);
                object.add(std::move(key), make_value(in, depth + 1));
            }
            return object;
        }
    }
}

struct Expectation {
    bool has_double = false;
    bool has_bad_text = false;
    bool has_normalised_duplicate = false;
    bool has_non_finite = false;

    bool canonical() const { return !has_double && !has_bad_text && !has_normalised_duplicate; }
};

// What canonical_json must make of a tree, worked out independently of its
// writer: refuse any double, any text that is not UTF-8 and any object with two
// keys equal after normalisation.
void expect(const JsonValue& value, Expectation& e) {
    switch (value.kind()) {
        case JsonKind::Double:
            e.has_double = true;
            e.has_non_finite = e.has_non_finite || !std::isfinite(value.as_double());
            break;
        case JsonKind::String:
            e.has_bad_text = e.has_bad_text || !zdz::encoding::is_valid_utf8(value.as_string());
            break;
        case JsonKind::Array:
            for (const auto& item : value.items()) {
                expect(item, e);
            }
            break;
        case JsonKind::Object: {
            std::set<std::string> keys;
            for (const auto& member : value.members()) {
                if (!zdz::encoding::is_valid_utf8(member.key)) {
                    e.has_bad_text = true;
                } else if (!keys.insert(zdz::json::normalize_text(member.key)).second) {
                    e.has_normalised_duplicate = true;
                }
                expect(member.value, e);
            }
            break;
        }
        default:
            break;
    }
}

// The same tree with every object's members in reverse order.
JsonValue reversed(const JsonValue& value) {
    auto reverse = [](std::vector<JsonMember>& members) {
        std::reverse(members.begin(), members.end());
    };
    return zdz::test::with_members_reordered(value, reverse);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto tree = make_value(in, 0);
    Expectation e;
    expect(tree, e);

    const auto canonical = zdz::json::canonical_json(tree);
    ZDZ_FUZZ_CHECK(canonical.has_value() == e.canonical());
    if (!canonical) {
        ZDZ_FUZZ_CHECK(!canonical.error().display().empty());
    } else {
        // A fixed point: the canonical text reads as a tree whose canonical form
        // is the same bytes, and member order never matters.
        const auto reread = zdz::json::read_json(*canonical);
        ZDZ_FUZZ_CHECK(reread.has_value());
        ZDZ_FUZZ_CHECK(zdz::json::canonical_json(*reread) == canonical);
        ZDZ_FUZZ_CHECK(zdz::json::canonical_json(reversed(tree)) == canonical);
    }

    // The file writer: a tree of valid text and finite numbers reads back as
    // itself.
    if (!e.has_bad_text && !e.has_non_finite) {
        const auto reread = zdz::json::read_json(zdz::json::to_pretty_json(tree));
        ZDZ_FUZZ_CHECK(reread.has_value());
        ZDZ_FUZZ_CHECK(*reread == tree);
    }
    return 0;
}
