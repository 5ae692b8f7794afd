// The JSON reader: one pass over the text that knows the grammar, places and
// words each fault as the command line shows it, and grows the value tree
// (under a record reader's shape, only as much of it as the reader needs).

#include "json/reader.hpp"

#include <algorithm>
#include <charconv>
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

// A failure reported at byte i (P = i + 1).
JsonReadError at_byte(std::string_view message, std::size_t i) {
    return {std::string(message), i + 1, i};
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

}  // namespace

// Receives the parser's events and grows the value tree, keeping it usable
// when the parse stops early. Under a shape it also stops at the first thing
// the record reader would refuse, and hands each finished item of a sequence
// to the reader (see JsonShape). Each event comes with the byte offsets of
// its token; a false return ends the parse.
class JsonTreeBuilder {
public:
    JsonTreeBuilder(std::string_view text, const JsonShape* shape)
        : text_(text), root_shape_(shape) {}

    bool scalar(JsonValue value, std::size_t begin, std::size_t end) {
        value.span_.begin = begin;
        value.span_.end = end;
        const JsonShape* shape = next_shape();
        const JsonValue& placed = place(std::move(value));
        return shape == nullptr || finished(placed, *shape);
    }

    // A member's name, decoded; `end` is just after its closing quote.
    bool key(std::string_view decoded, std::size_t end) {
        JsonMember member;
        member.key.assign(decoded);
        member.key_end = end;
        member.key_position = skip_space(text_, end);
        member.value_read = false;
        auto& frame = stack_.back();
        frame.value->mutable_members().push_back(std::move(member));
        if (frame.shape == nullptr || frame.shape->kind != JsonShape::Kind::Record) {
            return true;
        }
        // An unknown or repeated name is refused as soon as it is read.
        const auto& fields = frame.shape->fields;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].name == decoded) {
                if (frame.seen[i]) {
                    return stop();
                }
                frame.seen[i] = true;
                frame.next = fields[i].shape.get();
                return true;
            }
        }
        return stop();
    }

    // An opening bracket at `begin`, and the closing one just before `end`.
    bool start(bool is_object, std::size_t begin) {
        return start(is_object ? JsonValue::object() : JsonValue::array(), begin);
    }
    bool end(std::size_t end);

    // What the parse left behind.
    std::optional<JsonValue> root;
    std::optional<JsonReadError> failure;
    // Whether the reading stopped at something the record reader refuses.
    bool stopped = false;

