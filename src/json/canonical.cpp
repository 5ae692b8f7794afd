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

constexpr std::string_view kRootPath = "<root>";
constexpr std::string_view kPathSeparator = ".";
constexpr std::string_view kNotRepresentable = "value is not representable as JSON: ";

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

void append_escaped(std::string& out, std::string_view text) {
    append_json_string(out, text, HexDigits::Lower);
}

// Sorts an object's members by their keys in byte order, keeping the order
// of equal keys, and returns the first of two equal neighbours (end() when
// every key is distinct): canonical form has no repeated key.
template <class Members, class KeyOf>
auto sort_by_key(Members& members, KeyOf key_of) {
    std::stable_sort(members.begin(), members.end(),
                     [&](const auto& a, const auto& b) { return key_of(a) < key_of(b); });
    return std::adjacent_find(members.begin(), members.end(),
                              [&](const auto& a, const auto& b) { return key_of(a) == key_of(b); });
}

// {"key":value,...} in the members' order, each value written by
// `write_value`; false at its first failure.
template <class Members, class KeyOf, class WriteValue>
bool write_members(std::string& out, const Members& members, KeyOf key_of, WriteValue write_value) {
    out += '{';
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        append_escaped(out, key_of(members[i]));
        out += ':';
        if (!write_value(members[i])) {
            return false;
        }
    }
    out += '}';
    return true;
}

class CanonicalWriter {
public:
    tl::expected<void, contracts::ContractError> write(const JsonValue& value, std::string& out) {
        switch (value.kind()) {
            case JsonKind::Null:
                out += "null";
                return {};
            case JsonKind::Bool:
                out += value.as_bool() ? "true" : "false";
                return {};
            case JsonKind::Int:
                out += std::to_string(value.as_int64());
                return {};
            case JsonKind::Uint:
                out += std::to_string(value.as_uint64());
                return {};
            case JsonKind::Double:
                return tl::unexpected(contracts::ContractError::canonicalization(
                    "floating-point number at " + path_text() +
                    " cannot be canonicalised; use an integer or a decimal string in signed "
                    "contracts"));
            case JsonKind::String: {
                auto text = normalized(value.as_string());
                if (!text) {
                    return tl::unexpected(text.error());
                }
                append_escaped(out, *text);
                return {};
            }
            case JsonKind::Array:
                return write_array(value, out);
            case JsonKind::Object:
                return write_object(value, out);
        }
        return {};
    }

private:
    tl::expected<void, contracts::ContractError> write_array(const JsonValue& value,
                                                             std::string& out) {
        out += '[';
        for (std::size_t i = 0; i < value.items().size(); ++i) {
            if (i > 0) {
                out += ',';
            }
            path_.push_back(std::to_string(i));
            auto written = write(value.items()[i], out);
            path_.pop_back();
            if (!written) {
                return written;
            }
        }
        out += ']';
        return {};
    }

    tl::expected<void, contracts::ContractError> write_object(const JsonValue& value,
                                                              std::string& out) {
        // Values are canonicalised in the input's order, so the first failure
        // in that order is reported; keys are compared afterwards.
        std::vector<std::pair<std::string, std::string>> members;
        members.reserve(value.members().size());
        for (const auto& member : value.members()) {
            auto key = normalized(member.key);
            if (!key) {
                return tl::unexpected(key.error());
            }
            std::string bytes;
            path_.push_back(*key);
            auto written = write(member.value, bytes);
            path_.pop_back();
            if (!written) {
                return written;
            }
            members.emplace_back(std::move(*key), std::move(bytes));
        }
        const auto key_of = [](const auto& member) -> const std::string& { return member.first; };
        const auto repeated = sort_by_key(members, key_of);
        if (repeated != members.end()) {
            return tl::unexpected(contracts::ContractError::canonicalization(
                "duplicate object key " + encoding::quoted_form(repeated->first) +
                " after Unicode normalisation"));
        }
        write_members(out, members, key_of, [&](const auto& member) {
            out += member.second;
            return true;
        });
        return {};
    }

