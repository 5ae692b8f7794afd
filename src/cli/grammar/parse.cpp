#include "cli/grammar/parse.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>
#include <sstream>

#include "cli/grammar/binding.hpp"
#include "cli/grammar/definition.hpp"
#include "encoding/text.hpp"

namespace zdz::cli {
namespace {

// "text or json", "a, b or c".
std::string choice_words(const OptionDef& opt) {
    std::string words;
    for (std::size_t i = 0; i < opt.choices.size(); ++i) {
        if (i > 0) {
            words += i + 1 == opt.choices.size() ? " or " : ", ";
        }
        words += opt.choices[i];
    }
    return words;
}

// The help text, and for an option of a group the rule that binds it.
std::string option_description(const SubcommandDef& sub, const OptionDef& opt) {
    std::string text(opt.help);
    if (!opt.one_of.empty()) {
        text += text.empty() ? "" : ". ";
        text +=
            "Exactly one of " + joined_long_names(group_members(sub, opt.one_of)) + " is required";
    }
    return text;
}

// The width --help wraps its text to: the terminal's on standard output,
// 80 columns when that is no terminal.
constexpr std::size_t kDefaultHelpWidth = 80;
constexpr std::size_t kNarrowestHelpWidth = 40;

std::size_t help_width() {
    winsize size{};
    if (::isatty(STDOUT_FILENO) == 1 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 &&
        size.ws_col > 0) {
        return std::max<std::size_t>(size.ws_col, kNarrowestHelpWidth);
    }
    return kDefaultHelpWidth;
}

// Columns a text takes: one per character (the bytes that do not continue a
// UTF-8 sequence).
std::size_t columns(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    }));
}

// `text` broken at spaces into lines of at most `width` columns (a word
// longer than that stands on a line of its own), joined by newlines.
std::string wrapped(std::string_view text, std::size_t width) {
    std::string out;
    std::size_t line = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto end = std::min(text.find(' ', pos), text.size());
        const auto word = text.substr(pos, end - pos);
        pos = end + 1;
        if (word.empty()) {
            continue;
        }
        const auto length = columns(word);
        if (line > 0 && line + 1 + length > width) {
            out += '\n';
            line = 0;
        } else if (line > 0) {
            out += ' ';
            ++line;
        }
        out += word;
        line += length;
    }
    return out;
}

// CLI11's help with every description wrapped to the width, in the column
// CLI11 puts it.
class WrappingFormatter final : public CLI::Formatter {
public:
    explicit WrappingFormatter(std::size_t width) : width_(width) {}

    std::string make_option_desc(const CLI::Option* opt) const override {
        return wrapped(opt->get_description(), description_width());
    }

    std::string make_subcommand(const CLI::App* sub) const override {
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_display_name(true),
                                 wrapped(sub->get_description(), description_width()),
                                 get_column_width());
        return out.str();
    }

    std::string make_description(const CLI::App* app) const override {
        const auto description = app->get_description();
        return description.empty() ? std::string() : wrapped(description, width_) + "\n";
    }

private:
    std::size_t description_width() const {
        const auto column = get_column_width();
        return width_ > column + kNarrowestHelpWidth / 2 ? width_ - column
                                                         : kNarrowestHelpWidth / 2;
    }

    std::size_t width_;
};

// The checks CLI11 runs on a value before the parse succeeds, in this order.
void add_value_checks(CLI::Option& option, const OptionDef& opt) {
    // Text values are UTF-8; paths are passed on byte for byte, whatever
    // their encoding.
    if (opt.value != ValueKind::Path) {
        option.check(
            [](const std::string& value) -> std::string {
                return encoding::is_valid_utf8(value) ? std::string()
                                                      : std::string("not valid UTF-8");
            },
            "", "utf8");
    }
    if (!opt.choices.empty()) {
        option.check(
            [&opt](const std::string& value) -> std::string {
                for (const auto choice : opt.choices) {
                    if (value == choice) {
                        return {};
                    }
                }
                return "must be " + choice_words(opt) + ", not " +
                       encoding::quoted_excerpt(value, encoding::kMessageExcerptChars);
            },
            "{" + joined_choices(opt, ",") + "}", "choices");
    }
    // A number: a security version from 0, a count from 1.
    if (opt.field.type == FieldType::SecurityVersion ||
        opt.field.type == FieldType::OptionalCount) {
        const bool count = opt.field.type == FieldType::OptionalCount;
        option.check(
            [count](const std::string& value) -> std::string {
                if (count ? parse_count(value).has_value()
                          : parse_security_version(value).has_value()) {
                    return {};
                }
                return std::string("not a decimal integer in ") + (count ? "1" : "0") +
                       "..=4294967295: " + value;
            },
            "u32", count ? "count" : "u32");
    }
}

