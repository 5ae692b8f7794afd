// The JSON reader: RapidJSON's SAX parser builds the value tree (under a
// record reader's shape, only as much of it as the reader needs), and its
// error codes are translated into the reader messages the command line shows
// (json/syntax.hpp re-examines the text where RapidJSON stops elsewhere).

#include "json/reader.hpp"

#include <rapidjson/reader.h>

#include <algorithm>
#include <limits>

#include "encoding/text.hpp"
#include "json/offset_stream.hpp"
#include "json/syntax.hpp"

namespace zdz::json {

using namespace syntax;

namespace {

// The reader refuses the 128th nested array or object, which also bounds the
// recursion of RapidJSON's parser.
constexpr std::size_t kRecursionLimit = 128;

// In situ, at RapidJSON's normal precision: then its internal stack is never
// used (its first push is undefined behaviour in this RapidJSON version), and
// floating-point tokens are converted again here anyway.
constexpr unsigned kParseFlags = rapidjson::kParseInsituFlag |
                                 rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseStopWhenDoneFlag;

}  // namespace

// Receives RapidJSON's events and grows the value tree, keeping it usable
// when the parse stops early. Under a shape it also stops at the first thing
// the record reader would refuse, and hands each finished item of a sequence
// to the reader (see JsonShape).
class JsonTreeBuilder {
public:
    JsonTreeBuilder(std::string_view text, OffsetStream& stream, const JsonShape* shape)
        : text_(text), stream_(stream), root_shape_(shape) {}

    bool Null() { return scalar(JsonValue(), stream_.Tell() - kTrueOrNullLength); }
    bool Bool(bool b) {
        const auto length = b ? kTrueOrNullLength : kFalseLength;
        return scalar(JsonValue::boolean(b), stream_.Tell() - length);
    }
    // RapidJSON reports "-0" as the signed integer 0; like any negative zero
    // it is a floating-point value.
    bool Int(int i) {
        return i == 0 ? number(JsonValue::floating(-0.0)) : number(JsonValue::int64(i));
    }
    bool Uint(unsigned u) { return number(JsonValue::uint64(u)); }
    bool Int64(std::int64_t i) { return number(JsonValue::int64(i)); }
    bool Uint64(std::uint64_t u) { return number(JsonValue::uint64(u)); }
    // RapidJSON's own conversion goes wrong near the top of the range (10e308
    // comes out as a tiny negative number), so the token is converted again.
    bool Double(double) {
        const auto end = stream_.Tell();
        const auto begin = number_start(text_, end);
        const auto value = decimal_value(text_.substr(begin, end - begin));
        if (!value) {
            return fail(at_byte(kNumberOutOfRange, end - 1));
        }
        return scalar(JsonValue::floating(*value), begin, true);
    }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }

    bool String(const char*, rapidjson::SizeType length, bool) {
        const auto begin = opening_quote_before(text_, stream_.Tell() - 1);
        if (!checked_text(stream_.decoded(length), begin)) {
            return false;
        }
        return scalar(JsonValue::string(stream_.take_decoded(length)), begin);
    }

