#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/run.hpp"
#include "support/tempdir.hpp"

using zdz::test::run_program;
using zdz::test::TempDir;

namespace {

const std::string kAbout =
    "TarnelOS \u2014 image provenance and boot integrity, run for real, offline";

}  // namespace

TEST(CommandLine, NoArgumentsPrintsHelpOnStandardErrorWithStatus2) {
    const auto r = run_program({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(kAbout), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("authorize-install"), std::string::npos);
}

TEST(CommandLine, HelpAndVersionGoToStandardOutputWithStatus0) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"},
                                                                  {"-h"},
                                                                  {"sign", "--help"},
                                                                  {"verify", "-h"},
                                                                  {"sign", "--out", "x", "-h"}}) {
        const auto r = run_program(args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_FALSE(r.out.empty());
        EXPECT_EQ(r.err, "");
    }
    for (const auto& flag : {"--version", "-V"}) {
        const auto r = run_program({flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "zeduzaredoz 0.1.0\n");
    }
}

// Not on a terminal, help is wrapped to 80 columns, and every option has a
// description: text in the description column (30) on its own line or the
// next.
TEST(CommandLine, HelpIsWrappedAndDescribesEveryOption) {
    constexpr std::size_t kWidth = 80;
    constexpr std::size_t kColumn = 30;
    const auto columns = [](const std::string& line) {
        std::size_t n = 0;
        for (const char c : line) {
            n += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
        }
        return n;
    };
    const std::string description_indent(kColumn, ' ');
    for (const std::string sub :
         {"", "keygen", "show-key", "change-passphrase", "import-hashes", "import-signers", "sign",
          "verify", "promote", "authorize-install", "withdraw", "show-store", "rekey-store",
          "demo"}) {
        const auto r = run_program(sub.empty() ? std::vector<std::string>{"--help"}
                                               : std::vector<std::string>{sub, "--help"});
        ASSERT_EQ(r.status, 0) << sub;
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            EXPECT_LE(columns(line), kWidth) << sub << ": " << line;
            lines.push_back(line);
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto& line = lines[i];
            if (!line.starts_with("  --") || line.starts_with("  --help")) {
                continue;
            }
            const bool same_line =
                line.size() > kColumn && line[kColumn - 1] == ' ' && line[kColumn] != ' ';
            const bool next_line = i + 1 < lines.size() &&
                                   lines[i + 1].starts_with(description_indent) &&
                                   lines[i + 1].size() > kColumn && lines[i + 1][kColumn] != ' ';
            EXPECT_TRUE(same_line || next_line) << sub << ": no description for " << line;
        }
    }
}

TEST(CommandLine, SubcommandHelpShowsItsTextsInDeclarationOrder) {
    const auto r = run_program({"sign", "--help"});
    ASSERT_EQ(r.status, 0);
    const std::vector<std::string> in_order{"--keystore",
                                            "Path to the sealed keystore holding the signing key",
                                            "--passphrase-env",
                                            "--image-file",
                                            "--platform",
                                            "Platform/device codename, e.g. `vask`",
                                            "--kind",
                                            "`install` or `ota_update`",
                                            "--security-version",
                                            "SECURITY_VERSION",
                                            "--out"};
    // The texts as the definition words them, wherever a line was wrapped.
    std::string unwrapped;
    for (const char c : r.out) {
        const bool blank = c == ' ' || c == '\n';
        if (!blank || (!unwrapped.empty() && unwrapped.back() != ' ')) {
            unwrapped += blank ? ' ' : c;
        }
    }
    std::size_t pos = 0;
    for (const auto& text : in_order) {
        const auto found = unwrapped.find(text, pos);
        ASSERT_NE(found, std::string::npos) << text << "\n" << r.out;
        pos = found;
    }
    const auto keygen = run_program({"keygen", "--help"});
    EXPECT_NE(keygen.out.find("`release-operator@tarnelos-workstation`"), std::string::npos);
}

