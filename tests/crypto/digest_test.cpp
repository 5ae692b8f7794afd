#include "crypto/digest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

const std::string kEmptySha256 =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

}  // namespace

TEST(Measure, KnownAnswers) {
    EXPECT_EQ(zdz::crypto::measure_sha256(std::string_view()).to_string(), kEmptySha256);
    EXPECT_EQ(zdz::crypto::measure_sha256(std::string_view("abc")).to_string(),
              "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(zdz::crypto::measure_blake3(std::string_view()).to_string(),
              "blake3:af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
    EXPECT_EQ(zdz::crypto::measure_blake3(std::string_view("abc")).to_string(),
              "blake3:6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
}