// One subcommand of the parser: its CLI11 options, in the order of its
// definition, and the text each was given.
struct ParsedSubcommand {
    const SubcommandDef* def = nullptr;
    CLI::App* app = nullptr;
    std::vector<CLI::Option*> options;
    std::unique_ptr<std::vector<std::string>> values;
};

struct Definition {
    std::unique_ptr<CLI::App> app;
    std::vector<ParsedSubcommand> subcommands;
};

Definition build_definition() {
    Definition def;
    def.app = std::make_unique<CLI::App>(std::string(kAbout), kProgramName);
    auto& app = *def.app;
    app.formatter(std::make_shared<WrappingFormatter>(help_width()));
    app.set_version_flag("-V,--version", std::string(kProgramName) + " " + kVersion);
    app.require_subcommand(1);
    for (const auto& sub : subcommand_defs()) {
        ParsedSubcommand parsed{&sub,
                                app.add_subcommand(std::string(sub.name), std::string(sub.about)),
                                {},
                                std::make_unique<std::vector<std::string>>(sub.options.size())};
        for (std::size_t i = 0; i < sub.options.size(); ++i) {
            const auto& opt = sub.options[i];
            if (opt.is_flag()) {
                auto* o = parsed.app->add_flag(std::string(opt.long_name()));
                o->description(option_description(sub, opt));
                o->multi_option_policy(CLI::MultiOptionPolicy::Throw);
                parsed.options.push_back(o);
                continue;
            }
            auto* o = parsed.app->add_option(std::string(opt.long_name()), (*parsed.values)[i],
                                             option_description(sub, opt));
            o->type_name(std::string(opt.value_name()));
            o->expected(1);
            o->multi_option_policy(CLI::MultiOptionPolicy::Throw);
            o->allow_extra_args(false);
            if (opt.required) {
                o->required();
            }
            add_value_checks(*o, opt);
            parsed.options.push_back(o);
        }
        def.subcommands.push_back(std::move(parsed));
    }
    return def;
}

// The record of the parsed subcommand: each option that was given stored in
// its field, the others left at their defaults.
Subcommand to_subcommand(const ParsedSubcommand& parsed) {
    auto record = parsed.def->make();
    for (std::size_t i = 0; i < parsed.options.size(); ++i) {
        if (parsed.options[i]->count() > 0) {
            parsed.def->options[i].field.assign(record, (*parsed.values)[i]);
        }
    }
    return record;
}

constexpr std::string_view kRunWithHelp = "Run with --help for more information.\n";

// Of each group of alternative options exactly one must be given.
std::optional<EarlyExit> check_groups(const SubcommandDef& sub, const CLI::App& cmd) {
    for (const auto& opt : sub.options) {
        const auto members = group_members(sub, opt.one_of);
        if (members.empty() || members.front() != &opt) {
            continue;
        }
        std::size_t given = 0;
        for (const auto* member : members) {
            given += cmd.get_option(std::string(member->long_name()))->count() > 0 ? 1U : 0U;
        }
        if (given != 1) {
            return EarlyExit{2, "",
                             std::string(given == 0 ? "exactly one of " : "only one of ") +
                                 joined_long_names(members) +
                                 (given == 0 ? " is required\n" : " may be given\n") +
                                 std::string(kRunWithHelp)};
        }
    }
    return std::nullopt;
}

