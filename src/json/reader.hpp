#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "json/value.hpp"

namespace zdz::json {

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

// A string, number, boolean or null as the cursor read it, and where it
// stands: `begin` is its first byte, `end` one past its last.
struct JsonScalar {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    std::int64_t int64 = 0;
    std::uint64_t uint64 = 0;
    double floating = 0.0;
    // A string's decoded text; valid until the cursor reads on.
    std::string_view text;
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The one pass over a JSON text. The grammar is the cursor's: each syntax
// fault is worded and placed where it is met, and the cursor stops there.
// Its caller says what comes next (a value, a member, an item) and judges
// each value as it is read; a refusal stops the cursor as well. Nothing of
// the document is kept but the token at hand.
class JsonCursor {
public:
    explicit JsonCursor(std::string_view text) : text_(text) {}

    enum class Next { Object, Array, Scalar };

    // The next value: white space skipped, then either an opening bracket
    // (left for open()) or a whole scalar, read into scalar().
    [[nodiscard]] bool value(Next& next);
    const JsonScalar& scalar() const { return scalar_; }
    // Where the value last begun stands: its bracket or its first byte.
    std::size_t value_begin() const { return value_begin_; }

    // Takes the bracket value() stopped at. The 128th nested container is
    // refused.
    [[nodiscard]] bool open();
    // Inside an object: `more` with the next member's name read (its colon
    // not yet), or without `more` at the closing brace, which is taken.
    [[nodiscard]] bool next_member(bool& more);
    // The name read last, decoded; valid until the cursor reads on.
    std::string_view key() const { return string_; }
    // Just after the name's closing quote and the white space behind it.
    std::size_t key_position() const;
    std::size_t key_end() const { return key_end_; }
    // The colon after a member's name.
    [[nodiscard]] bool colon();
    // Inside an array: `more` when another item follows (the caller reads it
    // with value()), or without `more` at the closing bracket, which is taken.
    [[nodiscard]] bool next_item(bool& more);
    // Just after the closing bracket taken last.
    std::size_t closed_at() const { return closed_at_; }
    // Nothing but white space is left.
    [[nodiscard]] bool finish();

    // Where a refusal of a text-backed value (a timestamp, a content hash)
    // that ends at `end` is placed: in an object after the white space behind
    // it and a closing brace; in an array after a closing bracket, or a comma
    // and the white space after it; at the end of a document's root value.
    std::size_t settled(std::size_t end) const;

    // Stops the cursor with the caller's refusal, placed at byte offset
    // `position`; always false.
    bool refuse(std::string message, std::size_t position);

    // Why the cursor stopped: the first fault met.
    DocumentError error() const;

private:
    bool fail(JsonReadError error);
    bool fail_at(std::string_view message, std::size_t i);
    bool fail_at_end(std::string_view message);
    bool at_end() const { return at_ >= text_.size(); }
    void skip_space();

    bool literal(std::string_view word);
    bool digits();
    bool number();
    bool integer(std::string_view token, bool negative);
    std::optional<unsigned> hex_escape();
    bool escape();
    bool string();
    // Before a member or an item: the closing bracket, or the comma that
    // separates this one from the one before.
    bool separate(char closing, bool& more);

    struct Open {
        bool object;
        bool first = true;
    };

    std::string_view text_;
    std::size_t at_ = 0;
    // The string read last: in the text, or in decoded_ when it has escapes.
    std::string_view string_;
    std::string decoded_;
    JsonScalar scalar_;
    std::size_t value_begin_ = 0;
    std::size_t key_end_ = 0;
    std::size_t closed_at_ = 0;
    // An item after a comma, where a closing bracket is a trailing comma.
    bool after_comma_ = false;
    std::vector<Open> open_;
    std::optional<JsonReadError> fault_;
    DocumentError::Kind fault_kind_ = DocumentError::Kind::Syntax;
};

// A whole document as a value tree, or its first syntax error.
[[nodiscard]] tl::expected<JsonValue, DocumentError> read_json(std::string_view text);

}  // namespace zdz::json
