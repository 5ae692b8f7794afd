#include "crypto/aead.hpp"

#include <sodium.h>

#include "crypto/sodium.hpp"
#include "encoding/try.hpp"

namespace zdz::crypto {
namespace {

static_assert(kAeadKeyBytes == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
static_assert(kAeadNonceBytes == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(kAeadTagBytes == crypto_aead_xchacha20poly1305_ietf_ABYTES);

}  // namespace

tl::expected<std::vector<std::uint8_t>, contracts::ContractError> xchacha20poly1305_encrypt(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::string_view associated_data, std::span<const std::uint8_t> plaintext) {
    ZDZ_RETURN_IF_ERROR(start_sodium());
    if (key.size() != kAeadKeyBytes || nonce.size() != kAeadNonceBytes ||
        plaintext.size() > crypto_aead_xchacha20poly1305_ietf_MESSAGEBYTES_MAX) {
        return tl::unexpected(contracts::ContractError::encryption());
    }
    std::vector<std::uint8_t> ciphertext(plaintext.size() + kAeadTagBytes);
    unsigned long long written = 0;
    if (crypto_aead_xchacha20poly1305_ietf_encrypt(ciphertext.data(), &written, plaintext.data(),
                                                   plaintext.size(), as_uchar(associated_data),
                                                   associated_data.size(), nullptr, nonce.data(),
                                                   key.data()) != 0 ||
        written != ciphertext.size()) {
        return tl::unexpected(contracts::ContractError::encryption());
    }
    return ciphertext;
}

tl::expected<Secret, contracts::ContractError> xchacha20poly1305_decrypt(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::string_view associated_data, std::span<const std::uint8_t> ciphertext) {
    ZDZ_RETURN_IF_ERROR(start_sodium());
    if (key.size() != kAeadKeyBytes || nonce.size() != kAeadNonceBytes ||
        ciphertext.size() < kAeadTagBytes) {
        return tl::unexpected(contracts::ContractError::decryption());
    }
    // The buffer wipes itself whichever way this returns.
    Secret plaintext(ciphertext.size() - kAeadTagBytes);
    unsigned long long written = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            plaintext.data(), &written, nullptr, ciphertext.data(), ciphertext.size(),
            as_uchar(associated_data), associated_data.size(), nonce.data(), key.data()) != 0 ||
        written != plaintext.size()) {
        return tl::unexpected(contracts::ContractError::decryption());
    }
    return plaintext;
}

}  // namespace zdz::crypto
