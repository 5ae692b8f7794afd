#include "contracts/content_hash.hpp"

#include <sodium.h>

#include "encoding/hex.hpp"
#include "encoding/text.hpp"

namespace zdz::contracts {
namespace {

constexpr std::string_view kBlake3Text = "blake3";
constexpr std::string_view kSha256Text = "sha256";
constexpr std::size_t kHexDigits = kDigestBytes * 2;

}  // namespace

std::string_view algorithm_text(HashAlgorithm algorithm) {
    return algorithm == HashAlgorithm::Blake3 ? kBlake3Text : kSha256Text;
}

tl::expected<ContentHash, ContractError> ContentHash::parse(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        return tl::unexpected(ContractError::validation(
            "content hash must be 'algorithm:hex', got " +
            encoding::quoted_excerpt(text, encoding::kMessageExcerptChars)));
    }
    const auto name = text.substr(0, colon);
    const auto hex = text.substr(colon + 1);
    ContentHash hash;
    if (name == kBlake3Text) {
        hash.algorithm = HashAlgorithm::Blake3;
    } else if (name == kSha256Text) {
        hash.algorithm = HashAlgorithm::Sha256;
    } else {
        return tl::unexpected(ContractError::unsupported_algorithm(
            encoding::terminal_safe_excerpt(name, encoding::kMessageExcerptChars)));
    }
    if (hex.size() != kHexDigits) {
        return tl::unexpected(ContractError::validation(
            "content hash digest must be 64 hex characters, got " + std::to_string(hex.size())));
    }
    for (std::size_t i = 0; i < kDigestBytes; ++i) {
        const auto pair = hex.substr(2 * i, 2);
        // An ASCII pair is always valid UTF-8.
        const auto high_bits = static_cast<unsigned char>(pair[0] | pair[1]) & 0x80U;
        if (high_bits != 0 && !encoding::is_valid_utf8(pair)) {
            return tl::unexpected(ContractError::validation("content hash digest is not ASCII"));
        }
        const int hi = encoding::hex_digit_value(pair[0]);
        const int lo = encoding::hex_digit_value(pair[1]);
        if (hi < 0 || lo < 0) {
            return tl::unexpected(ContractError::validation("invalid hex in content hash: " +
                                                            encoding::quoted_form(pair)));
        }
        hash.digest[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return hash;
}

std::string ContentHash::to_string() const {
    std::string out;
    out.reserve(kSha256Text.size() + 1 + kHexDigits);
    out += algorithm_text(algorithm);
    out += ':';
    out += encoding::hex_encode(digest);
    return out;
}

bool operator==(const ContentHash& a, const ContentHash& b) {
    // Both comparisons always run; sodium_memcmp takes the same time for any
    // pair of equal-length inputs.
    const bool same_algorithm = a.algorithm == b.algorithm;
    const bool same_digest = sodium_memcmp(a.digest.data(), b.digest.data(), kDigestBytes) == 0;
    return same_algorithm & same_digest;
}

}  // namespace zdz::contracts
