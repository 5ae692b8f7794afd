#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "encoding/base64.hpp"
#include "encoding/hex.hpp"

// The decoders say which rule a text broke, with the position or length.
TEST(DecoderErrorKinds, HexAndBase64NameTheFault) {
    using zdz::encoding::HexError;
    EXPECT_EQ(zdz::encoding::hex_decode("abc").error(),
              (HexError{HexError::Kind::OddLength, 3, {}, 0}));
    EXPECT_EQ(zdz::encoding::hex_decode("0g").error().kind, HexError::Kind::InvalidDigits);
    EXPECT_EQ(zdz::encoding::hex_decode("0g").error().pair, "0g");
    std::array<std::uint8_t, 2> out{};
    const auto exact = zdz::encoding::hex_decode_exact("abc", out);
    ASSERT_FALSE(exact);
    EXPECT_EQ(exact.error().kind, HexError::Kind::WrongLength);
    EXPECT_EQ(exact.error().wanted, 4U);
    ASSERT_TRUE(zdz::encoding::hex_decode_exact("ABcd", out));
    EXPECT_EQ(out, (std::array<std::uint8_t, 2>{0xab, 0xcd}));

    using zdz::encoding::Base64Error;
    const auto symbol = zdz::encoding::base64_decode("AA!A").error();
    EXPECT_EQ(symbol.kind, Base64Error::Kind::InvalidSymbol);
    EXPECT_EQ(symbol.byte, static_cast<unsigned>('!'));
    EXPECT_EQ(symbol.offset, 2U);
    EXPECT_EQ(zdz::encoding::base64_decode("AB==").error().kind,
              Base64Error::Kind::InvalidLastSymbol);
    EXPECT_EQ(zdz::encoding::base64_decode("A===").error().kind, Base64Error::Kind::InvalidSymbol);
}
