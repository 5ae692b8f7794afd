#include "json/writer.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "encoding/hex.hpp"

namespace zdz::json {
namespace {

constexpr std::size_t kPrettyIndent = 2;
constexpr double kPlainFloatLow = 1e-5;
constexpr double kPlainFloatHigh = 1e16;
constexpr std::size_t kFloatBuffer = 64;

// Eight bytes at once: whether any of them needs an escape in a JSON string
// (a control character, '"' or '\\'). Exact for the word as a whole.
bool word_needs_escape(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    const auto has_zero_byte = [](std::uint64_t v) { return ((v - kOnes) & ~v & kHighBits) != 0; };
    const bool has_control = ((word - kOnes * 0x20) & ~word & kHighBits) != 0;
    return has_control || has_zero_byte(word ^ (kOnes * '"')) ||
           has_zero_byte(word ^ (kOnes * '\\'));
}

// Where the first byte of `text` from `from` on that needs an escape stands;
// text.size() when none does.
std::size_t next_escape(std::string_view text, std::size_t from) {
    std::size_t i = from;
    for (; i + sizeof(std::uint64_t) <= text.size(); i += sizeof(std::uint64_t)) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, sizeof word);
        if (word_needs_escape(word)) {
            break;
        }
    }
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
            return i;
        }
    }
    return i;
}

}  // namespace

namespace {

// The file layout RapidJSON's PrettyWriter produces with a two-space indent,
// written here because that writer's internal stack trips the undefined
// behaviour sanitizer in this RapidJSON version.
class PrettyPrinter {
public:
    std::string out;

    void value(const JsonValue& v, std::size_t depth) {
        switch (v.kind()) {
            case JsonKind::Null:
                out += "null";
                break;
            case JsonKind::Bool:
                out += v.as_bool() ? "true" : "false";
                break;
            case JsonKind::Int:
                out += std::to_string(v.as_int64());
                break;
            case JsonKind::Uint:
                out += std::to_string(v.as_uint64());
                break;
            case JsonKind::Double:
                // JSON has no infinities or NaN.
                out += std::isfinite(v.as_double()) ? float_text(v.as_double()) : "null";
                break;
            case JsonKind::String:
                string(v.as_string());
                break;
            case JsonKind::Array:
                container('[', ']', v.items().size(), depth,
                          [&](std::size_t i) { value(v.items()[i], depth + 1); });
                break;
            case JsonKind::Object:
                container('{', '}', v.members().size(), depth, [&](std::size_t i) {
                    string(v.members()[i].key);
                    out += ": ";
                    value(v.members()[i].value, depth + 1);
                });
                break;
        }
    }

private:
    // `count` elements between `open` and `closing`, one a line, each written
    // by `element(i)`; an empty container stays on one line.
    template <class Element>
    void container(char open, char closing, std::size_t count, std::size_t depth,
                   const Element& element) {
        out += open;
        for (std::size_t i = 0; i < count; ++i) {
            out += i == 0 ? "" : ",";
            line(depth + 1);
            element(i);
        }
        close(closing, count == 0, depth);
    }

    void line(std::size_t depth) {
        out += '\n';
        out.append(depth * kPrettyIndent, ' ');
    }

    void close(char bracket, bool empty, std::size_t depth) {
        if (!empty) {
            line(depth);
        }
        out += bracket;
    }

    // Upper-case \u00XX, as files have always been written.
    void string(std::string_view text) { append_json_string(out, text, HexDigits::Upper); }
};

}  // namespace

void append_json_string(std::string& out, std::string_view text, HexDigits digits) {
    const char* hex =
        digits == HexDigits::Lower ? encoding::kLowerHexDigits : encoding::kUpperHexDigits;
    out += '"';
    // Runs of bytes that need no escape are appended whole: a store's
    // canonical form is tens of megabytes of such text.
    std::size_t plain = 0;
    for (std::size_t i = next_escape(text, 0); i < text.size(); i = next_escape(text, i + 1)) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        out.append(text.data() + plain, i - plain);
        plain = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0xF];
        }
    }
    out.append(text.data() + plain, text.size() - plain);
    out += '"';
}

std::string to_pretty_json(const JsonValue& value) {
    PrettyPrinter printer;
    printer.value(value, 0);
    return std::move(printer.out);
}

void PrettyBuilder::next_line(std::size_t depth) {
    out_ += '\n';
    out_.append(depth * kPrettyIndent, ' ');
}

void PrettyBuilder::before_value() {
    if (levels_.empty() || !levels_.back().array) {
        return;
    }
    if (!levels_.back().empty) {
        out_ += ',';
    }
    levels_.back().empty = false;
    next_line(levels_.size());
}

void PrettyBuilder::open(char bracket, bool array) {
    before_value();
    out_ += bracket;
    levels_.push_back(Level{array, true});
}

void PrettyBuilder::close(char bracket) {
    const bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
        next_line(levels_.size());
    }
    out_ += bracket;
}

void PrettyBuilder::member(std::string_view name) {
    if (!levels_.back().empty) {
        out_ += ',';
    }
    levels_.back().empty = false;
    next_line(levels_.size());
    append_json_string(out_, name, HexDigits::Upper);
    out_ += ": ";
}

void PrettyBuilder::text(std::string_view text) {
    before_value();
    append_json_string(out_, text, HexDigits::Upper);
}

void PrettyBuilder::number(std::uint64_t value) {
    before_value();
    char digits[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const auto written = std::to_chars(std::begin(digits), std::end(digits), value);
    out_.append(digits, written.ptr);
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
