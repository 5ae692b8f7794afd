#include <algorithm>
#include <span>
#include <utility>

#include "cli/command.hpp"
#include "cli/docgen/docgen.hpp"
#include "cli/docgen/text.hpp"
#include "cli/grammar/definition.hpp"
#include "cli/json_report.hpp"

namespace zdz::cli {
namespace {

using docgen_detail::kGeneratedNotice;

// Default paths that handlers apply when an optional option is absent.
constexpr std::pair<std::string_view, std::string_view> kDefaultPaths[] = {
    {"signers_file", kDefaultSignersFile},
    {"sha256_file", kDefaultSha256File},
};
constexpr std::pair<std::string_view, std::string_view> kDefaultPathRoles[] = {
    {"signers_file", "Trust file in allowed_signers format"},
    {"sha256_file", "Hash manifest of the sample images"},
};

constexpr std::string_view kEmDash = "\u2014";

// ---------------------------------------------------------------- roff

// Definition texts mark code with backticks and emphasis with asterisks;
// roff wants font changes, escaped backslashes and real minus signs in code
// (so that options copied from the page still work).
std::string roff_text(std::string_view text) {
    std::string out;
    bool in_code = false;
    bool in_emphasis = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '`') {
            out += in_code ? "\\fR" : "\\fB";
            in_code = !in_code;
        } else if (c == '*' && !in_code &&
                   (in_emphasis || text.find('*', i + 1) != std::string_view::npos)) {
            out += in_emphasis ? "\\fR" : "\\fI";
            in_emphasis = !in_emphasis;
        } else if (c == '\\') {
            out += "\\e";
        } else if (c == '-' && in_code) {
            out += "\\-";
        } else if (text.substr(i).starts_with(kEmDash)) {
            out += "\\(em";
            i += kEmDash.size() - 1;
        } else {
            out += c;
        }
    }
    if (in_code || in_emphasis) {
        out += "\\fR";
    }
    // A line that begins with a dot or a quote would be read as a request.
    if (!out.empty() && (out.front() == '.' || out.front() == '\'')) {
        out.insert(0, "\\&");
    }
    return out;
}

std::string roff_literal(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '-') {
            out += "\\-";
        } else if (c == '\\') {
            out += "\\e";
        } else {
            out += c;
        }
    }
    return out;
}

std::string roff_option(const OptionDef& option) {
    if (option.is_flag()) {
        return "\\fB" + roff_literal(option.long_name()) + "\\fR";
    }
    return "\\fB" + roff_literal(option.long_name()) + "\\fR\\ \\fI" +
           std::string(option.value_name()) + "\\fR";
}

// Alternatives stand together in braces where the first of them is declared:
// {--a A | --b B}.
std::string roff_synopsis(const SubcommandDef& sub) {
    std::string line = "\\fB" + std::string(kProgramName) + " " + roff_literal(sub.name) + "\\fR";
    for (const auto& option : sub.options) {
        if (!option.one_of.empty()) {
            const auto members = group_members(sub, option.one_of);
            if (members.front() != &option) {
                continue;
            }
            line += " {";
            for (std::size_t i = 0; i < members.size(); ++i) {
                line += i == 0 ? "" : " | ";
                line += roff_option(*members[i]);
            }
            line += '}';
            continue;
        }
        line += option.required ? " " : " [";
        line += roff_option(option);
        if (!option.required) {
            line += ']';
        }
    }
    return line;
}

// What the entry of an option says after its help text.
std::string roff_requirement(const SubcommandDef& sub, const OptionDef& option) {
    std::string text;
    if (!option.choices.empty()) {
        text += "Takes ";
        for (std::size_t i = 0; i < option.choices.size(); ++i) {
            if (i > 0) {
                text += i + 1 == option.choices.size() ? " or " : ", ";
            }
            text += "\\fB" + roff_literal(option.choices[i]) + "\\fR";
        }
        text += ". ";
    }
    if (!option.one_of.empty()) {
        const auto members = group_members(sub, option.one_of);
        text += "Exactly one of ";
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i > 0) {
                text += i + 1 == members.size() ? " and " : ", ";
            }
            text += "\\fB" + roff_literal(members[i]->long_name()) + "\\fR";
        }
        return text + " is required.";
    }
    return text + (option.required ? "Required." : "Optional.");
}

