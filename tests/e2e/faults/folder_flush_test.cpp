// A folder flush that fails after the rename: the new file is in place and the
// command says so, while still failing.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "e2e/faults/workspace.hpp"
#include "trust/manifest.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

namespace {

constexpr std::string_view kEio = "Input/output error (os error 5)";

}  // namespace

// The folder flush after the rename fails: the new file is in place and the
// command says so, while still failing, since the file may not survive a
// crash. Promoting again would record the image a second time.
TEST(FaultInjection, FailedFolderFlushAfterTheRenameSaysTheFileWasReplaced) {
    Workspace w;
    const auto flush_fails = with_fault_shim({{"ZDZ_SHIM_FAIL_DIR_FSYNC", "1"}});

    const auto count = w.promotions(w.store);
    const auto promote = run(w.promote_args(), flush_fails, kQuickTimeout);
    EXPECT_EQ(promote.status, 1);
    EXPECT_EQ(promote.out, "");
    EXPECT_EQ(promote.err, "error: promotion written to " + w.store +
                               " but it may not be durable: local storage operation failed: "
                               "cannot finalize " +
                               w.store + ": " + std::string(kEio) + "\n");
    EXPECT_EQ(w.promotions(w.store), count + 1);

    const auto keystore = w.dir.file("k2.json");
    fs::copy_file(w.keystore, keystore);
    const auto keygen = run(w.keygen_args(keystore), flush_fails);
    EXPECT_EQ(keygen.status, 1);
    EXPECT_EQ(keygen.out, "");
    EXPECT_EQ(keygen.err, "error: keystore written to " + keystore +
                              " but it may not be durable: local storage operation failed: "
                              "cannot finalize " +
                              keystore + ": " + std::string(kEio) + "\n");
    EXPECT_NE(recorded_key(bytes_of(keystore)), recorded_key(bytes_of(w.keystore)));
    EXPECT_NE(recorded_key(bytes_of(keystore)), "");

    const auto manifest = w.dir.file("signed.json");
    w.dir.write("signed.json", "previous");
    const auto sign = run(w.sign_args(manifest), flush_fails, kQuickTimeout);
    EXPECT_EQ(sign.status, 1);
    EXPECT_EQ(sign.out, "");
    EXPECT_EQ(sign.err, "error: manifest written to " + manifest +
                            " but it may not be durable: cannot finalize " + manifest + ": " +
                            std::string(kEio) + "\n");
    EXPECT_TRUE(zdz::trust::read_manifest_json(bytes_of(manifest)));

    // Nothing of the writes is left beside them.
    for (const auto& name : listing(w.dir.path())) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        EXPECT_NE(name.front(), '.') << name;
    }
}
