#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace zdz::json {

enum class JsonKind { Null, Bool, Int, Uint, Double, String, Array, Object };

struct JsonMember;

// A free-form JSON value as read or as built for writing (the reports, and
// documents that are not records). Objects keep their members in document
// order, duplicates included; the number kinds stay apart (negative integers
// are Int, non-negative Uint, any other number Double).
class JsonValue {
public:
    JsonValue() = default;  // null

    static JsonValue boolean(bool value);
    static JsonValue int64(std::int64_t value);
    static JsonValue uint64(std::uint64_t value);
    static JsonValue floating(double value);
    static JsonValue string(std::string value);
    // (Overloads rather than default arguments: JsonMember is not complete yet.)
    static JsonValue array();
    static JsonValue array(std::vector<JsonValue> items);
    static JsonValue object();
    static JsonValue object(std::vector<JsonMember> members);

    JsonKind kind() const { return kind_; }
    bool is_null() const { return kind_ == JsonKind::Null; }
    bool is_string() const { return kind_ == JsonKind::String; }
    bool is_array() const { return kind_ == JsonKind::Array; }
    bool is_object() const { return kind_ == JsonKind::Object; }

    // Accessors for the kind at hand; other kinds give false, 0 or empty.
    bool as_bool() const { return kind_ == JsonKind::Bool && scalar_.b; }
    std::int64_t as_int64() const { return kind_ == JsonKind::Int ? scalar_.i : 0; }
    std::uint64_t as_uint64() const { return kind_ == JsonKind::Uint ? scalar_.u : 0; }
    double as_double() const { return kind_ == JsonKind::Double ? scalar_.d : 0.0; }
    const std::string& as_string() const;
    const std::vector<JsonValue>& items() const;
    const std::vector<JsonMember>& members() const;

    // Building: appends to an array or an object.
    JsonValue& push(JsonValue item);
    JsonValue& add(std::string key, JsonValue value);

    // Same kinds and contents.
    friend bool operator==(const JsonValue& a, const JsonValue& b);

private:
    // A store file holds hundreds of thousands of values, so a value keeps
    // only what its kind needs: one scalar slot, or one of the owned texts
    // and containers.
    union Scalar {
        bool b;
        std::int64_t i;
        std::uint64_t u;
        double d;
    };
    using Storage =
        std::variant<std::monostate, std::string, std::vector<JsonValue>, std::vector<JsonMember>>;

    // What the factories build: a scalar kind, or a text or container kind.
    JsonValue(JsonKind kind, Scalar scalar);
    JsonValue(JsonKind kind, Storage data);

    std::vector<JsonValue>& mutable_items();
    std::vector<JsonMember>& mutable_members();

    JsonKind kind_ = JsonKind::Null;
    Scalar scalar_{.u = 0};
    Storage data_;
};

struct JsonMember {
    JsonMember() = default;
    JsonMember(std::string member_key, JsonValue member_value)
        : key(std::move(member_key)), value(std::move(member_value)) {}

    std::string key;
    JsonValue value;

    friend bool operator==(const JsonMember& a, const JsonMember& b) {
        return a.key == b.key && a.value == b.value;
    }
};

// A reading failure not yet placed in the text: `position` is the byte
// offset P from which "line L column C" is computed (C counts the bytes
// between the start of P's line and P).
struct JsonReadError {
    std::string message;
    std::size_t position = 0;
};

}  // namespace zdz::json
