#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zdz::cli {

// The command definition as data: the parser, `--help`, the man page and the
// shell completions are all generated from these tables.
struct OptionDef {
    std::string_view id;  // the field name; the option is "--" + id with '_' -> '-'
    bool required;
    std::string_view help;  // empty: no help text
    // Options of one subcommand that share a group name are alternatives:
    // exactly one of them must be given (they are not `required` each).
    std::string_view one_of = {};
    // The only values the option takes; empty: any text.
    std::span<const std::string_view> choices = {};

    std::string_view long_name() const;   // "--security-version"
    std::string_view value_name() const;  // "SECURITY_VERSION"
};

struct SubcommandDef {
    std::string_view name;
    std::string_view about;
    std::span<const OptionDef> options;
};

inline constexpr std::string_view kAbout =
    "TarnelOS \u2014 image provenance and boot integrity, run for real, offline";

std::span<const SubcommandDef> subcommand_defs();

// The options of `sub` in the group `group`, in declaration order.
std::vector<const OptionDef*> group_members(const SubcommandDef& sub, std::string_view group);

// "--a", "--a and --b", "--a, --b and --c".
std::string joined_long_names(const std::vector<const OptionDef*>& options);

}  // namespace zdz::cli
