// A file-size limit stops the commands that write (keygen, sign, promote,
// withdraw) halfway through their file: the file that was there keeps its
// bytes, no temporary file is left, and the failure is reported as one.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>

#include "e2e/faults/workspace.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

namespace {

constexpr rlim_t kFileSizeLimitBytes = 64;
constexpr std::string_view kEfbig = "File too large (os error 27)";

}  // namespace

TEST(FaultInjection, FileSizeLimitLeavesThePreviousFilesAsTheyWere) {
    Workspace w;
    const auto keystore_before = bytes_of(w.keystore);
    const auto store_before = bytes_of(w.store);
    const auto signed_path = w.dir.file("signed.json");
    const auto first_sign = run(w.sign_args(signed_path));
    ASSERT_EQ(first_sign.status, 0) << first_sign.err;
    const auto signed_before = bytes_of(signed_path);
    const auto files = listing(w.dir.path());
    RunOptions limited;
    limited.limits = {{RLIMIT_FSIZE, kFileSizeLimitBytes}};

    const auto keygen = run(w.keygen_args(w.keystore), limited);
    EXPECT_EQ(keygen.status, 1);
    EXPECT_EQ(keygen.out, "");
    EXPECT_EQ(keygen.err, keygen_failed(w.keystore, w.dir.file("k.tmp"), kEfbig));
    EXPECT_EQ(bytes_of(w.keystore), keystore_before);

    const auto sign = run(w.sign_args(signed_path), limited);
    EXPECT_EQ(sign.status, 1);
    EXPECT_EQ(sign.out, "");
    EXPECT_EQ(sign.err, "error: cannot write " + signed_path + ": " + std::string(kEfbig) + "\n");
    EXPECT_EQ(bytes_of(signed_path), signed_before);

    const auto promote = run(w.promote_args(), limited);
    EXPECT_EQ(promote.status, 1);
    EXPECT_EQ(promote.out, "");
    EXPECT_EQ(promote.err,
              kSaveFailed + w.dir.file("store.tmp") + ": " + std::string(kEfbig) + "\n");
    EXPECT_EQ(bytes_of(w.store), store_before);

    // No temporary file is left behind, and the store still serves.
    EXPECT_EQ(listing(w.dir.path()), files);
    EXPECT_EQ(run(w.authorize_args(w.store)).status, 0);
}

TEST(FaultInjection, WithdrawThatCannotSaveLeavesTheStoreAsItWas) {
    Workspace w;
    const auto before = bytes_of(w.store);
    const auto files = listing(w.dir.path());
    RunOptions limited;
    limited.limits = {{RLIMIT_FSIZE, kFileSizeLimitBytes}};
    const auto recalled = zdz::crypto::measure_sha256(std::string_view("recalled")).to_string();
    const auto r = run(w.withdraw_args(recalled), limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "error: withdrawal succeeded in memory but the store could not be saved: "
              "local storage operation failed: cannot write " +
                  w.dir.file("store.tmp") + ": " + std::string(kEfbig) + "\n");
    EXPECT_EQ(bytes_of(w.store), before);
    EXPECT_EQ(listing(w.dir.path()), files);
    EXPECT_EQ(run(w.withdraw_args(recalled)).status, 0);
    EXPECT_EQ(w.withdrawn(w.store), 1U);
}
