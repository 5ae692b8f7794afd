#include "contracts/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>

namespace zdz::contracts {
namespace {

constexpr std::size_t kPrettyIndent = 2;
constexpr double kPlainFloatLow = 1e-5;
constexpr double kPlainFloatHigh = 1e16;
constexpr std::size_t kFloatBuffer = 64;

}  // namespace

JsonValue JsonValue::boolean(bool value) {
    JsonValue v;
    v.kind_ = JsonKind::Bool;
    v.scalar_.b = value;
    return v;
}

JsonValue JsonValue::int64(std::int64_t value) {
    JsonValue v;
    v.kind_ = JsonKind::Int;
    v.scalar_.i = value;
    return v;
}

JsonValue JsonValue::uint64(std::uint64_t value) {
    JsonValue v;
    v.kind_ = JsonKind::Uint;
    v.scalar_.u = value;
    return v;
}

JsonValue JsonValue::floating(double value) {
    JsonValue v;
    v.kind_ = JsonKind::Double;
    v.scalar_.d = value;
    return v;
}

JsonValue JsonValue::string(std::string value) {
    JsonValue v;
    v.kind_ = JsonKind::String;
    v.data_ = std::move(value);
    return v;
}

JsonValue JsonValue::array() {
    return array(std::vector<JsonValue>());
}

JsonValue JsonValue::object() {
    return object(std::vector<JsonMember>());
}

JsonValue JsonValue::array(std::vector<JsonValue> items) {
    JsonValue v;
    v.kind_ = JsonKind::Array;
    v.data_ = std::move(items);
    return v;
}

JsonValue JsonValue::object(std::vector<JsonMember> members) {
    JsonValue v;
    v.kind_ = JsonKind::Object;
    v.data_ = std::move(members);
    return v;
}

const std::string& JsonValue::as_string() const {
    static const std::string empty;
    const auto* text = std::get_if<std::string>(&data_);
    return text != nullptr ? *text : empty;
}

const std::vector<JsonValue>& JsonValue::items() const {
    static const std::vector<JsonValue> empty;
    const auto* items = std::get_if<std::vector<JsonValue>>(&data_);
    return items != nullptr ? *items : empty;
}

const std::vector<JsonMember>& JsonValue::members() const {
    static const std::vector<JsonMember> empty;
    const auto* members = std::get_if<std::vector<JsonMember>>(&data_);
    return members != nullptr ? *members : empty;
}

std::vector<JsonValue>& JsonValue::mutable_items() {
    if (!std::holds_alternative<std::vector<JsonValue>>(data_)) {
        data_ = std::vector<JsonValue>();
    }
    return std::get<std::vector<JsonValue>>(data_);
}

std::vector<JsonMember>& JsonValue::mutable_members() {
    if (!std::holds_alternative<std::vector<JsonMember>>(data_)) {
        data_ = std::vector<JsonMember>();
    }
    return std::get<std::vector<JsonMember>>(data_);
}

JsonValue& JsonValue::push(JsonValue item) {
    mutable_items().push_back(std::move(item));
    return *this;
}

JsonValue& JsonValue::add(std::string key, JsonValue value) {
    mutable_members().emplace_back(std::move(key), std::move(value));
    return *this;
}

bool operator==(const JsonValue& a, const JsonValue& b) {
    if (a.kind_ != b.kind_) {
        return false;
    }
    switch (a.kind_) {
        case JsonKind::Null:
            return true;
        case JsonKind::Bool:
            return a.scalar_.b == b.scalar_.b;
        case JsonKind::Int:
            return a.scalar_.i == b.scalar_.i;
        case JsonKind::Uint:
            return a.scalar_.u == b.scalar_.u;
        case JsonKind::Double:
            // Bitwise, so that -0.0 and 0.0 stay apart as they do in the text.
            return std::signbit(a.scalar_.d) == std::signbit(b.scalar_.d) &&
                   a.scalar_.d == b.scalar_.d;
        case JsonKind::String:
            return a.as_string() == b.as_string();
        case JsonKind::Array:
            return a.items() == b.items();
        case JsonKind::Object:
            return a.members() == b.members();
    }
    return false;
}

JsonReadError JsonReadError::incomplete() {
    return {{}, 0, std::numeric_limits<std::size_t>::max()};
}

bool JsonReadError::is_incomplete() const {
    return detected_at == std::numeric_limits<std::size_t>::max();
}

std::string describe_json_error(std::string_view text, const JsonReadError& error) {
    const std::size_t position = std::min(error.position, text.size());
    const auto before = text.substr(0, position);
    const auto line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const auto last_lf = before.rfind('\n');
    const std::size_t column =
        last_lf == std::string_view::npos ? position : position - last_lf - 1;
    return error.message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

JsonReadError unfinished_read() {
    return {"EOF while parsing a value", 0, 0};
}

std::string out_of_memory_message() {
    return "not enough memory to read the document";
}

tl::expected<JsonValue, std::string> read_json(std::string_view text) {
    try {
        auto parsed = parse_json_document(text);
        if (parsed.error) {
            return tl::unexpected(describe_json_error(text, *parsed.error));
        }
        return std::move(*parsed.root);
    } catch (const std::bad_alloc&) {
        return tl::unexpected(out_of_memory_message());
    }
}

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
                out += '[';
                for (std::size_t i = 0; i < v.items().size(); ++i) {
                    out += i == 0 ? "" : ",";
                    line(depth + 1);
                    value(v.items()[i], depth + 1);
                }
                close(']', v.items().empty(), depth);
                break;
            case JsonKind::Object:
                out += '{';
                for (std::size_t i = 0; i < v.members().size(); ++i) {
                    out += i == 0 ? "" : ",";
                    line(depth + 1);
                    string(v.members()[i].key);
                    out += ": ";
                    value(v.members()[i].value, depth + 1);
                }
                close('}', v.members().empty(), depth);
                break;
        }
    }

private:
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
    const char* hex = digits == HexDigits::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
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
                if (byte < 0x20) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

std::string to_pretty_json(const JsonValue& value) {
    PrettyPrinter printer;
    printer.value(value, 0);
    return std::move(printer.out);
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

}  // namespace zdz::contracts
