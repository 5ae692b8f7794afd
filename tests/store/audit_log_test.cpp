#include "store/audit_log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/tempdir.hpp"

using zdz::test::TempDir;

// A FIFO at the log's path has no end to read and blocks an open until a
// peer comes: both the save's read of the log's end and its append refuse it
// at once instead of waiting for ever under the store's lock.
TEST(AuditLog, AFifoAtTheLogPathIsRefusedNotWaitedOn) {
    TempDir dir;
    const auto fifo = dir.file("store.log");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const auto tail = zdz::store::read_log_tail(fifo);
    ASSERT_FALSE(tail);
    EXPECT_EQ(tail.error().display(),
              "local storage operation failed: cannot read " + fifo + ": not a regular file");

    const auto appended = zdz::store::append_audit_line(fifo, {}, "{}");
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error().display(), "local storage operation failed: cannot write " + fifo +
                                              ": No such device or address (os error 6)");
}
