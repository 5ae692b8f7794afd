#pragma once

// The system's JSON records, each described once.
//
// A record's description names the record and, in declaration order, each
// member: its name, the field it binds, the codec of its value, and whether
// it may be absent. It stands next to the record's type, as a function found
// by argument-dependent lookup:
//
//   constexpr auto describe(json::Type<KdfParams>) {
//       return json::record<KdfParams>(
//           "KdfParams", json::required("algorithm", &KdfParams::algorithm, json::plain_text),
//           json::required("m_cost_kib", &KdfParams::m_cost_kib, json::u32), ...);
//   }
//
// The one description drives both ways:
//
//   read_record<KdfParams>(text)  the document read straight into the record
//                                 in one pass (JsonCursor), no value tree; the
//                                 first fault met, syntax or refusal, placed
//                                 in the text
//   write_record(writer, params)  the members in declaration order (the file
//                                 layout) or in ascending byte order of their
//                                 names (the canonical layout, the signed
//                                 bytes), nested records alike
//
// What is refused, and where (P is the position "line L column C" names):
//   not an object           "invalid type: {what}, expected struct {Record}"
//   unknown member          "unknown field `x`, expected ..." just after the
//                           name and the white space behind it
//   repeated member         "duplicate field `x`", there too
//   missing member          "missing field `x"` just after the closing brace,
//                           the first missing one in declaration order
//   a rule across members   its own reason, just after the closing brace
//                           (RecordDescription::checked_by)
//   a value of another type "invalid type: {what}, expected {expected}" at its
//                           opening bracket, or just after a scalar
//   a value its codec takes as its type but refuses: see each codec.
//
// The members of a record are listed in the order its type declares them, all
// of them: a record read is built from them in that order. A record may derive
// from one plain struct whose fields it begins with (two file records with the
// same leading members): those members come first, bound by the base's member
// pointers, and the base is built from them.

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "contracts/errors.hpp"
#include "encoding/try.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace zdz::json {

// The tag by which a record's description is found: describe(Type<R>{}).
template <class R>
struct Type {};

template <class R>
concept Described = requires {
    describe(Type<R>{});
};

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

using Next = JsonCursor::Next;

// ---- refusals -------------------------------------------------------------

// "string \"x\"", "integer `5`", "floating point `1.0`", "boolean `true`",
// "null", "sequence" or "map": the value the cursor stands at.
std::string unexpected_text(const JsonCursor& in, Next next);

// "invalid type: {unexpected}, expected {expected}": at the opening bracket
// of an array or object, just after a scalar.
[[nodiscard]] bool refuse_type(JsonCursor& in, Next next, std::string_view expected);
// A scalar of the right type whose value is refused, just after it.
[[nodiscard]] bool refuse_value(JsonCursor& in, std::string message);
// A text-backed value refused, at its settled place (JsonCursor::settled).
[[nodiscard]] bool refuse_settled(JsonCursor& in, std::string message);

namespace json_detail {
inline std::string failure_text(const std::string& message) {
    return message;
}
inline std::string failure_text(const contracts::ContractError& error) {
    return error.display();
}
// "unknown variant `x`, expected ..." just after the string; a value that is
// not a string (an object is a type error; anything else "expected value"
// just after its first byte).
[[nodiscard]] bool refuse_variant(JsonCursor& in, Next next,
                                  std::span<const std::string_view> names);
// "unknown field `x`, expected ..." and "duplicate field `x`", after the name.
[[nodiscard]] bool refuse_unknown_member(JsonCursor& in, std::span<const std::string_view> names);
[[nodiscard]] bool refuse_repeated_member(JsonCursor& in);
[[nodiscard]] bool refuse_missing_member(JsonCursor& in, std::string_view name);
std::string struct_text(std::string_view record_name);
}  // namespace json_detail

// ---- value codecs -------------------------------------------------------------
//
// A codec reads a value whose first token the cursor has read (see
// JsonCursor::value) into an empty optional, refusing it through the cursor,
// and writes a value with a JsonWriter.

struct TextCodec {
    [[nodiscard]] bool read(JsonCursor& in, Next next, std::optional<std::string>& out) const {
        if (next != Next::Scalar || in.scalar().kind != JsonKind::String) {
            return refuse_type(in, next, "a string");
        }
        out.emplace(in.scalar().text);
        return true;
    }
    void write(JsonWriter& out, const std::string& value) const { out.text(value); }
};
inline constexpr TextCodec plain_text{};

// A non-negative integer that fits T, named `name` ("u8") in refusals.
template <class T>
struct UnsignedCodec {
    std::string_view name;