TEST(CommandLine, UsageErrorsExitWith2) {
    const std::vector<std::vector<std::string>> cases{
        {"frobnicate"},
        {"import-hashes"},                                // missing required option
        {"import-hashes", "--file"},                      // missing value
        {"import-hashes", "--file", "a", "--file", "b"},  // repeated option
        {"import-hashes", "--file=a", "--file=b"},
        {"import-hashes", "--file", "a", "--bogus", "x"},  // unknown option
        {"import-hashes", "--fil", "a"},                   // no abbreviations
        {"import-hashes", "--file", "a", "stray"},         // no positional arguments
        {"import-hashes", "--file", "-x"},                 // a value that looks like an option
        {"--file", "a"},                                   // no subcommand
    };
    for (const auto& args : cases) {
        const auto r = run_program(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
}

TEST(CommandLine, SecurityVersionMustBeADecimalU32) {
    const std::vector<std::string> base{"sign", "--keystore",   "k",       "--passphrase-env",
                                        "P",    "--image-file", "i",       "--platform",
                                        "vask", "--kind",       "install", "--out",
                                        "o"};
    for (const std::string bad : {"4294967296", "-1", "12abc", "", "+1", "0x10", "1.0"}) {
        auto args = base;
        args.push_back("--security-version=" + bad);
        const auto r = run_program(args);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("--security-version"), std::string::npos) << r.err;
    }
    for (const std::string good : {"0", "4294967295"}) {
        auto args = base;
        args.insert(args.end(), {"--security-version", good});
        // Parsing succeeds; the handler then fails on the missing passphrase.
        zdz::test::RunOptions options;
        options.unset = {"P"};
        const auto r = run_program(args, options);
        EXPECT_EQ(r.status, 1) << good << r.err;
        EXPECT_EQ(r.err.rfind("error: ", 0), 0U) << r.err;
    }
}

TEST(CommandLine, HandlerFailureIsOneErrorLineWithStatus1) {
    EXPECT_EQ(
        run_program({"import-hashes", "--file", "/nonexistent/BASE-IMAGE.sha256"}),
        (zdz::test::RunResult{1, "",
                              "error: cannot read /nonexistent/BASE-IMAGE.sha256: No such file or "
                              "directory (os error 2)\n"}));
}

TEST(CommandLine, AnEmptyValueIsAValueInBothFormsAndNeverTakesTheNextArgument) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"import-hashes", "--file="}, {"import-hashes", "--file", ""}}) {
        const auto r = run_program(args);
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.err, "error: cannot read : No such file or directory (os error 2)\n");
    }
    TempDir dir;
    zdz::test::RunOptions options;
    options.cwd = dir.path();
    options.env = {{"P", "a passphrase"}};
    // Once "--principal=" took "--out=missing/dir/ks.json" as its value and
    // the keystore was written to ks.json.
    auto r = run_program({"keygen", "--principal=", "--out=missing/dir/ks.json", "--out", "ks.json",
                          "--passphrase-env", "P"},
                         options);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("--out: ", 0), 0U) << r.err;
    r = run_program({"keygen", "--principal=", "--out", "ks.json", "--passphrase-env", "P"},
                    options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("error: invalid principal \"\": ", 0), 0U) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("ks.json")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST(CommandLine, HelpAndVersionTakeNoValue) {
    const std::vector<std::vector<std::string>> cases{
        {"--help=x"},
        {"--help="},
        {"--version=x"},
        {"import-hashes", "--help=x"},
        {"import-hashes", "--file", "a", "--version=1"}};
    for (const auto& args : cases) {
        const auto r = run_program(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "");
        const auto flag = args.back().substr(0, args.back().find('='));
        EXPECT_EQ(r.err, flag + ": takes no value\nRun with --help for more information.\n");
    }
}

TEST(CommandLine, TextValuesMustBeUtf8PathsAreTakenByteForByte) {
    const std::string bad = "v\xff";
    const std::vector<std::string> sign{
        "sign", "--keystore", "k", "--image-file", "i", "--out", "o", "--security-version", "1"};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--platform", bad, "--kind", "install", "--passphrase-env", "P"}, "--platform"},
        {{"--platform", "vask", "--kind=" + bad, "--passphrase-env", "P"}, "--kind"},
        {{"--platform", "vask", "--kind", "install", "--passphrase-env", bad}, "--passphrase-env"},
    };
    for (const auto& [extra, option] : cases) {
        auto args = sign;
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = run_program(args);
        EXPECT_EQ(r.status, 2) << option;
        EXPECT_EQ(r.err, option + ": not valid UTF-8\nRun with --help for more information.\n");
    }
    auto r = run_program({"keygen", "--out", "o", "--passphrase-env", "P", "--principal", bad});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("--principal: not valid UTF-8\n", 0), 0U) << r.err;
    r = run_program({"authorize-install", "--store", "s", "--keystore", "k", "--platform", "vask",
                     "--measurement", "sha256:" + bad});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("--measurement: not valid UTF-8\n", 0), 0U) << r.err;

    const std::string path = "/nonexistent/\xff\xfe.sha256";
    r = run_program({"import-hashes", "--file", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: cannot read " + path + ": No such file or directory (os error 2)\n");
}
