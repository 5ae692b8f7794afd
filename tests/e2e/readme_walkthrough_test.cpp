// Runs the README's release walk-through exactly as written, so that the
// document cannot drift from the program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/run.hpp"
#include "support/softhsm.hpp"
#include "support/tempdir.hpp"

using zdz::test::run_tool;
using zdz::test::TempDir;

namespace {

constexpr std::string_view kFenceSh = "```sh";
constexpr std::string_view kFenceText = "```text";
constexpr std::string_view kFenceEnd = "```";
constexpr int kScriptFailure = 100;

struct Block {
    std::string fence;
    std::vector<std::string> lines;
};

// Fenced blocks of the README, in order; `from_heading` limits them to the
// section under that heading (up to the next second-level heading).
std::vector<Block> fenced_blocks(const std::string& readme, std::string_view from_heading = {}) {
    std::vector<Block> blocks;
    std::istringstream in(readme);
    bool in_section = from_heading.empty();
    Block* open = nullptr;
    for (std::string line; std::getline(in, line);) {
        if (open != nullptr) {
            if (line == kFenceEnd) {
                open = nullptr;
            } else {
                open->lines.push_back(line);
            }
        } else if (line.starts_with("## ")) {
            if (!from_heading.empty()) {
                in_section = line == from_heading;
            }
        } else if (in_section && line.starts_with("```")) {
            blocks.push_back(Block{line, {}});
            open = &blocks.back();
        }
    }
    return blocks;
}

// Whether a single or double quote is still open at the end of `text`.
bool quote_open(const std::string& text) {
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == 0 && c == '\\') {
            ++i;
        } else if (quote == 0 && (c == '\'' || c == '"')) {
            quote = c;
        } else if (quote == c) {
            quote = 0;
        } else if (quote == '"' && c == '\\') {
            ++i;
        }
    }
    return quote != 0;
}

struct Command {
    std::string text;
    int expected_status = 0;
};

// Logical commands: continuation lines and lines inside an open quote are
// joined; a trailing comment "... exit status N" sets the expected status.
std::vector<Command> commands_of(const std::vector<Block>& blocks) {
    static const std::regex expectation(R"(#[^'"]*exit status ([0-9]+)\s*$)");
    std::vector<Command> commands;
    for (const auto& block : blocks) {
        if (block.fence != kFenceSh) {
            continue;
        }
        std::string pending;
        for (const auto& line : block.lines) {
            pending += line;
            if (pending.ends_with("\\")) {
                pending += "\n";
                continue;
            }
            if (quote_open(pending)) {
                pending += "\n";
                continue;
            }
            const auto first = pending.find_first_not_of(" \t");
            if (first != std::string::npos && pending[first] != '#') {
                Command command{pending, 0};
                std::smatch m;
                if (std::regex_search(pending, m, expectation)) {
                    command.expected_status = std::stoi(m[1]);
                }
                commands.push_back(std::move(command));
            }
            pending.clear();
        }
    }
    return commands;
}

// One shell runs every command, so that `cd` and `export` carry over; each is
// followed by a check of its exit status.
std::string script_of(const std::vector<Command>& commands) {
    std::string script =
        "set -u -o pipefail\n"
        "expect_status() {\n"
        "  if [ \"$2\" -ne \"$1\" ]; then\n"
        "    echo \"walk-through command $3 exited with $2, expected $1\" >&2\n"
        "    exit " +
        std::to_string(kScriptFailure) +
        "\n"
        "  fi\n"
        "}\n";
    for (std::size_t i = 0; i < commands.size(); ++i) {
        script += commands[i].text + "\n";
        script += "expect_status " + std::to_string(commands[i].expected_status) + " $? " +
                  std::to_string(i + 1) + "\n";
    }
    return script;
}

