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
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zdz::crypto
