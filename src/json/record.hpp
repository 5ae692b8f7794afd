#pragma once

// Strict readers for the system's JSON records.
//
// A record reader names the record and its members in declaration order, then
// asks for each member with a converter, and ends with finish():
//
//   tl::expected<KdfParams, JsonReadError> KdfParams::from_json(const JsonValue& value) {
//       RecordReader reader(value, "KdfParams",
//                           {"algorithm", "m_cost_kib", "t_cost", "parallelism"});
//       auto algorithm = reader.required_string("algorithm");
//       auto m_cost_kib = reader.required_u32("m_cost_kib");
//       ...
//       if (auto done = reader.finish(); !done) return tl::unexpected(done.error());
//       return KdfParams{*algorithm, *m_cost_kib, ...};
//   }
//
//   // A whole document: expected<KdfParams, DocumentError>, the failure placed.
//   auto params = read_json_record(text, KdfParams::from_json);
//
// Every accessor returns nullopt for a member that is absent or failed; after a
// successful finish() every required member is present. Failures are collected
// rather than returned at once so that the one reported is the one a reader
// going through the document front to back meets first, whatever order the
// accessors are called in: an unknown or repeated key as soon as the key is
// read, a bad value when its value is read, a missing member at the closing
// brace (the first missing one in declaration order).
//
// read_json_record first runs the reader once over no document to learn its
// shape (which members each record has, which of them are records, sequences
// or scalars; see JsonShape), then reads the document under that shape: the
// reading stops at the first thing the reader refuses, and the items of a
// sequence are converted as they are read, so that memory follows the typed
// records rather than the document's tree. The reader then runs over what was
// read and names the failure, as it would over the whole tree.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <type_traits>
#include <utility>
#include <vector>

#include "contracts/errors.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"

