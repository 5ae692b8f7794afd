#include <gtest/gtest.h>

#include <string>

#include "support/run.hpp"
#include "support/tempdir.hpp"

using zdz::test::run_program;
using zdz::test::run_tool;
using zdz::test::TempDir;

namespace {

std::string sha256_of(const std::string& path) {
    const auto r = run_tool({"sha256sum", path});
    return r.out.substr(0, 64);
}

}  // namespace

TEST(ImportHashes, ReportsRealSha256sumOutputInBothModes) {
    TempDir dir;
    dir.write("vask-install-2026071500.img", "one");
    dir.write("vask-ota_update-2026072900.img", "two");
    dir.write("base.img", "three");
    for (const std::string mode : {"-t", "-b"}) {
        const auto sums = run_tool({"sha256sum", mode, "vask-install-2026071500.img",
                                    "vask-ota_update-2026072900.img", "base.img"},
                                   {.cwd = dir.path(), .env = {}, .unset = {}, .stdin_data = ""});
        ASSERT_EQ(sums.status, 0);
        dir.write("SUMS", sums.out);
        const auto r = run_program({"import-hashes", "--file", dir.file("SUMS")});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string star = mode == "-b" ? "*" : "";
        const auto platform_of = [&](const std::string& p) { return mode == "-b" ? star + p : p; };
        EXPECT_EQ(r.out, star + "vask-install-2026071500.img  platform=" + platform_of("vask") +
                             "  kind=install  measurement=sha256:" +
                             sha256_of(dir.file("vask-install-2026071500.img")) + "\n" + star +
                             "vask-ota_update-2026072900.img  platform=" + platform_of("vask") +
                             "  kind=ota_update  measurement=sha256:" +
                             sha256_of(dir.file("vask-ota_update-2026072900.img")) + "\n" + star +
                             "base.img  platform=" + star +
                             "base.img  kind=?  measurement=sha256:" +
                             sha256_of(dir.file("base.img")) + "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(ImportHashes, BundledSampleMatchesItsImages) {
    const auto os = zdz::test::source_dir() + "/os";
    const auto r = run_program(
        {"import-hashes", "--file", "../os/BASE-IMAGE.sha256"},
        {.cwd = zdz::test::source_dir() + "/tests", .env = {}, .unset = {}, .stdin_data = ""});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto check = run_tool({"sha256sum", "--check", "--quiet", "BASE-IMAGE.sha256"},
                                {.cwd = os, .env = {}, .unset = {}, .stdin_data = ""});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_NE(r.out.find("vask-install-2026071500.img  platform=vask  kind=install"),
              std::string::npos);
}

TEST(ImportHashes, Failures) {
    TempDir dir;
    dir.write("empty", "");
    dir.write("comments", "# nothing here\n\n");
    dir.write("latin1", std::string(64, 'a') + "  caf\xe9.img\n");
    for (const auto& name : {"empty", "comments"}) {
        const auto r = run_program({"import-hashes", "--file", dir.file(name)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "error: no sha256 entries recognised in " + dir.file(name) + "\n");
        EXPECT_EQ(r.out, "");
    }
    const auto bad = run_program({"import-hashes", "--file", dir.file("latin1")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "error: cannot read " + dir.file("latin1") +
                           ": stream did not contain valid UTF-8\n");
    const auto folder = run_program({"import-hashes", "--file", dir.path()});
    EXPECT_EQ(folder.err, "error: cannot read " + dir.path() + ": Is a directory (os error 21)\n");
    // The '=' form reaches the handler with the path as written.
    const auto rel = run_program({"import-hashes", "--file=./missing"});
    EXPECT_EQ(rel.err, "error: cannot read ./missing: No such file or directory (os error 2)\n");
}
