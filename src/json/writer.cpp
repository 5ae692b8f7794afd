#include "json/writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "encoding/hex.hpp"
#include "encoding/text.hpp"
#include "json/canonical.hpp"

namespace zdz::json {
namespace {

constexpr std::size_t kIndent = 2;
constexpr double kPlainFloatLow = 1e-5;
constexpr double kPlainFloatHigh = 1e16;
constexpr std::size_t kFloatBuffer = 64;
constexpr std::string_view kRootPath = "<root>";
constexpr std::string_view kNotRepresentable = "value is not representable as JSON: ";
constexpr unsigned char kFirstNonAscii = 0x7F;

// Eight bytes at once: whether any of them needs an escape in the file and
// canonical layouts (a control character, '"' or '\\'). Exact for the word as
// a whole.
bool word_needs_escape(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    const auto has_zero_byte = [](std::uint64_t v) { return ((v - kOnes) & ~v & kHighBits) != 0; };
    const bool has_control = ((word - kOnes * 0x20) & ~word & kHighBits) != 0;
    return has_control || has_zero_byte(word ^ (kOnes * '"')) ||
           has_zero_byte(word ^ (kOnes * '\\'));
}

bool byte_needs_care(unsigned char byte, Layout layout) {
    return byte < 0x20 || byte == '"' || byte == '\\' ||
           (layout == Layout::Report && byte >= kFirstNonAscii);
}

// Where the first byte of `text` from `from` on that needs an escape (or, in
// the report layout, a look) stands; text.size() when none does.
std::size_t next_escape(std::string_view text, std::size_t from, Layout layout) {
    std::size_t i = from;
    if (layout != Layout::Report) {
        for (; i + sizeof(std::uint64_t) <= text.size(); i += sizeof(std::uint64_t)) {
            std::uint64_t word = 0;
            std::memcpy(&word, text.data() + i, sizeof word);
            if (word_needs_escape(word)) {
                break;
            }
        }
    }
    while (i < text.size() && !byte_needs_care(static_cast<unsigned char>(text[i]), layout)) {
        ++i;
    }
    return i;
}

void append_unicode_escape(std::string& out, char32_t code, const char* hex) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += hex[(code >> shift) & 0xF];
    }
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

void append_json_string(std::string& out, std::string_view text, Layout layout) {
    const char* hex =
        layout == Layout::Canonical ? encoding::kLowerHexDigits : encoding::kUpperHexDigits;
    out += '"';
    // Runs of bytes that need no escape are appended whole: a store's
    // canonical form is tens of megabytes of such text.
    std::size_t plain = 0;
    for (std::size_t i = next_escape(text, 0, layout); i < text.size();
         i = next_escape(text, i, layout)) {
        out.append(text.data() + plain, i - plain);
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        std::size_t length = 1;
        if (byte >= kFirstNonAscii) {
            // The report layout: a character is escaped or kept whole.
            const auto decoded = encoding::decode_utf8_at(text, i);
            length = decoded ? decoded->length : 1;
            if (decoded && encoding::is_terminal_unsafe(decoded->code_point)) {
                append_unicode_escape(out, decoded->code_point, hex);
            } else {
                out.append(text, i, length);
            }
        } else if (const auto at = std::string_view("\"\\\b\f\n\r\t").find(c);
                   at != std::string_view::npos) {
            out += '\\';
            out += "\"\\bfnrt"[at];
        } else {
            append_unicode_escape(out, byte, hex);
        }
        i += length;
        plain = i;
    }
    out.append(text.data() + plain, text.size() - plain);
    out += '"';
}

void JsonWriter::next_line(std::size_t depth) {
    if (layout_ == Layout::Canonical) {
        return;
    }
    out_ += '\n';
    out_.append(depth * kIndent, ' ');
}

void JsonWriter::before_value() {
    if (levels_.empty() || !levels_.back().array) {
        return;
    }
    auto& level = levels_.back();
    if (!level.empty) {
        out_ += ',';
        ++level.items;
    }
    level.empty = false;
    next_line(levels_.size());
}

void JsonWriter::open(char bracket, bool array) {
    before_value();
    out_ += bracket;
    levels_.push_back(Level{array, true, {}, 0});
}

void JsonWriter::close(char bracket) {
    const bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
        next_line(levels_.size());
    }
    out_ += bracket;
}

void JsonWriter::member(std::string_view name) {
    auto& level = levels_.back();
    if (!level.empty) {
        out_ += ',';
    }
    level.empty = false;
    next_line(levels_.size());
    if (layout_ == Layout::Canonical && !is_ascii(name)) {
        if (!encoding::is_valid_utf8(name)) {
            fault(not_representable(false));
        }
        level.name = name;
        append_json_string(out_, normalize_text(std::string(name)), layout_);
    } else {
        level.name = name;
        append_json_string(out_, name, layout_);
    }
    out_ += layout_ == Layout::Canonical ? ":" : ": ";
}

void JsonWriter::text(std::string_view text) {
    before_value();
    if (layout_ != Layout::Canonical || is_ascii(text)) {
        append_json_string(out_, text, layout_);
    } else if (encoding::is_valid_utf8(text)) {
        append_json_string(out_, normalize_text(std::string(text)), layout_);
    } else {
        // A text built in code can hold any bytes, which no JSON text can.
        fault(not_representable(true));
        out_ += "\"\"";
    }
}