private:
    // An open container and what its record reader expects of it.
    struct Frame {
        JsonValue* value = nullptr;
        // Null without a shape, and inside a value that is read whole.
        const JsonShape* shape = nullptr;
        // A record: the shape of the member whose name was read last, and
        // which of its fields have been met.
        const JsonShape* next = nullptr;
        std::vector<bool> seen;
        // A sequence: how many items went to its reader, and whether one was
        // kept in the tree (then every later one is kept too, in order).
        std::size_t taken = 0;
        bool keeping = false;
    };

    bool fail(JsonReadError error) {
        failure = std::move(error);
        return false;
    }

    bool stop() {
        stopped = true;
        return false;
    }

    // What the record reader expects of the value that comes next.
    const JsonShape* next_shape() const {
        if (stack_.empty()) {
            return root_shape_;
        }
        const auto& top = stack_.back();
        if (top.shape == nullptr) {
            return nullptr;
        }
        switch (top.shape->kind) {
            case JsonShape::Kind::Record:
                return top.next;
            case JsonShape::Kind::Sequence:
                return top.shape->element.get();
            default:
                return nullptr;
        }
    }

    // A value read under `shape` is complete. An item of a sequence goes to
    // the sequence's reader and leaves the tree; any other scalar, and a
    // value read whole, is checked at once.
    bool finished(const JsonValue& value, const JsonShape& shape) {
        if (!stack_.empty() && stack_.back().shape != nullptr &&
            stack_.back().shape->kind == JsonShape::Kind::Sequence) {
            auto& frame = stack_.back();
            if (frame.keeping) {
                return true;
            }
            switch (frame.shape->take_item(value, frame.value->converted_)) {
                case JsonShape::ItemOutcome::Taken:
                    frame.value->mutable_items().pop_back();
                    ++frame.taken;
                    return true;
                case JsonShape::ItemOutcome::Kept:
                    frame.keeping = true;
                    return true;
                case JsonShape::ItemOutcome::Refused:
                    return stop();
            }
        }
        const bool checked =
            (!value.is_array() && !value.is_object()) || shape.kind == JsonShape::Kind::Any;
        return checked && shape.refuses && shape.refuses(value) ? stop() : true;
    }

    // Puts a value into the open container (or makes it the root) and returns
    // where it now lives.
    JsonValue& place(JsonValue value) {
        if (stack_.empty()) {
            value.span_.settle = value.span_.end;
            root = std::move(value);
            return *root;
        }
        auto& parent = *stack_.back().value;
        if (parent.is_array()) {
            value.span_.settle = settle_in_array(value.span_.end);
            parent.mutable_items().push_back(std::move(value));
            return parent.mutable_items().back();
        }
        value.span_.settle = settle_in_object(value.span_.end);
        auto& member = parent.mutable_members().back();
        member.value = std::move(value);
        member.value_read = true;
        return member.value;
    }

    bool start(JsonValue container, std::size_t begin) {
        if (stack_.size() + 1 >= kRecursionLimit) {
            return fail(at_byte(kRecursionLimitExceeded, begin));
        }
        const bool is_object = container.is_object();
        container.span_.begin = begin;
        container.complete_ = false;
        Frame frame;
        frame.shape = next_shape();
        frame.value = &place(std::move(container));
        bool refused = false;
        if (frame.shape != nullptr) {
            switch (frame.shape->kind) {
                case JsonShape::Kind::Scalar:
                    refused = true;
                    break;
                case JsonShape::Kind::Record:
                    refused = !is_object;
                    frame.seen.assign(frame.shape->fields.size(), false);
                    break;
                case JsonShape::Kind::Sequence:
                    refused = is_object;
                    break;
                case JsonShape::Kind::Any:
                    break;
            }
        }
        stack_.push_back(std::move(frame));
        // Refused at its bracket: nothing inside is read.
        return refused ? stop() : true;
    }

    // A closing brace after the value is taken; anything else is left.
    std::size_t settle_in_object(std::size_t end) const {
        const auto next = skip_space(text_, end);
        return next < text_.size() && text_[next] == '}' ? next + 1 : next;
    }

    // A closing bracket is taken, and so is a comma with the white space
    // after it.
    std::size_t settle_in_array(std::size_t end) const {
        const auto next = skip_space(text_, end);
        if (next < text_.size() && text_[next] == ']') {
            return next + 1;
        }
        if (next < text_.size() && text_[next] == ',') {
            return skip_space(text_, next + 1);
        }
        return next;
    }

    std::string_view text_;
    const JsonShape* root_shape_;
    // Open containers, innermost last. A parent gains no children while a
    // child is open, so these pointers stay valid.
    std::vector<Frame> stack_;
};

bool JsonTreeBuilder::end(std::size_t end) {
    const Frame frame = std::move(stack_.back());
    stack_.pop_back();
    auto& container = *frame.value;
    container.complete_ = true;
    container.span_.end = end;
    if (stack_.empty()) {
        container.span_.settle = container.span_.end;
    } else if (stack_.back().value->is_array()) {
        container.span_.settle = settle_in_array(container.span_.end);
    } else {
        container.span_.settle = settle_in_object(container.span_.end);
    }
    return frame.shape == nullptr || finished(container, *frame.shape);
}

namespace {

// The grammar, in one pass: each fault is worded and placed where the reader
// meets it, and what is read goes to the builder as it is read.
class Parser {
public:
    Parser(std::string_view text, JsonTreeBuilder& builder) : text_(text), builder_(builder) {}

    // The whole document, then nothing but white space. False when the text
    // failed (`error`) or the builder ended the parse.
    bool document() {
        if (!value(false)) {
            return false;
        }
        const auto next = skip_space(text_, at_);
        return next == text_.size() || fail(at_byte(kTrailingCharacters, next));
    }

    std::optional<JsonReadError> error;

private:
    bool fail(JsonReadError e) {
        error = std::move(e);
        return false;
    }
    bool fail_at_end(std::string_view message) {
        return fail({std::string(message), text_.size(), text_.size()});
    }
    bool at_end() const { return at_ >= text_.size(); }

    // A value; `after_comma`: an item after a comma, where a closing
    // bracket is a trailing comma.
    bool value(bool after_comma) {
        at_ = skip_space(text_, at_);
        if (at_end()) {
            return fail_at_end(kEofValue);
        }
        const std::size_t begin = at_;
        switch (text_[at_]) {
            case '{':
            case '[':
                return container(text_[at_] == '{');
            case '"': {
                if (!string()) {
                    return false;
                }
                return builder_.scalar(JsonValue::string(std::string(decoded_)), begin, at_);
            }
            case 't':
                return literal("true") && builder_.scalar(JsonValue::boolean(true), begin, at_);
            case 'f':
                return literal("false") && builder_.scalar(JsonValue::boolean(false), begin, at_);
            case 'n':
                return literal("null") && builder_.scalar(JsonValue(), begin, at_);
            case ']':
                if (after_comma) {
                    return fail(at_byte(kTrailingComma, at_));
                }
                return fail(at_byte(kExpectedValue, at_));
            default:
                if (text_[at_] == '-' || is_digit(text_[at_])) {
                    return number();
                }
                return fail(at_byte(kExpectedValue, at_));
        }
    }

