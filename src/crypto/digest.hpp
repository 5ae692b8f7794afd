#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "contracts/content_hash.hpp"

namespace zdz::crypto {

contracts::ContentHash measure_sha256(std::span<const std::uint8_t> bytes);
contracts::ContentHash measure_sha256(std::string_view bytes);
contracts::ContentHash measure_blake3(std::span<const std::uint8_t> bytes);
contracts::ContentHash measure_blake3(std::string_view bytes);

// Incremental SHA-256 through OpenSSL's EVP interface.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void update(const void* data, std::size_t size);
    contracts::ContentHash finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Incremental digest of either algorithm: a file is checked against a
// recorded measurement with that measurement's own algorithm.
class DigestStream {
public:
    explicit DigestStream(contracts::HashAlgorithm algorithm);
    ~DigestStream();
    DigestStream(const DigestStream&) = delete;
    DigestStream& operator=(const DigestStream&) = delete;

    void update(const void* data, std::size_t size);
    contracts::ContentHash finish();

private:
    struct Blake3State;
    std::unique_ptr<Sha256Stream> sha256_;
    std::unique_ptr<Blake3State> blake3_;
};

}  // namespace zdz::crypto
