#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <variant>
#include <vector>

namespace zdz::json {

enum class JsonKind { Null, Bool, Int, Uint, Double, String, Array, Object };

// Where a value stands in the document it was read from, as byte offsets.
// Values built in code carry zeros.
struct JsonSpan {
    std::size_t begin = 0;  // first byte of the token (`{`, `[`, opening quote, first digit)
    std::size_t end = 0;    // one past its last byte
    // Where a failure of a text-backed type (timestamp, content hash, ...)
    // found in this value is placed: after the enclosing container has skipped
    // the white space behind the value and taken a closing bracket or, in a
    // list, a comma and the white space after it.
    std::size_t settle = 0;
};

struct JsonMember;
class JsonConvertedItems;

// A JSON value as read or as built for writing. Objects keep their members in
// document order, duplicates included, so record readers can refuse them; the
// number kinds stay apart (negative integers are Int, non-negative Uint, any
// other number Double).
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

    const JsonSpan& span() const { return span_; }
    // False only for an array or object that a syntax error cut short; such
    // values exist only while a record reader runs over a broken document.
    bool complete() const { return complete_; }

    // Of an array read under a JsonShape: its first items in their typed form,
    // or null. Such values exist only while a record reader runs.
    JsonConvertedItems* converted_items() const { return converted_.get(); }

    // Same kinds and contents, positions and converted items ignored.
    friend bool operator==(const JsonValue& a, const JsonValue& b);

private:
    friend class JsonTreeBuilder;

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
    bool complete_ = true;
    Scalar scalar_{.u = 0};
    Storage data_;
    JsonSpan span_;
    std::shared_ptr<JsonConvertedItems> converted_;
};

struct JsonMember {
    JsonMember() = default;
    JsonMember(std::string member_key, JsonValue member_value)
        : key(std::move(member_key)), value(std::move(member_value)) {}

    std::string key;
    JsonValue value;
    // Where an unknown or repeated key is reported: just after the key's
    // closing quote and the white space that follows it.
    std::size_t key_position = 0;
    // Offset just after the key's closing quote.
    std::size_t key_end = 0;
    // False only for the last member of a cut-short object whose value was
    // never read.
    bool value_read = true;

    friend bool operator==(const JsonMember& a, const JsonMember& b) {
        return a.key == b.key && a.value == b.value;
    }
};

// A reading failure not yet placed in the text: `position` is the byte
// offset P from which "line L column C" is computed (C counts the bytes
// between the start of P's line and P), and `detected_at` the offset at which
// a reader working through the document in one pass meets it. Of several
// failures the one met first is reported.
struct JsonReadError {
    std::string message;
    std::size_t position = 0;
    std::size_t detected_at = 0;

    // The marker a record reader returns for a record cut short by a syntax
    // error: the syntax error is reported instead.
    static JsonReadError incomplete();
    bool is_incomplete() const;
};

// The items at the front of an array that a record reader already turned into
// their typed values while the document was read (see JsonShape); the array's
// items() are the ones after them. The reader takes them over once. When the
// reader refused the item after them, its failure is kept here too: that item
// is not read again (its own items were taken over while it was read).
class JsonConvertedItems {
public:
    virtual ~JsonConvertedItems() = default;
    bool handed_over = false;
    std::optional<JsonReadError> refusal;
};

template <class T>
class JsonConvertedItemsOf final : public JsonConvertedItems {
public:
    std::vector<T> items;
};

}  // namespace zdz::json
