#include <algorithm>
#include <utility>
#include <vector>

#include "cli/command.hpp"
#include "cli/docgen/docgen.hpp"
#include "cli/docgen/text.hpp"
#include "cli/grammar/definition.hpp"

namespace zdz::cli {
namespace {

using docgen_detail::choice_words;
using docgen_detail::image_kind_words;
using docgen_detail::kGeneratedNotice;

constexpr std::string_view kHelpDescription = "print help and exit";
constexpr std::string_view kVersionDescription = "print the version and exit";

std::string_view first_sentence(std::string_view text) {
    for (auto end = text.find(". "); end != std::string_view::npos;
         end = text.find(". ", end + 1)) {
        const char next = end + 2 < text.size() ? text[end + 2] : '\0';
        if (next >= 'A' && next <= 'Z') {
            return text.substr(0, end);
        }
    }
    return text;
}

// The groups of alternative options of `sub` for the bash completion: members
// joined by commas, groups by spaces.
std::string exclusive_groups(const SubcommandDef& sub) {
    std::string groups;
    for (const auto& option : sub.options) {
        const auto members = group_members(sub, option.one_of);
        if (members.empty() || members.front() != &option) {
            continue;
        }
        groups += groups.empty() ? "" : " ";
        for (std::size_t i = 0; i < members.size(); ++i) {
            groups += i == 0 ? "" : ",";
            groups += members[i]->long_name();
        }
    }
    return groups;
}

std::string join_option_names(const SubcommandDef& sub) {
    std::string names;
    for (const auto& option : sub.options) {
        names += option.long_name();
        names += ' ';
    }
    names += "--help";
    return names;
}

void add_unique(std::vector<std::string>& list, std::string_view name) {
    if (std::find(list.begin(), list.end(), name) == list.end()) {
        list.emplace_back(name);
    }
}

std::string case_pattern(const std::vector<std::string>& names) {
    std::string pattern;
    for (const auto& name : names) {
        pattern += pattern.empty() ? "" : "|";
        pattern += name;
    }
    return pattern;
}

}  // namespace

// ---------------------------------------------------------------- bash

namespace {

// The options of every command, sorted by how bash completes their values.
struct BashOptions {
    std::string names;  // the commands, space-separated
    std::vector<std::string> path_options;
    std::vector<std::string> env_options;
    std::vector<std::string> kind_options;
    std::vector<const OptionDef*> choice_options;
    std::vector<std::string> text_options;
};

BashOptions bash_options() {
    BashOptions by_kind;
    for (const auto& sub : subcommand_defs()) {
        by_kind.names += by_kind.names.empty() ? "" : " ";
        by_kind.names += sub.name;
        for (const auto& option : sub.options) {
            switch (option.value) {
                case ValueKind::Path:
                    add_unique(by_kind.path_options, option.long_name());
                    break;
                case ValueKind::EnvironmentName:
                    add_unique(by_kind.env_options, option.long_name());
                    break;
                case ValueKind::ImageKind:
                    add_unique(by_kind.kind_options, option.long_name());
                    break;
                case ValueKind::Choices:
                    if (std::none_of(by_kind.choice_options.begin(), by_kind.choice_options.end(),
                                     [&](const OptionDef* seen) {
                                         return seen->long_name() == option.long_name();
                                     })) {
                        by_kind.choice_options.push_back(&option);
                    }
                    break;
                case ValueKind::Text:
                    add_unique(by_kind.text_options, option.long_name());
                    break;
                case ValueKind::Flag:
                    // No value to complete: the next word is offered as usual.
                    break;
            }
        }
    }
    return by_kind;
}

// The completion of an option's value, chosen by the word before the cursor.
std::string bash_value_cases(const BashOptions& by_kind) {
    std::string s;
    s += "    case $prev in\n";
    if (!by_kind.path_options.empty()) {
        s += "        " + case_pattern(by_kind.path_options) +
             ")\n            _filedir\n            return\n";
        s += "            ;;\n";
    }
    if (!by_kind.env_options.empty()) {
        s += "        " + case_pattern(by_kind.env_options) + ")\n";
        s += "            COMPREPLY=($(compgen -e -- \"$cur\"))\n            return\n";
        s += "            ;;\n";
    }
    if (!by_kind.kind_options.empty()) {
        s += "        " + case_pattern(by_kind.kind_options) + ")\n";
        s += "            COMPREPLY=($(compgen -W '" + image_kind_words() +
             "' -- \"$cur\"))\n            return\n            ;;\n";
    }
    for (const auto* option : by_kind.choice_options) {
        s += "        " + std::string(option->long_name()) + ")\n";
        s += "            COMPREPLY=($(compgen -W '" + choice_words(*option) +
             "' -- \"$cur\"))\n            return\n            ;;\n";
    }
    if (!by_kind.text_options.empty()) {
        s += "        " + case_pattern(by_kind.text_options) +
             ")\n            return\n            ;;\n";
    }
    s += "    esac\n";
    return s;
}

// The options each command takes, and its groups of alternatives.
std::string bash_option_lists() {
    std::string s;
    s += "    $split && return\n\n";
    s += "    local options exclusive=\n";
    s += "    case ${words[1]} in\n";
    for (const auto& sub : subcommand_defs()) {
        s += "        " + std::string(sub.name) + ") options='" + join_option_names(sub) + "'";
        const auto groups = exclusive_groups(sub);
        if (!groups.empty()) {
            s += "; exclusive='" + groups + "'";
        }
        s += " ;;\n";
    }
    s += "        *) return ;;\n";
    s += "    esac\n\n";
    return s;
}

// Offers the options of the command that are not on the line yet.
constexpr std::string_view kBashRemainingOptions =
    R"sh(    # Of alternatives (the comma-joined groups in $exclusive) one is given at most:
    # once one is on the line, the others are not offered.
    local group member i excluded=' '
    for group in $exclusive; do
        for member in ${group//,/ }; do
            for ((i = 2; i < cword; i++)); do
                if [[ ${words[i]} == "$member" || ${words[i]} == "$member="* ]]; then
                    excluded+="${group//,/ } "
                fi
            done
        done
    done

    # Each option may be given once: offer only those not yet on the line.
    local option given remaining=()
    for option in $options; do
        [[ $excluded == *" $option "* ]] && continue
        given=false
        for ((i = 2; i < cword; i++)); do
            if [[ ${words[i]} == "$option" || ${words[i]} == "$option="* ]]; then
                given=true
            fi
        done
        $given || remaining+=("$option")
    done
    COMPREPLY=($(compgen -W "${remaining[*]}" -- "$cur"))
)sh";

}  // namespace

std::string bash_completion() {
    const std::string program = kProgramName;
    const std::string function = "_" + program;
    const BashOptions by_kind = bash_options();
    std::string s;
    s += "# bash completion for " + program + "                -*- shell-script -*-\n";
    s += "# " + std::string(kGeneratedNotice) + "\n\n";
    s += function + "()\n{\n";
    s += "    local cur prev words cword split\n";
    s += "    _init_completion -s || return\n\n";
    s += "    if ((cword == 1)); then\n";
    s += "        COMPREPLY=($(compgen -W '" + by_kind.names + " --help --version' -- \"$cur\"))\n";
    s += "        return\n    fi\n\n";
    s += bash_value_cases(by_kind);
    s += bash_option_lists();
    s += kBashRemainingOptions;
    s += "} &&\n";
    s += "    complete -F " + function + " " + program + "\n\n";
    s += "# ex: filetype=sh\n";
    return s;
}

// ---------------------------------------------------------------- zsh

namespace {

// Inside a single-quoted zsh word: close, escape the quote, reopen.
std::string zsh_quoted(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out;
}

// _describe splits its items at the first unescaped colon; _arguments ends a
// description at the first unescaped closing bracket.
std::string zsh_description(std::string_view text) {
    std::string out;
    for (const char c : first_sentence(text)) {
        if (c == ':' || c == '[' || c == ']' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return zsh_quoted(out);
}

std::string zsh_value_action(const OptionDef& option) {
    switch (option.value) {
        case ValueKind::Path:
            return "_files";
        case ValueKind::EnvironmentName:
            return "_parameters -g \"*export*\"";
        case ValueKind::ImageKind:
            return "(" + image_kind_words() + ")";
        case ValueKind::Choices:
            return "(" + choice_words(option) + ")";
        case ValueKind::Text:
        case ValueKind::Flag:
            return " ";
    }
    return " ";
}

// "(--b --c)" before an option of a group: _arguments offers no alternative of
// an option that is already on the line.
std::string zsh_exclusions(const SubcommandDef& sub, const OptionDef& option) {
    std::string list;
    for (const auto* member : group_members(sub, option.one_of)) {
        if (member != &option) {
            list += list.empty() ? "" : " ";
            list += member->long_name();
        }
    }
    return list.empty() ? "" : "(" + list + ")";
}

std::string zsh_help_options(std::string_view indent) {
    return std::string(indent) + "'(- *)'{-h,--help}'[" + std::string(kHelpDescription) + "]' \\\n";
}

}  // namespace

std::string zsh_completion() {
    const std::string program = kProgramName;
    const std::string function = "_" + program;
    std::string s;
    s += "#compdef " + program + "\n";
    s += "# " + std::string(kGeneratedNotice) + "\n\n";
    s += function + "() {\n";
    s += "    local curcontext=$curcontext state line ret=1\n";
    s += "    local -a commands\n\n";
    s += "    _arguments -C \\\n";
    s += zsh_help_options("        ");
    s += "        '(- *)'{-V,--version}'[" + std::string(kVersionDescription) + "]' \\\n";
    s += "        '1: :->command' \\\n";
    s += "        '*:: :->option' && ret=0\n\n";
    s += "    case $state in\n";
    s += "        command)\n";
    s += "            commands=(\n";
    for (const auto& sub : subcommand_defs()) {
        s += "                '" + std::string(sub.name) + ":" + zsh_description(sub.about) + "'\n";
    }
    s += "            )\n";
    s += "            _describe -t commands '" + program + " command' commands && ret=0\n";
    s += "            ;;\n";
    s += "        option)\n";
    s += "            curcontext=${curcontext%:*:*}:" + program + "-$words[1]:\n";
    s += "            case $words[1] in\n";
    for (const auto& sub : subcommand_defs()) {
        s += "                " + std::string(sub.name) + ")\n";
        s += "                    _arguments \\\n";
        s += zsh_help_options("                        ");
        for (const auto& option : sub.options) {
            const std::string description = option.help.empty() ? zsh_quoted(option.value_name())
                                                                : zsh_description(option.help);
            if (option.is_flag()) {
                s += "                        '" + zsh_exclusions(sub, option) +
                     std::string(option.long_name()) + "[" + description + "]' \\\n";
                continue;
            }
            s += "                        '" + zsh_exclusions(sub, option) +
                 std::string(option.long_name()) + "=[" + description +
                 "]:" + std::string(option.value_name()) + ":" + zsh_value_action(option) +
                 "' \\\n";
        }
        s += "                        && ret=0\n";
        s += "                    ;;\n";
    }
    s += "            esac\n";
    s += "            ;;\n";
    s += "    esac\n";
    s += "    return ret\n";
    s += "}\n\n";
    s += function + " \"$@\"\n";
    return s;
}

}  // namespace zdz::cli
