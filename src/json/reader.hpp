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

// Why a whole document was not read. A syntax fault and a refusal are placed
// in the text: `offset` is the byte offset P (at most the text's length),
// `line` counts from 1 and `column` is the number of bytes between the start
// of P's line and P. Want of memory is placed nowhere (all three 0).
struct DocumentError {
    enum class Kind {
        Syntax,       // not JSON: the first fault a one-pass reader meets
        Refused,      // JSON, but refused by the record reader (a member unknown,
                      // repeated or missing, a value of the wrong type or invalid)
        OutOfMemory,  // the memory to read it could not be had
    };

    Kind kind = Kind::Syntax;
    // Without the position; for OutOfMemory the whole text.
    std::string message;
    std::size_t offset = 0;
    std::size_t line = 0;
    std::size_t column = 0;

    static DocumentError syntax(std::string_view text, const JsonReadError& error);
    static DocumentError refused(std::string_view text, const JsonReadError& error);
    static DocumentError out_of_memory();

    // "{message} at line {L} column {C}", or "not enough memory to read the
    // document".
    std::string display() const;

    friend bool operator==(const DocumentError&, const DocumentError&) = default;
};

// A whole document as a value tree, or its first syntax error.
[[nodiscard]] tl::expected<JsonValue, DocumentError> read_json(std::string_view text);

}  // namespace zdz::json