void JsonWriter::number(std::uint64_t value) {
    before_value();
    char digits[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const auto written = std::to_chars(std::begin(digits), std::end(digits), value);
    out_.append(digits, written.ptr);
}

void JsonWriter::integer(std::int64_t value) {
    before_value();
    out_ += std::to_string(value);
}

void JsonWriter::boolean(bool value) {
    before_value();
    out_ += value ? "true" : "false";
}

void JsonWriter::null() {
    before_value();
    out_ += "null";
}

void JsonWriter::floating(double value) {
    before_value();
    if (layout_ == Layout::Canonical) {
        fault(contracts::ContractError::canonicalization(
            "floating-point number at " + path_text(true) +
            " cannot be canonicalised; use an integer or a decimal string in signed contracts"));
        out_ += '0';
        return;
    }
    // JSON has no infinities or NaN.
    out_ += std::isfinite(value) ? float_text(value) : "null";
}

void JsonWriter::fault(contracts::ContractError error) {
    if (!fault_) {
        fault_ = std::move(error);
    }
}

contracts::ContractError JsonWriter::not_representable(bool in_value) const {
    return contracts::ContractError::canonicalization(
        std::string(kNotRepresentable) + "invalid UTF-8 in a string at " + path_text(in_value));
}

std::string JsonWriter::path_text(bool in_value) const {
    // A member's name is placed at its object, its value below the name.
    const std::size_t depth = levels_.size() - (in_value || levels_.empty() ? 0 : 1);
    if (depth == 0) {
        return std::string(kRootPath);
    }
    std::string out;
    for (std::size_t i = 0; i < depth; ++i) {
        const auto& level = levels_[i];
        out += i == 0 ? "" : ".";
        if (level.array) {
            out += std::to_string(level.items);
        } else {
            out += level.name;
        }
    }
    return out;
}

tl::expected<void, contracts::ContractError> JsonWriter::result() const {
    if (fault_) {
        return tl::unexpected(*fault_);
    }
    return {};
}

bool write_members(JsonWriter& out, const std::vector<JsonMember>& members, bool sorted);

bool write_tree(JsonWriter& out, const JsonValue& value, bool sorted) {
    switch (value.kind()) {
        case JsonKind::Null:
            out.null();
            break;
        case JsonKind::Bool:
            out.boolean(value.as_bool());
            break;
        case JsonKind::Int:
            out.integer(value.as_int64());
            break;
        case JsonKind::Uint:
            out.number(value.as_uint64());
            break;
        case JsonKind::Double:
            out.floating(value.as_double());
            break;
        case JsonKind::String:
            out.text(value.as_string());
            break;
        case JsonKind::Array:
            out.begin_array();
            for (const auto& item : value.items()) {
                if (!write_tree(out, item, sorted)) {
                    return false;
                }
            }
            out.end_array();
            break;
        case JsonKind::Object:
            return write_members(out, value.members(), sorted);
    }
    return !out.fault_;
}

bool write_members(JsonWriter& out, const std::vector<JsonMember>& members, bool sorted) {
    const bool canonical = out.layout() == Layout::Canonical;
    // Each member's name as written, and the members in that name's order.
    std::vector<std::pair<std::string, std::size_t>> names;
    names.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        const auto& name = members[i].key;
        names.emplace_back(canonical && !is_ascii(name) ? normalize_text(name) : name, i);
    }
    auto order = names;
    const auto by_name = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::stable_sort(order.begin(), order.end(), by_name);
    out.begin_object();
    for (const auto& [name, index] : sorted ? order : names) {
        out.member(name);
        if (!write_tree(out, members[index].value, sorted)) {
            return false;
        }
    }
    out.end_object();
    const auto repeated =
        std::adjacent_find(order.begin(), order.end(),
                           [](const auto& a, const auto& b) { return a.first == b.first; });
    if (canonical && repeated != order.end()) {
        out.fault(contracts::ContractError::canonicalization(
            "duplicate object key " + encoding::quoted_form(repeated->first) +
            " after Unicode normalisation"));
    }
    return !out.fault_;
}

std::string to_pretty_json(const JsonValue& value, Layout layout) {
    std::string out;
    JsonWriter writer(out, layout == Layout::Canonical ? Layout::File : layout);
    (void)write_tree(writer, value, false);
    return out;
}

std::string float_text(double value) {
    if (value == 0.0) {
        return std::signbit(value) ? "-0.0" : "0.0";
    }
    if (!std::isfinite(value)) {
        return std::isnan(value) ? "NaN" : (value < 0 ? "-inf" : "inf");
    }
    // The shortest round-trip digits, split into sign, digits and exponent.
    char buffer[kFloatBuffer];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::abs(value),
                                      std::chars_format::scientific);
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const auto e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e)) {
        if (c != '.') {
            digits += c;
        }
    }
    int exponent = 0;
    const auto exp_text = sci.substr(e + 1);
    std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0),
                    exp_text.data() + exp_text.size(), exponent);

    std::string out = value < 0 ? "-" : "";
    const double magnitude = std::abs(value);
    if (magnitude >= kPlainFloatLow && magnitude < kPlainFloatHigh) {
        if (exponent >= 0) {
            const auto int_digits = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= int_digits) {
                out.append(digits).append(int_digits - digits.size(), '0').append(".0");
            } else {
                out.append(digits, 0, int_digits).append(".").append(digits, int_digits);
            }
        } else {
            out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
        }
        return out;
    }
    out.append(digits, 0, 1);
    if (digits.size() > 1) {
        out.append(".").append(digits, 1);
    }
    return out.append("e").append(std::to_string(exponent));
}

}  // namespace zdz::json
