#pragma once

// How the definition tables bind each option to the field of the command
// record it fills: by member pointer, checked while the tables compile. A
// misspelt field, an option bound to another command's record, two options on
// one field, an option named twice, a group member whose field could not be
// absent, a choice list on an option of another kind or a switch that fills
// anything but a bool is a table that does not compile.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "cli/command.hpp"
#include "cli/grammar/definition.hpp"

namespace zdz::cli {

// The value of --security-version: decimal digits only, in 0..=4294967295.
std::optional<std::uint32_t> parse_security_version(const std::string& text);
// A count such as --min-signers: decimal digits only, in 1..=4294967295.
std::optional<std::uint32_t> parse_count(const std::string& text);

namespace binding_detail {

// Reached only by a table that breaks a rule of bind() or command(): a call
// that cannot be evaluated at compile time, so the table does not compile.
inline void refuse(const char* /*rule*/) {}

template <class T, class... Records>
consteval std::size_t index_in(const std::variant<Records...>* /*variant*/) {
    const bool same[] = {std::is_same_v<T, Records>...};
    for (std::size_t i = 0; i < sizeof...(Records); ++i) {
        if (same[i]) {
            return i;
        }
    }
    return sizeof...(Records);
}

template <class Member>
struct MemberPointer;
template <class Class, class Type>
struct MemberPointer<Type Class::*> {
    using Owner = Class;
};

template <auto First>
using OwnerOf = typename MemberPointer<decltype(First)>::Owner;

// The field at the member path First, Rest... of `object`.
template <auto First, auto... Rest>
constexpr auto& field_at(OwnerOf<First>& object) {
    if constexpr (sizeof...(Rest) == 0) {
        return object.*First;
    } else {
        return field_at<Rest...>(object.*First);
    }
}

template <class Field>
consteval FieldType field_type() {
    if constexpr (std::is_same_v<Field, std::string>) {
        return FieldType::Text;
    } else if constexpr (std::is_same_v<Field, std::optional<std::string>>) {
        return FieldType::OptionalText;
    } else if constexpr (std::is_same_v<Field, std::uint32_t>) {
        return FieldType::SecurityVersion;
    } else if constexpr (std::is_same_v<Field, std::optional<std::uint32_t>>) {
        return FieldType::OptionalCount;
    } else if constexpr (std::is_same_v<Field, bool>) {
        return FieldType::Flag;
    } else if constexpr (std::is_same_v<Field, ProgressMode>) {
        return FieldType::Progress;
    } else {
        static_assert(std::is_same_v<Field, OutputFormat>, "no option fills a field of this type");
        return FieldType::Format;
    }
}

// Out of line, so that each option's assign<>() is a call and no more.
void set(std::string& field, const std::string& value);
void set(std::optional<std::string>& field, const std::string& value);
// The parser has checked the value with parse_security_version.
void set(std::uint32_t& field, const std::string& value);
// The parser has checked the value against the option's choices.
void set(OutputFormat& field, const std::string& value);
// The parser has checked the value against the option's choices.
void set(ProgressMode& field, const std::string& value);
// The parser has checked the value with parse_count.
void set(std::optional<std::uint32_t>& field, const std::string& value);
// A switch that was given.
void set(bool& field, const std::string& value);

template <auto First, auto... Rest>
void assign(Subcommand& command, const std::string& value) {
    set(field_at<First, Rest...>(std::get<OwnerOf<First>>(command)), value);
}

}  // namespace binding_detail

// The index of `Record` in Subcommand.
template <class Record>
inline constexpr std::size_t kRecordIndex =
    binding_detail::index_in<Record>(static_cast<const Subcommand*>(nullptr));

// `text` bound to the field at the member path First, Rest... of a command
// record: &Sign::out, or &Withdraw::candidate, &CandidateImage::image_file.
// The field's type decides whether the option is required.
template <auto First, auto... Rest>
consteval OptionDef bind(const OptionText& text) {
    using Record = binding_detail::OwnerOf<First>;
    static_assert(kRecordIndex<Record> < std::variant_size_v<Subcommand>,
                  "the first member of the path must be a field of a record of Subcommand");
    using Field = std::remove_cvref_t<decltype(binding_detail::field_at<First, Rest...>(
        std::declval<Record&>()))>;
    constexpr FieldType type = binding_detail::field_type<Field>();
    if (!text.one_of.empty() && type != FieldType::OptionalText) {
        binding_detail::refuse("an option of a group fills a field that can be absent");
    }
    if ((text.value == ValueKind::Choices) == text.choices.empty()) {
        binding_detail::refuse("an option has choices exactly when its value kind is Choices");
    }
    if ((text.value == ValueKind::Flag) != (type == FieldType::Flag)) {
        binding_detail::refuse("an option is a switch exactly when it fills a bool");
    }
    const bool required = type == FieldType::Text || type == FieldType::SecurityVersion;
    return OptionDef{
        text, required,
        FieldBinding{kRecordIndex<Record>, type, &binding_detail::assign<First, Rest...>}};
}

// The subcommand `name`, whose options all fill fields of `Record`, each
// option named once and each field filled by one option.
template <class Record, std::size_t N>
consteval SubcommandDef command(std::string_view name, std::string_view about,
                                const OptionDef (&options)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if (options[i].field.record != kRecordIndex<Record>) {
            binding_detail::refuse("every option fills a field of its command's record");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (options[j].id == options[i].id) {
                binding_detail::refuse("no option is named twice");
            }
            if (options[j].field.assign == options[i].field.assign) {
                binding_detail::refuse("no two options fill one field");
            }
        }
    }
    return SubcommandDef{name, about, options, kRecordIndex<Record>,
                         [] { return Subcommand(Record{}); }};
}

}  // namespace zdz::cli