    // A tree built in code can hold arbitrary bytes, which no JSON text can.
    tl::expected<std::string, contracts::ContractError> normalized(const std::string& text) const {
        if (!encoding::is_valid_utf8(text)) {
            return tl::unexpected(contracts::ContractError::canonicalization(
                std::string(kNotRepresentable) + "invalid UTF-8 in a string at " + path_text()));
        }
        return normalize_text(text);
    }

    std::string path_text() const {
        if (path_.empty()) {
            return std::string(kRootPath);
        }
        std::string out;
        for (std::size_t i = 0; i < path_.size(); ++i) {
            out += (i == 0 ? "" : std::string(kPathSeparator)) + path_[i];
        }
        return out;
    }

    std::vector<std::string> path_;
};

// The common case, written straight into `out` without the per-member
// buffers and paths that exact error reporting needs. Returns false on
// anything that would be an error (a float, invalid UTF-8, keys equal after
// normalisation); CanonicalWriter then runs from the start to report the
// failure a reader in input order meets first.
class FastCanonicalWriter {
public:
    bool write(const JsonValue& value, std::string& out) {
        switch (value.kind()) {
            case JsonKind::Null:
                out += "null";
                return true;
            case JsonKind::Bool:
                out += value.as_bool() ? "true" : "false";
                return true;
            case JsonKind::Int:
                out += std::to_string(value.as_int64());
                return true;
            case JsonKind::Uint:
                out += std::to_string(value.as_uint64());
                return true;
            case JsonKind::Double:
                return false;
            case JsonKind::String:
                return write_string(value.as_string(), out);
            case JsonKind::Array:
                out += '[';
                for (std::size_t i = 0; i < value.items().size(); ++i) {
                    if (i > 0) {
                        out += ',';
                    }
                    if (!write(value.items()[i], out)) {
                        return false;
                    }
                }
                out += ']';
                return true;
            case JsonKind::Object:
                return write_object(value, out);
        }
        return false;
    }

private:
    struct Key {
        std::string_view text;
        std::size_t index;
    };

    static bool write_string(const std::string& text, std::string& out) {
        if (is_ascii(text)) {
            append_escaped(out, text);
            return true;
        }
        if (!encoding::is_valid_utf8(text)) {
            return false;
        }
        append_escaped(out, normalize_text(text));
        return true;
    }

    bool write_object(const JsonValue& value, std::string& out) {
        const auto& members = value.members();
        std::vector<std::string> normalized_keys;  // only for non-ASCII keys
        normalized_keys.reserve(members.size());
        std::vector<Key> keys;
        keys.reserve(members.size());
        for (std::size_t i = 0; i < members.size(); ++i) {
            const auto& key = members[i].key;
            if (is_ascii(key)) {
                keys.push_back({key, i});
            } else if (encoding::is_valid_utf8(key)) {
                normalized_keys.push_back(normalize_text(key));
                keys.push_back({normalized_keys.back(), i});
            } else {
                return false;
            }
        }
        const auto key_of = [](const Key& key) { return key.text; };
        if (sort_by_key(keys, key_of) != keys.end()) {
            return false;
        }
        return write_members(out, keys, key_of,
                             [&](const Key& key) { return write(members[key.index].value, out); });
    }
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

void CanonicalBuilder::member(std::string_view name) {
    separate();
    append_escaped(out_, name);
    out_ += ':';
}

void CanonicalBuilder::text(std::string_view text) {
    separate();
    if (is_ascii(text)) {
        append_escaped(out_, text);
    } else if (encoding::is_valid_utf8(text)) {
        append_escaped(out_, normalize_text(std::string(text)));
    } else {
        ok_ = false;
    }
}

void CanonicalBuilder::number(std::uint64_t value) {
    separate();
    char digits[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const auto written = std::to_chars(std::begin(digits), std::end(digits), value);
    out_.append(digits, written.ptr);
}

tl::expected<std::string, contracts::ContractError> canonical_json(const JsonValue& value) {
    std::string out;
    if (FastCanonicalWriter().write(value, out)) {
        return out;
    }
    out.clear();
    CanonicalWriter writer;
    auto written = writer.write(value, out);
    if (!written) {
        return tl::unexpected(written.error());
    }
    return out;
}

}  // namespace zdz::json
