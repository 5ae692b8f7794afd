#include "json/canonical.hpp"

#include <algorithm>
#include <optional>
#include <string_view>

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
    // Faults are met in the tree's own order, so a first walk in that order
    // finds the first; the second writes the members sorted.
    std::string out;
    JsonWriter input_order(out, Layout::Canonical);
    if (!write_tree(input_order, value, false)) {
        return tl::unexpected(input_order.result().error());
    }
    out.clear();
    JsonWriter sorted(out, Layout::Canonical);
    (void)write_tree(sorted, value, true);
    return out;
}

}  // namespace zdz::json
