#include "encoding/hex.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

TEST(HexCodec, EncodesLowerCaseAndDecodesEitherCase) {
    const std::vector<std::uint8_t> bytes{0x00, 0xab, 0xff, 0x10};
    EXPECT_EQ(zdz::encoding::hex_encode(bytes), "00abff10");
    EXPECT_EQ(*zdz::encoding::hex_decode("00ABfF10"), bytes);
    EXPECT_TRUE(zdz::encoding::hex_decode("")->empty());
}

TEST(HexCodec, FailureTexts) {
    EXPECT_EQ(zdz::encoding::hex_decode("abc").error().display(), "hex string has odd length 3");
    EXPECT_EQ(zdz::encoding::hex_decode("0G").error().display(), "invalid hex byte \"0G\"");
    EXPECT_EQ(zdz::encoding::hex_decode("a\xc3\xa9"
                                        "b")
                  .error()
                  .display(),
              "hex string is not ASCII");
    EXPECT_EQ(zdz::encoding::hex_decode("\xc3\xa9").error().display(),
              "invalid hex byte \"\xc3\xa9\"");
}