namespace zdz::json {

// What a JSON null in an optional member means.
enum class NullMeans { Error, Absent };

// ---- placing failures -------------------------------------------------------

// "string \"x\"", "integer `5`", "floating point `1.0`", "boolean `true`",
// "null", "sequence" or "map".
std::string unexpected_text(const JsonValue& value);

// A failure raised while a value is read: at the last byte of a scalar, or just
// before the bracket of an array or object.
JsonReadError value_error(const JsonValue& value, std::string message);

// "invalid type: {unexpected}, expected {expected}" placed as value_error.
JsonReadError type_error(const JsonValue& value, std::string_view expected);

// A failure of a text-backed type (timestamp, content hash, platform), placed
// after the enclosing container has tidied up (see JsonSpan::settle).
JsonReadError settled_error(const JsonValue& value, std::string message);

// ---- converters: const JsonValue& -> tl::expected<T, JsonReadError> ----------

[[nodiscard]] tl::expected<std::string, JsonReadError> read_string(const JsonValue& value);
[[nodiscard]] tl::expected<std::uint8_t, JsonReadError> read_u8(const JsonValue& value);
[[nodiscard]] tl::expected<std::uint16_t, JsonReadError> read_u16(const JsonValue& value);
[[nodiscard]] tl::expected<std::uint32_t, JsonReadError> read_u32(const JsonValue& value);
[[nodiscard]] tl::expected<std::uint64_t, JsonReadError> read_u64(const JsonValue& value);

namespace json_detail {
inline std::string failure_text(const std::string& message) {
    return message;
}
inline std::string failure_text(const contracts::ContractError& error) {
    return error.display();
}

// "unknown variant `x`, expected ..." for a string outside `names`; the
// refusal of a value that is not a string.
JsonReadError unknown_variant(const JsonValue& value, const std::vector<std::string_view>& names);
JsonReadError variant_not_a_string(const JsonValue& value);
JsonReadError unfinished_record();

// The value type a converter yields.
template <class Convert>
using converted_t = typename std::invoke_result_t<Convert&, const JsonValue&>::value_type;

// ---- learning a reader's shape -----------------------------------------------
//
// While a reader is run to learn its shape, the converters it calls do not
// convert: each marks the node being learnt (a scalar converter as Scalar, a
// RecordReader as Record, as_sequence as Sequence) and returns the incomplete
// marker.

// The node being learnt, or null when no shape is being learnt.
JsonShape* shape_cursor();

// Makes `node` the node being learnt while it lives. Not active() when the
// shape is deeper than any document may nest (a reader that contains
// itself): the node then stays Any.
class ShapeCursor {
public:
    explicit ShapeCursor(JsonShape& node);
    ~ShapeCursor();
    ShapeCursor(const ShapeCursor&) = delete;
    ShapeCursor& operator=(const ShapeCursor&) = delete;
    bool active() const { return active_; }

private:
    JsonShape* previous_;
    bool active_;
};

// For scalar converters: true (and the node marked Scalar) while a shape is
// being learnt.
bool learning_scalar();

// Learns what `convert` expects of a value at `node`, and how to check a
// finished value there.
template <class Convert>
void learn_value(JsonShape& node, const Convert& convert, NullMeans null) {
    {
        const ShapeCursor cursor(node);
        if (!cursor.active()) {
            return;
        }
        (void)convert(JsonValue());
    }
    node.refuses = [convert, null](const JsonValue& value) {
        if (null == NullMeans::Absent && value.is_null()) {
            return false;
        }
        auto converted = convert(value);
        return !converted && !converted.error().is_incomplete();
    };
}

template <class T, class Convert>
void learn_sequence(JsonShape& node, const Convert& element) {
    node.kind = JsonShape::Kind::Sequence;
    node.element = std::make_unique<JsonShape>();
    learn_value(*node.element, element, NullMeans::Error);
    node.take_item = [element](const JsonValue& item, std::shared_ptr<JsonConvertedItems>& into) {
        auto converted = element(item);
        if (!converted && converted.error().is_incomplete()) {
            return JsonShape::ItemOutcome::Kept;
        }
        if (!into) {
            into = std::make_shared<JsonConvertedItemsOf<T>>();
        }
        if (!converted) {
            into->refusal = std::move(converted.error());
            return JsonShape::ItemOutcome::Refused;
        }
        static_cast<JsonConvertedItemsOf<T>&>(*into).items.push_back(std::move(*converted));
        return JsonShape::ItemOutcome::Taken;
    };
}
}  // namespace json_detail

// A string validated by the system's own type: `parse(std::string_view)`
// returns tl::expected<T, ContractError> (or <T, std::string>); its failure
// text is reported at the settled position.
template <class Parse>
auto as_validated_text(Parse parse) {
    using Parsed = std::invoke_result_t<Parse&, std::string_view>;
    using T = typename Parsed::value_type;
    return [parse = std::move(parse)](const JsonValue& value) -> tl::expected<T, JsonReadError> {
        if (json_detail::learning_scalar()) {
            return tl::unexpected(JsonReadError::incomplete());
        }
        if (!value.is_string()) {
            return tl::unexpected(type_error(value, "a string"));
        }
        auto parsed = parse(std::string_view(value.as_string()));
        if (!parsed) {
            return tl::unexpected(settled_error(value, json_detail::failure_text(parsed.error())));
        }
        return std::move(*parsed);
    };
}

// A string parsed as a token of its own (a UUID): a value that is not a string
// is refused as "expected {expected}", and the parser's failure text is reported
// at the closing quote.
template <class Parse>
auto as_token(std::string_view expected, Parse parse) {
    using Parsed = std::invoke_result_t<Parse&, std::string_view>;
    using T = typename Parsed::value_type;
    return [expected = std::string(expected),
            parse = std::move(parse)](const JsonValue& value) -> tl::expected<T, JsonReadError> {
        if (json_detail::learning_scalar()) {
            return tl::unexpected(JsonReadError::incomplete());
        }
        if (!value.is_string()) {
            return tl::unexpected(type_error(value, expected));
        }
        auto parsed = parse(std::string_view(value.as_string()));
        if (!parsed) {
            return tl::unexpected(value_error(value, json_detail::failure_text(parsed.error())));
        }
        return std::move(*parsed);
    };
}

// A closed enumeration written as one of its texts, listed in declaration
// order.
template <class E>
auto as_variant(std::span<const std::pair<std::string_view, E>> variants) {
    std::vector<std::pair<std::string_view, E>> table(variants.begin(), variants.end());
    return [table = std::move(table)](const JsonValue& value) -> tl::expected<E, JsonReadError> {
        if (json_detail::learning_scalar()) {
            return tl::unexpected(JsonReadError::incomplete());
        }
        if (!value.is_string()) {
            return tl::unexpected(json_detail::variant_not_a_string(value));
        }
        std::vector<std::string_view> names;
        for (const auto& [name, variant] : table) {
            if (name == value.as_string()) {
                return variant;
            }
            names.push_back(name);
        }
        return tl::unexpected(json_detail::unknown_variant(value, names));
    };
}

template <class E>
auto as_variant(std::initializer_list<std::pair<std::string_view, E>> variants) {
    return as_variant(
        std::span<const std::pair<std::string_view, E>>(variants.begin(), variants.size()));
}

// A JSON array whose elements are read by `element`; the first failing
// element is reported. Items converted while the document was read come first.
template <class Convert>
auto as_sequence(Convert element) {
    using Converted = std::invoke_result_t<Convert&, const JsonValue&>;
    using T = typename Converted::value_type;
    return [element = std::move(element)](
               const JsonValue& value) -> tl::expected<std::vector<T>, JsonReadError> {
        if (JsonShape* node = json_detail::shape_cursor()) {
            json_detail::learn_sequence<T>(*node, element);
            return tl::unexpected(JsonReadError::incomplete());
        }
        if (!value.is_array()) {
            return tl::unexpected(type_error(value, "a sequence"));
        }
        std::vector<T> out;
        if (auto* converted = value.converted_items()) {
            auto* typed = dynamic_cast<JsonConvertedItemsOf<T>*>(converted);
            if (typed == nullptr || typed->handed_over) {
                // Only a reader that reads differently from the shape it
                // gave, or reads one sequence twice.
                return tl::unexpected(JsonReadError::incomplete());
            }
            out = std::move(typed->items);
            typed->handed_over = true;
            if (typed->refusal) {
                return tl::unexpected(*typed->refusal);
            }
        }
        out.reserve(out.size() + value.items().size());
        for (const auto& item : value.items()) {
            auto converted = element(item);
            if (!converted) {
                return tl::unexpected(std::move(converted.error()));
            }
            out.push_back(std::move(*converted));
        }
        if (!value.complete()) {
            return tl::unexpected(JsonReadError::incomplete());
        }
        return out;
    };
}

// ---- records ----------------------------------------------------------------

class RecordReader {
public:
    // `record_name` as in "struct {record_name}"; `fields` in declaration
    // order. The names must outlive the reader (string literals).
    RecordReader(const JsonValue& value, std::string_view record_name,
                 std::initializer_list<std::string_view> fields);

