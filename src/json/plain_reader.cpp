#include "json/plain_reader.hpp"

#include <cstring>

#include "encoding/text.hpp"

namespace zdz::json {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool PlainJsonReader::open(char bracket) {
    if (!ok_) {
        return false;
    }
    skip_space();
    if (next_ == end_ || *next_ != bracket) {
        return give_up();
    }
    ++next_;
    fresh_ = true;
    return true;
}

// Before a member or an item: the closing bracket (taken; false), or the
// comma that must separate this one from the one before.
bool PlainJsonReader::close_or_separate(char bracket) {
    if (!ok_) {
        return false;
    }
    skip_space();
    if (next_ == end_) {
        return give_up();
    }
    if (*next_ == bracket) {
        ++next_;
        // The container that held this one has had a member or item.
        fresh_ = false;
        return false;
    }
    if (fresh_) {
        fresh_ = false;
        return true;
    }
    if (*next_ != ',') {
        return give_up();
    }
    ++next_;
    // A comma before the closing bracket is not JSON: whatever follows must
    // be a member or an item, which the caller's read checks.
    skip_space();
    if (next_ != end_ && *next_ == bracket) {
        return give_up();
    }
    return true;
}

bool PlainJsonReader::next_member(std::string_view& name) {
    if (!close_or_separate('}')) {
        return false;
    }
    if (!string(name)) {
        return false;
    }
    skip_space();
    if (next_ == end_ || *next_ != ':') {
        return give_up();
    }
    ++next_;
    return true;
}

bool PlainJsonReader::next_item() {
    return close_or_separate(']');
}

bool PlainJsonReader::string(std::string_view& text) {
    if (!ok_) {
        return false;
    }
    skip_space();
    if (next_ == end_ || *next_ != '"') {
        return give_up();
    }
    const char* const begin = ++next_;
    unsigned char any = 0;
    while (next_ != end_) {
        const auto byte = static_cast<unsigned char>(*next_);
        if (byte == '"') {
            text = std::string_view(begin, static_cast<std::size_t>(next_ - begin));
            ++next_;
            // JSON text is UTF-8 whatever file it came from.
            return (any & 0x80) == 0 || encoding::is_valid_utf8(text) ? true : give_up();
        }
        if (byte < 0x20 || byte == '\\') {
            return give_up();
        }
        any |= byte;
        ++next_;
    }
    return give_up();
}

bool PlainJsonReader::unsigned_integer(std::uint64_t& value) {
    if (!ok_) {
        return false;
    }
    skip_space();
    if (next_ == end_ || !is_digit(*next_)) {
        return give_up();
    }
    constexpr std::uint64_t kLimit = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t total = 0;
    if (*next_ == '0') {
        ++next_;
    } else {
        while (next_ != end_ && is_digit(*next_)) {
            const auto digit = static_cast<std::uint64_t>(*next_ - '0');
            if (total > (kLimit - digit) / 10) {
                return give_up();
            }
            total = total * 10 + digit;
            ++next_;
        }
    }
    // A leading zero, a fraction or an exponent: not a plain integer.
    if (next_ != end_ && (is_digit(*next_) || *next_ == '.' || *next_ == 'e' || *next_ == 'E')) {
        return give_up();
    }
    value = total;
    return true;
}

bool PlainJsonReader::null() {
    if (!ok_) {
        return false;
    }
    skip_space();
    constexpr std::string_view kNull = "null";
    if (static_cast<std::size_t>(end_ - next_) < kNull.size() ||
        std::memcmp(next_, kNull.data(), kNull.size()) != 0) {
        return false;
    }
    next_ += kNull.size();
    return true;
}

bool PlainJsonReader::at_end() {
    if (!ok_) {
        return false;
    }
    skip_space();
    return next_ == end_ ? true : give_up();
}

}  // namespace zdz::json