    [[nodiscard]] bool read(JsonCursor& in, Next next, std::optional<T>& out) const {
        const auto kind = next == Next::Scalar ? in.scalar().kind : JsonKind::Object;
        if (kind == JsonKind::Uint && in.scalar().uint64 <= std::numeric_limits<T>::max()) {
            out = static_cast<T>(in.scalar().uint64);
            return true;
        }
        if (kind == JsonKind::Uint || kind == JsonKind::Int) {
            return refuse_value(in, "invalid value: " + unexpected_text(in, next) + ", expected " +
                                        std::string(name));
        }
        return refuse_type(in, next, name);
    }
    void write(JsonWriter& out, T value) const { out.number(value); }
};
inline constexpr UnsignedCodec<std::uint8_t> u8{"u8"};
inline constexpr UnsignedCodec<std::uint16_t> u16{"u16"};
inline constexpr UnsignedCodec<std::uint32_t> u32{"u32"};
inline constexpr UnsignedCodec<std::uint64_t> u64{"u64"};

// A string validated by the system's own type: what is not a string is
// refused as "expected {expected}"; a text `parse` refuses, with its
// ContractError (or text), at the settled place, or just after the closing
// quote for a value read as a token of its own (a UUID); `format` writes it
// back.
template <class T, class E>
struct ValidatedCodec {
    enum class Refusal { Settled, AfterString };

    tl::expected<T, E> (*parse)(std::string_view);
    std::string (*format)(const T&);
    std::string_view expected = "a string";
    Refusal refusal = Refusal::Settled;

    [[nodiscard]] bool read(JsonCursor& in, Next next, std::optional<T>& out) const {
        if (next != Next::Scalar || in.scalar().kind != JsonKind::String) {
            return refuse_type(in, next, expected);
        }
        auto parsed = parse(in.scalar().text);
        if (!parsed) {
            auto reason = json_detail::failure_text(parsed.error());
            return refusal == Refusal::Settled ? refuse_settled(in, std::move(reason))
                                               : refuse_value(in, std::move(reason));
        }
        out.emplace(std::move(*parsed));
        return true;
    }
    void write(JsonWriter& out, const T& value) const { out.text(format(value)); }
};

template <class T, class E>
constexpr ValidatedCodec<T, E> validated(tl::expected<T, E> (*parse)(std::string_view),
                                         std::string (*format)(const T&)) {
    return {parse, format};
}

// A closed enumeration written as one of its texts, listed in declaration
// order.
template <class E, std::size_t N>
struct VariantCodec {
    std::array<std::pair<std::string_view, E>, N> variants;

    [[nodiscard]] bool read(JsonCursor& in, Next next, std::optional<E>& out) const {
        std::array<std::string_view, N> names{};
        for (std::size_t i = 0; i < N; ++i) {
            names[i] = variants[i].first;
            if (next == Next::Scalar && in.scalar().kind == JsonKind::String &&
                in.scalar().text == variants[i].first) {
                out = variants[i].second;
                return true;
            }
        }
        return json_detail::refuse_variant(in, next, names);
    }
    // A value outside the list (only one made by a cast) is written as "".
    void write(JsonWriter& out, E value) const {
        for (const auto& [name, variant] : variants) {
            if (variant == value) {
                out.text(name);
                return;
            }
        }
        out.text({});
    }
};

template <class E, std::size_t N>
constexpr VariantCodec<E, N> variant(const std::array<std::pair<std::string_view, E>, N>& texts) {
    return {texts};
}

// A JSON array whose items `element` reads, appended to the field's
// container (a vector, or a set that keeps each once) in document order.
template <class Element>
struct SequenceCodec {
    Element element;

    template <class Container>
    [[nodiscard]] bool read(JsonCursor& in, Next next, std::optional<Container>& out) const {
        if (next != Next::Array) {
            return refuse_type(in, next, "a sequence");
        }
        if (!in.open()) {
            return false;
        }
        Container items;
        for (bool more = true;;) {
            if (!in.next_item(more)) {
                return false;
            }
            if (!more) {
                break;
            }
            Next item_next{};
            std::optional<typename Container::value_type> item;
            if (!in.value(item_next) || !element.read(in, item_next, item)) {
                return false;
            }
            items.insert(items.end(), std::move(*item));
        }
        out.emplace(std::move(items));
        return true;
    }
    template <class Container>
    void write(JsonWriter& out, const Container& items) const {
        out.begin_array();
        for (const auto& item : items) {
            element.write(out, item);
        }
        out.end_array();
    }
};

