// A keystore or a store replaced by something that is not one (a folder, an
// empty file, a dangling or looping link, a FIFO) is a clear error, and
// nothing is written through it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "e2e/faults/workspace.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

TEST(FaultInjection, KeystoreReplacedBySomethingElseIsAClearError) {
    Workspace w;
    const auto k = w.dir.file("other.json");
    const auto load_error = [&](const std::string& detail) {
        return "error: cannot load keystore " + k + ": " + detail + "\n";
    };
    const auto sign = [&] {
        auto args = w.sign_args(w.dir.file("out.json"));
        args[2] = k;
        return run(args, {}, kQuickTimeout);
    };

    fs::create_directory(k);
    EXPECT_EQ(sign().err, load_error("local storage operation failed: cannot read " + k +
                                     ": Is a directory (os error 21)"));
    fs::remove(k);

    w.dir.write("other.json", "");
    EXPECT_EQ(sign().err,
              load_error("keystore is malformed: EOF while parsing a value at line 1 column 0"));
    fs::remove(k);

    fs::create_symlink(w.dir.file("nowhere.json"), k);
    EXPECT_EQ(sign().err, load_error("local storage operation failed: cannot read " + k +
                                     ": No such file or directory (os error 2)"));
    fs::remove(k);

    fs::create_symlink(k, k);
    EXPECT_EQ(sign().err, load_error("local storage operation failed: cannot read " + k +
                                     ": Too many levels of symbolic links (os error 40)"));
    fs::remove(k);

    // A link to a keystore is read through.
    fs::create_symlink(w.keystore, k);
    EXPECT_EQ(sign().status, 0);
    fs::remove(k);
    fs::remove(w.dir.file("out.json"));

    // A FIFO with no writer: opening it for reading would wait forever.
    ASSERT_EQ(::mkfifo(k.c_str(), 0600), 0);
    const auto fifo = sign();
    EXPECT_EQ(fifo.status, 1);
    EXPECT_EQ(fifo.err, load_error("local storage operation failed: cannot read " + k +
                                   ": not a regular file"));
    fs::remove(k);
    EXPECT_FALSE(fs::exists(w.dir.file("out.json")));

    // keygen replaces a file at --out by renaming over it. A link is neither
    // replaced (whoever reads through it would go on reading the old file)
    // nor written through: refused before the key is made, and a folder is
    // refused by the rename.
    const auto keygen_refused = [&](const std::string& detail) {
        const auto r = run(w.keygen_args(k));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "error: failed to write keystore to " + k +
                             ": local storage operation failed: " + detail + "\n");
    };
    w.dir.write("target", "not a keystore");
    fs::create_symlink(w.dir.file("target"), k);
    keygen_refused("cannot write " + k + ": it is a symbolic link; name the file it leads to");
    EXPECT_TRUE(fs::is_symlink(k));
    EXPECT_EQ(w.dir.read("target"), "not a keystore");
    fs::remove(k);

    fs::create_directory(k);
    keygen_refused("cannot finalize " + k + ": Is a directory (os error 21)");
    EXPECT_TRUE(fs::is_empty(k));
    EXPECT_FALSE(fs::exists(w.dir.file("other.tmp")));
}

TEST(FaultInjection, StoreReplacedBySomethingElseIsAClearError) {
    Workspace w;
    const auto s = w.dir.file("other-store.json");
    const auto expect_both = [&](const std::string& detail) {
        const auto promote = run(w.promote_args(s, w.keystore), {}, kQuickTimeout);
        EXPECT_EQ(promote.status, 1);
        EXPECT_EQ(promote.err, "error: cannot load existing store " + s + ": " + detail + "\n");
        const auto authorize = run(w.authorize_args(s), {}, kQuickTimeout);
        EXPECT_EQ(authorize.status, 1);
        EXPECT_EQ(authorize.err, "error: cannot load store " + s + ": " + detail + "\n");
    };
    const std::string cannot_read = "local storage operation failed: cannot read " + s + ": ";

    fs::create_directory(s);
    expect_both(cannot_read + "Is a directory (os error 21)");
    EXPECT_TRUE(fs::is_empty(s));
    fs::remove(s);

    w.dir.write("other-store.json", "");
    expect_both("registry snapshot is malformed: EOF while parsing a value at line 1 column 0");
    EXPECT_EQ(w.dir.read("other-store.json"), "");
    fs::remove(s);

    ASSERT_EQ(::mkfifo(s.c_str(), 0600), 0);
    expect_both(cannot_read + "not a regular file");
    fs::remove(s);

    fs::create_symlink(s, s);
    expect_both(cannot_read + "Too many levels of symbolic links (os error 40)");
    fs::remove(s);

    // A link whose target is gone is not a missing store: taken as one, the
    // promotion would start from an empty registry and drop every rollback
    // floor the real store holds.
    fs::create_symlink(w.dir.file("moved-away.json"), s);
    expect_both(cannot_read + "No such file or directory (os error 2)");
    EXPECT_TRUE(fs::is_symlink(s));
    EXPECT_FALSE(fs::exists(w.dir.file("moved-away.json")));
}
