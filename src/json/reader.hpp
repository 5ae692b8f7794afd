#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "json/value.hpp"

namespace zdz::json {

// The result of reading a document that may be broken: everything read before
// the first syntax error (a root whose unfinished containers are marked
// incomplete), and that error. A complete root followed by anything but white
// space has the "trailing characters" error beside it.
struct JsonParse {
    std::optional<JsonValue> root;
    std::optional<JsonReadError> error;
};

// What a record reader expects of a value, learnt by running the reader once
// over no document (see read_json_record). The document is then read under it:
// reading stops at the first thing the reader would refuse (an unknown or
// repeated member name, an array or object where it wants something else, a
// value its converter refuses), and the items of a sequence are converted one
// by one as they are read, so that their trees are not kept.
struct JsonShape {
    enum class Kind {
        Any,       // built whole, as read_json does
        Scalar,    // a string, number, boolean or null
        Record,    // an object with the members in `fields`
        Sequence,  // an array of `element`s
    };
    enum class ItemOutcome { Taken, Kept, Refused };

    struct Field {
        std::string_view name;
        std::unique_ptr<JsonShape> shape;
    };

    Kind kind = Kind::Any;
    std::vector<Field> fields;
    std::unique_ptr<JsonShape> element;
    // Whether the reader refuses a finished value (a scalar, or an Any value).
    std::function<bool(const JsonValue&)> refuses;
    // A Sequence's reader applied to a finished item: Taken appends the typed
    // value to `into`, Refused keeps the failure there, Kept leaves the item
    // to be read with the tree.
    std::function<ItemOutcome(const JsonValue& item, std::shared_ptr<JsonConvertedItems>& into)>
        take_item;
};

// Reads the document, under `shape` when one is given. A document whose
// reading stopped at a refusal carries unfinished_read() as its error; the
// record reader names the refusal.
JsonParse parse_json_document(std::string_view text, const JsonShape* shape = nullptr);

// The error of a document whose reading stopped before its end because its
// record reader refuses what came (the reader names it).
JsonReadError unfinished_read();

// The message of a document that could not be read for want of memory.
std::string out_of_memory_message();

// "{message} at line {L} column {C}".
std::string describe_json_error(std::string_view text, const JsonReadError& error);

// A whole document as a value tree, or the positioned message of its first
// syntax error.
[[nodiscard]] tl::expected<JsonValue, std::string> read_json(std::string_view text);

}  // namespace zdz::json