// A hanging indent, so that a synopsis that wraps stays readable.
std::string roff_synopsis_block(const SubcommandDef& sub) {
    return ".in +4n\n.ti -4n\n" + roff_synopsis(sub) + "\n.in -4n\n";
}

std::string sentence(std::string_view help) {
    std::string text = roff_text(help);
    if (!text.empty() && text.back() != '.') {
        text += '.';
    }
    return text;
}

std::string commands_taking(std::string_view option_id) {
    std::vector<std::string> names;
    for (const auto& sub : subcommand_defs()) {
        for (const auto& option : sub.options) {
            if (option.id == option_id) {
                names.push_back("\\fB" + roff_literal(sub.name) + "\\fR");
            }
        }
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += i + 1 == names.size() ? " and " : ", ";
        }
        text += names[i];
    }
    return text;
}

std::string option_named(std::string_view id) {
    for (const auto& sub : subcommand_defs()) {
        for (const auto& option : sub.options) {
            if (option.id == id) {
                return "\\fB" + roff_literal(option.long_name()) + "\\fR";
            }
        }
    }
    return "\\fB" + roff_literal(id) + "\\fR";
}

void append_json_members(std::string& page, std::span<const JsonMemberDoc> members) {
    for (const auto& member : members) {
        page +=
            ".TP\n\\fB" + roff_literal(member.path) + "\\fR\n" + sentence(member.meaning) + "\n";
    }
}

void append_json_output(std::string& page) {
    page += ".SH \"JSON OUTPUT\"\n";
    page +=
        "With \\fB\\-\\-format json\\fR, every command but \\fBdemo\\fR prints exactly one JSON "
        "document on standard output instead of the text report, on success and on failure "
        "alike, and the exit status is the same as without it. On success the document has "
        "\\fBok\\fR \\fBtrue\\fR and the command's members below (a path such as "
        "\\fIa[].b\\fR names member \\fIb\\fR of each element of array \\fIa\\fR). Member "
        "names are stable; numbers are JSON numbers and times are RFC 3339 text in UTC. A path "
        "that the document repeats must be valid UTF\\-8.\n";
    for (const auto& report : json_report_docs()) {
        page += ".SS " + roff_literal(report.command) + "\n";
        append_json_members(page, report.members);
    }
    page += ".SS failures\n";
    page +=
        "A failure prints the usual error line on standard error and this document on standard "
        "output. A usage error (exit status 2) does too, when \\fB\\-\\-format json\\fR was "
        "given.\n";
    append_json_members(page, json_failure_members());
    page += ".PP\nThe kinds of \\fBerror.kind\\fR:\n";
    append_json_members(page, json_error_kinds());
}

// Whether `word` is a switch of the subcommand `command`.
bool is_flag_of(std::string_view command, std::string_view word) {
    for (const auto& sub : subcommand_defs()) {
        if (sub.name != command) {
            continue;
        }
        for (const auto& option : sub.options) {
            if (option.long_name() == word) {
                return option.is_flag();
            }
        }
    }
    return false;
}

void append_examples(std::string& page) {
    page += ".SH EXAMPLES\n";
    page +=
        "One release, run in that order in a folder holding the image file "
        "vask\\-install\\-2026072900.img. The passphrases are in environment variables that a "
        "secret manager or a script has set (";
    const auto environment = man_page_example_environment();
    for (std::size_t i = 0; i < environment.size(); ++i) {
        page += i == 0 ? "" : i + 1 == environment.size() ? " and " : ", ";
        page += "\\fB";
        page += roff_literal(environment[i]);
        page += "\\fR";
    }
    page +=
        "). Create a release key and trust it, sign the image, check the manifest and the image "
        "file against the trust file, promote it to the registry, check an install with the "
        "public key alone, list what the registry holds as JSON, change the key's passphrase, "
        "withdraw the image, and move the registry to a new release key:\n"
        ".PP\n.nf\n.RS 4\n";
    // One option and its value per continuation line, as one would type it.
    for (const auto& example : man_page_examples()) {
        const auto& words = example.words;
        std::string line = roff_literal(words.at(0)) + " " + roff_literal(words.at(1));
        for (std::size_t i = 2; i < words.size(); ++i) {
            line += " \\e\n    ";
            line += roff_literal(words[i]);
            if (!is_flag_of(words[1], words[i]) && i + 1 < words.size()) {
                line += ' ';
                line += roff_literal(words[++i]);
            }
        }
        if (!example.output_file.empty()) {
            line += example.append ? " >> " : " > ";
            line += roff_literal(example.output_file);
        }
        page += line + "\n";
    }
    page += ".RE\n.fi\n";
}

}  // namespace

