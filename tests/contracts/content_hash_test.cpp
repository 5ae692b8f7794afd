#include "contracts/content_hash.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/refusal.hpp"

using namespace zdz::contracts;

namespace {

const std::string kEmptySha256 =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string parse_error(const std::string& text) {
    return zdz::test::refusal(ContentHash::parse(text), text);
}

}  // namespace

TEST(ContentHashParse, AcceptsUpperCaseAndDisplaysLowerCase) {
    const std::string upper =
        "sha256:E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";
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
