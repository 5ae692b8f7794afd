#include "cli/docgen/docgen.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <variant>

#include "cli/grammar/definition.hpp"
#include "cli/grammar/parse.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

namespace {

using Names = std::set<std::string>;

std::string help_of(const std::vector<std::string>& args) {
    const auto parsed = zdz::cli::parse_command_line(args);
    const auto* early = std::get_if<zdz::cli::EarlyExit>(&parsed);
    return early != nullptr ? early->out : "";
}

// Long options as the parser's own help lists them: lines of the Options
// block, "  --name ..." or "  -h,--help ...".
Names options_in_help(const std::string& help) {
    static const std::regex option_line(R"(^  (?:-[a-zA-Z],)?(--[a-z0-9-]+))");
    Names names;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, option_line)) {
            names.insert(m[1]);
        }
    }
    return names;
}

Names subcommands_in_help(const std::string& help) {
    Names names;
    std::istringstream lines(help);
    bool in_block = false;
    for (std::string line; std::getline(lines, line);) {
        if (line == "Subcommands:") {
            in_block = true;
        } else if (in_block && line.starts_with("  ") && line[2] != ' ') {
            names.insert(line.substr(2, line.find(' ', 2) - 2));
        }
    }
    return names;
}

Names words(const std::string& text) {
    Names names;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        names.insert(w);
    }
    return names;
}

// The "NAME) options='...'" line of the bash completion.
Names bash_options_of(const std::string& script, const std::string& sub) {
    const std::string key = "        " + sub + ") options='";
    const auto at = script.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const auto begin = at + key.size();
    return words(script.substr(begin, script.find('\'', begin) - begin));
}

// The option entries (".TP" then the option line) of one command's section.
Names man_options_of(const std::string& page, const std::string& sub) {
    std::string section_key = ".SS " + sub + "\n";
    for (std::size_t i = 0; (i = section_key.find('-', i)) != std::string::npos; i += 2) {
        section_key.replace(i, 1, "\\-");
    }
    const auto begin = page.find(section_key);
    if (begin == std::string::npos) {
        return {};
    }
    const auto end = page.find("\n.S", begin + 1);
    static const std::regex entry(R"(\.TP\n\\fB((?:\\-|[a-z0-9])+)\\fR)");
    Names names;
    const std::string section = page.substr(begin, end - begin);
    for (std::sregex_iterator it(section.begin(), section.end(), entry), last; it != last; ++it) {
        std::string name = (*it)[1];
        for (std::size_t i = 0; (i = name.find("\\-", i)) != std::string::npos;) {
            name.erase(i, 1);
        }
        names.insert(name);
    }
    names.insert("--help");  // listed once, under OPTIONS
    return names;
}

// zsh: "'--name=[" specs inside the command's _arguments call, "'--name["
// for a switch.
Names zsh_options_of(const std::string& script, const std::string& sub) {
    const auto begin = script.find("                " + sub + ")\n");
    if (begin == std::string::npos) {
        return {};
    }
    const auto end = script.find(";;", begin);
    const std::string block = script.substr(begin, end - begin);
    // An option of a group of alternatives is preceded by its exclusions.
    static const std::regex option_form(R"('(?:\([^)]*\))?(--[a-z0-9-]+)=?\[)");
    Names names;
    for (std::sregex_iterator it(block.begin(), block.end(), option_form), last; it != last; ++it) {
        names.insert((*it)[1]);
    }
    if (block.find("{-h,--help}") != std::string::npos) {
        names.insert("--help");
    }
    return names;
}

}  // namespace

TEST(Docgen, EveryOptionHasADecidedCompletion) {
    EXPECT_EQ(zdz::cli::unclassified_options(), std::vector<std::string>{});
    EXPECT_EQ(zdz::cli::value_completion("passphrase_env"), zdz::cli::ValueKind::EnvironmentName);
    EXPECT_EQ(zdz::cli::value_completion("no_such_option"), std::nullopt);
}

// The generated documents against the parser's own --help, not against the
// tables: an option wired into the parser by hand would show up here.
TEST(Docgen, ManPageAndCompletionsNameWhatTheParserAccepts) {
    const auto page = zdz::cli::man_page();
    const auto bash = zdz::cli::bash_completion();
    const auto zsh = zdz::cli::zsh_completion();

    const auto top = help_of({"--help"});
    const auto subcommands = subcommands_in_help(top);
    ASSERT_EQ(subcommands.size(), 19U) << top;
    const auto first_words = bash.substr(bash.find("compgen -W '") + 12);
    Names bash_subcommands = words(first_words.substr(0, first_words.find('\'')));
    bash_subcommands.erase("--help");
    bash_subcommands.erase("--version");
    EXPECT_EQ(bash_subcommands, subcommands);
    EXPECT_EQ(options_in_help(top), (Names{"--help", "--version"}));

    for (const auto& sub : subcommands) {
        const auto expected = options_in_help(help_of({sub, "--help"}));
        ASSERT_GE(expected.size(), 2U) << sub;
        EXPECT_EQ(bash_options_of(bash, sub), expected) << sub;
        EXPECT_EQ(zsh_options_of(zsh, sub), expected) << sub;
        EXPECT_EQ(man_options_of(page, sub), expected) << sub;
    }
}

