#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "contracts/errors.hpp"
#include "crypto/secret.hpp"

namespace zdz::crypto {

inline constexpr std::size_t kAeadKeyBytes = 32;
inline constexpr std::size_t kAeadNonceBytes = 24;
inline constexpr std::size_t kAeadTagBytes = 16;

// The AEAD (XChaCha20-Poly1305, IETF construction) that encrypted envelopes
// seal and open with. encrypt returns the ciphertext followed by the tag; it fails with
// Encryption for a key or nonce of the wrong length. decrypt fails with
// Decryption on any mismatch and never hands out unauthenticated bytes.
[[nodiscard]] tl::expected<std::vector<std::uint8_t>, contracts::ContractError>
xchacha20poly1305_encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                          std::string_view associated_data,
                          std::span<const std::uint8_t> plaintext);
[[nodiscard]] tl::expected<Secret, contracts::ContractError> xchacha20poly1305_decrypt(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::string_view associated_data, std::span<const std::uint8_t> ciphertext);

}  // namespace zdz::crypto
