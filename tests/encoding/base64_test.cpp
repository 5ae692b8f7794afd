#include "encoding/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using zdz::encoding::base64_decode;
using zdz::encoding::base64_encode;

namespace {

struct DecodeCase {
    std::string input;
    std::string expected;  // "ok N" or the exact message
};

std::string outcome(const std::string& input) {
    const auto r = base64_decode(input);
    return r ? "ok " + std::to_string(r->size()) : r.error().display();
}

std::string a(std::size_t n) {
    return std::string(n, 'A');
}

const std::string kKeyBlob = "AAAAC3NzaC1lZDI1NTE5AAAAIOMqqnkVzrm0SdG6UOoqKLsabgH5C9okWi0dh2l9GKJl";

}  // namespace

TEST(Base64Decode, EveryDocumentedInput) {
    const std::vector<DecodeCase> cases = {
        {"", "ok 0"},
        {"Zg==", "ok 1"},
        {"Zm8=", "ok 2"},
        {"Zm9v", "ok 3"},
        {kKeyBlob, "ok 51"},
        {kKeyBlob.substr(0, 64), "ok 48"},
        {a(66) + "==", "ok 49"},
        {"AA==", "ok 1"},
        {"AAA=", "ok 2"},
        {"Zg", "Invalid padding"},
        {"Zm8", "Invalid padding"},
        {"Zg=", "Invalid padding"},
        {"AB", "Invalid padding"},
        {a(67), "Invalid padding"},
        {"Z", "Invalid input length: 1"},
        {"Zm9vY", "Invalid input length: 5"},
        {a(69), "Invalid input length: 69"},
        {"=", "Invalid symbol 61, offset 0."},
        {"====", "Invalid symbol 61, offset 0."},
        {"=Zg=", "Invalid symbol 61, offset 0."},
        {"Zg=a", "Invalid symbol 61, offset 2."},
        {"Zg==Zg==", "Invalid symbol 61, offset 2."},
        {"Zg===", "Invalid symbol 61, offset 2."},
        {"Zg==Z", "Invalid symbol 61, offset 2."},
        {"Zm8==", "Invalid symbol 61, offset 3."},
        {"Zm9v=", "Invalid symbol 61, offset 4."},
        {"Zm9vZ=", "Invalid symbol 61, offset 5."},
        {"Zm9vY===", "Invalid symbol 61, offset 5."},
        {a(101) + "==", "Invalid symbol 61, offset 101."},
        {"AB==", "Invalid last symbol 66, offset 1."},
        {"AAB=", "Invalid last symbol 66, offset 2."},
        {"ABC=", "Invalid last symbol 67, offset 2."},
        {"AAAAAB==", "Invalid last symbol 66, offset 5."},
        {a(102) + "B=", "Invalid last symbol 66, offset 102."},
        {"Zm9-", "Invalid symbol 45, offset 3."},
        {"Zm9_", "Invalid symbol 95, offset 3."},
        {"Zm9v\xC3\xA9", "Invalid symbol 195, offset 4."},
        {"Z!9vA", "Invalid symbol 33, offset 1."},
        {"Z!9v!", "Invalid symbol 33, offset 4."},
        {"Zg==!", "Invalid symbol 33, offset 4."},
        {std::string("AAAA\0", 5), "Invalid symbol 0, offset 4."},
        {a(40) + "*" + a(27), "Invalid symbol 42, offset 40."},
        {"\xE2\x80\x8B"
         "AAAA",
         "Invalid symbol 226, offset 0."},
        {"AAAA\xE2\x80\x8B", "Invalid symbol 226, offset 4."},
        {"AAAAAAAAAA\xE2\x80\x8B", "Invalid symbol 139, offset 12."},
        {"Zm 9v", "Invalid symbol 32, offset 2."},
        {"Zm9v\n", "Invalid symbol 10, offset 4."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(c.input), c.expected) << "input: " << c.input;
    }
}

TEST(Base64Decode, DecodesTheBytes) {
    const auto text = [](const std::vector<std::uint8_t>& bytes) {
        return std::string(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(text(*base64_decode("Zg==")), "f");
    EXPECT_EQ(text(*base64_decode("Zm8=")), "fo");
    EXPECT_EQ(text(*base64_decode("Zm9vYmFy")), "foobar");
    EXPECT_EQ(*base64_decode("+/+/"), (std::vector<std::uint8_t>{0xFB, 0xFF, 0xBF}));
}

TEST(Base64Encode, PadsAndRoundTrips) {
    const std::string foobar = "foobar";
    for (std::size_t n = 0; n <= foobar.size(); ++n) {
        const std::vector<std::uint8_t> bytes(foobar.begin(),
                                              foobar.begin() + static_cast<long>(n));
        const auto encoded = base64_encode(bytes);
        EXPECT_EQ(encoded.size() % 4, 0U);
        EXPECT_EQ(*base64_decode(encoded), bytes);
    }
    EXPECT_EQ(base64_encode(std::vector<std::uint8_t>{'f', 'o'}), "Zm8=");
}
