#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "crypto/ed25519.hpp"
#include "encoding/hex.hpp"
#include "envelope/envelope.hpp"
#include "json/value.hpp"

using namespace zdz::contracts;
using namespace zdz::crypto;

namespace {

// The first key of RFC 8032 section 7.1.
struct RfcVector {
    std::string secret_key;
};
const std::vector<RfcVector> kRfcVectors = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"},
};

SigningKey key_from_hex(const std::string& seed_hex) {
    const auto seed = *zdz::encoding::hex_decode(seed_hex);
    return SigningKey::from_seed(
        std::span<const std::uint8_t, kSeedBytes>(seed.data(), kSeedBytes));
}

const std::string kVerificationFailed = "signature verification failed";

}  // namespace

// A JSON value is signed, and checked, in its canonical form.
TEST(Ed25519, ValuesAreSignedInCanonicalForm) {
    using zdz::json::JsonValue;
    const auto key = key_from_hex(kRfcVectors[0].secret_key);
    auto value = JsonValue::object();
    value.add("b", JsonValue::uint64(2));
    value.add("a", JsonValue::string("x"));
    auto reordered = JsonValue::object();
    reordered.add("a", JsonValue::string("x"));
    reordered.add("b", JsonValue::uint64(2));

    const auto signature = zdz::envelope::sign_value(key, value);
    ASSERT_TRUE(signature);
    EXPECT_EQ(*signature, key.sign_bytes("{\"a\":\"x\",\"b\":2}"));
    EXPECT_TRUE(zdz::envelope::verify_value(key.verifying_key(), reordered, *signature));

    auto changed = JsonValue::object();
    changed.add("a", JsonValue::string("y"));
    changed.add("b", JsonValue::uint64(2));
    EXPECT_EQ(
        zdz::envelope::verify_value(key.verifying_key(), changed, *signature).error().display(),
        kVerificationFailed);
    EXPECT_EQ(zdz::envelope::sign_value(key, JsonValue::floating(0.5)).error().kind(),
              ContractError::Kind::Canonicalization);
}