template <class Element>
constexpr SequenceCodec<Element> sequence(Element element) {
    return {element};
}

// A nested record, read and written by its own description.
struct RecordCodec {
    template <Described R>
    [[nodiscard]] bool read(JsonCursor& in, Next next, std::optional<R>& out) const;
    template <Described R>
    void write(JsonWriter& out, const R& value) const;
};
inline constexpr RecordCodec nested{};

// ---- members ------------------------------------------------------------------

enum class Presence {
    Required,
    // The field is a std::optional: absent or null, it is empty; an empty one
    // is left out of the file.
    Optional,
    // Absent, the field holds its type's empty value (null is refused, as
    // its codec refuses it); an empty one is left out of the file.
    Defaulted,
};

template <class R, class F, class C>
struct Member {
    using Record = R;
    using Field = F;

    std::string_view name;
    F R::*field;
    C codec;
    Presence presence = Presence::Required;
    // Left out of the canonical layout: not covered by the signature.
    bool is_signed = true;
    // An empty Optional member written as null in the canonical layout
    // rather than left out.
    bool null_when_signed = false;

    constexpr Member not_signed() const {
        auto member = *this;
        member.is_signed = false;
        return member;
    }
    constexpr Member signed_as_null() const {
        auto member = *this;
        member.null_when_signed = true;
        return member;
    }
};

template <class R, class F, class C>
requires(!is_optional<F>) constexpr Member<R, F, C> required(std::string_view name, F R::*field,
                                                             C codec) {
    return {name, field, codec, Presence::Required};
}
template <class R, class F, class C>
requires is_optional<F>
constexpr Member<R, F, C> optional(std::string_view name, F R::*field, C codec) {
    return {name, field, codec, Presence::Optional};
}
template <class R, class F, class C>
requires(!is_optional<F> && std::is_default_constructible_v<F>) constexpr Member<R, F, C> defaulted(
    std::string_view name, F R::*field, C codec) {
    return {name, field, codec, Presence::Defaulted};
}

// The `format_version` member a file's record begins with: which layout of
// the record the file holds.
template <class R>
constexpr auto format_version(std::uint16_t R::*field) {
    return required("format_version", field, u16);
}

template <class R, class... M>
struct RecordDescription {
    // As in "expected struct {name}".
    std::string_view name;
    std::tuple<M...> members;
    // A rule across members, run on the record once it is read: the reason
    // it is refused, placed just after its closing brace, or nothing.
    std::optional<std::string> (*rule)(const R&) = nullptr;

    constexpr RecordDescription checked_by(std::optional<std::string> (*check)(const R&)) const {
        auto description = *this;
        description.rule = check;
        return description;
    }
};

namespace json_detail {

// How many of the members, from the first, are bound to fields of a base of R.
template <class R, class... M>
constexpr std::size_t base_member_count() {
    constexpr std::array<bool, sizeof...(M)> of_base{!std::is_same_v<typename M::Record, R>...};
    std::size_t count = 0;
    while (count < of_base.size() && of_base[count]) {
        ++count;
    }
    return count;
}

}  // namespace json_detail

template <class R, class... M>
constexpr RecordDescription<R, M...> record(std::string_view name, M... members) {
    static_assert(
        ((std::is_same_v<typename M::Record, R> || std::is_base_of_v<typename M::Record, R>)&&...),
        "members of another record");
    static_assert(((!std::is_same_v<typename M::Record, R>)+... + 0) ==
                      json_detail::base_member_count<R, M...>(),
                  "the members of a base come first");
    return {name, std::tuple<M...>(members...)};
}