std::string read_readme() {
    std::ifstream in(zdz::test::source_dir() + "/README.md", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// Where the README's commands run: a stand-in for the repository root, with
// os/ and its sample images, and build/ with the program.
TempDir repository_root() {
    TempDir root;
    namespace fs = std::filesystem;
    fs::copy(zdz::test::source_dir() + "/os", root.file("os"), fs::copy_options::recursive);
    fs::create_directory(root.file("build"));
    fs::create_symlink(zdz::test::program_path(), root.file("build/zeduzaredoz"));
    return root;
}

// The lines of the text blocks: what the README shows a run printing.
std::string shown_text(const std::vector<Block>& blocks) {
    std::string shown;
    for (const auto& block : blocks) {
        if (block.fence != kFenceText) {
            continue;
        }
        for (const auto& line : block.lines) {
            shown += line + "\n";
        }
    }
    return shown;
}

}  // namespace

TEST(ReadmeWalkthrough, QuickStartBlocksStayFirst) {
    const auto blocks = fenced_blocks(read_readme());
    ASSERT_GE(blocks.size(), 2U);
    EXPECT_EQ(blocks[0].fence, kFenceSh);
    EXPECT_EQ(blocks[0].lines, std::vector<std::string>{
                                   "scripts/setup --program && cd build && ./zeduzaredoz demo"});
    EXPECT_EQ(blocks[1].fence, kFenceSh);
    EXPECT_EQ(blocks[1].lines, std::vector<std::string>{"scripts/setup && scripts/test"});
}

TEST(ReadmeWalkthrough, ExtractionJoinsContinuationsAndReadsExpectedStatus) {
    const std::vector<Block> blocks{
        {"```sh",
         {"# a comment", "a \\", "  b  # exit status 3", "", "jq '{x,", "  y}' f", "c # done"}},
        {"```text", {"not a command"}},
    };
    const auto commands = commands_of(blocks);
    ASSERT_EQ(commands.size(), 3U);
    EXPECT_EQ(commands[0].text, "a \\\n  b  # exit status 3");
    EXPECT_EQ(commands[0].expected_status, 3);
    EXPECT_EQ(commands[1].text, "jq '{x,\n  y}' f");
    EXPECT_EQ(commands[1].expected_status, 0);
    EXPECT_EQ(commands[2].expected_status, 0);
}

TEST(ReadmeWalkthrough, RunsAsWrittenWithTheBuiltProgram) {
    const auto blocks =
        fenced_blocks(read_readme(), "## Walk-through: a release with the sample images");
    const auto commands = commands_of(blocks);
    // A renamed heading or a changed fence must not pass by running nothing.
    ASSERT_GE(commands.size(), 25U);
    std::size_t refusals = 0;
    for (const auto& c : commands) {
        refusals += c.expected_status == 1 ? 1 : 0;
    }
    // The tampered image, the downgrade (two), the old key after the move and the
    // withdrawn image (two).
    EXPECT_EQ(refusals, 6U);

    const auto root = repository_root();
    root.write("walkthrough.sh", script_of(commands));

    zdz::test::RunOptions options;
    options.cwd = root.path();
    options.unset = {"RELEASE_PASSPHRASE", "NEW_RELEASE_PASSPHRASE", "RELEASE_2027_PASSPHRASE"};
    const auto r = run_tool({"bash", root.file("walkthrough.sh")}, options);
    ASSERT_EQ(r.status, 0) << "stdout:\n" << r.out << "\nstderr:\n" << r.err;

    EXPECT_NE(r.out.find("[ok] wrote sealed keystore: release.key\n"), std::string::npos);
    EXPECT_NE(r.out.find("release@tarnelos.example  fingerprint=blake3:"), std::string::npos);
    EXPECT_EQ(count_of(r.out, "[ok] signed manifest written: "), 2U);
    EXPECT_EQ(count_of(r.out, "[ok] manifest verified\n"), 2U);
    EXPECT_EQ(count_of(r.out, "[ok] promoted\n"), 2U);
    // Authorized with the keystore, with the public key alone, by the image
    // file, and with the new keystore after the store moved to it: the same
    // report each time.
    EXPECT_EQ(count_of(r.out,
                       "[ok] install authorized\n  platform:          vask\n  measurement:       "
                       "sha256:0d2141f565b66c0c05f04e27b564631e8d474d21a0c1868a430d0bce12864382\n"
                       "  security_version:  sv2\n  rollback floor:    sv2\n"),
              4U)
        << r.out;
    EXPECT_NE(r.out.find("[ok] passphrase changed: release.key\n"), std::string::npos);
    EXPECT_NE(r.out.find("[ok] store re-signed with the new keystore: known-good.json\n"),
              std::string::npos);
    // Two keys trusted, each appended once by show-key.
    EXPECT_EQ(count_of(r.out, "release@tarnelos.example  fingerprint=blake3:"), 1U);
    EXPECT_EQ(
        count_of(root.read("release/allowed_signers"), "release@tarnelos.example ssh-ed25519 "),
        2U);
    // The jq step reports the store's state.
    EXPECT_NE(r.out.find("\"floor\": 2,\n  \"promotions\": 2\n"), std::string::npos) << r.out;

    // The image check, the registry views and the withdrawal.
    EXPECT_NE(r.out.find("  image file:        ../os/vask-install-2026072900.img (39 bytes "
                         "measured, matches)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nvask\n2\ntrue\n"), std::string::npos) << r.out;
    EXPECT_EQ(count_of(r.out, "[ok] store verified: known-good.json\n"), 2U);
    EXPECT_EQ(count_of(r.out, "[ok] withdrawn\n"), 1U);
    EXPECT_NE(r.out.find("{\"platform\":\"vask\",\"floor\":2,\"withdrawn\":2,\"blocked\":true}\n"),
              std::string::npos)
        << r.out;

    // The refusals are the ones the README shows, word for word.
    EXPECT_EQ(r.err, shown_text(blocks));
    EXPECT_FALSE(std::filesystem::exists(root.file("release/known-good.tmp")));
}

// Runs the commands of the section under `heading` (at least `at_least` of
// them) as one script in a fresh copy of the repository, with `unset` removed
// from the environment, and asserts that every command had its status.
zdz::test::RunResult run_section(std::string_view heading, std::size_t at_least,
                                 std::vector<std::string> unset,
                                 std::map<std::string, std::string> env = {}) {
    const auto commands = commands_of(fenced_blocks(read_readme(), heading));
    EXPECT_GE(commands.size(), at_least);
    const auto root = repository_root();
    root.write("section.sh", script_of(commands));
    zdz::test::RunOptions options;
    options.cwd = root.path();
    options.unset = std::move(unset);
    options.env = std::move(env);
    auto r = run_tool({"bash", root.file("section.sh")}, options);
    EXPECT_EQ(r.status, 0) << "stdout:\n" << r.out << "\nstderr:\n" << r.err;
    return r;
}

// The token section, against the software token it sets up itself.
TEST(ReadmeWalkthrough, TheTokenSectionRunsAsWritten) {
    // Under the sanitizers, SoftHSM2's own leak in C_Sign is not the program's.
    const auto r = run_section("## Keeping the release key in a token", 10,
                               {"RELEASE_PIN", "SOFTHSM2_CONF"}, zdz::test::token_sanitizer_env());
    EXPECT_NE(r.out.find("[ok] wrote token keystore: release-token.key\n"), std::string::npos);
    EXPECT_NE(r.out.find("[ok] manifest verified\n"), std::string::npos);
    EXPECT_NE(r.out.find("[ok] promoted\n"), std::string::npos);
    EXPECT_NE(r.err.find("error: cannot use the token of keystore: the token refused the PIN"),
              std::string::npos)
        << r.err;
}

// The whole-release section, on the sample images and their hash manifest.
TEST(ReadmeWalkthrough, TheWholeReleaseSectionRunsAsWritten) {
    const auto r = run_section("## Signing a whole release in one run", 7, {"RELEASE_PASSPHRASE"});
    EXPECT_NE(r.out.find("[ok] signed 3 manifests into manifests\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[ok] release verified: 3 images against allowed_signers\n"),
              std::string::npos)
        << r.out;
}

// The two-person section: a second approver, the store's policy, and a key
// rotation with an overlap.
TEST(ReadmeWalkthrough, TheTwoPersonSectionRunsAsWritten) {
    const auto r = run_section("## Two engineers per release, and a key rotation with an overlap",
                               20, {"RELEASE_PASSPHRASE", "REVIEW_PASSPHRASE"});
    EXPECT_NE(r.out.find("[ok] manifest approved: v3.manifest.json\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  signatures:           2 trusted (2 required)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  valid-before=2030-01-01T00:00:00Z\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("outside the validity of every trusted key that verifies it"),
              std::string::npos)
        << r.err;
}

// The history section: a replay refused at the checkpoint, as the README
// shows it, and an audit of the three saves.
TEST(ReadmeWalkthrough, TheHistorySectionRunsAsWritten) {
    constexpr std::string_view heading = "## A store whose history can be proved";
    const auto blocks = fenced_blocks(read_readme(), heading);
    const auto r = run_section(heading, 11, {"RELEASE_PASSPHRASE"});
    EXPECT_EQ(r.err, shown_text(blocks));
    EXPECT_NE(r.out.find("  checkpoint:        device.checkpoint created at sequence 2 (first use: "
                         "the store found is trusted)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[ok] audit log verified: known-good.log\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  saves logged:   3\nhistory (oldest first):\n  1  "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  refresh-store  expires 2099-06-01T00:00:00Z\n"), std::string::npos)
        << r.out;
}
