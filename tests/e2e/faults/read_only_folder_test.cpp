// A folder the commands may not write refuses every write and keeps its
// files; reading from it still works.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/faults/workspace.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

namespace {

constexpr std::string_view kEacces = "Permission denied (os error 13)";

// Runs the program without the privilege of ignoring file permissions, so a
// folder without write permission refuses writes even when the tests run as
// root.
RunResult run_without_override(const std::vector<std::string>& args) {
    std::vector<std::string> launcher;
    if (::geteuid() == 0) {
        launcher = {"setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"};
    }
    return run_behind(launcher, args);
}

}  // namespace

TEST(FaultInjection, ReadOnlyFolderRefusesEveryWriteAndKeepsItsFiles) {
    Workspace w;
    const auto ro = w.dir.file("ro");
    fs::create_directory(ro);
    for (const auto* name : {"k.json", "m.json", "store.json"}) {
        fs::copy_file(w.dir.file(name), ro + "/" + name);
    }
    ::chmod(ro.c_str(), 0555);
    const auto files = listing(ro);

    const auto keygen = run_without_override(w.keygen_args(ro + "/k.json"));
    EXPECT_EQ(keygen.status, 1);
    EXPECT_EQ(keygen.err, keygen_failed(ro + "/k.json", ro + "/k.tmp", kEacces));

    const auto sign = run_without_override(w.sign_args(ro + "/m.json"));
    EXPECT_EQ(sign.status, 1);
    EXPECT_EQ(sign.err, "error: cannot write " + ro + "/m.json: " + std::string(kEacces) + "\n");

    const auto promote = run_without_override(w.promote_args(ro + "/store.json", ro + "/k.json"));
    EXPECT_EQ(promote.status, 1);
    EXPECT_EQ(promote.err, kSaveFailed + ro + "/store.tmp: " + std::string(kEacces) + "\n");

    // Reading still works, and nothing was changed or added.
    EXPECT_EQ(run_without_override(w.authorize_args(ro + "/store.json")).status, 0);
    EXPECT_EQ(listing(ro), files);
    for (const auto* name : {"k.json", "m.json", "store.json"}) {
        EXPECT_EQ(bytes_of(ro + "/" + name), bytes_of(w.dir.file(name))) << name;
    }
    ::chmod(ro.c_str(), 0755);
}
