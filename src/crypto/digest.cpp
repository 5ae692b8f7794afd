#include "crypto/digest.hpp"

#include <blake3.h>
#include <openssl/evp.h>

#include <new>

#include "contracts/content_hash.hpp"

namespace zdz::crypto {

// SHA-256 through OpenSSL's EVP interface when `sha256` is set, else BLAKE3.
struct DigestStream::State {
    EVP_MD_CTX* sha256 = nullptr;
    blake3_hasher blake3{};
};

DigestStream::DigestStream(contracts::HashAlgorithm algorithm) : state_(std::make_unique<State>()) {
    if (algorithm != contracts::HashAlgorithm::Sha256) {
        blake3_hasher_init(&state_->blake3);
        return;
    }
    state_->sha256 = EVP_MD_CTX_new();
    if (state_->sha256 == nullptr ||
        EVP_DigestInit_ex(state_->sha256, EVP_sha256(), nullptr) != 1) {
        // Only an allocation failure inside OpenSSL gets here.
        EVP_MD_CTX_free(state_->sha256);
        throw std::bad_alloc();
    }
}

DigestStream::~DigestStream() {
    EVP_MD_CTX_free(state_->sha256);
}

void DigestStream::update(const void* data, std::size_t size) {
    if (state_->sha256 != nullptr) {
        EVP_DigestUpdate(state_->sha256, data, size);
    } else {
        blake3_hasher_update(&state_->blake3, data, size);
    }
}

contracts::ContentHash DigestStream::finish() {
    contracts::ContentHash hash;
    if (state_->sha256 != nullptr) {
        hash.algorithm = contracts::HashAlgorithm::Sha256;
        unsigned int length = 0;
        EVP_DigestFinal_ex(state_->sha256, hash.digest.data(), &length);
    } else {
        hash.algorithm = contracts::HashAlgorithm::Blake3;
        blake3_hasher_finalize(&state_->blake3, hash.digest.data(), hash.digest.size());
    }
    return hash;
}

namespace {

contracts::ContentHash measure(contracts::HashAlgorithm algorithm,
                               std::span<const std::uint8_t> bytes) {
    DigestStream stream(algorithm);
    stream.update(bytes.data(), bytes.size());
    return stream.finish();
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

contracts::ContentHash measure_sha256(std::span<const std::uint8_t> bytes) {
    return measure(contracts::HashAlgorithm::Sha256, bytes);
}

contracts::ContentHash measure_sha256(std::string_view bytes) {
    return measure(contracts::HashAlgorithm::Sha256, bytes_of(bytes));
}

contracts::ContentHash measure_blake3(std::span<const std::uint8_t> bytes) {
    return measure(contracts::HashAlgorithm::Blake3, bytes);
}

contracts::ContentHash measure_blake3(std::string_view bytes) {
    return measure(contracts::HashAlgorithm::Blake3, bytes_of(bytes));
}

}  // namespace zdz::crypto
