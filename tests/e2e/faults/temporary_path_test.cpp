// What sits at the temporary path of a keystore or a store: never followed,
// reused or opened, and removed only when it is the leftover of an
// interrupted write.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/faults/workspace.hpp"
#include "io/atomic_file.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;
using zdz::io::atomic_temp_path;

namespace {

constexpr uid_t kNobody = 65534;

}  // namespace

// The temporary file of the keystore and the store has a fixed name beside
// its destination. What sits there is never followed, reused or opened, and
// only the leftover of an interrupted write of this program is removed:
// anything else (a keystore someone named "store.tmp", a planted link, a
// FIFO, another user's file, a folder) makes the write refuse, naming it,
// with every file as it was.
TEST(FaultInjection, OnlyALeftoverAtTheTemporaryPathIsRemoved) {
    Workspace w;
    const auto keystore_before = bytes_of(w.keystore);
    const auto store_tmp = w.dir.file("store.tmp");
    const auto out = w.dir.file("new.json");
    const auto out_tmp = w.dir.file("new.tmp");
    const auto other = w.dir.file("other");
    const std::string in_the_way =
        ": it already exists and was not left by an interrupted write of this program; move it "
        "away first";

    const auto promote_refused = [&](const std::string& planted, const std::string& err) {
        const auto store_before = bytes_of(w.store);
        const auto node_before = node_at(store_tmp);
        const auto r = run(w.promote_args(), {}, kQuickTimeout);
        EXPECT_EQ(r.status, 1) << planted;
        EXPECT_EQ(r.out, "") << planted;
        EXPECT_EQ(r.err, err) << planted;
        EXPECT_EQ(bytes_of(w.store), store_before) << planted;
        EXPECT_EQ(node_at(store_tmp), node_before) << planted;
        EXPECT_EQ(bytes_of(w.keystore), keystore_before) << planted;
    };
    const auto keygen_refused = [&](const std::string& planted) {
        const auto node_before = node_at(out_tmp);
        const auto r = run(w.keygen_args(out));
        EXPECT_EQ(r.status, 1) << planted;
        EXPECT_EQ(r.err, "error: failed to write keystore to " + out +
                             ": local storage operation failed: cannot write " + out_tmp +
                             in_the_way + "\n")
            << planted;
        EXPECT_FALSE(fs::exists(fs::symlink_status(out))) << planted;
        EXPECT_EQ(node_at(out_tmp), node_before) << planted;
    };
    const auto clear = [&] {
        fs::remove(store_tmp);
        fs::remove(out_tmp);
    };

    const auto save_refused = [&](const std::string& detail) {
        return kSaveFailed + store_tmp + detail + "\n";
    };

    // Followed, the link would have the store written over the signing key;
    // removed, it would be gone for whoever relies on it. Since it leads to
    // the command's own keystore, promote refuses before unsealing it.
    fs::create_symlink(w.keystore, store_tmp);
    promote_refused("link to the keystore", "error: store " + w.store +
                                                " cannot be saved: its temporary file " +
                                                store_tmp + " is the same file as --keystore\n");
    fs::remove(store_tmp);
    fs::create_symlink(w.image, store_tmp);
    promote_refused("link to a file promote does not read", save_refused(in_the_way));
    fs::create_symlink(other, out_tmp);
    keygen_refused("link to a missing file");
    EXPECT_FALSE(fs::exists(fs::symlink_status(other)));
    clear();

    // A keystore that happens to carry the temporary name of a store.
    fs::copy_file(w.keystore, store_tmp);
    promote_refused("a keystore", save_refused(in_the_way));
    EXPECT_EQ(bytes_of(store_tmp), keystore_before);
    clear();

    // Opened for writing, a FIFO nobody reads would stall the command for
    // ever, promote while it holds the store's lock.
    ASSERT_EQ(::mkfifo(store_tmp.c_str(), 0600), 0);
    promote_refused("FIFO", save_refused(in_the_way));
    ASSERT_EQ(::mkfifo(out_tmp.c_str(), 0600), 0);
    keygen_refused("FIFO");
    clear();

    // Another user's file, even one that carries the mark of a pending write.
    if (::geteuid() == 0) {
        for (const auto& planted : {store_tmp, out_tmp}) {
            std::ofstream(planted) << "planted";
            ASSERT_EQ(::chown(planted.c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(::chmod(planted.c_str(), 01666), 0);
        }
        promote_refused("file of another user", save_refused(in_the_way));
        keygen_refused("file of another user");
        clear();
    }

    // A folder is not something a failed write leaves: the write says so.
    fs::create_directory(store_tmp);
    promote_refused("folder", save_refused(": Is a directory (os error 21)"));
    EXPECT_TRUE(fs::is_directory(store_tmp));
    clear();

    // What an interrupted write leaves (a regular file of ours that still
    // carries the pending mark) is removed by the next write, which then
    // succeeds.
    for (const auto& leftover : {store_tmp, out_tmp}) {
        std::ofstream(leftover) << "{\"cut\": ";
        ASSERT_EQ(::chmod(leftover.c_str(), 01600), 0);
    }
    const auto count = w.promotions(w.store);
    const auto promoted = run(w.promote_args(), {}, kQuickTimeout);
    EXPECT_EQ(promoted.status, 0) << promoted.err;
    EXPECT_EQ(w.promotions(w.store), count + 1);
    const auto made = run(w.keygen_args(out));
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(recorded_key(bytes_of(out)), printed_key(made.out));
    for (const auto& written : {w.store, out}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(atomic_temp_path(written)))) << written;
        // The mark goes with the rename.
        EXPECT_EQ(node_at(written).mode & 07000, 0U) << written;
    }
}
