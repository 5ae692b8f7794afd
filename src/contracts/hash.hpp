#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/errors.hpp"
#include "contracts/fs.hpp"

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

    static tl::expected<ContentHash, ContractError> parse(std::string_view text);

    // "sha256:" or "blake3:" followed by 64 lower-case hex digits.
    std::string to_string() const;

    friend bool operator==(const ContentHash& a, const ContentHash& b);
};

ContentHash measure_sha256(std::span<const std::uint8_t> bytes);
ContentHash measure_sha256(std::string_view bytes);
ContentHash measure_blake3(std::span<const std::uint8_t> bytes);
ContentHash measure_blake3(std::string_view bytes);

// Incremental SHA-256 through OpenSSL's EVP interface.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void update(const void* data, std::size_t size);
    ContentHash finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

struct FileMeasurement {
    ContentHash hash;
    std::uint64_t bytes = 0;  // how many bytes were read and hashed
};

// SHA-256 of a file's bytes, read in fixed-size chunks so memory stays flat
// whatever the file's size.
tl::expected<FileMeasurement, IoError> measure_sha256_file(const std::string& path);

// The same, through the given algorithm: a file is checked against a recorded
// measurement with that measurement's own algorithm.
tl::expected<FileMeasurement, IoError> measure_file(const std::string& path,
                                                    HashAlgorithm algorithm);

}  // namespace zdz::contracts