namespace json_detail {

template <class R>
constexpr auto description_of() {
    return describe(Type<R>{});
}

template <class R>
constexpr std::size_t member_count() {
    return std::tuple_size_v<decltype(description_of<R>().members)>;
}

template <class R>
constexpr std::size_t base_count() {
    return std::apply(
        [](const auto&... m) { return base_member_count<R, std::decay_t<decltype(m)>...>(); },
        description_of<R>().members);
}

// The base whose fields the first members bind (`type`); void when there is
// none.
template <class R, bool = (base_count<R>() > 0)>
struct BaseOf {
    using type = void;
};
template <class R>
struct BaseOf<R, true> {
    using type = typename std::tuple_element_t<0, decltype(description_of<R>().members)>::Record;
};

// Stands for any field's value: R{AnyField{}, ...} compiles with as many of
// them as R has fields (its base one of them), and not with one more.
// Defined, though never called, so that a field of a type without linkage
// (a record of an unnamed namespace) is no conversion used but not defined.
struct AnyField {
    template <class T>
    [[noreturn]] operator T() const {  // NOLINT(google-explicit-constructor)
        std::abort();
    }
};

template <class R, std::size_t... I>
constexpr bool takes_fields(std::index_sequence<I...>) {
    return requires {
        R{((void)I, AnyField{})...};
    };
}

template <class R, std::size_t N>
constexpr bool has_fields() {
    return takes_fields<R>(std::make_index_sequence<N>()) &&
           !takes_fields<R>(std::make_index_sequence<N + 1>());
}

// The description names as many members as the type has fields, and as many
// of them bound to its base as the base has.
template <class R>
constexpr bool describes_every_field() {
    constexpr auto count = member_count<R>();
    constexpr auto of_base = base_count<R>();
    if constexpr (of_base == 0) {
        return has_fields<R, count>();
    } else {
        return has_fields<R, count - of_base + 1>() &&
               has_fields<typename BaseOf<R>::type, of_base>();
    }
}

// The member names in declaration order.
template <class R>
constexpr auto member_names() {
    constexpr auto d = description_of<R>();
    return std::apply(
        [](const auto&... m) { return std::array<std::string_view, sizeof...(m)>{m.name...}; },
        d.members);
}

// The members' indices in ascending byte order of their names.
template <class R>
constexpr auto canonical_order() {
    constexpr auto names = member_names<R>();
    std::array<std::size_t, names.size()> order{};
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
    return order;
}

// Calls f(std::integral_constant<std::size_t, I>) for I == index.
template <std::size_t... I, class F>
bool at_index(std::size_t index, std::index_sequence<I...>, F&& f) {
    bool result = false;
    (void)((I == index ? (result = f(std::integral_constant<std::size_t, I>{}), true) : false) ||
           ...);
    return result;
}

// The type of the values read so far: one optional per member.
template <class... M>
std::tuple<std::optional<typename M::Field>...> draft_of(const std::tuple<M...>& members);

template <class M>
[[nodiscard]] bool read_member(JsonCursor& in, const M& member,
                               std::optional<typename M::Field>& slot) {
    Next next{};
    if (!in.colon() || !in.value(next)) {
        return false;
    }
    if constexpr (is_optional<typename M::Field>) {
        if (next == Next::Scalar && in.scalar().kind == JsonKind::Null) {
            slot.emplace();
            return true;
        }
        std::optional<typename M::Field::value_type> value;
        if (!member.codec.read(in, next, value)) {
            return false;
        }
        slot.emplace(std::move(value));
        return true;
    } else {
        return member.codec.read(in, next, slot);
    }
}

// A member's value for the record: an absent one that may be absent is empty.
template <class M>
typename M::Field take(std::optional<typename M::Field>& slot) {
    if constexpr (std::is_default_constructible_v<typename M::Field>) {
        if (!slot) {
            return typename M::Field{};
        }
    }
    return std::move(*slot);
}

template <class R>
[[nodiscard]] bool read_object(JsonCursor& in, Next next, std::optional<R>& out) {
    static_assert(describes_every_field<R>(), "a record is built from all its members, in order");
    static constexpr auto d = description_of<R>();
    static constexpr auto names = member_names<R>();
    constexpr auto indices = std::make_index_sequence<names.size()>();
    if (next != Next::Object) {
        return refuse_type(in, next, struct_text(d.name));
    }
    if (!in.open()) {
        return false;
    }
    decltype(draft_of(d.members)) draft;
    for (bool more = true;;) {
        if (!in.next_member(more)) {
            return false;
        }
        if (!more) {
            break;
        }
        const auto found = std::find(names.begin(), names.end(), in.key());
        if (found == names.end()) {
            return refuse_unknown_member(in, names);
        }
        const bool read =
            at_index(static_cast<std::size_t>(found - names.begin()), indices, [&](auto index) {
                constexpr std::size_t kIndex = decltype(index)::value;
                auto& slot = std::get<kIndex>(draft);
                if (slot) {
                    return refuse_repeated_member(in);
                }
                return read_member(in, std::get<kIndex>(d.members), slot);
            });
        if (!read) {
            return false;
        }
    }
    // The first required member missing, in declaration order.
    const bool complete = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return ((std::get<I>(d.members).presence != Presence::Required ||
                 std::get<I>(draft).has_value() ||
                 refuse_missing_member(in, std::get<I>(d.members).name)) &&
                ...);
    }
    (indices);
    if (!complete) {
        return false;
    }
    using Members = std::remove_const_t<decltype(d.members)>;
    constexpr std::size_t kOfBase = base_count<R>();
    if constexpr (kOfBase == 0) {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            out.emplace(R{take<std::tuple_element_t<I, Members>>(std::get<I>(draft))...});
        }
        (indices);
    } else {
        [&]<std::size_t... B, std::size_t... I>(std::index_sequence<B...>,
                                                std::index_sequence<I...>) {
            out.emplace(R{
                typename BaseOf<R>::type{
                    take<std::tuple_element_t<B, Members>>(std::get<B>(draft))...},
                take<std::tuple_element_t<kOfBase + I, Members>>(std::get<kOfBase + I>(draft))...});
        }
        (std::make_index_sequence<kOfBase>(), std::make_index_sequence<names.size() - kOfBase>());
    }
    if constexpr (d.rule != nullptr) {
        if (auto refusal = d.rule(*out)) {
            return in.refuse(std::move(*refusal), in.closed_at());
        }
    }
    return true;
}

