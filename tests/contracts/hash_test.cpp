#include <gtest/gtest.h>

#include <string>

#include "contracts/hash.hpp"
#include "contracts/hex.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

using zdz::contracts::ContentHash;
using zdz::contracts::ContractError;
using zdz::contracts::HashAlgorithm;

namespace {

const std::string kEmptySha256 =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string parse_error(const std::string& text) {
    auto r = ContentHash::parse(text);
    EXPECT_FALSE(r) << text;
    return r ? "" : r.error().display();
}

}  // namespace

TEST(HexCodec, EncodesLowerCaseAndDecodesEitherCase) {
    const std::vector<std::uint8_t> bytes{0x00, 0xab, 0xff, 0x10};
    EXPECT_EQ(zdz::contracts::hex_encode(bytes), "00abff10");
    EXPECT_EQ(*zdz::contracts::hex_decode("00ABfF10"), bytes);
    EXPECT_TRUE(zdz::contracts::hex_decode("")->empty());
}

TEST(HexCodec, FailureTexts) {
    EXPECT_EQ(zdz::contracts::hex_decode("abc").error(), "hex string has odd length 3");
    EXPECT_EQ(zdz::contracts::hex_decode("0G").error(), "invalid hex byte \"0G\"");
    EXPECT_EQ(zdz::contracts::hex_decode("a\xc3\xa9" "b").error(), "hex string is not ASCII");
    EXPECT_EQ(zdz::contracts::hex_decode("\xc3\xa9").error(), "invalid hex byte \"\xc3\xa9\"");
}

TEST(ContentHashParse, AcceptsUpperCaseAndDisplaysLowerCase) {
    const std::string upper = "sha256:E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";
    auto h = ContentHash::parse(upper);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->algorithm, HashAlgorithm::Sha256);
    EXPECT_EQ(h->to_string(), kEmptySha256);
    EXPECT_EQ(h->to_string().size(), 71U);
}

TEST(ContentHashParse, ChecksRunInOrder) {
    const std::string hex64(64, 'a');
    // No colon: the whole input in quoted form.
    EXPECT_EQ(parse_error("sha256"),
              "validation failed: content hash must be 'algorithm:hex', got \"sha256\"");
    EXPECT_EQ(parse_error("a\"b\\c"),
              "validation failed: content hash must be 'algorithm:hex', got \"a\\\"b\\\\c\"");
    // The algorithm is checked before the digest length and reported verbatim.
    EXPECT_EQ(parse_error("SHA256:" + hex64), "unknown or rejected algorithm: SHA256");
    EXPECT_EQ(parse_error("md5:abc"), "unknown or rejected algorithm: md5");
    EXPECT_EQ(parse_error(":" + hex64), "unknown or rejected algorithm: ");
    EXPECT_EQ(parse_error("sha256:abc"),
              "validation failed: content hash digest must be 64 hex characters, got 3");
    EXPECT_EQ(parse_error("blake3:" + hex64 + "a"),
              "validation failed: content hash digest must be 64 hex characters, got 65");
    EXPECT_EQ(parse_error("sha256:" + std::string(8, 'a') + "zz" + std::string(54, 'a')),
              "validation failed: invalid hex in content hash: \"zz\"");
    EXPECT_EQ(parse_error("sha256:+" + std::string(63, 'a')),
              "validation failed: invalid hex in content hash: \"+a\"");
    EXPECT_EQ(parse_error("sha256:" + std::string(62, 'a') + ":a"),
              "validation failed: invalid hex in content hash: \":a\"");
}

TEST(ContentHashParse, MultiByteCharacters) {
    // Aligned on a pair boundary: the pair is shown as invalid hex.
    EXPECT_EQ(parse_error("sha256:\xc3\xa9" + std::string(62, 'a')),
              "validation failed: invalid hex in content hash: \"\xc3\xa9\"");
    // Straddling two pairs: not ASCII.
    EXPECT_EQ(parse_error("sha256:a\xc3\xa9" + std::string(61, 'a')),
              "validation failed: content hash digest is not ASCII");
}

