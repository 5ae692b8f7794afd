#include "json/record.hpp"

#include "encoding/text.hpp"

namespace zdz::json {
namespace {

constexpr std::string_view kStructPrefix = "struct ";
constexpr std::string_view kExpectedValue = "expected value";

// A name or text from the document as a message shows it.
std::string shown(std::string_view text) {
    return encoding::terminal_safe_excerpt(text, encoding::kMessageExcerptChars);
}

std::string backticked(std::string_view name) {
    std::string out = "`";
    return out.append(name).append("`");
}

// "expected `a`", "expected `a` or `b`", "expected one of `a`, `b`, `c`".
std::string expectation(std::span<const std::string_view> names, std::string_view none) {
    if (names.empty()) {
        return std::string(none);
    }
    if (names.size() == 1) {
        return "expected " + backticked(names[0]);
    }
    if (names.size() == 2) {
        return "expected " + backticked(names[0]) + " or " + backticked(names[1]);
    }
    std::string out = "expected one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        out += (i == 0 ? "" : ", ") + backticked(names[i]);
    }
    return out;
}

}  // namespace

std::string unexpected_text(const JsonCursor& in, Next next) {
    if (next == Next::Object) {
        return "map";
    }
    if (next == Next::Array) {
        return "sequence";
    }
    const auto& scalar = in.scalar();
    switch (scalar.kind) {
        case JsonKind::Null:
            return "null";
        case JsonKind::Bool:
            return scalar.boolean ? "boolean `true`" : "boolean `false`";
        case JsonKind::Int:
            return "integer `" + std::to_string(scalar.int64) + "`";
        case JsonKind::Uint:
            return "integer `" + std::to_string(scalar.uint64) + "`";
        case JsonKind::Double:
            return "floating point `" + float_text(scalar.floating) + "`";
        case JsonKind::String:
            return "string " +
                   encoding::quoted_excerpt(scalar.text, encoding::kMessageExcerptChars);
        default:
            return {};
    }
}

bool refuse_type(JsonCursor& in, Next next, std::string_view expected) {
    auto message =
        "invalid type: " + unexpected_text(in, next) + ", expected " + std::string(expected);
    // Nothing of an array or object has been read when its type is refused.
    const auto position = next == Next::Scalar ? in.scalar().end : in.value_begin();
    return in.refuse(std::move(message), position);
}

bool refuse_value(JsonCursor& in, std::string message) {
    return in.refuse(std::move(message), in.scalar().end);
}

bool refuse_settled(JsonCursor& in, std::string message) {
    return in.refuse(std::move(message), in.settled(in.scalar().end));
}

namespace json_detail {

// An enumeration is looked for as a string (or as a one-member object, a form
// the system does not accept): any other token is not a value of it at all.
bool refuse_variant(JsonCursor& in, Next next, std::span<const std::string_view> names) {
    if (next == Next::Object) {
        return refuse_type(in, next, "a string");
    }
    if (next == Next::Scalar && in.scalar().kind == JsonKind::String) {
        return refuse_value(in, "unknown variant `" + shown(in.scalar().text) + "`, " +
                                    expectation(names, "there are no variants"));
    }
    return in.refuse(std::string(kExpectedValue), in.value_begin() + 1);
}

bool refuse_unknown_member(JsonCursor& in, std::span<const std::string_view> names) {
    return in.refuse(
        "unknown field `" + shown(in.key()) + "`, " + expectation(names, "there are no fields"),
        in.key_position());
}

bool refuse_repeated_member(JsonCursor& in) {
    return in.refuse("duplicate field `" + shown(in.key()) + "`", in.key_position());
}

bool refuse_missing_member(JsonCursor& in, std::string_view name) {
    return in.refuse("missing field `" + std::string(name) + "`", in.closed_at());
}

std::string struct_text(std::string_view record_name) {
    return std::string(kStructPrefix) + std::string(record_name);
}

}  // namespace json_detail

}  // namespace zdz::json