// Whether some subcommand takes `long_name` as an option with a value
// (`flags` false) or as a switch (`flags` true).
bool is_option_name(std::string_view long_name, bool flags = false) {
    for (const auto& sub : subcommand_defs()) {
        for (const auto& opt : sub.options) {
            if (opt.long_name() == long_name && opt.is_flag() == flags) {
                return true;
            }
        }
    }
    return false;
}

// --help, --version and the switches take no value: "--help=x" (or
// "--force=") is a usage error rather than a request for help, and
// "--force=false" does not read as --force.
std::optional<EarlyExit> check_flag_values(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        const auto equals = a.find('=');
        if (!a.starts_with("--") || equals == std::string::npos) {
            continue;
        }
        const std::string flag = a.substr(0, equals);
        if (flag == "--help" || flag == "--version" || is_option_name(flag, true)) {
            return EarlyExit{2, "", flag + ": takes no value\n" + std::string(kRunWithHelp)};
        }
    }
    return std::nullopt;
}

// "--opt=" gives --opt the empty value, as "--opt ''" does. Left to the
// parser it would count as "--opt" without a value and take the next
// argument as its value, so that "--principal= --out=x --out y" read
// "--out=x" as the principal and never saw --out given twice. Each such
// argument becomes "--opt" followed by an empty argument.
std::vector<std::string> split_empty_values(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    out.reserve(args.size());
    for (const auto& a : args) {
        if (a.size() > 3 && a.starts_with("--") && a.find('=') == a.size() - 1 &&
            is_option_name(std::string_view(a).substr(0, a.size() - 1))) {
            out.push_back(a.substr(0, a.size() - 1));
            out.emplace_back();
        } else {
            out.push_back(a);
        }
    }
    return out;
}

EarlyExit missing_value(const std::string& option) {
    return EarlyExit{2, "",
                     option + ": 1 required VALUE missing (write " + option +
                         "=VALUE for a value that begins with '-')\n" + std::string(kRunWithHelp)};
}

// In the space form a value that begins with '-' is taken as a missing value,
// so that a forgotten value never swallows the next option. The '=' form
// passes any value. Help asked for anywhere still wins.
std::optional<EarlyExit> check_dash_values(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "-h" || a == "--help") {
            return std::nullopt;
        }
    }
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        const auto& a = args[i];
        if (a.size() > 2 && a.starts_with("--") && a.find('=') == std::string::npos &&
            a != "--version" && !is_option_name(a, true) && args[i + 1].starts_with("-")) {
            return missing_value(a);
        }
    }
    return std::nullopt;
}

}  // namespace

ParseResult parse_command_line(const std::vector<std::string>& given) {
    try {
        auto def = build_definition();
        if (given.empty()) {
            return EarlyExit{2, "", def.app->help()};
        }
        if (auto early = check_flag_values(given)) {
            return *early;
        }
        const auto args = split_empty_values(given);
        if (auto early = check_dash_values(args)) {
            return *early;
        }
        // CLI11 consumes the vector from the back.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        try {
            def.app->parse(reversed);
        } catch (const CLI::ParseError& e) {
            std::ostringstream out;
            std::ostringstream err;
            const int code = def.app->exit(e, out, err);
            const bool ok = code == static_cast<int>(CLI::ExitCodes::Success);
            return EarlyExit{ok ? 0 : 2, out.str(), err.str()};
        }
        for (const auto& parsed : def.subcommands) {
            if (parsed.app->parsed()) {
                if (auto early = check_groups(*parsed.def, *parsed.app)) {
                    return *early;
                }
                return Cli{to_subcommand(parsed)};
            }
        }
        return EarlyExit{2, "", def.app->help()};
    } catch (const std::exception& e) {
        return EarlyExit{2, "", std::string("error: ") + e.what() + "\n"};
    }
}

bool json_requested(const std::vector<std::string>& given) {
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (given[i] == "--format=json" ||
            (given[i] == "--format" && i + 1 < given.size() && given[i + 1] == "json")) {
            return true;
        }
    }
    return false;
}

std::string program_help() {
    return build_definition().app->help();
}

}  // namespace zdz::cli
