// Whatever sits at the temporary path of a keystore or a store is removed and
// never used.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/faults/workspace.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

namespace {

constexpr uid_t kNobody = 65534;

}  // namespace

// The temporary file of the keystore and the store has a fixed name beside
// its destination. Whatever is found there is removed and a new file created
// in its place: it is never followed, reused or opened.
TEST(FaultInjection, WhateverSitsAtTheTemporaryPathIsRemovedNeverUsed) {
    Workspace w;
    const auto keystore_before = bytes_of(w.keystore);
    const auto store_tmp = w.dir.file("store.tmp");
    const auto out = w.dir.file("new.json");
    const auto out_tmp = w.dir.file("new.tmp");
    const auto other = w.dir.file("other");

    const auto promote_succeeds = [&](const std::string& planted) {
        const auto count = w.promotions(w.store);
        const auto r = run(w.promote_args(), {}, kQuickTimeout);
        EXPECT_EQ(r.status, 0) << planted << ": " << r.err;
        EXPECT_EQ(w.promotions(w.store), count + 1) << planted;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(w.store))) << planted;
        EXPECT_FALSE(fs::exists(fs::symlink_status(store_tmp))) << planted;
        EXPECT_EQ(bytes_of(w.keystore), keystore_before) << planted;
        struct stat st {};
        EXPECT_EQ(::stat(w.store.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, ::geteuid()) << planted;
    };
    const auto keygen_succeeds = [&](const std::string& planted) {
        const auto r = run(w.keygen_args(out));
        EXPECT_EQ(r.status, 0) << planted << ": " << r.err;
        EXPECT_EQ(recorded_key(bytes_of(out)), printed_key(r.out)) << planted;
        EXPECT_FALSE(fs::exists(fs::symlink_status(out_tmp))) << planted;
        struct stat st {};
        EXPECT_EQ(::lstat(out.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << planted;
        EXPECT_EQ(st.st_mode & 07777, 0600U) << planted;
        EXPECT_EQ(st.st_uid, ::geteuid()) << planted;
    };

    // Followed, the link would have the store written over the signing key.
    fs::create_symlink(w.keystore, store_tmp);
    promote_succeeds("link to the keystore");

    // Followed, these links would have keygen create or overwrite any file
    // and make it owner-only.
    fs::create_symlink(other, out_tmp);
    keygen_succeeds("link to a missing file");
    EXPECT_FALSE(fs::exists(fs::symlink_status(other)));
    w.dir.write("other", "someone else's file");
    ASSERT_EQ(::chmod(other.c_str(), 0644), 0);
    fs::create_symlink(other, out_tmp);
    keygen_succeeds("link to an existing file");
    EXPECT_EQ(w.dir.read("other"), "someone else's file");
    EXPECT_EQ(node_at(other).mode & 07777, 0644U);

    // Opened for writing, a FIFO nobody reads would stall the command for
    // ever, promote while it holds the store's lock.
    ASSERT_EQ(::mkfifo(store_tmp.c_str(), 0600), 0);
    promote_succeeds("FIFO");
    ASSERT_EQ(::mkfifo(out_tmp.c_str(), 0600), 0);
    keygen_succeeds("FIFO");

    // Reused, a file another user created beforehand would stay theirs, and
    // so would the keystore or store renamed from it.
    if (::geteuid() == 0) {
        for (const auto& planted : {store_tmp, out_tmp}) {
            fs::remove(planted);  // whatever a failed run above left
            std::ofstream(planted) << "planted";
            ASSERT_EQ(::chown(planted.c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(::chmod(planted.c_str(), 0666), 0);
        }
        promote_succeeds("file of another user");
        keygen_succeeds("file of another user");
    }

    // A folder is not something a failed write leaves: it is not removed,
    // and the write is refused.
    fs::remove(store_tmp);
    fs::create_directory(store_tmp);
    const auto store_before = bytes_of(w.store);
    const auto refused = run(w.promote_args(), {}, kQuickTimeout);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, kSaveFailed + store_tmp + ": Is a directory (os error 21)\n");
    EXPECT_EQ(bytes_of(w.store), store_before);
    EXPECT_TRUE(fs::is_directory(store_tmp));
}