    bool literal(std::string_view word) {
        for (std::size_t k = 1; k < word.size(); ++k) {
            if (at_ + k >= text_.size()) {
                return fail_at_end(kEofValue);
            }
            if (text_[at_ + k] != word[k]) {
                return fail(at_byte(kExpectedIdent, at_ + k));
            }
        }
        at_ += word.size();
        return true;
    }

    // Digits from at_; false when there is none (the fault is the caller's).
    bool digits() {
        const std::size_t first = at_;
        while (!at_end() && is_digit(text_[at_])) {
            ++at_;
        }
        return at_ > first;
    }

    bool number() {
        const std::size_t begin = at_;
        const bool negative = text_[at_] == '-';
        at_ += negative ? 1 : 0;
        if (at_end()) {
            return fail_at_end(kEofValue);
        }
        if (!is_digit(text_[at_])) {
            return fail(at_byte(kInvalidNumber, at_));
        }
        const std::size_t integer_begin = at_;
        if (text_[at_] == '0') {
            ++at_;
            // A leading zero.
            if (!at_end() && is_digit(text_[at_])) {
                return fail(at_byte(kInvalidNumber, at_));
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
                return at_end() ? fail_at_end(kEofValue) : fail(at_byte(kInvalidNumber, at_));
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
                return at_end() ? fail_at_end(kEofValue) : fail(at_byte(kInvalidNumber, at_));
            }
            for (std::size_t i = first; i < at_; ++i) {
                exponent = std::min(exponent * 10 + (text_[i] - '0'), kExponentCeiling);
            }
        }
        const auto token = text_.substr(begin, at_ - begin);
        const bool integral = integer_end == at_;
        if (integral) {
            if (auto whole = integer(token, negative)) {
                return builder_.scalar(std::move(*whole), begin, at_);
            }
        }
        const bool zero = text_[integer_begin] == '0' && fraction_zero;
        const auto value = decimal_value(token);
        // As large as no double: a zero with an exponent beyond any double's
        // reach counts as one too, and so does an integer part of that size.
        if (!value ||
            (zero && exponent_positive &&
             exponent > kZeroExponentLimit + static_cast<long>(fraction_digits)) ||
            integer_part_too_large(text_.substr(integer_begin, integer_end - integer_begin))) {
            return fail(at_byte(kNumberOutOfRange, at_ - 1));
        }
        return builder_.scalar(JsonValue::floating(*value), begin, at_);
    }

