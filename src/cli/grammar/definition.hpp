#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.hpp"

namespace zdz::cli {

// The command definition as data: the parser, `--help`, the man page and the
// shell completions are all generated from these tables. The tables are in
// definition.cpp; how an option is bound to the field it fills is
// binding.hpp's.

// What an option's value is: it decides how the parser checks the value and
// what shells offer to complete it.
enum class ValueKind {
    Path,             // a file name, passed on byte for byte whatever its encoding
    EnvironmentName,  // the name of an exported environment variable
    ImageKind,        // an image kind word
    Choices,          // one of the option's own choices
    Text,             // UTF-8 text typed by the operator
    Flag,             // no value: the option is a switch, given or not
};

// The type of the record field an option fills. It says whether the option
// must be given and how its text becomes the field's value.
enum class FieldType {
    Text,             // std::string: the option is required
    OptionalText,     // std::optional<std::string>: empty when not given
    SecurityVersion,  // std::uint32_t: required, a decimal integer in 0..=4294967295
    OptionalCount,    // std::optional<std::uint32_t>: a decimal integer in 1..=4294967295
    Format,           // OutputFormat: Text unless "json" is given
    Progress,         // ProgressMode: Auto unless "always" or "never" is given
    Flag,             // bool: true when the option is given
};

// Where the parser puts the value of an option: one field of one record of
// Subcommand.
struct FieldBinding {
    std::size_t record = 0;  // the index of the record's type in Subcommand
    FieldType type = FieldType::Text;
    // Stores `value` in the field; `command` holds the record of `record`.
    void (*assign)(Subcommand& command, const std::string& value) = nullptr;
};

// An option as the definition words it, before it is bound to a field.
struct OptionText {
    std::string_view id;  // the option is "--" + id with '_' -> '-'
    ValueKind value = ValueKind::Text;
    std::string_view help;  // empty: no help text
    // Options of one subcommand that share a group name are alternatives:
    // exactly one of them must be given (they are not `required` each).
    std::string_view one_of = {};
    // The only values the option takes (ValueKind::Choices); empty: any text.
    std::span<const std::string_view> choices = {};
};

// An option bound to its field (binding.hpp's bind() makes one).
struct OptionDef : OptionText {
    bool required = false;  // as the field's type says
    FieldBinding field;

    std::string_view long_name() const;   // "--security-version"
    std::string_view value_name() const;  // "SECURITY_VERSION"
    bool is_flag() const { return value == ValueKind::Flag; }
};

// A subcommand and the record of Subcommand its options fill
// (binding.hpp's command() makes one).
struct SubcommandDef {
    std::string_view name;
    std::string_view about;
    std::span<const OptionDef> options;
    std::size_t record = 0;  // the index of the record's type in Subcommand
    // The record with every field at its default, for the options to fill.
    Subcommand (*make)() = nullptr;
};

inline constexpr std::string_view kAbout =
    "TarnelOS \u2014 image provenance and boot integrity, run for real, offline";

std::span<const SubcommandDef> subcommand_defs();

// The options of `sub` in the group `group`, in declaration order.
std::vector<const OptionDef*> group_members(const SubcommandDef& sub, std::string_view group);

// "--a", "--a and --b", "--a, --b and --c".
std::string joined_long_names(const std::vector<const OptionDef*>& options);

// The choices of `option` in their order, `separator` between each two:
// "text json", "text,json".
std::string joined_choices(const OptionDef& option, std::string_view separator);

}  // namespace zdz::cli