    template <class Convert>
    std::optional<json_detail::converted_t<Convert>> required(std::string_view name,
                                                              Convert&& convert) {
        return read(name, std::forward<Convert>(convert), Presence::Required, NullMeans::Error);
    }

    template <class Convert>
    std::optional<json_detail::converted_t<Convert>> optional(std::string_view name,
                                                              Convert&& convert,
                                                              NullMeans null = NullMeans::Error) {
        return read(name, std::forward<Convert>(convert), Presence::Optional, null);
    }

    std::optional<std::string> required_string(std::string_view name) {
        return required(name, read_string);
    }
    std::optional<std::uint8_t> required_u8(std::string_view name) {
        return required(name, read_u8);
    }
    std::optional<std::uint16_t> required_u16(std::string_view name) {
        return required(name, read_u16);
    }
    std::optional<std::uint32_t> required_u32(std::string_view name) {
        return required(name, read_u32);
    }
    std::optional<std::uint64_t> required_u64(std::string_view name) {
        return required(name, read_u64);
    }
    std::optional<std::string> optional_string(std::string_view name,
                                               NullMeans null = NullMeans::Error) {
        return optional(name, read_string, null);
    }

    // The first failure in document order, or a missing member, or success.
    [[nodiscard]] tl::expected<void, JsonReadError> finish() const;

private:
    enum class Presence { Required, Optional };

    struct Field {
        std::string_view name;
        bool required = false;
        const JsonMember* member = nullptr;  // the one accepted occurrence
    };

    template <class Convert>
    std::optional<json_detail::converted_t<Convert>> read(std::string_view name, Convert&& convert,
                                                          Presence presence, NullMeans null) {
        using T = json_detail::converted_t<Convert>;
        if (shape_ != nullptr) {
            if (JsonShape* field = learning_field(name)) {
                json_detail::learn_value(*field, convert, null);
            }
            return std::optional<T>();
        }
        const JsonValue* value = lookup(name, presence);
        if (value == nullptr || (null == NullMeans::Absent && value->is_null())) {
            return std::optional<T>();
        }
        auto converted = convert(*value);
        if (!converted) {
            record(std::move(converted.error()));
            return std::optional<T>();
        }
        return std::optional<T>(std::move(*converted));
    }

    const JsonValue* lookup(std::string_view name, Presence presence);
    JsonShape* learning_field(std::string_view name);
    void record(JsonReadError error);

    const JsonValue& value_;
    std::vector<Field> fields_;
    std::optional<JsonReadError> failure_;
    // The node being learnt, while the reader runs to learn its shape.
    JsonShape* shape_ = nullptr;
};

// Reads a whole document with a record reader. A failure the record reader
// meets before the first syntax error wins over it, as in a one-pass reader.
// Never throws: running out of memory is reported as an error too.
template <class Read>
[[nodiscard]] auto read_json_record(std::string_view text, Read&& read)
    -> tl::expected<json_detail::converted_t<Read>, DocumentError> {
    try {
        JsonShape shape;
        json_detail::learn_value(shape, read, NullMeans::Error);
        auto parsed = parse_json_document(text, &shape);
        if (parsed.root) {
            auto record = read(*parsed.root);
            if (!record && !record.error().is_incomplete()) {
                return tl::unexpected(DocumentError::refused(text, record.error()));
            }
            if (record && !parsed.error) {
                return std::move(*record);
            }
        }
        if (!parsed.error) {
            // Only a record reader that marks a complete document as cut short.
            return tl::unexpected(DocumentError::refused(text, json_detail::unfinished_record()));
        }
        return tl::unexpected(DocumentError::syntax(text, *parsed.error));
    } catch (const std::bad_alloc&) {
        return tl::unexpected(DocumentError::out_of_memory());
    }
}

}  // namespace zdz::json
