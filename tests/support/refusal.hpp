#pragma once

// The refusal a parse or a check gives, for tests that compare it with its
// exact text.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace zdz::test {

// The display text of the error `result` holds. A result that holds a value
// fails the test, naming `input`, and reads as "".
template <class Result>
std::string refusal(const Result& result, std::string_view input) {
    EXPECT_FALSE(result) << input;
    return result ? std::string() : result.error().display();
}

// refusal(), with the error also of `kind`.
template <class Result, class Kind>
std::string refusal(const Result& result, std::string_view input, Kind kind) {
    EXPECT_FALSE(result) << input;
    if (result) {
        return "";
    }
    EXPECT_EQ(result.error().kind(), kind) << input;
    return result.error().display();
}

}  // namespace zdz::test