TEST(ContentHashEquality, ComparesAlgorithmAndDigest) {
    auto a = *ContentHash::parse("sha256:" + std::string(64, '1'));
    auto b = *ContentHash::parse("blake3:" + std::string(64, '1'));
    auto c = *ContentHash::parse("sha256:" + std::string(63, '1') + "2");
    EXPECT_EQ(a, a);
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
}

TEST(Measure, KnownAnswers) {
    EXPECT_EQ(zdz::contracts::measure_sha256(std::string_view()).to_string(), kEmptySha256);
    EXPECT_EQ(zdz::contracts::measure_sha256(std::string_view("abc")).to_string(),
              "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(zdz::contracts::measure_blake3(std::string_view()).to_string(),
              "blake3:af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
    EXPECT_EQ(zdz::contracts::measure_blake3(std::string_view("abc")).to_string(),
              "blake3:6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
}

TEST(Measure, AgreesWithIndependentToolsOnOneMebibyte) {
    zdz::test::TempDir dir;
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 131 + 7) % 251);
    }
    dir.write("blob", data);
    const auto b3 = zdz::test::run_tool({"b3sum", "--no-names", dir.file("blob")});
    ASSERT_EQ(b3.status, 0) << b3.err;
    EXPECT_EQ(zdz::contracts::measure_blake3(std::string_view(data)).to_string(),
              "blake3:" + b3.out.substr(0, 64));
    const auto sha = zdz::test::run_tool({"sha256sum", dir.file("blob")});
    ASSERT_EQ(sha.status, 0);
    const auto streamed = zdz::contracts::measure_sha256_file(dir.file("blob"));
    ASSERT_TRUE(streamed);
    EXPECT_EQ(streamed->hash.to_string(), "sha256:" + sha.out.substr(0, 64));
    EXPECT_EQ(streamed->hash, zdz::contracts::measure_sha256(std::string_view(data)));
    EXPECT_EQ(streamed->bytes, data.size());
}

TEST(Measure, FileErrorsCarryTheOsText) {
    auto r = zdz::contracts::measure_sha256_file("/nonexistent/zdz");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "No such file or directory (os error 2)");
    auto d = zdz::contracts::measure_sha256_file("/");
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().display(), "Is a directory (os error 21)");
}

// Checked against the recorded algorithm of a manifest or a registry: both
// algorithms stream a file across read-chunk boundaries as the tools do.
TEST(Measure, FilesStreamThroughEitherAlgorithm) {
    using zdz::contracts::HashAlgorithm;
    zdz::test::TempDir dir;
    std::string data((2 << 20) + 3, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 197 + 11) % 253);
    }
    dir.write("blob", data);
    dir.write("empty", "");
    const auto b3 = zdz::test::run_tool({"b3sum", "--no-names", dir.file("blob")});
    const auto sha = zdz::test::run_tool({"sha256sum", dir.file("blob")});
    ASSERT_EQ(b3.status, 0) << b3.err;
    ASSERT_EQ(sha.status, 0) << sha.err;

    const auto blake3 = zdz::contracts::measure_file(dir.file("blob"), HashAlgorithm::Blake3);
    ASSERT_TRUE(blake3);
    EXPECT_EQ(blake3->hash.to_string(), "blake3:" + b3.out.substr(0, 64));
    EXPECT_EQ(blake3->bytes, data.size());
    const auto sha256 = zdz::contracts::measure_file(dir.file("blob"), HashAlgorithm::Sha256);
    ASSERT_TRUE(sha256);
    EXPECT_EQ(sha256->hash.to_string(), "sha256:" + sha.out.substr(0, 64));

    EXPECT_EQ(zdz::contracts::measure_file(dir.file("empty"), HashAlgorithm::Blake3)->hash,
              zdz::contracts::measure_blake3(std::string_view()));
    EXPECT_EQ(zdz::contracts::measure_file(dir.file("empty"), HashAlgorithm::Sha256)->bytes, 0U);
    const auto missing = zdz::contracts::measure_file(dir.file("missing"), HashAlgorithm::Blake3);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(), "No such file or directory (os error 2)");
}
