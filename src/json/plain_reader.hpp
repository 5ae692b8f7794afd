#pragma once

// The quick way in for records that this system wrote itself.
//
// A file written by the program holds only objects, arrays, strings without
// escapes, non-negative integers and nulls, with the members a record expects.
// PlainJsonReader reads exactly that subset straight into typed records, with
// no value tree and no positions. It never judges a document: the moment it
// meets anything else (an escape, a fraction, an unknown or repeated member, a
// value its parser refuses, broken JSON) it gives up without saying why, and
// the caller reads the document again with read_json_record, which accepts or
// refuses it and names the fault exactly as before. What it accepts,
// read_json_record accepts too, with the same record.
//
//   json::PlainJsonReader reader(text);
//   auto record = Record::scan(reader);       // nullopt: read it the strict way
//   if (record && reader.at_end()) ...

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

namespace zdz::json {

class PlainJsonReader {
public:
    explicit PlainJsonReader(std::string_view text)
        : next_(text.data()), end_(text.data() + text.size()) {}

    // False once the reader has given up; every call after that fails too.
    bool ok() const { return ok_; }

    // An opening brace or bracket.
    bool begin_object() { return open('{'); }
    bool begin_array() { return open('['); }

    // Inside an object: true with the next member's name, the reader standing
    // before its value (which the caller reads next); false at the closing
    // brace, which is taken, or when the reader gives up (see ok()).
    bool next_member(std::string_view& name);

    // Inside an array: true when another item follows (which the caller reads
    // next); false at the closing bracket, which is taken, or on giving up.
    bool next_item();

    // A string without escapes or control characters; its bytes as written.
    bool string(std::string_view& text);

    // A non-negative integer in plain decimal that fits 64 bits.
    bool unsigned_integer(std::uint64_t& value);

    // Takes a null if one comes next; false (without giving up) otherwise.
    bool null();

    // Only white space is left.
    bool at_end();

    // Gives up; always false.
    bool give_up() {
        ok_ = false;
        return false;
    }

private:
    void skip_space() {
        while (next_ != end_ &&
               (*next_ == ' ' || *next_ == '\n' || *next_ == '\r' || *next_ == '\t')) {
            ++next_;
        }
    }
    bool open(char bracket);
    bool close_or_separate(char bracket);

    const char* next_;
    const char* end_;
    bool ok_ = true;
    // Right after an opening bracket: the next member or item needs no comma.
    bool fresh_ = false;
};

// An object whose member names are all among `names`, each at most once, and
// which has every member whose bit is set in `required` (bit i for names[i]).
// `read_member(i)` reads the value of names[i] and says whether it could.
// Gives up (false) on anything else.
template <std::size_t N, class ReadMember>
bool scan_members(PlainJsonReader& reader, const std::array<std::string_view, N>& names,
                  std::uint32_t required, ReadMember&& read_member) {
    static_assert(N <= 32, "one bit per member");
    if (!reader.begin_object()) {
        return false;
    }
    std::uint32_t seen = 0;
    std::string_view name;
    while (reader.next_member(name)) {
        std::size_t index = 0;
        while (index < N && names[index] != name) {
            ++index;
        }
        const std::uint32_t bit = std::uint32_t{1} << index;
        if (index == N || (seen & bit) != 0) {
            return reader.give_up();
        }
        seen |= bit;
        if (!read_member(index)) {
            return reader.give_up();
        }
    }
    return reader.ok() && (seen & required) == required ? true : reader.give_up();
}

// An array whose items `read_item()` reads one by one.
template <class ReadItem>
bool scan_items(PlainJsonReader& reader, ReadItem&& read_item) {
    if (!reader.begin_array()) {
        return false;
    }
    while (reader.next_item()) {
        if (!read_item()) {
            return reader.give_up();
        }
    }
    return reader.ok();
}

// A string that `parse` (std::string_view -> tl::expected<T, E>) accepts,
// into `out`.
template <class Parse, class T>
bool scan_text(PlainJsonReader& reader, const Parse& parse, T& out) {
    std::string_view text;
    if (!reader.string(text)) {
        return false;
    }
    auto parsed = parse(text);
    if (!parsed) {
        return reader.give_up();
    }
    out = std::move(*parsed);
    return true;
}

// An integer that fits T.
template <class T>
bool scan_unsigned(PlainJsonReader& reader, T& out) {
    std::uint64_t value = 0;
    if (!reader.unsigned_integer(value)) {
        return false;
    }
    if (value > std::numeric_limits<T>::max()) {
        return reader.give_up();
    }
    out = static_cast<T>(value);
    return true;
}

// A member that may be null, which means absent: as scan_text otherwise.
template <class Parse, class T>
bool scan_optional_text(PlainJsonReader& reader, const Parse& parse, std::optional<T>& out) {
    if (reader.null()) {
        out.reset();
        return true;
    }
    T value{};
    if (!scan_text(reader, parse, value)) {
        return false;
    }
    out = std::move(value);
    return true;
}

}  // namespace zdz::json
