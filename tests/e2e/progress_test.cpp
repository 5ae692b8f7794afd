// The progress line of the commands that measure images, as a person at a
// terminal sees it: drawn on standard error while a large image is measured,
// cleared before the report or the error line, and absent wherever it is not
// asked for (no terminal, a JSON report, --progress never, a small image).

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

using namespace zdz::test;

namespace {

constexpr std::uintmax_t kMiB = std::uintmax_t{1} << 20;
constexpr std::string_view kClear = "\r\x1b[K";

const std::string kFirstLine = "\rmeasuring image  0 B of 80.0 MiB\x1b[K";
const std::string kFirstBatchLine = "\rmeasuring images  0 of 2 done  0 B of 80.0 MiB\x1b[K";

// What a terminal keeps of `screen` once the progress line is cleared: the
// text after the last clearing.
std::string after_progress(const std::string& screen) {
    const auto at = screen.rfind(kClear);
    return at == std::string::npos ? std::string() : screen.substr(at + kClear.size());
}

// The text after the progress line of a run that drew it: `screen` starts
// with `first`, and everything before its last clearing is progress lines,
// each drawn from the start of the line and ending with an erase, that
// `line` matches.
std::string after_line(const std::string& screen, const std::string& first,
                       const std::regex& line) {
    EXPECT_TRUE(screen.starts_with(first)) << testing::PrintToString(screen);
    const auto at = screen.rfind(kClear);
    EXPECT_NE(at, std::string::npos) << testing::PrintToString(screen);
    const std::string drawn = screen.substr(0, at == std::string::npos ? 0 : at);
    for (std::size_t start = 1; start <= drawn.size();) {
        const auto end = std::min(drawn.find('\r', start), drawn.size());
        EXPECT_TRUE(std::regex_match(drawn.substr(start, end - start), line))
            << testing::PrintToString(drawn.substr(start, end - start));
        start = end + 1;
    }
    return after_progress(screen);
}

// A JSON report without the instant it was made at, which two runs differ in.
std::string without_instant(const std::string& report) {
    static const std::regex instant(R"("verified_at": "[^"]*")");
    return std::regex_replace(report, instant, R"("verified_at": "")");
}

const std::regex kSingleLine(
    R"(measuring image  [0-9]+(\.[0-9])? (B|KiB|MiB) of 80\.0 MiB(  [0-9.]+ [KMGT]?i?B/s  [0-9]+ s left)?\x1b\[K)");

class Progress : public ::testing::Test {
protected:
    void SetUp() override {
        write_test_keystore(dir.file("release.key"));
        dir.write("signers", run_program({"show-key", "--keystore", dir.file("release.key"),
                                          "--principal", "release@ci", "--trust-line"})
                                 .out);
        make_image("vask.img", 80 * kMiB);
    }

    // A sparse image: read as fast as memory, as large as asked.
    void make_image(const std::string& name, std::uintmax_t bytes) const {
        dir.write(name, "");
        std::filesystem::resize_file(dir.file(name), bytes);
    }

    RunOptions passphrase() const { return {.env = {{kPassphraseVar, kPassphrase}}}; }

    // The manifest of `image` signed through the program, not on a terminal.
    void sign(const std::string& image, const std::string& manifest) const {
        const auto r = run_program(
            sign_args(dir.file("release.key"), dir.file(image), "3", dir.file(manifest)),
            passphrase());
        ASSERT_EQ(r, (RunResult{0, r.out, ""}));
    }

    std::vector<std::string> verify_args(const std::string& image,
                                         const std::vector<std::string>& more = {}) const {
        std::vector<std::string> args = {"verify",         "--manifest",        dir.file("m.json"),
                                         "--signers-file", dir.file("signers"), "--image-file",
                                         dir.file(image)};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    TempDir dir;
};

TEST_F(Progress, SignAndVerifyDrawALineOnATerminalAndClearItBeforeTheReport) {
    const auto signed_on_terminal = run_in_terminal(
        sign_args(dir.file("release.key"), dir.file("vask.img"), "3", dir.file("m.json")),
        passphrase());
    ASSERT_EQ(signed_on_terminal.status, 0) << signed_on_terminal.screen;
    const auto report = after_line(signed_on_terminal.screen, kFirstLine, kSingleLine);
    EXPECT_TRUE(report.starts_with("[ok] signed manifest written: " + dir.file("m.json") + "\n"))
        << report;
    EXPECT_NE(report.find(" (83886080 bytes measured)\n"), std::string::npos) << report;

    // The report after the line is byte for byte what a pipe gets.
    const auto piped = run_program(verify_args("vask.img"));
    ASSERT_EQ(piped, (RunResult{0, piped.out, ""}));
    const auto verified = run_in_terminal(verify_args("vask.img"));
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(after_line(verified.screen, kFirstLine, kSingleLine), piped.out);
}

// --progress never on a terminal, and without it when the report is JSON:
// the terminal gets the report alone. --progress always draws on standard
// error whatever it is, and leaves standard output as it was.
TEST_F(Progress, TheOptionAndTheReportFormatDecide) {
    sign("vask.img", "m.json");
    const auto piped = run_program(verify_args("vask.img"));
    EXPECT_EQ(run_in_terminal(verify_args("vask.img", {"--progress", "never"})).screen, piped.out);

    const auto json = run_program(verify_args("vask.img", {"--format", "json"}));
    ASSERT_EQ(json.status, 0) << json.err;
    const auto json_on_terminal = run_in_terminal(verify_args("vask.img", {"--format", "json"}));
    EXPECT_EQ(without_instant(json_on_terminal.screen), without_instant(json.out));

    for (const auto& [more, out] :
         {std::pair{std::vector<std::string>{"--progress", "always"}, piped.out},
          std::pair{std::vector<std::string>{"--progress=always", "--format", "json"}, json.out}}) {
        const auto always = run_program(verify_args("vask.img", more));
        EXPECT_EQ(always.status, 0);
        EXPECT_EQ(without_instant(always.out), without_instant(out));
        // The line cleared is the last thing written.
        EXPECT_EQ(after_line(always.err, kFirstLine, kSingleLine), "");
    }

    EXPECT_EQ(run_program(verify_args("vask.img", {"--progress", "sometimes"})),
              (RunResult{2, "",
                         "--progress: must be auto, always or never, not \"sometimes\"\nRun with "
                         "--help for more information.\n"}));
}

// 64 MiB is where the line starts: one byte less measures without it, on a
// terminal and with --progress always alike.
TEST_F(Progress, ImagesUnder64MiBShowNone) {
    make_image("small.img", 64 * kMiB - 1);
    make_image("edge.img", 64 * kMiB);
    sign("small.img", "m.json");
    const auto piped = run_program(verify_args("small.img"));
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(run_in_terminal(verify_args("small.img")).screen, piped.out);
    EXPECT_EQ(run_program(verify_args("small.img", {"--progress", "always"})), piped);

    sign("edge.img", "m.json");
    const auto edge = run_program(verify_args("edge.img", {"--progress", "always"}));
    EXPECT_EQ(edge.status, 0);
    EXPECT_TRUE(edge.err.starts_with("\rmeasuring image  0 B of 64.0 MiB\x1b[K")) << edge.err;
}

// A failure after the measuring began: the error line starts on a clean
// line, the progress line cleared before it.
TEST_F(Progress, AnErrorLineStartsClean) {
    const auto r = run_in_terminal(
        withdraw_args(dir.file("store.json"), dir.file("release.key"), dir.file("vask.img")),
        {.env = {{kPassphraseVar, "not the passphrase"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(after_line(r.screen, kFirstLine, kSingleLine).starts_with("error: ")) << r.screen;
    EXPECT_EQ(after_progress(r.screen).find('\r'), std::string::npos) << r.screen;
}

// The candidate commands measure both digests in one pass, with the line.
TEST_F(Progress, AuthorizeInstallAndWithdrawOfAnImageFile) {
    sign("vask.img", "m.json");
    const auto promoted = run_program(promote_args(dir.file("m.json"), dir.file("signers"),
                                                   dir.file("store.json"), dir.file("release.key")),
                                      passphrase());
    ASSERT_EQ(promoted.status, 0) << promoted.err;

    const auto authorize =
        authorize_args(dir.file("store.json"), dir.file("release.key"), dir.file("vask.img"));
    const auto piped = run_program(authorize);
    ASSERT_EQ(piped, (RunResult{0, piped.out, ""}));
    const auto shown = run_in_terminal(authorize);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(after_line(shown.screen, kFirstLine, kSingleLine), piped.out);

    const auto withdrawn = run_in_terminal(
        withdraw_args(dir.file("store.json"), dir.file("release.key"), dir.file("vask.img")),
        passphrase());
    EXPECT_EQ(withdrawn.status, 0) << withdrawn.screen;
    EXPECT_TRUE(after_line(withdrawn.screen, kFirstLine, kSingleLine).starts_with("[ok] "))
        << withdrawn.screen;
}

// A release counts its images: two of 40 MiB, together over the threshold
// neither reaches alone.
TEST_F(Progress, ReleaseCommandsCountTheImagesDone) {
    std::filesystem::create_directory(dir.file("build"));
    std::filesystem::create_directory(dir.file("out"));
    const std::vector<std::string> images = {"vask-install-1.img", "vask-ota_update-1.img"};
    for (const auto& name : images) {
        make_image("build/" + name, 40 * kMiB);
    }
    const auto listed = run_tool({"sha256sum", images[0], images[1]}, {.cwd = dir.file("build")});
    ASSERT_EQ(listed.status, 0) << listed.err;
    dir.write("build/release.sha256", listed.out);

    const std::regex batch_line(
        R"(measuring images  [0-2] of 2 done  [0-9]+(\.[0-9])? (B|KiB|MiB) of 80\.0 MiB(  [0-9.]+ [KMGT]?i?B/s  [0-9]+ s left)?\x1b\[K)");
    const auto signed_release =
        run_in_terminal({"sign-release", "--hashes", dir.file("build/release.sha256"), "--keystore",
                         dir.file("release.key"), "--passphrase-env", kPassphraseVar,
                         "--security-version", "7", "--out-dir", dir.file("out")},
                        passphrase());
    EXPECT_EQ(signed_release.status, 0) << signed_release.screen;
    EXPECT_TRUE(after_line(signed_release.screen, kFirstBatchLine, batch_line)
                    .starts_with("[ok] signed 2 manifests into "))
        << signed_release.screen;

    const std::vector<std::string> verify = {
        "verify-release",   "--hashes",      dir.file("build/release.sha256"),
        "--manifests-dir",  dir.file("out"), "--signers-file",
        dir.file("signers")};
    const auto piped = run_program(verify);
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.err, "");
    const auto verified = run_in_terminal(verify);
    EXPECT_EQ(verified.status, 0);
    // The report names the seconds it took; the rest is the pipe's.
    const std::regex seconds(R"(in [0-9]+\.[0-9]{2} s)");
    EXPECT_EQ(std::regex_replace(after_line(verified.screen, kFirstBatchLine, batch_line), seconds,
                                 "in S s"),
              std::regex_replace(piped.out, seconds, "in S s"));
}

}  // namespace