std::vector<std::string> man_page_example_environment() {
    return {"RELEASE_PASSPHRASE", "NEW_RELEASE_PASSPHRASE", "RELEASE_2027_PASSPHRASE"};
}

std::vector<ManPageExample> man_page_examples() {
    const std::string program = kProgramName;
    const std::string image = "vask-install-2026072900.img";
    return {
        {{program, "keygen", "--out", "release.key", "--passphrase-env", "RELEASE_PASSPHRASE",
          "--principal", "release@example.org"}},
        {{program, "show-key", "--keystore", "release.key", "--principal", "release@example.org",
          "--trust-line"},
         "allowed_signers",
         true},
        {{program, "sign", "--keystore", "release.key", "--passphrase-env", "RELEASE_PASSPHRASE",
          "--image-file", image, "--platform", "vask", "--kind", "install", "--security-version",
          "2", "--out", "v2.manifest.json"}},
        {{program, "verify", "--manifest", "v2.manifest.json", "--signers-file", "allowed_signers",
          "--image-file", image}},
        {{program, "promote", "--manifest", "v2.manifest.json", "--signers-file", "allowed_signers",
          "--store", "known-good.json", "--keystore", "release.key", "--passphrase-env",
          "RELEASE_PASSPHRASE"}},
        {{program, "show-key", "--keystore", "release.key", "--trust-line"}, "release.pub"},
        {{program, "authorize-install", "--store", "known-good.json", "--public-key", "release.pub",
          "--platform", "vask", "--image-file", image}},
        {{program, "show-store", "--store", "known-good.json", "--keystore", "release.key",
          "--format", "json"}},
        {{program, "change-passphrase", "--keystore", "release.key", "--passphrase-env",
          "RELEASE_PASSPHRASE", "--new-passphrase-env", "NEW_RELEASE_PASSPHRASE"}},
        {{program, "withdraw", "--store", "known-good.json", "--keystore", "release.key",
          "--passphrase-env", "NEW_RELEASE_PASSPHRASE", "--platform", "vask", "--image-file",
          image}},
        {{program, "keygen", "--out", "release-2027.key", "--passphrase-env",
          "RELEASE_2027_PASSPHRASE", "--principal", "release@example.org"}},
        {{program, "rekey-store", "--store", "known-good.json", "--keystore", "release.key",
          "--new-keystore", "release-2027.key", "--passphrase-env", "RELEASE_2027_PASSPHRASE"}},
    };
}

