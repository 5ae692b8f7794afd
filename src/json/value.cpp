#include "json/value.hpp"

#include <cmath>
#include <limits>

namespace zdz::json {
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

}  // namespace zdz::json
