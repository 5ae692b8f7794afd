// The JSON cursor: one pass over the text that knows the grammar and places
// and words each fault as the command line shows it; and the value tree of a
// free-form document read with it.

#include "json/reader.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

#include "encoding/hex.hpp"
#include "encoding/text.hpp"

namespace zdz::json {

namespace {

// The reader refuses the 128th nested array or object.
constexpr std::size_t kRecursionLimit = 128;

// The reader's messages. The end of the text inside a construct:
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofValue = "EOF while parsing a value";
// A byte that cannot come where it stands:
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedListEnd = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kExpectedValue = "expected value";
// Around the values:
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kRecursionLimitExceeded = "recursion limit exceeded";
// Inside numbers:
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kNumberOutOfRange = "number out of range";
// Inside strings:
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";

constexpr std::size_t kHexEscapeDigits = 4;
constexpr unsigned kHighSurrogateFirst = 0xD800;
constexpr unsigned kLowSurrogateFirst = 0xDC00;
constexpr unsigned kLowSurrogateLast = 0xDFFF;
constexpr unsigned kSupplementaryFirst = 0x10000;
constexpr unsigned kSurrogateBits = 10;
// A positive decimal exponent beyond which a number with no significant
// digit is refused as too large, less one per digit after the point; and a
// ceiling that keeps the arithmetic from overflowing.
constexpr long kZeroExponentLimit = 308;
constexpr long kExponentCeiling = 100000;
// An integer part that reaches this before another digit is refused.
constexpr double kIntegerPartLimit = 1.7976931348623157e307;

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::size_t skip_space(std::string_view text, std::size_t i) {
    while (i < text.size() && is_json_space(text[i])) {
        ++i;
    }
    return i;
}

// Whether a number token that does not fit a double is too large (rather
// than too small): its decimal exponent, with the point after the first
// significant digit, is positive.
bool too_large(std::string_view token) {
    std::size_t i = token.empty() || token[0] != '-' ? 0 : 1;
    long magnitude = 0;
    bool significant = false;
    for (; i < token.size() && is_digit(token[i]); ++i) {
        significant = significant || token[i] != '0';
        magnitude += significant ? 1 : 0;
    }
    if (i < token.size() && token[i] == '.') {
        for (++i; i < token.size() && is_digit(token[i]); ++i) {
            if (!significant && token[i] == '0') {
                --magnitude;
            }
            significant = significant || token[i] != '0';
        }
    }
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        const bool negative = i < token.size() && token[i] == '-';
        if (i < token.size() && (token[i] == '-' || token[i] == '+')) {
            ++i;
        }
        long exponent = 0;
        for (; i < token.size() && is_digit(token[i]); ++i) {
            exponent = std::min(exponent * 10 + (token[i] - '0'), kExponentCeiling);
        }
        magnitude += negative ? -exponent : exponent;
    }
    return magnitude > 0;
}

// The double nearest to a number token; nullopt when it is too large for one.
// Too small a number is zero.
std::optional<double> decimal_value(std::string_view token) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec == std::errc() && ptr == token.data() + token.size()) {
        return value;
    }
    if (ec == std::errc::result_out_of_range && !too_large(token)) {
        return token[0] == '-' ? -0.0 : 0.0;
    }
    return std::nullopt;
}

// Where the first byte from `i` on stands that a string's reading must look
// at (a quote, a backslash, a control character or a byte that is not
// ASCII), eight bytes at once where it can: a store is megabytes of plain
// strings.
std::size_t plain_run(std::string_view text, std::size_t i) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    const auto has_zero_byte = [](std::uint64_t v) { return ((v - kOnes) & ~v & kHighBits) != 0; };
    for (; i + sizeof(std::uint64_t) <= text.size(); i += sizeof(std::uint64_t)) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, sizeof word);
        if ((word & kHighBits) != 0 || has_zero_byte(word & ~(kOnes * 0x1F)) ||
            has_zero_byte(word ^ (kOnes * '"')) || has_zero_byte(word ^ (kOnes * '\\'))) {
            break;
        }
    }
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\') {
            break;
        }
        ++i;
    }
    return i;
}

