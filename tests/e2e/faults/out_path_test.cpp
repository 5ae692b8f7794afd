// What --out names when it is not a file the command wrote before: a FIFO or a
// device is refused and left as it was, and sign refuses its own keystore or
// image.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "e2e/faults/workspace.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

// A FIFO or a device at --out is not a file the command wrote before: it is
// refused and left as it was, so that --out /dev/null (as root) cannot
// replace the system's device node. So is a link, to one or to anything.
TEST(FaultInjection, OutThatIsNotARegularFileIsRefusedAndLeftAsItWas) {
    Workspace w;
    std::vector<std::string> nodes{w.dir.file("fifo.json")};
    ASSERT_EQ(::mkfifo(nodes.back().c_str(), 0600), 0);
    if (::geteuid() == 0) {
        // The numbers of /dev/null, made in the test's own folder.
        nodes.push_back(w.dir.file("null.json"));
        ASSERT_EQ(::mknod(nodes.back().c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    const auto files = listing(w.dir.path());
    for (const auto& node : nodes) {
        const auto before = node_at(node);
        const auto keygen = run(w.keygen_args(node));
        EXPECT_EQ(keygen.status, 1) << node;
        EXPECT_EQ(keygen.out, "");
        EXPECT_EQ(keygen.err, "error: failed to write keystore to " + node +
                                  ": local storage operation failed: cannot write " + node +
                                  ": not a regular file\n");
        const auto sign = run(w.sign_args(node), {}, kQuickTimeout);
        EXPECT_EQ(sign.status, 1) << node;
        EXPECT_EQ(sign.out, "");
        EXPECT_EQ(sign.err, "error: cannot write " + node + ": not a regular file\n");
        EXPECT_EQ(node_at(node), before) << node;
    }
    EXPECT_EQ(listing(w.dir.path()), files);

    // A link at --out is refused as well, and what it leads to is not touched.
    const auto link = w.dir.file("link.json");
    fs::create_symlink(nodes.back(), link);
    const auto before = node_at(nodes.back());
    const auto through_link = run(w.sign_args(link), {}, kQuickTimeout);
    EXPECT_EQ(through_link.status, 1);
    EXPECT_EQ(through_link.err, "error: cannot write " + link +
                                    ": it is a symbolic link; name the file it leads to\n");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(node_at(nodes.back()), before);
}

// sign refuses an --out that is its own keystore or image, however named:
// the manifest written over them would lose the key or the image just
// measured. An existing manifest is still replaced. promote needs no such
// check: it reads and verifies its store before writing it, and neither its
// keystore, its manifest nor its trust file reads as a store.
TEST(FaultInjection, AnOutThatIsTheCommandsOwnInputIsRefused) {
    Workspace w;
    const auto keystore_before = bytes_of(w.keystore);
    const auto image_before = bytes_of(w.image);
    fs::create_hard_link(w.keystore, w.dir.file("hard-link.json"));
    fs::create_symlink(w.image, w.dir.file("image-link.json"));
    const auto files = listing(w.dir.path());
    const std::pair<std::string, std::string> refusals[] = {
        {w.keystore, "--keystore"},
        {w.image, "--image-file"},
        {w.dir.file("hard-link.json"), "--keystore"},
        {w.dir.file("image-link.json"), "--image-file"},
    };
    for (const auto& [out, option] : refusals) {
        const auto sign = run(w.sign_args(out), {}, kQuickTimeout);
        EXPECT_EQ(sign.status, 1) << out;
        EXPECT_EQ(sign.out, "");
        EXPECT_EQ(sign.err, "error: cannot write " + out + ": same file as " + option + "\n");
    }
    EXPECT_EQ(bytes_of(w.keystore), keystore_before);
    EXPECT_EQ(bytes_of(w.image), image_before);
    EXPECT_TRUE(fs::is_symlink(w.dir.file("image-link.json")));
    EXPECT_EQ(listing(w.dir.path()), files);

    for (const auto& input : {w.keystore, w.manifest, w.signers}) {
        const auto before = bytes_of(input);
        const auto promote = run(w.promote_args(input, w.keystore), {}, kQuickTimeout);
        EXPECT_EQ(promote.status, 1) << input;
        EXPECT_EQ(promote.err.rfind("error: cannot load existing store " + input + ": ", 0), 0U)
            << promote.err;
        EXPECT_EQ(bytes_of(input), before) << input;
    }

    const auto manifest_before = bytes_of(w.manifest);
    const auto over_manifest = run(w.sign_args(w.manifest), {}, kQuickTimeout);
    EXPECT_EQ(over_manifest.status, 0) << over_manifest.err;
    EXPECT_NE(bytes_of(w.manifest), manifest_before);
}
