#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/errors.hpp"

namespace zdz::contracts {

enum class HashAlgorithm { Blake3, Sha256 };

inline constexpr std::size_t kDigestBytes = 32;
using Digest = std::array<std::uint8_t, kDigestBytes>;

std::string_view algorithm_text(HashAlgorithm algorithm);

// A 32-byte digest tagged with the algorithm that produced it, written
// "algorithm:hex". Equality compares both without stopping early.
struct ContentHash {
    HashAlgorithm algorithm = HashAlgorithm::Sha256;
    Digest digest{};

    [[nodiscard]] static tl::expected<ContentHash, ContractError> parse(std::string_view text);

    // "sha256:" or "blake3:" followed by 64 lower-case hex digits.
    std::string to_string() const;

    friend bool operator==(const ContentHash& a, const ContentHash& b);
};

}  // namespace zdz::contracts
