#pragma once

// The one JSON writer. Every document the program writes goes through it, in
// one of three layouts:
//
//   File       two-space indentation, ": " after names, members in the order
//              given, controls escaped as \u00XX in upper case, no final
//              newline (what jq prints, without its newline).
//   Canonical  the signed byte form: no white space, texts normalised (see
//              normalize_text), controls escaped in lower case. The caller
//              gives members in ascending byte order of their names. A text
//              that is not UTF-8 or a floating-point number is a fault,
//              reported with its path.
//   Report     the file layout for a terminal: characters a terminal must not
//              be handed raw are escaped as \uXXXX as well.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "contracts/errors.hpp"
#include "json/value.hpp"

namespace zdz::json {

enum class Layout { File, Canonical, Report };

// Appends `text` as a JSON string escaped for `layout`: quotes and
// backslashes escaped, \b \t \n \f \r as short escapes, other controls as
// \u00XX (lower-case hex digits in the canonical layout, upper case
// otherwise); everything else as its raw bytes, but for the characters the
// report layout escapes. The text is not normalised here.
void append_json_string(std::string& out, std::string_view text, Layout layout);

class JsonWriter {
public:
    JsonWriter(std::string& out, Layout layout) : out_(out), layout_(layout) {}

    Layout layout() const { return layout_; }

    void begin_object() { open('{', false); }
    void end_object() { close('}'); }
    void begin_array() { open('[', true); }
    void end_array() { close(']'); }
    // The name of the member whose value comes next.
    void member(std::string_view name);

    void text(std::string_view text);
    void number(std::uint64_t value);
    void integer(std::int64_t value);
    void boolean(bool value);
    void null();
    // In the file layouts the shortest text that reads back (null for an
    // infinity or NaN); a fault in the canonical layout.
    void floating(double value);

    // The first fault met (canonical layout only), or success.
    [[nodiscard]] tl::expected<void, contracts::ContractError> result() const;

private:
    friend bool write_tree(JsonWriter& out, const JsonValue& value, bool sorted);
    friend bool write_members(JsonWriter& out, const std::vector<JsonMember>& members, bool sorted);

    struct Level {
        bool array;
        bool empty = true;
        // Where a fault inside is placed: the member's name or the item's index.
        std::string_view name;
        std::size_t items = 0;
    };

    // A comma, a new line and the indentation before an array's item; a
    // member's value needs none of them (member() wrote them before the name).
    void before_value();
    void next_line(std::size_t depth);
    void open(char bracket, bool array);
    void close(char bracket);
    void fault(contracts::ContractError error);
    contracts::ContractError not_representable(bool in_value) const;
    // Where the writer stands: in the value of the last member or item named,
    // or (in_value false) at the object whose member name is being written.
    std::string path_text(bool in_value) const;

    std::string& out_;
    Layout layout_;
    std::vector<Level> levels_;
    std::optional<contracts::ContractError> fault_;
};

// A value tree in the writer's layout: an object's members in their order,
// or (`sorted`) in ascending byte order of their names as written. In the
// canonical layout two names equal after normalisation are a fault, met once
// the object's values are written. False once a fault was met; nothing more
// is written then.
bool write_tree(JsonWriter& out, const JsonValue& value, bool sorted);

// A value tree in the file layout (the free-form documents: `--format json`
// reports) or, with Layout::Report, escaped for a terminal.
std::string to_pretty_json(const JsonValue& value, Layout layout = Layout::File);

// The way messages show a floating-point number: the shortest decimal that
// reads back as the same double, plain with ".0" for 1e-5 <= |x| < 1e16,
// otherwise as mantissa "e" exponent ("1e16", "-1.5e-7").
std::string float_text(double value);

}  // namespace zdz::json
