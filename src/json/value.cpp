#include "json/value.hpp"

#include <cmath>

namespace zdz::json {
JsonValue::JsonValue(JsonKind kind, Scalar scalar) : kind_(kind), scalar_(scalar) {}

JsonValue::JsonValue(JsonKind kind, Storage data) : kind_(kind), data_(std::move(data)) {}

JsonValue JsonValue::boolean(bool value) {
    return {JsonKind::Bool, Scalar{.b = value}};
}

JsonValue JsonValue::int64(std::int64_t value) {
    return {JsonKind::Int, Scalar{.i = value}};
}

JsonValue JsonValue::uint64(std::uint64_t value) {
    return {JsonKind::Uint, Scalar{.u = value}};
}

JsonValue JsonValue::floating(double value) {
    return {JsonKind::Double, Scalar{.d = value}};
}

JsonValue JsonValue::string(std::string value) {
    return {JsonKind::String, Storage(std::move(value))};
}

JsonValue JsonValue::array() {
    return array(std::vector<JsonValue>());
}

JsonValue JsonValue::object() {
    return object(std::vector<JsonMember>());
}

JsonValue JsonValue::array(std::vector<JsonValue> items) {
    return {JsonKind::Array, Storage(std::move(items))};
}

JsonValue JsonValue::object(std::vector<JsonMember> members) {
    return {JsonKind::Object, Storage(std::move(members))};
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

}  // namespace zdz::json
