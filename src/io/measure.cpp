#include "io/measure.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "crypto/digest.hpp"
#include "io/read_ahead.hpp"

namespace zdz::io {
namespace {

constexpr std::size_t kFileChunk = std::size_t{1} << 20;
// Pieces read ahead of the hash: enough that it never waits for the copy.
constexpr std::size_t kPiecesAhead = 4;
// Smaller files are read on the hashing thread: starting a reader would cost
// more than it saves.
constexpr std::uint64_t kReadAheadFrom = std::uint64_t{8} << 20;

// Whether a file of this status is a regular file large enough to be read
// ahead.
bool worth_reading_ahead(const struct stat& st) {
    return S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) >= kReadAheadFrom;
}

// The bytes of the open `file`, read ahead of the hash where `read_ahead`,
// giving up between two chunks once `stop` (if any) is set.
tl::expected<FileMeasurement, IoError> measure_open_file(const FileDescriptor& file,
                                                         contracts::HashAlgorithm algorithm,
                                                         bool read_ahead,
                                                         const std::atomic<bool>* stop) {
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    try {
        crypto::DigestStream stream(algorithm);
        std::uint64_t total = 0;
        const auto hash_piece = [&](std::string_view piece) -> tl::expected<void, IoError> {
            if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
                return tl::unexpected(IoError::from_errno(ECANCELED));
            }
            stream.update(piece.data(), piece.size());
            total += piece.size();
            return {};
        };
        tl::expected<void, IoError> read;
        if (read_ahead) {
            read = read_pieces_ahead(file.get(), kFileChunk, kPiecesAhead, hash_piece);
        } else {
            std::vector<char> buffer(kFileChunk);
            read = read_pieces(file.get(), buffer, hash_piece);
        }
        if (!read) {
            return tl::unexpected(read.error());
        }
        return FileMeasurement{stream.finish(), total};
    } catch (const std::bad_alloc&) {
        // The read buffer or the digest state.
        return tl::unexpected(IoError::from_errno(ENOMEM));
    }
}

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
    struct stat st {};
    const bool read_ahead = ::fstat(file.get(), &st) == 0 && worth_reading_ahead(st);
    return measure_open_file(file, algorithm, read_ahead, nullptr);
}

BackgroundMeasurement::BackgroundMeasurement(std::string path, contracts::HashAlgorithm algorithm)
    : path_(std::move(path)), algorithm_(algorithm) {
    try {
        thread_ = std::thread([this] { measure_regular_file(); });
    } catch (const std::system_error&) {
        // No second thread: result() measures on the caller's.
    }
}

void BackgroundMeasurement::measure_regular_file() {
    // Only a regular file is read ahead of time: opening a pipe or a device
    // may wait for a writer, and reading it may never end, which must not
    // hold up a refusal of the passphrase. Anything else, and a file that
    // cannot be opened, is left to result(), which reports it as before.
    const FileDescriptor file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    result_ = measure_open_file(file, algorithm_, worth_reading_ahead(st), &stop_);
}

BackgroundMeasurement::~BackgroundMeasurement() {
    if (thread_.joinable()) {
        stop_.store(true, std::memory_order_relaxed);
        thread_.join();
    }
}

tl::expected<FileMeasurement, IoError> BackgroundMeasurement::result() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (!result_) {
        result_ = measure_file(path_, algorithm_);
    }
    return *result_;
}

}  // namespace zdz::io
