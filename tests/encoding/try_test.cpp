#include "encoding/try.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tl/expected.hpp>
#include <utility>

namespace {

// An inner layer's error and the outer one it converts to.
struct InnerError {
    std::string text;
};
struct OuterError {
    OuterError(InnerError inner) : text("outer: " + std::move(inner.text)) {}  // NOLINT
    std::string text;
};

tl::expected<std::unique_ptr<int>, InnerError> boxed(int value) {
    if (value < 0) {
        return tl::unexpected(InnerError{"negative"});
    }
    return std::make_unique<int>(value);
}

tl::expected<void, InnerError> nonzero(int value) {
    if (value == 0) {
        return tl::unexpected(InnerError{"zero"});
    }
    return {};
}

int steps_taken = 0;

tl::expected<int, OuterError> doubled(int value) {
    ZDZ_RETURN_IF_ERROR(nonzero(value));
    ++steps_taken;
    ZDZ_TRY(const auto box, boxed(value));
    ++steps_taken;
    return *box * 2;
}

tl::expected<std::string, InnerError> first_of(tl::expected<std::string, InnerError>& held) {
    ZDZ_TRY(auto copy, held);
    return copy;
}

}  // namespace

TEST(Try, ReturnsTheFirstErrorConvertedAndStopsThere) {
    steps_taken = 0;
    EXPECT_EQ(*doubled(21), 42);
    EXPECT_EQ(steps_taken, 2);

    steps_taken = 0;
    EXPECT_EQ(doubled(0).error().text, "outer: zero");
    EXPECT_EQ(steps_taken, 0);
    EXPECT_EQ(doubled(-1).error().text, "outer: negative");
    EXPECT_EQ(steps_taken, 1);
}

TEST(Try, ALvalueResultIsCopiedNotMovedFrom) {
    tl::expected<std::string, InnerError> held = std::string(100, 'x');
    EXPECT_EQ(*first_of(held), std::string(100, 'x'));
    EXPECT_EQ(*held, std::string(100, 'x'));
}
