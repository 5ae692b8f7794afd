// import-hashes on manifests larger than the chunks it reads them in.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/run.hpp"
#include "support/tempdir.hpp"

using zdz::test::run_program;
using zdz::test::run_tool;
using zdz::test::TempDir;

namespace {

constexpr int kLines = 30'000;  // about 2.6 MB: several read chunks and report chunks

std::string digest_of(int i) {
    char digits[65];
    std::snprintf(digits, sizeof digits, "%016X%016x%016X%016x", static_cast<unsigned>(i) * 7919U,
                  static_cast<unsigned>(i), static_cast<unsigned>(i) ^ 0xABCDEFU,
                  static_cast<unsigned>(i) + 1U);
    return digits;
}

std::string lower(std::string s) {
    for (auto& c : s) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

}  // namespace

TEST(ImportHashesLarge, EveryLineOfAManifestBiggerThanItsReadChunks) {
    TempDir dir;
    std::string manifest;
    std::string expected;
    for (int i = 0; i < kLines; ++i) {
        const std::string kind = i % 3 == 0 ? "ota_update" : "install";
        const std::string platform = std::string("p") + std::to_string(i % 50);
        std::string name = platform;
        name += "-" + kind + "-" + std::to_string(i) + ".img";
        manifest += digest_of(i) + "  " + name + (i % 2 == 0 ? "\r\n" : "\n");
        expected += name + "  platform=" + platform + "  kind=" + kind +
                    "  measurement=sha256:" + lower(digest_of(i)) + "\n";
    }
    dir.write("SUMS", manifest);

    const auto r = run_program({"import-hashes", "--file", dir.file("SUMS")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");

    // Through a pipe (process substitution) the same.
    const auto piped = run_tool({"bash", "-c", "\"$0\" import-hashes --file <(cat \"$1\")",
                                 zdz::test::program_path(), dir.file("SUMS")});
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, expected);

    // Invalid UTF-8 near the end is refused before a single line is printed.
    dir.write("BAD", manifest + "\xC3(\n");
    const auto bad = run_program({"import-hashes", "--file", dir.file("BAD")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err,
              "error: cannot read " + dir.file("BAD") + ": stream did not contain valid UTF-8\n");
}
