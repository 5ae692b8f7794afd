#include "cli/program.hpp"

#include <gtest/gtest.h>

#include <new>
#include <sstream>
#include <stdexcept>

using zdz::cli::run_guarded;

TEST(RunGuarded, AnEscapingExceptionIsOneErrorLineAndStatus1) {
    std::ostringstream err;
    EXPECT_EQ(run_guarded(err, [] { return 2; }), 2);
    EXPECT_EQ(err.str(), "");

    EXPECT_EQ(run_guarded(err, []() -> int { throw std::bad_alloc(); }), 1);
    EXPECT_EQ(err.str(), "error: out of memory\n");

    err.str("");
    EXPECT_EQ(run_guarded(err, []() -> int { throw std::length_error("huge\x1b[2J"); }), 1);
    EXPECT_EQ(err.str(), "error: unexpected failure: huge\\u{1b}[2J\n");

    err.str("");
    EXPECT_EQ(run_guarded(err, []() -> int { throw 42; }), 1);
    EXPECT_EQ(err.str(), "error: unexpected failure\n");
}