    bool Key(const char*, rapidjson::SizeType length, bool) {
        const auto begin = opening_quote_before(text_, stream_.Tell() - 1);
        const auto decoded = stream_.decoded(length);
        if (!checked_text(decoded, begin)) {
            return false;
        }
        JsonMember member;
        member.key.assign(decoded);
        member.key_end = stream_.Tell();
        member.key_position = skip_space(text_, member.key_end);
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

    bool StartObject() { return start(JsonValue::object()); }
    bool StartArray() { return start(JsonValue::array()); }
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool EndArray(rapidjson::SizeType) { return end(); }

    // What the parse left behind.
    std::optional<JsonValue> root;
    std::optional<JsonReadError> failure;
    // Whether the reading stopped at something the record reader refuses.
    bool stopped = false;

    // Whether the innermost open container has nothing in it yet (right after
    // its bracket); false when no container is open.
    bool innermost_is_fresh() const {
        if (stack_.empty()) {
            return false;
        }
        const auto& top = stack_.back();
        return top.value->is_array() ? top.value->items().empty() && top.taken == 0
                                     : top.value->members().empty();
    }
    bool innermost_is_array() const { return !stack_.empty() && stack_.back().value->is_array(); }

    // Forgets the last value read: a number that turned out to have a
    // leading zero was never a complete token (nor handed to a record reader).
    void forget_last_value() {
        if (stack_.empty()) {
            root.reset();
            return;
        }
        auto& top = *stack_.back().value;
        if (top.is_array()) {
            top.mutable_items().pop_back();
        } else {
            top.mutable_members().back().value = JsonValue();
            top.mutable_members().back().value_read = false;
        }
    }

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

    // Decoded text that is not valid UTF-8 came from a lone low surrogate
    // escape (RapidJSON encodes it) or from raw bytes: the string is walked
    // again to name the first problem at its place.
    bool checked_text(std::string_view decoded, std::size_t quote) {
        if (encoding::is_valid_utf8(decoded)) {
            return true;
        }
        auto problem = string_problem(text_, quote);
        return fail(problem ? *problem : at_byte(kInvalidCodePoint, quote));
    }

    bool number(JsonValue value) {
        const auto end = stream_.Tell();
        return scalar(std::move(value), number_start(text_, end), true);
    }

    bool scalar(JsonValue value, std::size_t begin, bool is_number = false) {
        value.span_.begin = begin;
        value.span_.end = stream_.Tell();
        const JsonShape* shape = next_shape();
        const JsonValue& placed = place(std::move(value));
        // A number followed by a digit had a leading zero: the parse fails
        // right here, and the value is forgotten.
        if (shape == nullptr || (is_number && after_leading_zero(text_, stream_.Tell()))) {
            return true;
        }
        return finished(placed, *shape);
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

    bool start(JsonValue container) {
        if (stack_.size() + 1 >= kRecursionLimit) {
            return fail(at_byte(kRecursionLimitExceeded, stream_.Tell() - 1));
        }
        const bool is_object = container.is_object();
        container.span_.begin = stream_.Tell() - 1;
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

    bool end() {
        const Frame frame = std::move(stack_.back());
        stack_.pop_back();
        auto& container = *frame.value;
        container.complete_ = true;
        container.span_.end = stream_.Tell();
        if (stack_.empty()) {
            container.span_.settle = container.span_.end;
        } else if (stack_.back().value->is_array()) {
            container.span_.settle = settle_in_array(container.span_.end);
        } else {
            container.span_.settle = settle_in_object(container.span_.end);
        }
        return frame.shape == nullptr || finished(container, *frame.shape);
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
    OffsetStream& stream_;
    const JsonShape* root_shape_;
    // Open containers, innermost last. A parent gains no children while a
    // child is open, so these pointers stay valid.
    std::vector<Frame> stack_;
};

namespace {

JsonReadError translate(rapidjson::ParseErrorCode code, std::size_t offset, std::string_view text,
                        JsonTreeBuilder& builder) {
    const bool at_eof = offset >= text.size();
    switch (code) {
        case rapidjson::kParseErrorDocumentEmpty:
            return at_eof ? at_end(kEofValue, text) : at_byte(kExpectedValue, offset);
        case rapidjson::kParseErrorObjectMissName:
            if (at_eof) {
                return at_end(builder.innermost_is_fresh() ? kEofObject : kEofValue, text);
            }
            return at_byte(text[offset] == '}' ? kTrailingComma : kKeyMustBeString, offset);
        case rapidjson::kParseErrorObjectMissColon:
            return at_eof ? at_end(kEofObject, text) : at_byte(kExpectedColon, offset);
        case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
        case rapidjson::kParseErrorArrayMissCommaOrSquareBracket: {
            const bool in_object = code == rapidjson::kParseErrorObjectMissCommaOrCurlyBracket;
            if (at_eof) {
                return at_end(in_object ? kEofObject : kEofList, text);
            }
            if (after_leading_zero(text, offset)) {
                builder.forget_last_value();
                return at_byte(kInvalidNumber, offset);
            }
            return at_byte(in_object ? kExpectedObjectEnd : kExpectedListEnd, offset);
        }
        case rapidjson::kParseErrorValueInvalid: {
            // Inside a literal, after a minus sign, or where a value should start.
            const char before = offset > 0 ? text[offset - 1] : '\0';
            if (is_ascii_letter(before) || before == '-') {
                return at_eof ? at_end(kEofValue, text)
                              : at_byte(before == '-' ? kInvalidNumber : kExpectedIdent, offset);
            }
            if (at_eof) {
                const bool fresh_list =
                    builder.innermost_is_array() && builder.innermost_is_fresh();
                return at_end(fresh_list ? kEofList : kEofValue, text);
            }
            if (builder.innermost_is_array() && text[offset] == ']') {
                return at_byte(kTrailingComma, offset);
            }
            return at_byte(kExpectedValue, offset);
        }
        case rapidjson::kParseErrorNumberMissFraction:
        case rapidjson::kParseErrorNumberMissExponent:
            return at_eof ? at_end(kEofValue, text) : at_byte(kInvalidNumber, offset);
        case rapidjson::kParseErrorNumberTooBig:
            return at_byte(kNumberOutOfRange, number_end(text, offset) - 1);
        case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
        case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
        case rapidjson::kParseErrorStringEscapeInvalid:
        case rapidjson::kParseErrorStringMissQuotationMark:
        case rapidjson::kParseErrorStringInvalidEncoding: {
            auto problem = string_problem(text, opening_quote_before(text, offset));
            return problem ? *problem : at_byte(kInvalidEscape, offset);
        }
        default:
            return at_eof ? at_end(kEofValue, text) : at_byte(kExpectedValue, offset);
    }
}

}  // namespace

JsonParse parse_json_document(std::string_view text, const JsonShape* shape) {
    OffsetStream stream(text);
    JsonTreeBuilder builder(text, stream, shape);
    rapidjson::Reader reader;
    const auto result = reader.Parse<kParseFlags>(stream, builder);

    JsonParse parse;
    if (builder.stopped) {
        parse.error = unfinished_read();
    } else if (result.IsError()) {
        parse.error = builder.failure ? *builder.failure
                                      : translate(result.Code(), result.Offset(), text, builder);
    } else {
        const auto next = skip_space(text, stream.Tell());
        if (next < text.size()) {
            if (after_leading_zero(text, next)) {
                builder.forget_last_value();
                parse.error = at_byte(kInvalidNumber, next);
            } else {
                parse.error = at_byte(kTrailingCharacters, next);
            }
        }
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
