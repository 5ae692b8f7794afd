#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.hpp"

namespace zdz::json {

// Appends `text` as a JSON string: quotes and backslashes escaped, \b \t \n
// \f \r as short escapes, other controls as \u00XX with hex digits in the
// given case; everything else as its raw bytes.
enum class HexDigits { Lower, Upper };
void append_json_string(std::string& out, std::string_view text, HexDigits digits);

// The file form: two-space indentation, ": " after member names, members in
// the order given, no final newline. Strings must be valid UTF-8.
std::string to_pretty_json(const JsonValue& value);

// The same file form written straight from a typed record, without a value
// tree: the record gives its members in file order and each value as it
// holds it. A large store is written this way.
class PrettyBuilder {
public:
    explicit PrettyBuilder(std::string& out) : out_(out) {}

    void begin_object() { open('{', false); }
    void end_object() { close('}'); }
    void begin_array() { open('[', true); }
    void end_array() { close(']'); }
    void member(std::string_view name);
    void text(std::string_view text);
    void number(std::uint64_t value);

private:
    struct Level {
        bool array;
        bool empty;
    };
    // A comma and a new line before an array's item; a member's value needs
    // neither (member() wrote them before the name).
    void before_value();
    void next_line(std::size_t depth);
    void open(char bracket, bool array);
    void close(char bracket);

    std::string& out_;
    std::vector<Level> levels_;
};

// The way messages show a floating-point number: the shortest decimal that
// reads back as the same double, plain with ".0" for 1e-5 <= |x| < 1e16,
// otherwise as mantissa "e" exponent ("1e16", "-1.5e-7").
std::string float_text(double value);

}  // namespace zdz::json
