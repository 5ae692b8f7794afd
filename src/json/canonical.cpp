#include "json/canonical.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/text.hpp"
#include "json/writer.hpp"

namespace zdz::json {
namespace {

// A base letter, the marks it composes with and the precomposed character of
// the first of them; the others follow in order.
struct CompositionRow {
    char32_t base;
    std::u32string_view marks;
    char32_t first;
};

constexpr std::u32string_view kAMarks = U"\u0300\u0301\u0302\u0303\u0308\u030A";
constexpr std::u32string_view kEIUMarks = U"\u0300\u0301\u0302\u0308";
constexpr std::u32string_view kOMarks = U"\u0300\u0301\u0302\u0303\u0308";
constexpr std::u32string_view kTilde = U"\u0303";
constexpr std::u32string_view kAcute = U"\u0301";
constexpr std::u32string_view kDiaeresis = U"\u0308";
constexpr std::u32string_view kCaron = U"\u030C";

constexpr CompositionRow kCompositions[] = {
    {U'A', kAMarks, 0xC0},   {U'a', kAMarks, 0xE0},   {U'E', kEIUMarks, 0xC8},
    {U'e', kEIUMarks, 0xE8}, {U'I', kEIUMarks, 0xCC}, {U'i', kEIUMarks, 0xEC},
    {U'U', kEIUMarks, 0xD9}, {U'u', kEIUMarks, 0xF9}, {U'O', kOMarks, 0xD2},
    {U'o', kOMarks, 0xF2},   {U'N', kTilde, 0xD1},    {U'n', kTilde, 0xF1},
    {U'Y', kAcute, 0xDD},    {U'y', kAcute, 0xFD},    {U'y', kDiaeresis, 0xFF},
    {U'C', kCaron, 0x10C},   {U'c', kCaron, 0x10D},   {U'S', kCaron, 0x160},
    {U's', kCaron, 0x161},   {U'Z', kCaron, 0x17D},   {U'z', kCaron, 0x17E},
};

std::optional<char32_t> compose(char32_t base, char32_t mark) {
    for (const auto& row : kCompositions) {
        if (row.base != base) {
            continue;
        }
        const auto index = row.marks.find(mark);
        if (index != std::u32string_view::npos) {
            return static_cast<char32_t>(row.first + index);
        }
    }
    return std::nullopt;
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A tree in canonical form. Faults are met in the tree's own order (the
// canonical walk of an object checks its member values in input order, then
// its keys for repeats), so the walk runs twice: once in input order to find
// the first fault, once with the members sorted to write the bytes.
class TreeWriter {
public:
    TreeWriter(std::string& out, bool sorted) : out_(out, Layout::Canonical), sorted_(sorted) {}

    // False once a fault was met: nothing more is written.
    bool write(const JsonValue& value) {
        switch (value.kind()) {
            case JsonKind::Array:
                out_.begin_array();
                for (const auto& item : value.items()) {
                    if (!write(item)) {
                        return false;
                    }
                }
                out_.end_array();
                break;
            case JsonKind::Object:
                return write_object(value);
            default:
                write_scalar(value);
        }
        return static_cast<bool>(out_.result());
    }

    tl::expected<void, contracts::ContractError> result() const {
        if (repeated_) {
            return tl::unexpected(*repeated_);
        }
        return out_.result();
    }

private:
    void write_scalar(const JsonValue& value) {
        switch (value.kind()) {
            case JsonKind::Bool:
                out_.boolean(value.as_bool());
                break;
            case JsonKind::Int:
                out_.integer(value.as_int64());
                break;
            case JsonKind::Uint:
                out_.number(value.as_uint64());
                break;
            case JsonKind::Double:
                out_.floating(value.as_double());
                break;
            case JsonKind::String:
                out_.text(value.as_string());
                break;
            default:
                out_.null();
        }
    }

    bool write_object(const JsonValue& value) {
        const auto& members = value.members();
        std::vector<std::pair<std::string, std::size_t>> keys;
        keys.reserve(members.size());
        for (std::size_t i = 0; i < members.size(); ++i) {
            const auto& key = members[i].key;
            keys.emplace_back(is_ascii(key) ? key : normalize_text(key), i);
        }
        const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
        std::vector<std::pair<std::string, std::size_t>> order = keys;
        std::stable_sort(order.begin(), order.end(), by_key);
        out_.begin_object();
        for (const auto& [key, index] : sorted_ ? order : keys) {
            out_.member(key);
            if (!write(members[index].value)) {
                return false;
            }
        }
        out_.end_object();
        const auto repeated =
            std::adjacent_find(order.begin(), order.end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; });
        if (repeated != order.end()) {
            repeated_ = contracts::ContractError::canonicalization(
                "duplicate object key " + encoding::quoted_form(repeated->first) +
                " after Unicode normalisation");
            return false;
        }
        return true;
    }

    JsonWriter out_;
    bool sorted_;
    std::optional<contracts::ContractError> repeated_;
};

}  // namespace

std::string normalize_text(std::string text) {
    if (is_ascii(text)) {
        return text;
    }
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto current = encoding::decode_utf8_at(text, i);
        if (!current) {
            out += text[i++];
            continue;
        }
        const auto next = encoding::decode_utf8_at(text, i + current->length);
        if (next) {
            if (const auto composed = compose(current->code_point, next->code_point)) {
                encoding::append_utf8(out, *composed);
                i += current->length + next->length;
                continue;
            }
        }
        out.append(text, i, current->length);
        i += current->length;
    }
    return out;
}

tl::expected<std::string, contracts::ContractError> canonical_json(const JsonValue& value) {
    std::string out;
    TreeWriter input_order(out, false);
    if (!input_order.write(value)) {
        return tl::unexpected(input_order.result().error());
    }
    out.clear();
    TreeWriter(out, true).write(value);
    return out;
}

}  // namespace zdz::json
