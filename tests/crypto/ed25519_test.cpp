#include "crypto/ed25519.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "encoding/hex.hpp"
#include "support/refusal.hpp"

using namespace zdz::contracts;
using namespace zdz::crypto;

namespace {

// RFC 8032 section 7.1, TEST 1 to TEST 3.
struct RfcVector {
    std::string secret_key;
    std::string public_key;
    std::string message;
    std::string signature;
};

const std::vector<RfcVector> kRfcVectors = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
     "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
     "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

std::vector<std::uint8_t> unhex(const std::string& text) {
    return *zdz::encoding::hex_decode(text);
}

std::string as_text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

SigningKey key_from_hex(const std::string& seed_hex) {
    const auto seed = unhex(seed_hex);
    return SigningKey::from_seed(
        std::span<const std::uint8_t, kSeedBytes>(seed.data(), kSeedBytes));
}

std::string parse_error(const std::string& text) {
    return zdz::test::refusal(Signature::parse(text), text);
}

std::string verify_error(const VerifyingKey& key, const std::string& message,
                         const Signature& signature) {
    const auto r = verify_bytes(key, message, signature);
    return r ? "ok" : r.error().display();
}

const std::string kVerificationFailed = "signature verification failed";

}  // namespace

TEST(Ed25519, RfcVectorsSignAndVerify) {
    for (const auto& v : kRfcVectors) {
        const auto key = key_from_hex(v.secret_key);
        EXPECT_EQ(key.verifying_key().to_hex(), v.public_key);
        const auto message = as_text(unhex(v.message));
        const auto signature = key.sign_bytes(message);
        EXPECT_EQ(signature.to_string(), v.signature);

        const auto loaded = VerifyingKey::from_bytes(unhex(v.public_key));
        ASSERT_TRUE(loaded);
        EXPECT_EQ(*loaded, key.verifying_key());
        EXPECT_EQ(verify_error(*loaded, message, *Signature::parse(v.signature)), "ok");
    }
}

TEST(Ed25519, AnySingleByteChangeFails) {
    const auto& v = kRfcVectors[2];
    const auto key = *VerifyingKey::from_bytes(unhex(v.public_key));
    const auto message = as_text(unhex(v.message));
    const auto signature = *Signature::parse(v.signature);

    for (std::size_t i = 0; i < message.size(); ++i) {
        auto changed = message;
        changed[i] = static_cast<char>(changed[i] ^ 0x01);
        EXPECT_EQ(verify_error(key, changed, signature), kVerificationFailed) << i;
    }
    EXPECT_EQ(verify_error(key, message + "x", signature), kVerificationFailed);
    for (std::size_t i = 0; i < zdz::crypto::kSignatureBytes; ++i) {
        auto bytes = signature.bytes();
        bytes[i] ^= 0x01;
        EXPECT_EQ(verify_error(key, message, Signature(bytes)), kVerificationFailed) << i;
    }
    const auto other = *VerifyingKey::from_bytes(unhex(kRfcVectors[1].public_key));
    EXPECT_EQ(verify_error(other, message, signature), kVerificationFailed);
}

TEST(Ed25519, GeneratedKeysAndSeedRestore) {
    const auto a = SigningKey::generate();
    const auto b = SigningKey::generate();
    EXPECT_NE(a.verifying_key(), b.verifying_key());

    const auto restored = SigningKey::from_seed(a.seed());
    EXPECT_EQ(restored.verifying_key(), a.verifying_key());
    const std::string message = "{\"a\":1}";
    EXPECT_EQ(restored.sign_bytes(message), a.sign_bytes(message));
    EXPECT_EQ(verify_error(a.verifying_key(), message, restored.sign_bytes(message)), "ok");
}

TEST(SignatureText, ParseChecksInOrderAndDisplaysLowerCase) {
    const auto& good = kRfcVectors[0].signature;
    EXPECT_EQ(parse_error(good.substr(1)),
              "validation failed: ed25519 signature must be 128 hex characters, got 127");
    EXPECT_EQ(parse_error(good + "0"),
              "validation failed: ed25519 signature must be 128 hex characters, got 129");
    EXPECT_EQ(parse_error(""),
              "validation failed: ed25519 signature must be 128 hex characters, got 0");
    // Length counts bytes: 63 pairs plus one two-byte character is 128 bytes.
    EXPECT_EQ(parse_error(good.substr(0, 126) + "\xC3\xA9"),
              "validation failed: invalid hex in signature: \"\xC3\xA9\"");
    EXPECT_EQ(parse_error("a\xC3\xA9" + good.substr(3)),
              "validation failed: signature is not ASCII");
    EXPECT_EQ(parse_error(good.substr(0, 10) + "zz" + good.substr(12)),
              "validation failed: invalid hex in signature: \"zz\"");
    EXPECT_EQ(parse_error(good.substr(0, 10) + "\"\\" + good.substr(12)),
              "validation failed: invalid hex in signature: \"\\\"\\\\\"");
    EXPECT_EQ(parse_error("+1" + good.substr(2)),
              "validation failed: invalid hex in signature: \"+1\"");
    std::string upper = good;
    for (auto& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(Signature::parse(upper)->to_string(), good);
    // The first bad pair wins, whatever follows it.
    EXPECT_EQ(parse_error("zz" + good.substr(2, 124) + "a\xC3"),
              "validation failed: invalid hex in signature: \"zz\"");
}

TEST(VerifyingKeyBytes, RefusesExactlyUndecodablePoints) {
    const std::string invalid = "validation failed: invalid ed25519 public key: signature error";
    // y = 2 has no x on the curve.
    std::array<std::uint8_t, 32> undecodable{2};
    auto r = VerifyingKey::from_bytes(undecodable);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ContractError::Kind::Validation);
    EXPECT_EQ(r.error().display(), invalid);
    EXPECT_EQ(VerifyingKey::from_bytes(std::vector<std::uint8_t>(31, 0)).error().display(),
              invalid);

    // y = 3 decodes to a point outside the prime-order subgroup: loading only
    // asks for a point, so it is accepted.
    std::array<std::uint8_t, 32> off_subgroup{3};
    ASSERT_EQ(crypto_core_ed25519_is_valid_point(off_subgroup.data()), 0);
    EXPECT_TRUE(VerifyingKey::from_bytes(off_subgroup));

    // All zeros is a small-order point: it loads, but nothing verifies under it.
    const std::array<std::uint8_t, 32> small_order{};
    const auto weak = VerifyingKey::from_bytes(small_order);
    ASSERT_TRUE(weak);
    EXPECT_EQ(verify_error(*weak, "", Signature()), kVerificationFailed);
}

TEST(KeyFingerprint, IsBlake3OfThePublicKey) {
    const auto key = *VerifyingKey::from_bytes(unhex(kRfcVectors[0].public_key));
    // b3sum of the 32 raw key bytes.
    EXPECT_EQ(key_fingerprint(key).to_string(),
              "blake3:6c31041268f471609c79f5f2dbcc38e4a4ab2f4d416109a4e09fcf50fd0f0062");
    EXPECT_NE(key_fingerprint(key).to_string().substr(7), key.to_hex());
}
