#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/content_hash.hpp"
#include "contracts/errors.hpp"
#include "crypto/secret.hpp"

namespace zdz::crypto {

inline constexpr std::size_t kSeedBytes = 32;
inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSignatureBytes = 64;

// An Ed25519 signature: 64 bytes, written as 128 lower-case hex digits.
class Signature {
public:
    using Bytes = std::array<std::uint8_t, kSignatureBytes>;

    Signature() = default;
    explicit Signature(const Bytes& bytes) : bytes_(bytes) {}

    // Exactly 128 hex digits of either case.
    [[nodiscard]] static tl::expected<Signature, contracts::ContractError> parse(
        std::string_view text);

    std::string to_string() const;
    const Bytes& bytes() const { return bytes_; }

    friend bool operator==(const Signature&, const Signature&) = default;

private:
    Bytes bytes_{};
};

// An Ed25519 public key whose 32 bytes decode to a curve point. Keys that do
// not decode are refused here, when they are loaded, rather than at
// verification time.
class VerifyingKey {
public:
    using Bytes = std::array<std::uint8_t, kPublicKeyBytes>;

    [[nodiscard]] static tl::expected<VerifyingKey, contracts::ContractError> from_bytes(
        std::span<const std::uint8_t> bytes);

    // 64 lower-case hex digits.
    std::string to_hex() const;
    const Bytes& bytes() const { return bytes_; }

    friend bool operator==(const VerifyingKey&, const VerifyingKey&) = default;

private:
    friend class SigningKey;
    explicit VerifyingKey(const Bytes& bytes) : bytes_(bytes) {}

    Bytes bytes_;
};

// What signs with an Ed25519 key: a key in this process's memory
// (SigningKey), or a key held where its secret cannot be read, such as a
// token. Whatever holds the key, a signature handed out verifies with
// verifying_key(): a holder that signs with another key fails instead.
class Signer {
public:
    Signer() = default;
    Signer(const Signer&) = delete;
    Signer& operator=(const Signer&) = delete;
    virtual ~Signer() = default;

    virtual const VerifyingKey& verifying_key() const = 0;

    // Plain Ed25519 over exactly these bytes. A key in memory never fails; a
    // held key fails with SigningFailed and the holder's account.
    [[nodiscard]] virtual tl::expected<Signature, contracts::ContractError> sign(
        std::string_view message) const = 0;

protected:
    Signer(Signer&&) noexcept = default;
    Signer& operator=(Signer&&) noexcept = default;
};

// An Ed25519 signing key. The seed and the expanded secret key live only in
// wiping buffers; the type is move-only.
class SigningKey final : public Signer {
public:
    // A fresh seed from the operating system's secure random source.
    static SigningKey generate();
    static SigningKey from_seed(std::span<const std::uint8_t, kSeedBytes> seed);

    // The 32-byte seed, for sealing into the keystore.
    std::span<const std::uint8_t, kSeedBytes> seed() const;
    const VerifyingKey& verifying_key() const override { return verifying_key_; }

    // Plain Ed25519 over exactly these bytes: no prefix, context or pre-hash.
    Signature sign_bytes(std::string_view message) const;

    // sign_bytes, which cannot fail.
    [[nodiscard]] tl::expected<Signature, contracts::ContractError> sign(
        std::string_view message) const override {
        return sign_bytes(message);
    }

private:
    SigningKey(Secret seed, Secret secret_key, VerifyingKey verifying_key)
        : seed_(std::move(seed)),
          secret_key_(std::move(secret_key)),
          verifying_key_(verifying_key) {}

    Secret seed_;
    Secret secret_key_;
    VerifyingKey verifying_key_;
};

// Any failure, a malformed or small-order signature included, is the one
// undifferentiated SignatureVerification error.
[[nodiscard]] tl::expected<void, contracts::ContractError> verify_bytes(const VerifyingKey& key,
                                                                        std::string_view message,
                                                                        const Signature& signature);

// The BLAKE3 content hash of the 32 public-key bytes, which identifies a key in
// reports.
contracts::ContentHash key_fingerprint(const VerifyingKey& key);

}  // namespace zdz::crypto
