#include "crypto/secret.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <utility>

using zdz::crypto::Secret;

namespace {

// Locked memory of this process in KiB, from /proc/self/status.
long locked_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmLck:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

}  // namespace

TEST(Secret, LocksItsPagesUntilTheLastSecretOnThemIsGone) {
    const long baseline = locked_kib();
    ASSERT_GE(baseline, 0);
    std::optional<Secret> first(std::in_place, std::string_view("first secret"));
    if (locked_kib() == baseline) {
        GTEST_SKIP() << "this system does not let the process lock memory";
    }
    // Small secrets allocated one after the other usually share a page; the
    // page must stay locked while either of them is alive.
    std::optional<Secret> second(std::in_place, std::string_view("second secret"));
    const long both = locked_kib();
    first.reset();
    EXPECT_GT(locked_kib(), baseline);
    EXPECT_LE(locked_kib(), both);

    // Moving hands the buffer and its lock over; nothing is locked twice or
    // released early.
    Secret moved = std::move(*second);
    second.reset();
    EXPECT_GT(locked_kib(), baseline);
    EXPECT_EQ(moved.view(), "second secret");
    moved = Secret(std::string_view("replacement"));
    EXPECT_GT(locked_kib(), baseline);
    moved = Secret();
    EXPECT_EQ(locked_kib(), baseline);
}

TEST(Secret, WipeZeroesButKeepsTheBuffer) {
    Secret secret(std::string_view("passphrase"));
    const auto* data = secret.data();
    secret.wipe();
    EXPECT_EQ(secret.size(), 10U);
    EXPECT_EQ(secret.data(), data);
    EXPECT_EQ(secret.view(), std::string(10, '\0'));
    EXPECT_TRUE(Secret().empty());
    EXPECT_TRUE(Secret(std::size_t{0}).empty());
}