// Digits gathered as a double one by one stop short of the largest double:
// one that reaches a tenth of it before another digit follows.
bool integer_part_too_large(std::string_view digits) {
    constexpr std::size_t kExactDigits = 19;
    if (digits.size() <= kExactDigits) {
        return false;
    }
    double d = 0.0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && d >= kIntegerPartLimit) {
            return true;
        }
        d = d * 10 + (digits[i] - '0');
    }
    return false;
}

}  // namespace

bool JsonCursor::fail(JsonReadError error) {
    if (!fault_) {
        fault_ = std::move(error);
    }
    return false;
}

// A fault at byte i (P = i + 1).
bool JsonCursor::fail_at(std::string_view message, std::size_t i) {
    return fail({std::string(message), i + 1});
}

bool JsonCursor::fail_at_end(std::string_view message) {
    return fail({std::string(message), text_.size()});
}

bool JsonCursor::refuse(std::string message, std::size_t position) {
    if (!fault_) {
        fault_kind_ = DocumentError::Kind::Refused;
    }
    return fail({std::move(message), position});
}

DocumentError JsonCursor::error() const {
    const JsonReadError none{"EOF while parsing a value", 0};
    const auto& fault = fault_ ? *fault_ : none;
    return fault_kind_ == DocumentError::Kind::Refused ? DocumentError::refused(text_, fault)
                                                       : DocumentError::syntax(text_, fault);
}

void JsonCursor::skip_space() {
    at_ = json::skip_space(text_, at_);
}

std::size_t JsonCursor::key_position() const {
    return json::skip_space(text_, key_end_);
}

std::size_t JsonCursor::settled(std::size_t end) const {
    if (open_.empty()) {
        return end;
    }
    const auto next = json::skip_space(text_, end);
    if (open_.back().object) {
        return next < text_.size() && text_[next] == '}' ? next + 1 : next;
    }
    if (next < text_.size() && text_[next] == ']') {
        return next + 1;
    }
    if (next < text_.size() && text_[next] == ',') {
        return json::skip_space(text_, next + 1);
    }
    return next;
}

bool JsonCursor::value(Next& next) {
    const bool after_comma = after_comma_;
    after_comma_ = false;
    skip_space();
    if (at_end()) {
        return fail_at_end(kEofValue);
    }
    value_begin_ = at_;
    scalar_ = JsonScalar{};
    scalar_.begin = at_;
    next = Next::Scalar;
    bool read = false;
    switch (text_[at_]) {
        case '{':
            next = Next::Object;
            return true;
        case '[':
            next = Next::Array;
            return true;
        case '"':
            read = string();
            scalar_.kind = JsonKind::String;
            scalar_.text = string_;
            break;
        case 't':
            read = literal("true");
            scalar_.kind = JsonKind::Bool;
            scalar_.boolean = true;
            break;
        case 'f':
            read = literal("false");
            scalar_.kind = JsonKind::Bool;
            break;
        case 'n':
            read = literal("null");
            break;
        case ']':
            return fail_at(after_comma ? kTrailingComma : kExpectedValue, at_);
        default:
            if (text_[at_] == '-' || is_digit(text_[at_])) {
                read = number();
                break;
            }
            return fail_at(kExpectedValue, at_);
    }
    scalar_.end = at_;
    return read;
}

bool JsonCursor::literal(std::string_view word) {
    for (std::size_t k = 1; k < word.size(); ++k) {
        if (at_ + k >= text_.size()) {
            return fail_at_end(kEofValue);
        }
        if (text_[at_ + k] != word[k]) {
            return fail_at(kExpectedIdent, at_ + k);
        }
    }
    at_ += word.size();
    return true;
}

// Digits from at_; false when there is none (the fault is the caller's).
bool JsonCursor::digits() {
    const std::size_t first = at_;
    while (!at_end() && is_digit(text_[at_])) {
        ++at_;
    }
    return at_ > first;
}