    // An integer token as an integer value, when it fits one: non-negative
    // ones up to 2^64 - 1, negative ones down to -2^63; "-0" is a
    // floating-point zero.
    static std::optional<JsonValue> integer(std::string_view token, bool negative) {
        std::uint64_t magnitude = 0;
        const auto digits = token.substr(negative ? 1 : 0);
        const auto [ptr, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
        if (ec != std::errc() || ptr != digits.data() + digits.size()) {
            return std::nullopt;
        }
        if (!negative) {
            return JsonValue::uint64(magnitude);
        }
        constexpr auto kLowest =
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
        if (magnitude == 0) {
            return JsonValue::floating(-0.0);
        }
        if (magnitude > kLowest) {
            return std::nullopt;
        }
        return JsonValue::int64(magnitude == kLowest ? std::numeric_limits<std::int64_t>::min()
                                                     : -static_cast<std::int64_t>(magnitude));
    }

    // Digits gathered as a double one by one stop short of the largest
    // double: one that reaches a tenth of it before another digit follows.
    static bool integer_part_too_large(std::string_view digits) {
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

    // Four hex digits at at_: the code unit (at_ moved past them), or the
    // failure (at the fourth digit whichever digit is bad, or at the end).
    std::optional<unsigned> hex_escape() {
        if (text_.size() - at_ < kHexEscapeDigits) {
            fail_at_end(kEofString);
            return std::nullopt;
        }
        unsigned unit = 0;
        for (std::size_t k = 0; k < kHexEscapeDigits; ++k) {
            const int v = encoding::hex_digit_value(text_[at_ + k]);
            if (v < 0) {
                fail(at_byte(kInvalidEscape, at_ + kHexEscapeDigits - 1));
                return std::nullopt;
            }
            unit = unit * 16 + static_cast<unsigned>(v);
        }
        at_ += kHexEscapeDigits;
        return unit;
    }

    // The escape whose letter stands at at_ (just after its backslash).
    bool escape() {
        const char letter = text_[at_];
        if (const auto named = std::string_view("\"\\/bfnrt").find(letter);
            named != std::string_view::npos) {
            decoded_ += "\"\\/\b\f\n\r\t"[named];
            ++at_;
            return true;
        }
        if (letter != 'u') {
            return fail(at_byte(kInvalidEscape, at_));
        }
        ++at_;
        const auto unit = hex_escape();
        if (!unit) {
            return false;
        }
        if (*unit >= kLowSurrogateFirst && *unit <= kLowSurrogateLast) {
            return fail(at_byte(kLoneSurrogate, at_ - 1));
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
                return fail(at_byte(kEndOfHexEscape, at_));
            }
            ++at_;
        }
        const auto low = hex_escape();
        if (!low) {
            return false;
        }
        if (*low < kLowSurrogateFirst || *low > kLowSurrogateLast) {
            return fail(at_byte(kLoneSurrogate, at_ - 1));
        }
        encoding::append_utf8(decoded_, kSupplementaryFirst +
                                            ((*unit - kHighSurrogateFirst) << kSurrogateBits) +
                                            (*low - kLowSurrogateFirst));
        return true;
    }

    // The string whose opening quote is at at_, decoded into decoded_; at_
    // ends just after its closing quote.
    bool string() {
        decoded_.clear();
        ++at_;
        std::size_t plain = at_;
        for (;;) {
            if (at_end()) {
                return fail_at_end(kEofString);
            }
            const char c = text_[at_];
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                decoded_.append(text_.data() + plain, at_ - plain);
                ++at_;
                if (c == '"') {
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
                return fail(at_byte(kControlCharacter, at_));
            } else if (byte >= 0x80) {
                const auto decoded = encoding::decode_utf8_at(text_, at_);
                if (!decoded) {
                    return fail(at_byte(kInvalidCodePoint, at_));
                }
                at_ += decoded->length;
            } else {
                ++at_;
            }
        }
    }

    // An object or an array from its opening bracket at at_.
    bool container(bool is_object) {
        const char closing = is_object ? '}' : ']';
        if (!builder_.start(is_object, at_++)) {
            return false;
        }
        for (bool first = true;; first = false) {
            at_ = skip_space(text_, at_);
            if (at_end()) {
                return fail_at_end(is_object ? kEofObject : kEofList);
            }
            if (text_[at_] == closing) {
                return builder_.end(++at_);
            }
            if (!first && text_[at_] != ',') {
                return fail(at_byte(is_object ? kExpectedObjectEnd : kExpectedListEnd, at_));
            }
            at_ += first ? 0 : 1;
            if (!(is_object ? member(!first) : value(!first))) {
                return false;
            }
        }
    }

    // A member's name, its colon and its value.
    bool member(bool after_comma) {
        at_ = skip_space(text_, at_);
        if (after_comma && at_end()) {
            return fail_at_end(kEofValue);
        }
        if (after_comma && text_[at_] == '}') {
            return fail(at_byte(kTrailingComma, at_));
        }
        if (text_[at_] != '"') {
            return fail(at_byte(kKeyMustBeString, at_));
        }
        if (!string() || !builder_.key(decoded_, at_)) {
            return false;
        }
        at_ = skip_space(text_, at_);
        if (at_end()) {
            return fail_at_end(kEofObject);
        }
        if (text_[at_] != ':') {
            return fail(at_byte(kExpectedColon, at_));
        }
        ++at_;
        return value(false);
    }

    std::string_view text_;
    JsonTreeBuilder& builder_;
    std::size_t at_ = 0;
    // The string read last, decoded.
    std::string decoded_;
};

}  // namespace

JsonParse parse_json_document(std::string_view text, const JsonShape* shape) {
    JsonTreeBuilder builder(text, shape);
    Parser parser(text, builder);
    const bool read = parser.document();
    JsonParse parse;
    if (builder.stopped) {
        parse.error = unfinished_read();
    } else if (!read) {
        parse.error = builder.failure ? *builder.failure : *parser.error;
    }
    parse.root = std::move(builder.root);
    return parse;
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

JsonReadError unfinished_read() {
    return {"EOF while parsing a value", 0, 0};
}

tl::expected<JsonValue, DocumentError> read_json(std::string_view text) {
    try {
        auto parsed = parse_json_document(text);
        if (parsed.error) {
            return tl::unexpected(DocumentError::syntax(text, *parsed.error));
        }
        return std::move(*parsed.root);
    } catch (const std::bad_alloc&) {
        return tl::unexpected(DocumentError::out_of_memory());
    }
}

}  // namespace zdz::json
