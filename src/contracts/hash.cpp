#include "contracts/hash.hpp"

#include <blake3.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "contracts/hex.hpp"
#include "contracts/text.hpp"

namespace zdz::contracts {
namespace {

constexpr std::string_view kBlake3Text = "blake3";
constexpr std::string_view kSha256Text = "sha256";
constexpr std::size_t kHexDigits = kDigestBytes * 2;
constexpr std::size_t kFileChunk = std::size_t{1} << 20;

}  // namespace

std::string_view algorithm_text(HashAlgorithm algorithm) {
    return algorithm == HashAlgorithm::Blake3 ? kBlake3Text : kSha256Text;
}

tl::expected<ContentHash, ContractError> ContentHash::parse(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        return tl::unexpected(
            ContractError::validation("content hash must be 'algorithm:hex', got " +
                                      quoted_excerpt(text, kMessageExcerptChars)));
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
            terminal_safe_excerpt(name, kMessageExcerptChars)));
    }
    if (hex.size() != kHexDigits) {
        return tl::unexpected(ContractError::validation(
            "content hash digest must be 64 hex characters, got " + std::to_string(hex.size())));
    }
    for (std::size_t i = 0; i < kDigestBytes; ++i) {
        const auto pair = hex.substr(2 * i, 2);
        if (!is_valid_utf8(pair)) {
            return tl::unexpected(ContractError::validation("content hash digest is not ASCII"));
        }
        const int hi = hex_digit_value(pair[0]);
        const int lo = hex_digit_value(pair[1]);
        if (hi < 0 || lo < 0) {
            return tl::unexpected(
                ContractError::validation("invalid hex in content hash: " + quoted_form(pair)));
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
    out += hex_encode(digest);
    return out;
}

bool operator==(const ContentHash& a, const ContentHash& b) {
    // Both comparisons always run; sodium_memcmp takes the same time for any
    // pair of equal-length inputs.
    const bool same_algorithm = a.algorithm == b.algorithm;
    const bool same_digest = sodium_memcmp(a.digest.data(), b.digest.data(), kDigestBytes) == 0;
    return same_algorithm & same_digest;
}

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

ContentHash Sha256Stream::finish() {
    ContentHash hash;
    hash.algorithm = HashAlgorithm::Sha256;
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->ctx, hash.digest.data(), &length);
    return hash;
}

ContentHash measure_sha256(std::span<const std::uint8_t> bytes) {
    Sha256Stream stream;
    stream.update(bytes.data(), bytes.size());
    return stream.finish();
}

ContentHash measure_sha256(std::string_view bytes) {
    Sha256Stream stream;
    stream.update(bytes.data(), bytes.size());
    return stream.finish();
}

ContentHash measure_blake3(std::span<const std::uint8_t> bytes) {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, bytes.data(), bytes.size());
    ContentHash hash;
    hash.algorithm = HashAlgorithm::Blake3;
    blake3_hasher_finalize(&hasher, hash.digest.data(), kDigestBytes);
    return hash;
}

ContentHash measure_blake3(std::string_view bytes) {
    return measure_blake3(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

tl::expected<FileMeasurement, IoError> measure_sha256_file(const std::string& path) {
    return measure_file(path, HashAlgorithm::Sha256);
}

namespace {

// One incremental digest of either algorithm.
class FileDigest {
public:
    explicit FileDigest(HashAlgorithm algorithm) {
        if (algorithm == HashAlgorithm::Sha256) {
            sha256_.emplace();
        } else {
            blake3_hasher_init(&blake3_);
        }
    }

    void update(const void* data, std::size_t size) {
        if (sha256_) {
            sha256_->update(data, size);
        } else {
            blake3_hasher_update(&blake3_, data, size);
        }
    }

    ContentHash finish() {
        if (sha256_) {
            return sha256_->finish();
        }
        ContentHash hash;
        hash.algorithm = HashAlgorithm::Blake3;
        blake3_hasher_finalize(&blake3_, hash.digest.data(), kDigestBytes);
        return hash;
    }

private:
    std::optional<Sha256Stream> sha256_;
    blake3_hasher blake3_{};
};

}  // namespace

tl::expected<FileMeasurement, IoError> measure_file(const std::string& path,
                                                    HashAlgorithm algorithm) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    int failure = 0;
    FileMeasurement measured;
    try {
        std::vector<std::uint8_t> buffer(kFileChunk);
        FileDigest digest(algorithm);
        std::uint64_t total = 0;
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                failure = errno;
                break;
            }
            if (n == 0) {
                break;
            }
            digest.update(buffer.data(), static_cast<std::size_t>(n));
            total += static_cast<std::uint64_t>(n);
        }
        measured = FileMeasurement{digest.finish(), total};
    } catch (const std::bad_alloc&) {
        // The read buffer or OpenSSL's digest state.
        failure = ENOMEM;
    }
    ::close(fd);
    if (failure != 0) {
        return tl::unexpected(IoError::from_errno(failure));
    }
    return measured;
}

}  // namespace zdz::contracts