template <class M>
void write_member(JsonWriter& out, const M& member, const typename M::Record& record) {
    const bool canonical = out.layout() == Layout::Canonical;
    if (canonical && !member.is_signed) {
        return;
    }
    const auto& value = record.*member.field;
    if constexpr (is_optional<typename M::Field>) {
        if (value) {
            out.member(member.name);
            member.codec.write(out, *value);
        } else if (canonical && member.null_when_signed) {
            out.member(member.name);
            out.null();
        }
        return;
    } else {
        if constexpr (std::is_default_constructible_v<typename M::Field> &&
                      std::equality_comparable<typename M::Field>) {
            if (member.presence == Presence::Defaulted && !canonical &&
                value == typename M::Field{}) {
                return;
            }
        }
        out.member(member.name);
        member.codec.write(out, value);
    }
}

}  // namespace json_detail

// The record in the writer's layout.
template <Described R>
void write_record(JsonWriter& out, const R& record) {
    static constexpr auto d = json_detail::description_of<R>();
    out.begin_object();
    if (out.layout() == Layout::Canonical) {
        static constexpr auto order = json_detail::canonical_order<R>();
        constexpr auto indices = std::make_index_sequence<order.size()>();
        for (const std::size_t member : order) {
            (void)json_detail::at_index(member, indices, [&](auto index) {
                json_detail::write_member(out, std::get<decltype(index)::value>(d.members), record);
                return true;
            });
        }
    } else {
        std::apply(
            [&](const auto&... member) { (json_detail::write_member(out, member, record), ...); },
            d.members);
    }
    out.end_object();
}

template <Described R>
bool RecordCodec::read(JsonCursor& in, Next next, std::optional<R>& out) const {
    return json_detail::read_object(in, next, out);
}

template <Described R>
void RecordCodec::write(JsonWriter& out, const R& value) const {
    write_record(out, value);
}

// The file text: two-space indentation, no final newline.
template <Described R>
std::string write_record_file(const R& record) {
    std::string text;
    JsonWriter out(text, Layout::File);
    write_record(out, record);
    return text;
}

// The canonical bytes (the signed form) over `bytes`, whose memory is reused;
// a text that is not UTF-8 is a fault.
template <Described R>
[[nodiscard]] tl::expected<void, contracts::ContractError> write_canonical_record(
    const R& record, std::string& bytes) {
    bytes.clear();
    JsonWriter out(bytes, Layout::Canonical);
    write_record(out, record);
    return out.result();
}

template <Described R>
[[nodiscard]] tl::expected<std::string, contracts::ContractError> canonical_record(
    const R& record) {
    std::string bytes;
    ZDZ_RETURN_IF_ERROR(write_canonical_record(record, bytes));
    return bytes;
}

// A whole document read by `codec` (a record's: read_record), nothing but
// white space after it. Never throws: running out of memory is reported as an
// error too.
template <class T, class Codec>
[[nodiscard]] tl::expected<T, DocumentError> read_document(std::string_view text,
                                                           const Codec& codec) {
    try {
        JsonCursor in(text);
        std::optional<T> out;
        Next next{};
        if (!in.value(next) || !codec.read(in, next, out) || !in.finish()) {
            return tl::unexpected(in.error());
        }
        return std::move(*out);
    } catch (const std::bad_alloc&) {
        return tl::unexpected(DocumentError::out_of_memory());
    }
}

template <Described R>
[[nodiscard]] tl::expected<R, DocumentError> read_record(std::string_view text) {
    return read_document<R>(text, nested);
}

}  // namespace zdz::json
