#include "crypto/ed25519.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstdlib>

#include "contracts/content_hash.hpp"
#include "crypto/digest.hpp"
#include "crypto/sodium.hpp"
#include "encoding/hex.hpp"
#include "encoding/text.hpp"

namespace zdz::crypto {
namespace {

static_assert(kSeedBytes == crypto_sign_SEEDBYTES);
static_assert(kPublicKeyBytes == crypto_sign_PUBLICKEYBYTES);
static_assert(kPublicKeyBytes == crypto_core_ed25519_BYTES);
static_assert(kSignatureBytes == crypto_sign_BYTES);

constexpr std::size_t kSignatureHexDigits = kSignatureBytes * 2;
// What the Ed25519 layer reports for bytes that are not a curve point.
constexpr std::string_view kInvalidKeyPrefix = "invalid ed25519 public key: ";
constexpr std::string_view kUndecodableKeyText = "signature error";

// The encoding of the neutral element: adding it to a point changes nothing,
// so the addition succeeds exactly when the other operand decodes.
constexpr VerifyingKey::Bytes kIdentityPoint = {1};

// libsodium must be initialised before its random source is used; the call is
// idempotent. It fails only without a usable random source, where libsodium
// itself would abort on the first random read, so this does the same up front.
}  // namespace

tl::expected<Signature, contracts::ContractError> Signature::parse(std::string_view text) {
    if (text.size() != kSignatureHexDigits) {
        return tl::unexpected(contracts::ContractError::validation(
            "ed25519 signature must be 128 hex characters, got " + std::to_string(text.size())));
    }
    Bytes bytes{};
    for (std::size_t i = 0; i < kSignatureBytes; ++i) {
        const auto pair = text.substr(2 * i, 2);
        if (!encoding::is_valid_utf8(pair)) {
            return tl::unexpected(contracts::ContractError::validation("signature is not ASCII"));
        }
        const int hi = encoding::hex_digit_value(pair[0]);
        const int lo = encoding::hex_digit_value(pair[1]);
        if (hi < 0 || lo < 0) {
            return tl::unexpected(contracts::ContractError::validation(
                "invalid hex in signature: " + encoding::quoted_form(pair)));
        }
        bytes[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return Signature(bytes);
}

std::string Signature::to_string() const {
    return encoding::hex_encode(bytes_);
}

tl::expected<VerifyingKey, contracts::ContractError> VerifyingKey::from_bytes(
    std::span<const std::uint8_t> bytes) {
    ensure_sodium();
    const auto invalid = [] {
        return tl::unexpected(contracts::ContractError::validation(
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
    ensure_sodium();
    Secret seed(kSeedBytes);
    randombytes_buf(seed.data(), seed.size());
    return from_seed(std::span<const std::uint8_t, kSeedBytes>(seed.data(), kSeedBytes));
}

SigningKey SigningKey::from_seed(std::span<const std::uint8_t, kSeedBytes> seed) {
    ensure_sodium();
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
    ensure_sodium();
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
