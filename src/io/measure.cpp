#include "io/measure.hpp"

#include <fcntl.h>

#include <cerrno>
#include <new>
#include <vector>

#include "crypto/digest.hpp"

namespace zdz::io {
namespace {

constexpr std::size_t kFileChunk = std::size_t{1} << 20;

}  // namespace

tl::expected<FileMeasurement, IoError> measure_sha256_file(const std::string& path) {
    return measure_file(path, contracts::HashAlgorithm::Sha256);
}

tl::expected<FileMeasurement, IoError> measure_file(const std::string& path,
                                                    contracts::HashAlgorithm algorithm) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    try {
        std::vector<char> buffer(kFileChunk);
        crypto::DigestStream stream(algorithm);
        std::uint64_t total = 0;
        auto read = read_pieces(file.get(), buffer,
                                [&](std::string_view piece) -> tl::expected<void, IoError> {
                                    stream.update(piece.data(), piece.size());
                                    total += piece.size();
                                    return {};
                                });
        if (!read) {
            return tl::unexpected(read.error());
        }
        return FileMeasurement{stream.finish(), total};
    } catch (const std::bad_alloc&) {
        // The read buffer or the digest state.
        return tl::unexpected(IoError::from_errno(ENOMEM));
    }
}

}  // namespace zdz::io