bool JsonCursor::number() {
    const std::size_t begin = at_;
    const bool negative = text_[at_] == '-';
    at_ += negative ? 1 : 0;
    if (at_end()) {
        return fail_at_end(kEofValue);
    }
    if (!is_digit(text_[at_])) {
        return fail_at(kInvalidNumber, at_);
    }
    const std::size_t integer_begin = at_;
    if (text_[at_] == '0') {
        ++at_;
        // A leading zero.
        if (!at_end() && is_digit(text_[at_])) {
            return fail_at(kInvalidNumber, at_);
        }
    } else {
        digits();
    }
    const std::size_t integer_end = at_;
    std::size_t fraction_digits = 0;
    bool fraction_zero = true;
    if (!at_end() && text_[at_] == '.') {
        ++at_;
        const std::size_t first = at_;
        if (!digits()) {
            return at_end() ? fail_at_end(kEofValue) : fail_at(kInvalidNumber, at_);
        }
        fraction_digits = at_ - first;
        fraction_zero = text_.find_first_not_of('0', first) >= at_;
    }
    long exponent = 0;
    bool exponent_positive = false;
    if (!at_end() && (text_[at_] == 'e' || text_[at_] == 'E')) {
        ++at_;
        exponent_positive = at_end() || text_[at_] != '-';
        if (!at_end() && (text_[at_] == '+' || text_[at_] == '-')) {
            ++at_;
        }
        const std::size_t first = at_;
        if (!digits()) {
            return at_end() ? fail_at_end(kEofValue) : fail_at(kInvalidNumber, at_);
        }
        for (std::size_t i = first; i < at_; ++i) {
            exponent = std::min(exponent * 10 + (text_[i] - '0'), kExponentCeiling);
        }
    }
    const auto token = text_.substr(begin, at_ - begin);
    if (integer_end == at_ && integer(token, negative)) {
        return true;
    }
    const bool zero = text_[integer_begin] == '0' && fraction_zero;
    const auto value = decimal_value(token);
    // As large as no double: a zero with an exponent beyond any double's
    // reach counts as one too, and so does an integer part of that size.
    if (!value ||
        (zero && exponent_positive &&
         exponent > kZeroExponentLimit + static_cast<long>(fraction_digits)) ||
        integer_part_too_large(text_.substr(integer_begin, integer_end - integer_begin))) {
        return fail_at(kNumberOutOfRange, at_ - 1);
    }
    scalar_.kind = JsonKind::Double;
    scalar_.floating = *value;
    return true;
}

// An integer token as an integer value, when it fits one: non-negative ones
// up to 2^64 - 1, negative ones down to -2^63; "-0" is a floating-point zero.
bool JsonCursor::integer(std::string_view token, bool negative) {
    std::uint64_t magnitude = 0;
    const auto digits = token.substr(negative ? 1 : 0);
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) {
        return false;
    }
    if (!negative) {
        scalar_.kind = JsonKind::Uint;
        scalar_.uint64 = magnitude;
        return true;
    }
    constexpr auto kLowest =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
    if (magnitude == 0) {
        scalar_.kind = JsonKind::Double;
        scalar_.floating = -0.0;
        return true;
    }
    if (magnitude > kLowest) {
        return false;
    }
    scalar_.kind = JsonKind::Int;
    scalar_.int64 = magnitude == kLowest ? std::numeric_limits<std::int64_t>::min()
                                         : -static_cast<std::int64_t>(magnitude);
    return true;
}

// Four hex digits at at_: the code unit (at_ moved past them), or the
// failure (at the fourth digit whichever digit is bad, or at the end).
std::optional<unsigned> JsonCursor::hex_escape() {
    if (text_.size() - at_ < kHexEscapeDigits) {
        fail_at_end(kEofString);
        return std::nullopt;
    }
    unsigned unit = 0;
    for (std::size_t k = 0; k < kHexEscapeDigits; ++k) {
        const int v = encoding::hex_digit_value(text_[at_ + k]);
        if (v < 0) {
            fail_at(kInvalidEscape, at_ + kHexEscapeDigits - 1);
            return std::nullopt;
        }
        unit = unit * 16 + static_cast<unsigned>(v);
    }
    at_ += kHexEscapeDigits;
    return unit;
}

