#include "crypto/ed25519.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstdlib>

#include "contracts/content_hash.hpp"
#include "crypto/digest.hpp"
#include "crypto/sodium.hpp"
#include "encoding/hex.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"

namespace zdz::crypto {
namespace {

static_assert(kSeedBytes == crypto_sign_SEEDBYTES);
static_assert(kPublicKeyBytes == crypto_sign_PUBLICKEYBYTES);
static_assert(kPublicKeyBytes == crypto_core_ed25519_BYTES);
static_assert(kSignatureBytes == crypto_sign_BYTES);

// What the Ed25519 layer reports for bytes that are not a curve point.
constexpr std::string_view kInvalidKeyPrefix = "invalid ed25519 public key: ";
constexpr std::string_view kUndecodableKeyText = "signature error";

// The encoding of the neutral element: adding it to a point changes nothing,
// so the addition succeeds exactly when the other operand decodes.
constexpr VerifyingKey::Bytes kIdentityPoint = {1};

}  // namespace

tl::expected<Signature, contracts::ContractError> Signature::parse(std::string_view text) {
    Bytes bytes{};
    const auto decoded = encoding::hex_decode_exact(text, bytes);
    if (!decoded) {
        return tl::unexpected(contracts::ContractError::invalid(
            contracts::ContractError::Subject::Signature,
            decoded.error().field_text("ed25519 signature", "signature", "signature")));
    }
    return Signature(bytes);
}

std::string Signature::to_string() const {
    return encoding::hex_encode(bytes_);
}

tl::expected<VerifyingKey, contracts::ContractError> VerifyingKey::from_bytes(
    std::span<const std::uint8_t> bytes) {
    ZDZ_RETURN_IF_ERROR(start_sodium());
    const auto invalid = [] {
        return tl::unexpected(contracts::ContractError::invalid(
            contracts::ContractError::Subject::PublicKey,
            std::string(kInvalidKeyPrefix) + std::string(kUndecodableKeyText)));
    };
    if (bytes.size() != kPublicKeyBytes) {
        return invalid();
    }
    Bytes key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    std::array<unsigned char, crypto_core_ed25519_BYTES> sum{};
    if (crypto_core_ed25519_add(sum.data(), key.data(), kIdentityPoint.data()) != 0) {
        return invalid();
    }
    return VerifyingKey(key);
}

std::string VerifyingKey::to_hex() const {
    return encoding::hex_encode(bytes_);
}

SigningKey SigningKey::generate() {
    start_sodium_best_effort();
    Secret seed(kSeedBytes);
    randombytes_buf(seed.data(), seed.size());
    return from_seed(std::span<const std::uint8_t, kSeedBytes>(seed.data(), kSeedBytes));
}

SigningKey SigningKey::from_seed(std::span<const std::uint8_t, kSeedBytes> seed) {
    start_sodium_best_effort();
    Secret seed_copy(seed.data(), seed.size());
    Secret secret_key(crypto_sign_SECRETKEYBYTES);
    VerifyingKey::Bytes public_key{};
    crypto_sign_seed_keypair(public_key.data(), secret_key.data(), seed_copy.data());
    return SigningKey(std::move(seed_copy), std::move(secret_key), VerifyingKey(public_key));
}

std::span<const std::uint8_t, kSeedBytes> SigningKey::seed() const {
    return std::span<const std::uint8_t, kSeedBytes>(seed_.data(), kSeedBytes);
}

Signature SigningKey::sign_bytes(std::string_view message) const {
    Signature::Bytes bytes{};
    crypto_sign_detached(bytes.data(), nullptr, as_uchar(message), message.size(),
                         secret_key_.data());
    return Signature(bytes);
}

tl::expected<void, contracts::ContractError> verify_bytes(const VerifyingKey& key,
                                                          std::string_view message,
                                                          const Signature& signature) {
    ZDZ_RETURN_IF_ERROR(start_sodium());
    if (crypto_sign_verify_detached(signature.bytes().data(), as_uchar(message), message.size(),
                                    key.bytes().data()) != 0) {
        return tl::unexpected(contracts::ContractError::signature_verification());
    }
    return {};
}

contracts::ContentHash key_fingerprint(const VerifyingKey& key) {
    return measure_blake3(key.bytes());
}

}  // namespace zdz::crypto
