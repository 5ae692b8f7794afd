#include "json/record.hpp"

#include <algorithm>
#include <limits>

#include "encoding/text.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace zdz::json {
namespace {

constexpr std::string_view kStructPrefix = "struct ";
constexpr std::string_view kExpectedValue = "expected value";
// As deep as a document may nest: a reader that contains itself stops being
// learnt there.
constexpr std::size_t kShapeDepthLimit = 128;

// The shape being learnt (one thread reads one document at a time).
thread_local JsonShape* learning = nullptr;
thread_local std::size_t learning_depth = 0;

// A name or text from the document as a message shows it.
std::string shown(std::string_view text) {
    return encoding::terminal_safe_excerpt(text, encoding::kMessageExcerptChars);
}

std::string backticked(std::string_view name) {
    std::string out = "`";
    return out.append(name).append("`");
}

// "expected `a`", "expected `a` or `b`", "expected one of `a`, `b`, `c`".
std::string expectation(const std::vector<std::string_view>& names, std::string_view none) {
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

template <class T>
[[nodiscard]] tl::expected<T, JsonReadError> read_unsigned(const JsonValue& value,
                                                           std::string_view expected) {
    if (json_detail::learning_scalar()) {
        return tl::unexpected(JsonReadError::incomplete());
    }
    switch (value.kind()) {
        case JsonKind::Uint:
            if (value.as_uint64() <= std::numeric_limits<T>::max()) {
                return static_cast<T>(value.as_uint64());
            }
            [[fallthrough]];
        case JsonKind::Int:
            return tl::unexpected(value_error(value, "invalid value: " + unexpected_text(value) +
                                                         ", expected " + std::string(expected)));
        default:
            return tl::unexpected(type_error(value, expected));
    }
}

}  // namespace

std::string unexpected_text(const JsonValue& value) {
    switch (value.kind()) {
        case JsonKind::Null:
            return "null";
        case JsonKind::Bool:
            return value.as_bool() ? "boolean `true`" : "boolean `false`";
        case JsonKind::Int:
            return "integer `" + std::to_string(value.as_int64()) + "`";
        case JsonKind::Uint:
            return "integer `" + std::to_string(value.as_uint64()) + "`";
        case JsonKind::Double:
            return "floating point `" + float_text(value.as_double()) + "`";
        case JsonKind::String:
            return "string " +
                   encoding::quoted_excerpt(value.as_string(), encoding::kMessageExcerptChars);
        case JsonKind::Array:
            return "sequence";
        case JsonKind::Object:
            return "map";
    }
    return {};
}

JsonReadError value_error(const JsonValue& value, std::string message) {
    const auto& span = value.span();
    // Nothing of an array or object has been read when its kind is refused.
    if (value.is_array() || value.is_object()) {
        return {std::move(message), span.begin, span.begin};
    }
    return {std::move(message), span.end, span.end == 0 ? 0 : span.end - 1};
}

JsonReadError type_error(const JsonValue& value, std::string_view expected) {
    return value_error(
        value, "invalid type: " + unexpected_text(value) + ", expected " + std::string(expected));
}

JsonReadError settled_error(const JsonValue& value, std::string message) {
    const auto& span = value.span();
    return {std::move(message), span.settle, span.end == 0 ? 0 : span.end - 1};
}

tl::expected<std::string, JsonReadError> read_string(const JsonValue& value) {
    if (json_detail::learning_scalar()) {
        return tl::unexpected(JsonReadError::incomplete());
    }
    if (!value.is_string()) {
        return tl::unexpected(type_error(value, "a string"));
    }
    return value.as_string();
}

tl::expected<std::uint8_t, JsonReadError> read_u8(const JsonValue& value) {
    return read_unsigned<std::uint8_t>(value, "u8");
}
tl::expected<std::uint16_t, JsonReadError> read_u16(const JsonValue& value) {
    return read_unsigned<std::uint16_t>(value, "u16");
}
tl::expected<std::uint32_t, JsonReadError> read_u32(const JsonValue& value) {
    return read_unsigned<std::uint32_t>(value, "u32");
}
tl::expected<std::uint64_t, JsonReadError> read_u64(const JsonValue& value) {
    return read_unsigned<std::uint64_t>(value, "u64");
}

namespace json_detail {

JsonReadError unknown_variant(const JsonValue& value, const std::vector<std::string_view>& names) {
    return value_error(value, "unknown variant `" + shown(value.as_string()) + "`, " +
                                  expectation(names, "there are no variants"));
}

// An enumeration is looked for as a string (or as a one-member object, a form
// the system does not accept): any other token is not a value of it at all.
JsonReadError variant_not_a_string(const JsonValue& value) {
    if (value.is_object()) {
        return type_error(value, "a string");
    }
    const auto begin = value.span().begin;
    return {std::string(kExpectedValue), begin + 1, begin};
}

JsonReadError unfinished_record() {
    return unfinished_read();
}

JsonShape* shape_cursor() {
    return learning;
}

ShapeCursor::ShapeCursor(JsonShape& node)
    : previous_(learning), active_(learning_depth < kShapeDepthLimit) {
    learning = &node;
    ++learning_depth;
}

ShapeCursor::~ShapeCursor() {
    learning = previous_;
    --learning_depth;
}

bool learning_scalar() {
    if (learning == nullptr) {
        return false;
    }
    learning->kind = JsonShape::Kind::Scalar;
    return true;
}

}  // namespace json_detail

RecordReader::RecordReader(const JsonValue& value, std::string_view record_name,
                           std::initializer_list<std::string_view> fields)
    : value_(value) {
    for (const auto name : fields) {
        fields_.push_back(Field{name});
    }
    if (JsonShape* node = json_detail::shape_cursor()) {
        node->kind = JsonShape::Kind::Record;
        for (const auto name : fields) {
            node->fields.push_back({name, std::make_unique<JsonShape>()});
        }
        shape_ = node;
        return;
    }
    if (!value.is_object()) {
        record(type_error(value, std::string(kStructPrefix) + std::string(record_name)));
        return;
    }
    // Keys are judged in document order as they are read; nothing after the
    // first bad key is looked at.
    for (const auto& member : value.members()) {
        auto field = std::find_if(fields_.begin(), fields_.end(),
                                  [&](const Field& f) { return f.name == member.key; });
        std::string problem;
        if (field == fields_.end()) {
            std::vector<std::string_view> names;
            for (const auto& f : fields_) {
                names.push_back(f.name);
            }
            problem = "unknown field `" + shown(member.key) + "`, " +
                      expectation(names, "there are no fields");
        } else if (field->member != nullptr) {
            problem = "duplicate field `" + shown(member.key) + "`";
        } else {
            field->member = &member;
            continue;
        }
        record({std::move(problem), member.key_position, member.key_end});
        return;
    }
}

const JsonValue* RecordReader::lookup(std::string_view name, Presence presence) {
    auto field = std::find_if(fields_.begin(), fields_.end(),
                              [&](const Field& f) { return f.name == name; });
    if (field == fields_.end()) {
        return nullptr;
    }
    field->required = presence == Presence::Required;
    if (field->member == nullptr || !field->member->value_read) {
        return nullptr;
    }
    return &field->member->value;
}

JsonShape* RecordReader::learning_field(std::string_view name) {
    for (auto& field : shape_->fields) {
        if (field.name == name) {
            return field.shape.get();
        }
    }
    return nullptr;
}

void RecordReader::record(JsonReadError error) {
    if (!failure_ || error.detected_at < failure_->detected_at) {
        failure_ = std::move(error);
    }
}

tl::expected<void, JsonReadError> RecordReader::finish() const {
    if (shape_ != nullptr) {
        return tl::unexpected(JsonReadError::incomplete());
    }
    if (failure_) {
        return tl::unexpected(*failure_);
    }
    if (!value_.complete()) {
        return tl::unexpected(JsonReadError::incomplete());
    }
    for (const auto& field : fields_) {
        if (field.required && field.member == nullptr) {
            const auto end = value_.span().end;
            return tl::unexpected(JsonReadError{"missing field `" + std::string(field.name) + "`",
                                                end, end == 0 ? 0 : end - 1});
        }
    }
    return {};
}

}  // namespace zdz::json