// The escape whose letter stands at at_ (just after its backslash).
bool JsonCursor::escape() {
    const char letter = text_[at_];
    if (const auto named = std::string_view("\"\\/bfnrt").find(letter);
        named != std::string_view::npos) {
        decoded_ += "\"\\/\b\f\n\r\t"[named];
        ++at_;
        return true;
    }
    if (letter != 'u') {
        return fail_at(kInvalidEscape, at_);
    }
    ++at_;
    const auto unit = hex_escape();
    if (!unit) {
        return false;
    }
    if (*unit >= kLowSurrogateFirst && *unit <= kLowSurrogateLast) {
        return fail_at(kLoneSurrogate, at_ - 1);
    }
    if (*unit < kHighSurrogateFirst || *unit >= kLowSurrogateFirst) {
        encoding::append_utf8(decoded_, *unit);
        return true;
    }
    // A high surrogate: a low one must follow as its own escape.
    for (const char expected : {'\\', 'u'}) {
        if (at_end()) {
            return fail_at_end(kEofString);
        }
        if (text_[at_] != expected) {
            return fail_at(kEndOfHexEscape, at_);
        }
        ++at_;
    }
    const auto low = hex_escape();
    if (!low) {
        return false;
    }
    if (*low < kLowSurrogateFirst || *low > kLowSurrogateLast) {
        return fail_at(kLoneSurrogate, at_ - 1);
    }
    encoding::append_utf8(decoded_, kSupplementaryFirst +
                                        ((*unit - kHighSurrogateFirst) << kSurrogateBits) +
                                        (*low - kLowSurrogateFirst));
    return true;
}

// The string whose opening quote is at at_, decoded into string_ (the text
// itself while no escape is met, decoded_ after one); at_ ends just after its
// closing quote.
bool JsonCursor::string() {
    ++at_;
    const std::size_t begin = at_;
    std::size_t plain = at_;
    bool escaped = false;
    for (;;) {
        at_ = plain_run(text_, at_);
        if (at_end()) {
            return fail_at_end(kEofString);
        }
        const char c = text_[at_];
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' && !escaped) {
            string_ = text_.substr(begin, at_ - begin);
            ++at_;
            return true;
        }
        if (c == '"' || c == '\\') {
            if (!escaped) {
                decoded_.clear();
                escaped = true;
            }
            decoded_.append(text_.data() + plain, at_ - plain);
            ++at_;
            if (c == '"') {
                string_ = decoded_;
                return true;
            }
            if (at_end()) {
                return fail_at_end(kEofString);
            }
            if (!escape()) {
                return false;
            }
            plain = at_;
        } else if (byte < 0x20) {
            return fail_at(kControlCharacter, at_);
        } else if (byte >= 0x80) {
            const auto decoded = encoding::decode_utf8_at(text_, at_);
            if (!decoded) {
                return fail_at(kInvalidCodePoint, at_);
            }
            at_ += decoded->length;
        } else {
            ++at_;
        }
    }
}

bool JsonCursor::open() {
    if (open_.size() + 1 >= kRecursionLimit) {
        return fail_at(kRecursionLimitExceeded, at_);
    }
    open_.push_back(Open{text_[at_] == '{'});
    ++at_;
    return true;
}

bool JsonCursor::separate(char closing, bool& more) {
    auto& open = open_.back();
    skip_space();
    if (at_end()) {
        return fail_at_end(open.object ? kEofObject : kEofList);
    }
    if (text_[at_] == closing) {
        closed_at_ = ++at_;
        open_.pop_back();
        more = false;
        return true;
    }
    const bool first = open.first;
    if (!first && text_[at_] != ',') {
        return fail_at(open.object ? kExpectedObjectEnd : kExpectedListEnd, at_);
    }
    at_ += first ? 0 : 1;
    open.first = false;
    after_comma_ = !first;
    more = true;
    return true;
}

bool JsonCursor::next_member(bool& more) {
    if (!separate('}', more) || !more) {
        return !fault_;
    }
    const bool after_comma = after_comma_;
    after_comma_ = false;
    skip_space();
    if (after_comma && at_end()) {
        return fail_at_end(kEofValue);
    }
    if (after_comma && text_[at_] == '}') {
        return fail_at(kTrailingComma, at_);
    }
    if (text_[at_] != '"') {
        return fail_at(kKeyMustBeString, at_);
    }
    if (!string()) {
        return false;
    }
    key_end_ = at_;
    return true;
}

