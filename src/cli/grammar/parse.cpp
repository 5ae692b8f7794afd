#include "cli/grammar/parse.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <map>
#include <memory>
#include <sstream>

#include "cli/docgen/docgen.hpp"
#include "cli/grammar/definition.hpp"
#include "encoding/text.hpp"

namespace zdz::cli {
namespace {

constexpr std::uint32_t kMaxSecurityVersion = 4294967295U;

std::optional<std::uint32_t> parse_u32(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > kMaxSecurityVersion) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

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

std::string choice_list(const OptionDef& opt) {
    std::string list;
    for (const auto choice : opt.choices) {
        list += list.empty() ? "" : ",";
        list += choice;
    }
    return list;
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

// Values of one parsed subcommand, by option id.
using Values = std::map<std::string, std::string, std::less<>>;

struct Definition {
    std::unique_ptr<CLI::App> app;
    std::vector<std::pair<CLI::App*, std::unique_ptr<Values>>> subcommands;
};

Definition build_definition() {
    Definition def;
    def.app = std::make_unique<CLI::App>(std::string(kAbout), kProgramName);
    auto& app = *def.app;
    app.set_version_flag("-V,--version", std::string(kProgramName) + " " + kVersion);
    app.require_subcommand(1);
    for (const auto& sub : subcommand_defs()) {
        auto* cmd = app.add_subcommand(std::string(sub.name), std::string(sub.about));
        auto values = std::make_unique<Values>();
        for (const auto& opt : sub.options) {
            auto* o = cmd->add_option(std::string(opt.long_name()), (*values)[std::string(opt.id)],
                                      option_description(sub, opt));
            o->type_name(std::string(opt.value_name()));
            o->expected(1);
            o->multi_option_policy(CLI::MultiOptionPolicy::Throw);
            o->allow_extra_args(false);
            if (opt.required) {
                o->required();
            }
            // Text values are UTF-8; paths are passed on byte for byte,
            // whatever their encoding.
            if (value_completion(opt.id).value_or(ValueCompletion::Text) != ValueCompletion::Path) {
                o->check(
                    [](const std::string& value) -> std::string {
                        return encoding::is_valid_utf8(value) ? std::string()
                                                              : std::string("not valid UTF-8");
                    },
                    "", "utf8");
            }
            if (!opt.choices.empty()) {
                o->check(
                    [&opt](const std::string& value) -> std::string {
                        for (const auto choice : opt.choices) {
                            if (value == choice) {
                                return {};
                            }
                        }
                        return "must be " + choice_words(opt) + ", not " +
                               encoding::quoted_excerpt(value, encoding::kMessageExcerptChars);
                    },
                    "{" + choice_list(opt) + "}", "choices");
            }
            if (opt.id == "security_version") {
                o->check(
                    [](const std::string& value) -> std::string {
                        if (parse_u32(value)) {
                            return {};
                        }
                        return "not a decimal integer in 0..=4294967295: " + value;
                    },
                    "u32", "u32");
            }
        }
        def.subcommands.emplace_back(cmd, std::move(values));
    }
    return def;
}

std::optional<std::string> optional_value(const CLI::App& cmd, const Values& values,
                                          std::string_view id, std::string_view long_name) {
    if (cmd.get_option(std::string(long_name))->count() == 0) {
        return std::nullopt;
    }
    return values.find(id)->second;
}

// The parser has checked the value against the option's choices.
OutputFormat output_format(const CLI::App& cmd, const Values& v) {
    return optional_value(cmd, v, "format", "--format") == "json" ? OutputFormat::Json
                                                                  : OutputFormat::Text;
}

Subcommand to_subcommand(const CLI::App& cmd, const Values& v) {
    const auto get = [&](std::string_view id) { return v.find(id)->second; };
    const auto& name = cmd.get_name();
    if (name == "keygen") {
        return Keygen{get("out"), get("passphrase_env"),
                      optional_value(cmd, v, "principal", "--principal")};
    }
    if (name == "import-hashes") {
        return ImportHashes{get("file")};
    }
    if (name == "import-signers") {
        return ImportSigners{get("file")};
    }
    if (name == "sign") {
        return Sign{get("keystore"),   get("passphrase_env"),
                    get("image_file"), get("platform"),
                    get("kind"),       *parse_u32(get("security_version")),
                    get("out"),        optional_value(cmd, v, "expires_at", "--expires-at")};
    }
    if (name == "verify") {
        return Verify{get("manifest"), optional_value(cmd, v, "signers_file", "--signers-file"),
                      optional_value(cmd, v, "image_file", "--image-file"), output_format(cmd, v)};
    }
    if (name == "promote") {
        return Promote{get("manifest"), optional_value(cmd, v, "signers_file", "--signers-file"),
                       get("store"), get("keystore"), get("passphrase_env")};
    }
    const auto candidate = [&] {
        return CandidateImage{optional_value(cmd, v, "measurement", "--measurement"),
                              optional_value(cmd, v, "image_file", "--image-file")};
    };
    if (name == "authorize-install") {
        return AuthorizeInstall{get("store"), optional_value(cmd, v, "keystore", "--keystore"),
                                optional_value(cmd, v, "public_key", "--public-key"),
                                get("platform"), candidate()};
    }
    if (name == "withdraw") {
        return Withdraw{get("store"), get("keystore"), get("passphrase_env"), get("platform"),
                        candidate()};
    }
    if (name == "show-store") {
        return ShowStore{get("store"), optional_value(cmd, v, "keystore", "--keystore"),
                         optional_value(cmd, v, "public_key", "--public-key"),
                         optional_value(cmd, v, "platform", "--platform"), output_format(cmd, v)};
    }
    if (name == "show-key") {
        return ShowKey{get("keystore"), optional_value(cmd, v, "principal", "--principal")};
    }
    if (name == "change-passphrase") {
        return ChangePassphrase{get("keystore"), get("passphrase_env"), get("new_passphrase_env")};
    }
    if (name == "rekey-store") {
        return RekeyStore{get("store"), get("keystore"), get("new_keystore"),
                          get("passphrase_env")};
    }
    return Demo{optional_value(cmd, v, "sha256_file", "--sha256-file")};
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

// --help and --version are flags: "--help=x" (or "--help=") is a usage error
// rather than a request for help.
std::optional<EarlyExit> check_flag_values(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        for (const std::string_view flag : {"--help", "--version"}) {
            if (a.size() > flag.size() && a.starts_with(flag) && a[flag.size()] == '=') {
                return EarlyExit{
                    2, "", std::string(flag) + ": takes no value\n" + std::string(kRunWithHelp)};
            }
        }
    }
    return std::nullopt;
}

bool is_option_name(std::string_view long_name) {
    for (const auto& sub : subcommand_defs()) {
        for (const auto& opt : sub.options) {
            if (opt.long_name() == long_name) {
                return true;
            }
        }
    }
    return false;
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
            a != "--version" && args[i + 1].starts_with("-")) {
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
        for (std::size_t i = 0; i < def.subcommands.size(); ++i) {
            const auto& [cmd, values] = def.subcommands[i];
            if (cmd->parsed()) {
                if (auto early = check_groups(subcommand_defs()[i], *cmd)) {
                    return *early;
                }
                return Cli{to_subcommand(*cmd, *values)};
            }
        }
        return EarlyExit{2, "", def.app->help()};
    } catch (const std::exception& e) {
        return EarlyExit{2, "", std::string("error: ") + e.what() + "\n"};
    }
}

std::string program_help() {
    return build_definition().app->help();
}

}  // namespace zdz::cli
