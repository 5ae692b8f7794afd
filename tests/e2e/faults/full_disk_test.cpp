// A full file system refuses the write of keygen, sign and promote: the file
// that was there keeps its bytes and nothing else is left beside it.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "e2e/faults/workspace.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

namespace {

constexpr std::string_view kEnospc = "No space left on device (os error 28)";

// Runs the program in a mount namespace of its own where `dir`/fs is a small
// file system filled to the last byte; `seed` is copied in first. Afterwards
// everything left in it (but the filler) is copied to `dir`/after. Nothing when
// the system lets no unprivileged user mount a file system.
std::optional<RunResult> run_on_full_disk(const std::string& dir, const std::string& seed,
                                          const std::vector<std::string>& args) {
    static const std::string script = R"(set -e
mnt=$1; after=$2; seed=$3; shift 3
mount -t tmpfs -o size=64k,mode=0755 tmpfs "$mnt"
cp --preserve=mode "$seed" "$mnt/"
cat /dev/zero > "$mnt/filler" 2>/dev/null || true
set +e
"$@"
status=$?
mkdir -p "$after"
for f in "$mnt"/* "$mnt"/.[!.]*; do
  if [ -e "$f" ] && [ "$f" != "$mnt/filler" ]; then cp --preserve=mode "$f" "$after/"; fi
done
exit $status
)";
    fs::create_directories(dir + "/fs");
    const auto probe = zdz::test::run_tool(
        {"unshare", "-r", "-m", "sh", "-c", "mount -t tmpfs tmpfs \"$0\"", dir + "/fs"});
    if (probe.status != 0) {
        return std::nullopt;
    }
    return run_behind(
        {"unshare", "-r", "-m", "sh", "-c", script, "full-disk", dir + "/fs", dir + "/after", seed},
        args);
}

}  // namespace

TEST(FaultInjection, FullDiskLeavesThePreviousFilesAsTheyWere) {
    Workspace w;
    const auto mnt = w.dir.file("fs");
    const auto after = w.dir.file("after");
    const auto keygen = run_on_full_disk(w.dir.path(), w.keystore, w.keygen_args(mnt + "/k.json"));
    if (!keygen) {
        GTEST_SKIP() << "this system does not let the test mount a small file system";
    }
    EXPECT_EQ(keygen->status, 1);
    EXPECT_EQ(keygen->err, keygen_failed(mnt + "/k.json", mnt + "/k.tmp", kEnospc));
    EXPECT_EQ(listing(after), std::set<std::string>{"k.json"});
    EXPECT_EQ(bytes_of(after + "/k.json"), bytes_of(w.keystore));

    fs::remove_all(after);
    const auto sign = run_on_full_disk(w.dir.path(), w.manifest, w.sign_args(mnt + "/m.json"));
    ASSERT_TRUE(sign);
    EXPECT_EQ(sign->status, 1);
    EXPECT_EQ(sign->err, "error: cannot write " + mnt + "/m.json: " + std::string(kEnospc) + "\n");
    EXPECT_EQ(listing(after), std::set<std::string>{"m.json"});
    EXPECT_EQ(bytes_of(after + "/m.json"), bytes_of(w.manifest));

    fs::remove_all(after);
    const auto promote =
        run_on_full_disk(w.dir.path(), w.store, w.promote_args(mnt + "/store.json", w.keystore));
    ASSERT_TRUE(promote);
    EXPECT_EQ(promote->status, 1);
    EXPECT_EQ(promote->err, kSaveFailed + mnt + "/store.tmp: " + std::string(kEnospc) + "\n");
    EXPECT_EQ(listing(after), std::set<std::string>{"store.json"});
    EXPECT_EQ(bytes_of(after + "/store.json"), bytes_of(w.store));
}