bool JsonCursor::colon() {
    skip_space();
    if (at_end()) {
        return fail_at_end(kEofObject);
    }
    if (text_[at_] != ':') {
        return fail_at(kExpectedColon, at_);
    }
    ++at_;
    return true;
}

bool JsonCursor::next_item(bool& more) {
    return separate(']', more);
}

bool JsonCursor::finish() {
    skip_space();
    return at_end() || fail_at(kTrailingCharacters, at_);
}

namespace {

DocumentError placed(DocumentError::Kind kind, std::string_view text, const JsonReadError& error) {
    const std::size_t position = std::min(error.position, text.size());
    const auto before = text.substr(0, position);
    const auto line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const auto last_lf = before.rfind('\n');
    const std::size_t column =
        last_lf == std::string_view::npos ? position : position - last_lf - 1;
    return DocumentError{kind, error.message, position, line, column};
}

// The object or array just met, opened and read to its end: `next` moves to
// each of its members or items in turn, `read_entry` reads the one it has
// moved to. False when the cursor or `read_entry` fails.
template <class ReadEntry>
bool read_entries(JsonCursor& in, bool (JsonCursor::*next)(bool&), ReadEntry read_entry) {
    if (!in.open()) {
        return false;
    }
    for (bool more = true;;) {
        if (!(in.*next)(more)) {
            return false;
        }
        if (!more) {
            return true;
        }
        if (!read_entry()) {
            return false;
        }
    }
}

// A value and everything inside it, as a tree.
bool read_tree(JsonCursor& in, JsonValue& out) {
    JsonCursor::Next next{};
    if (!in.value(next)) {
        return false;
    }
    const auto& scalar = in.scalar();
    switch (next) {
        case JsonCursor::Next::Scalar:
            switch (scalar.kind) {
                case JsonKind::Bool:
                    out = JsonValue::boolean(scalar.boolean);
                    break;
                case JsonKind::Int:
                    out = JsonValue::int64(scalar.int64);
                    break;
                case JsonKind::Uint:
                    out = JsonValue::uint64(scalar.uint64);
                    break;
                case JsonKind::Double:
                    out = JsonValue::floating(scalar.floating);
                    break;
                case JsonKind::String:
                    out = JsonValue::string(std::string(scalar.text));
                    break;
                default:
                    out = JsonValue();
                    break;
            }
            return true;
        case JsonCursor::Next::Object:
            out = JsonValue::object();
            return read_entries(in, &JsonCursor::next_member, [&] {
                std::string key(in.key());
                JsonValue value;
                if (!in.colon() || !read_tree(in, value)) {
                    return false;
                }
                out.add(std::move(key), std::move(value));
                return true;
            });
        case JsonCursor::Next::Array:
            out = JsonValue::array();
            return read_entries(in, &JsonCursor::next_item, [&] {
                JsonValue item;
                if (!read_tree(in, item)) {
                    return false;
                }
                out.push(std::move(item));
                return true;
            });
    }
    return false;
}

}  // namespace

DocumentError DocumentError::syntax(std::string_view text, const JsonReadError& error) {
    return placed(Kind::Syntax, text, error);
}

DocumentError DocumentError::refused(std::string_view text, const JsonReadError& error) {
    return placed(Kind::Refused, text, error);
}

DocumentError DocumentError::out_of_memory() {
    return DocumentError{Kind::OutOfMemory, "not enough memory to read the document", 0, 0, 0};
}

std::string DocumentError::display() const {
    if (kind == Kind::OutOfMemory) {
        return message;
    }
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

tl::expected<JsonValue, DocumentError> read_json(std::string_view text) {
    try {
        JsonCursor in(text);
        JsonValue root;
        if (!read_tree(in, root) || !in.finish()) {
            return tl::unexpected(in.error());
        }
        return root;
    } catch (const std::bad_alloc&) {
        return tl::unexpected(DocumentError::out_of_memory());
    }
}

}  // namespace zdz::json