TEST(Docgen, ManPageExamplesAreValidCommandLines) {
    const auto examples = zdz::cli::man_page_examples();
    ASSERT_FALSE(examples.empty());
    for (const auto& example : examples) {
        const std::vector<std::string> args(example.words.begin() + 1, example.words.end());
        const auto parsed = zdz::cli::parse_command_line(args);
        EXPECT_TRUE(std::holds_alternative<zdz::cli::Cli>(parsed)) << example.words.at(1);
    }
}

// The EXAMPLES section run as written, in order, by the built program: each
// command succeeds in a folder holding the sample image, and what it sends
// to a file is what the next ones read.
TEST(Docgen, ManPageExamplesRunInOrder) {
    zdz::test::TempDir dir;
    const std::string image = "vask-install-2026072900.img";
    std::filesystem::copy_file(zdz::test::source_dir() + "/os/" + image, dir.file(image));
    zdz::test::RunOptions options;
    options.cwd = dir.path();
    for (const auto& name : zdz::cli::man_page_example_environment()) {
        options.env[name] = "a passphrase from the secret manager: " + name;
    }
    for (const auto& example : zdz::cli::man_page_examples()) {
        const std::vector<std::string> args(example.words.begin() + 1, example.words.end());
        const auto r = zdz::test::run_program(args, options);
        ASSERT_EQ(r.status, 0) << example.words.at(1) << ": " << r.err;
        if (!example.output_file.empty()) {
            std::ofstream file(dir.file(example.output_file),
                               example.append ? std::ios::app : std::ios::trunc);
            file << r.out;
        }
    }
    // The last step left the store signed by the new key alone.
    const auto shown = zdz::test::run_program(
        {"show-store", "--store", "known-good.json", "--keystore", "release-2027.key"}, options);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("(withdrawn)"), std::string::npos) << shown.out;
}

TEST(Docgen, ManPageTurnsDefinitionMarkupIntoRoff) {
    const auto page = zdz::cli::man_page();
    EXPECT_TRUE(page.starts_with(".\\\" Generated from the command definition")) << page;
    EXPECT_NE(page.find(".TH ZEDUZAREDOZ 1 \"\" \"zeduzaredoz 0.1.0\" \"User Commands\"\n"),
              std::string::npos);
    EXPECT_NE(page.find("\n.SH NAME\nzeduzaredoz \\- TarnelOS \\(em image provenance and boot "
                        "integrity, run for real, offline\n"),
              std::string::npos);
    // Code spans are bold with real minus signs, emphasis italic.
    EXPECT_NE(page.find("Defaults to \\fBrelease\\-operator@tarnelos\\-workstation\\fR. Optional."),
              std::string::npos);
    EXPECT_NE(page.find("for the \\fImanifest's\\fR signer"), std::string::npos);
    EXPECT_NE(page.find("\\fB\\-\\-security\\-version\\fR\\ \\fISECURITY_VERSION\\fR"),
              std::string::npos);
    EXPECT_EQ(page.find("\u2014"), std::string::npos);
    EXPECT_NE(
        page.find(
            "named by \\fB\\-\\-passphrase\\-env\\fR (\\fBkeygen\\fR, "
            "\\fBchange\\-passphrase\\fR, \\fBsign\\fR, \\fBapprove\\fR, \\fBsign\\-release\\fR, "
            "\\fBpromote\\fR, \\fBwithdraw\\fR, \\fBset\\-policy\\fR, \\fBrekey\\-store\\fR and "
            "\\fBrefresh\\-store\\fR)"),
        std::string::npos);
    EXPECT_NE(page.find("variable named by \\fB\\-\\-new\\-passphrase\\-env\\fR"),
              std::string::npos);
    // No text line may begin with a dot or quote that roff would take as a request.
    std::istringstream lines(page);
    const std::regex request(R"(^[.'](?:\\"|[A-Za-z]{1,2}\b))");
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && (line[0] == '.' || line[0] == '\'')) {
            EXPECT_TRUE(std::regex_search(line, request)) << line;
        }
    }
}

TEST(Docgen, CompletionsOfferValuesByKind) {
    const auto bash = zdz::cli::bash_completion();
    EXPECT_NE(bash.find("        --kind)\n            COMPREPLY=($(compgen -W 'install ota_update' "
                        "-- \"$cur\"))\n"),
              std::string::npos);
    EXPECT_NE(bash.find("        --passphrase-env|--new-passphrase-env)\n            "
                        "COMPREPLY=($(compgen -e -- \"$cur\"))\n"),
              std::string::npos);
    EXPECT_NE(bash.find("complete -F _zeduzaredoz zeduzaredoz\n"), std::string::npos);

    const auto zsh = zdz::cli::zsh_completion();
    EXPECT_TRUE(zsh.starts_with("#compdef zeduzaredoz\n"));
    EXPECT_NE(zsh.find("'--kind=[`install` or `ota_update`]:KIND:(install ota_update)'"),
              std::string::npos);
    // Colons and brackets inside descriptions are escaped; "e.g." ends no sentence.
    EXPECT_NE(zsh.find("'(--image-file)--measurement=[The candidate measurement, e.g. "
                       "`sha256\\:<64 hex>`]:MEASUREMENT: '"),
              std::string::npos);
    EXPECT_NE(zsh.find("'sign:Sign a manifest for a real image file on disk'"), std::string::npos);
    EXPECT_NE(zsh.find("'--out=[Where to write the sealed keystore file]:OUT:_files'"),
              std::string::npos);
}