namespace {

std::string man_header_and_synopsis(const std::string& program) {
    std::string page;
    page += ".\\\" " + std::string(kGeneratedNotice) + "\n";
    page += ".TH ZEDUZAREDOZ 1 \"\" \"" + program + " " + kVersion + "\" \"User Commands\"\n";
    // Option and value names must not be hyphenated or spread out.
    page += ".nh\n.ad l\n";

    page += ".SH NAME\n" + program + " \\- " + roff_text(kAbout) + "\n";

    page += ".SH SYNOPSIS\n";
    for (const auto& sub : subcommand_defs()) {
        page += roff_synopsis_block(sub);
    }
    page += "\\fB" + program + "\\fR \\fB\\-h\\fR | \\fB\\-\\-help\\fR\n.br\n";
    page += "\\fB" + program + "\\fR \\fB\\-V\\fR | \\fB\\-\\-version\\fR\n";
    return page;
}

// What the tool is for and how its command line reads.
void append_description(const std::string& program, std::string& page) {
    page += ".SH DESCRIPTION\n";
    page += "\\fB" + program +
            "\\fR is the offline operator tool for TarnelOS image provenance and boot integrity. "
            "A release engineer seals an Ed25519 release key under a passphrase (Argon2id and "
            "XChaCha20\\-Poly1305), signs manifests for real OS image files (the SHA\\-256 of "
            "their bytes), verifies them against an allowed_signers trust file, keeps a signed "
            "known\\-good registry with a per\\-platform rollback floor, and authorizes installs. "
            "Over the years of a key's life it prints the key's trust line again, changes its "
            "passphrase, checks installs with the public key alone, and moves the registry to "
            "the next key.\n"
            ".PP\n"
            "There is no network and no daemon: every input is a file or an argument, every result "
            "a report on standard output, an exit status and at most one written file.\n"
            ".PP\n"
            "Each invocation runs one command. Every option is a long option with one value, "
            "written \\fB\\-\\-option\\fR\\ \\fIVALUE\\fR or \\fB\\-\\-option=\\fR\\fIVALUE\\fR; "
            "a value that begins with \\(lq\\-\\(rq must use the second form. A switch such as "
            "\\fB\\-\\-force\\fR takes no value. Options may come in any order, each at most "
            "once.\n";
}

// Each command with its options.
void append_commands(std::string& page) {
    page += ".SH COMMANDS\n";
    for (const auto& sub : subcommand_defs()) {
        page += ".SS " + roff_literal(sub.name) + "\n";
        page += roff_synopsis_block(sub) + ".PP\n" + sentence(sub.about) + "\n";
        for (const auto& option : sub.options) {
            page += ".TP\n" + roff_option(option) + "\n";
            const std::string help = sentence(option.help);
            page += help + (help.empty() ? "" : " ") + roff_requirement(sub, option) + "\n";
        }
    }
}

// The options that stand before a command.
void append_options(const std::string& program, std::string& page) {
    page += ".SH OPTIONS\n";
    page += ".TP\n\\fB\\-h\\fR, \\fB\\-\\-help\\fR\n";
    page += "Print help for the program, or for the command it follows, and exit with status 0.\n";
    page += ".TP\n\\fB\\-V\\fR, \\fB\\-\\-version\\fR\n";
    page += "Print \\(lq" + program + " " + kVersion + "\\(rq and exit with status 0.\n";
}

// The exit statuses.
void append_exit_status(std::string& page) {
    page += ".SH \"EXIT STATUS\"\n";
    page += ".TP\n.B 0\nThe command succeeded; its report is on standard output.\n";
    page +=
        ".TP\n.B 1\nThe command refused or failed, or its report could not be written to "
        "standard output: standard error holds one line, "
        "\\(lqerror: \\(rq followed by the reason.\n";
    page +=
        ".TP\n.B 2\nThe command line is not valid, or there were no arguments: the usage "
        "error or the help text is on standard error.\n";
}

// Where the passphrases come from.
void append_environment(std::string& page) {
    page += ".SH ENVIRONMENT\n";
    page += "The keystore passphrase is read from the environment variable named by " +
            option_named("passphrase_env") + " (" + commands_taking("passphrase_env") +
            "), never from an option, because option values are visible in shell history and "
            "in ps(1). The value is used exactly as set, spaces and newlines included.\n";
    page +=
        ".PP\n\\fBchange\\-passphrase\\fR reads the new passphrase from the variable named by " +
        option_named("new_passphrase_env") +
        ", under the same rules; it must be set and not empty.\n";
}

// The default files.
void append_files(std::string& page) {
    page += ".SH FILES\n";
    for (const auto& [id, path] : kDefaultPaths) {
        page += ".TP\n.I " + roff_literal(path) + "\n";
        for (const auto& [role_id, role] : kDefaultPathRoles) {
            if (role_id == id) {
                page += std::string(role);
            }
        }
        page += " read by " + commands_taking(id) + " when " + option_named(id) +
                " is not given, relative to the working directory.\n";
    }
}

}  // namespace

std::string man_page() {
    const std::string program = kProgramName;
    std::string page = man_header_and_synopsis(program);
    append_description(program, page);
    append_commands(page);
    append_options(program, page);
    append_json_output(page);
    append_exit_status(page);
    append_environment(page);
    append_files(page);
    append_examples(page);
    page += ".SH \"SEE ALSO\"\n";
    page += "\\fBssh\\-keygen\\fR(1), \\fBsha256sum\\fR(1), \\fBargon2\\fR(1), \\fBjq\\fR(1)\n";
    return page;
}

}  // namespace zdz::cli
