#include "crypto/digest.hpp"

#include <blake3.h>
#include <openssl/evp.h>

#include <new>

#include "contracts/content_hash.hpp"

namespace zdz::crypto {

struct Sha256Stream::State {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
    state_->ctx = EVP_MD_CTX_new();
    if (state_->ctx == nullptr || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1) {
        // Only an allocation failure inside OpenSSL gets here.
        throw std::bad_alloc();
    }
}

Sha256Stream::~Sha256Stream() {
    EVP_MD_CTX_free(state_->ctx);
}

void Sha256Stream::update(const void* data, std::size_t size) {
    EVP_DigestUpdate(state_->ctx, data, size);
}

contracts::ContentHash Sha256Stream::finish() {
    contracts::ContentHash hash;
    hash.algorithm = contracts::HashAlgorithm::Sha256;
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->ctx, hash.digest.data(), &length);
    return hash;
}

contracts::ContentHash measure_sha256(std::span<const std::uint8_t> bytes) {
    Sha256Stream stream;
    stream.update(bytes.data(), bytes.size());
    return stream.finish();
}

contracts::ContentHash measure_sha256(std::string_view bytes) {
    Sha256Stream stream;
    stream.update(bytes.data(), bytes.size());
    return stream.finish();
}

contracts::ContentHash measure_blake3(std::span<const std::uint8_t> bytes) {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, bytes.data(), bytes.size());
    contracts::ContentHash hash;
    hash.algorithm = contracts::HashAlgorithm::Blake3;
    blake3_hasher_finalize(&hasher, hash.digest.data(), contracts::kDigestBytes);
    return hash;
}

contracts::ContentHash measure_blake3(std::string_view bytes) {
    return measure_blake3(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

struct DigestStream::Blake3State {
    blake3_hasher hasher{};
};

DigestStream::DigestStream(contracts::HashAlgorithm algorithm) {
    if (algorithm == contracts::HashAlgorithm::Sha256) {
        sha256_ = std::make_unique<Sha256Stream>();
    } else {
        blake3_ = std::make_unique<Blake3State>();
        blake3_hasher_init(&blake3_->hasher);
    }
}

DigestStream::~DigestStream() = default;

void DigestStream::update(const void* data, std::size_t size) {
    if (sha256_) {
        sha256_->update(data, size);
    } else {
        blake3_hasher_update(&blake3_->hasher, data, size);
    }
}

contracts::ContentHash DigestStream::finish() {
    if (sha256_) {
        return sha256_->finish();
    }
    contracts::ContentHash hash;
    hash.algorithm = contracts::HashAlgorithm::Blake3;
    blake3_hasher_finalize(&blake3_->hasher, hash.digest.data(), hash.digest.size());
    return hash;
}

}  // namespace zdz::crypto