// Alternatives (exactly one of --keystore and --public-key) read as such in
// every document: one braced choice in the synopsis, a sentence instead of
// "Required." or "Optional.", and completions that stop offering the other
// once one is on the line.
TEST(Docgen, OptionGroupsAreRenderedAsAlternatives) {
    const auto page = zdz::cli::man_page();
    const std::string keystore = "\\fB\\-\\-keystore\\fR\\ \\fIKEYSTORE\\fR";
    const std::string public_key = "\\fB\\-\\-public\\-key\\fR\\ \\fIPUBLIC_KEY\\fR";
    EXPECT_NE(
        page.find("\\fBzeduzaredoz authorize\\-install\\fR \\fB\\-\\-store\\fR\\ \\fISTORE\\fR {" +
                  keystore + " | " + public_key + "} \\fB\\-\\-platform"),
        std::string::npos)
        << page;
    EXPECT_NE(page.find("in a \\fB.pub\\fR file). Exactly one of \\fB\\-\\-keystore\\fR and "
                        "\\fB\\-\\-public\\-key\\fR is required.\n"),
              std::string::npos);

    const auto bash = zdz::cli::bash_completion();
    EXPECT_NE(bash.find("exclusive='--keystore,--public-key --measurement,--image-file' ;;\n"),
              std::string::npos)
        << bash;

    const auto zsh = zdz::cli::zsh_completion();
    EXPECT_NE(zsh.find("'(--public-key)--keystore=["), std::string::npos) << zsh;
    EXPECT_NE(zsh.find("'(--keystore)--public-key=["), std::string::npos);
    EXPECT_NE(zsh.find("'--keystore=[Path to the sealed keystore holding the signing key]"),
              std::string::npos);
}

// Alternatives and fixed choices reach the man page and both completions.
TEST(Docgen, AlternativesAndChoicesReachEveryDocument) {
    const auto page = zdz::cli::man_page();
    EXPECT_NE(
        page.find("\\fBzeduzaredoz withdraw\\fR \\fB\\-\\-store\\fR\\ \\fISTORE\\fR "
                  "\\fB\\-\\-keystore\\fR\\ \\fIKEYSTORE\\fR \\fB\\-\\-passphrase\\-env\\fR\\ "
                  "\\fIPASSPHRASE_ENV\\fR \\fB\\-\\-platform\\fR\\ \\fIPLATFORM\\fR "
                  "{\\fB\\-\\-measurement\\fR\\ \\fIMEASUREMENT\\fR | "
                  "\\fB\\-\\-image\\-file\\fR\\ \\fIIMAGE_FILE\\fR} [\\fB\\-\\-new\\-platform\\fR] "
                  "[\\fB\\-\\-store\\-expires\\-at\\fR\\ \\fISTORE_EXPIRES_AT\\fR] "
                  "[\\fB\\-\\-checkpoint\\fR\\ \\fICHECKPOINT\\fR] [\\fB\\-\\-format\\fR\\ "
                  "\\fIFORMAT\\fR] [\\fB\\-\\-progress\\fR\\ "
                  "\\fIPROGRESS\\fR]\n"),
        std::string::npos);
    EXPECT_NE(page.find("Exactly one of \\fB\\-\\-measurement\\fR and \\fB\\-\\-image\\-file\\fR "
                        "is required.\n"),
              std::string::npos);
    EXPECT_NE(
        page.find("Defaults to \\fBtext\\fR. Takes \\fBtext\\fR or \\fBjson\\fR. Optional.\n"),
        std::string::npos);
    EXPECT_NE(page.find("\n.SH \"JSON OUTPUT\"\n"), std::string::npos);

    EXPECT_NE(zdz::cli::bash_completion().find("; exclusive='--measurement,--image-file' ;;\n"),
              std::string::npos);
    const auto zsh = zdz::cli::zsh_completion();
    EXPECT_NE(zsh.find("'(--measurement)--image-file=[The image file to withdraw"),
              std::string::npos);
    EXPECT_NE(zsh.find("'--format=[Report format]:FORMAT:(text json)'"), std::string::npos);
    EXPECT_NE(zsh.find(":PROGRESS:(auto always never)'"), std::string::npos) << zsh;
    EXPECT_NE(page.find("Defaults to \\fBauto\\fR. Takes \\fBauto\\fR, \\fBalways\\fR or "
                        "\\fBnever\\fR. Optional.\n"),
              std::string::npos);
}
