#include "io/measure.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "crypto/digest.hpp"
#include "encoding/try.hpp"
#include "io/read_ahead.hpp"

namespace zdz::io {
namespace {

using contracts::HashAlgorithm;

constexpr std::size_t kFileChunk = std::size_t{1} << 20;
// Pieces read ahead of the hash: enough that it never waits for the copy.
constexpr std::size_t kPiecesAhead = 4;
// Smaller files are read on the hashing thread: starting a reader would cost
// more than it saves.
constexpr std::uint64_t kReadAheadFrom = std::uint64_t{8} << 20;

constexpr std::array kBothAlgorithms = {HashAlgorithm::Sha256, HashAlgorithm::Blake3};

// The size of a regular file or a block device (0 where it cannot be told).
std::uint64_t image_size(int fd, const struct stat& st) {
    if (S_ISREG(st.st_mode)) {
        return static_cast<std::uint64_t>(st.st_size);
    }
    std::uint64_t size = 0;
    return ::ioctl(fd, BLKGETSIZE64, &size) == 0 ? size : 0;
}

using detail::Hashes;

// The bytes of `image` through every algorithm of `algorithms`, giving up
// between two chunks once `stop` (if any) is set.
tl::expected<Hashes, IoError> measure_image(const ImageFile& image,
                                            std::span<const HashAlgorithm> algorithms,
                                            const std::atomic<bool>* stop, bool read_ahead,
                                            MeasureProgress* progress) {
    const int fd = image.descriptor().get();
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    try {
        std::vector<std::unique_ptr<crypto::DigestStream>> streams;
        for (const auto algorithm : algorithms) {
            streams.push_back(std::make_unique<crypto::DigestStream>(algorithm));
        }
        std::uint64_t total = 0;
        const auto hash_piece = [&](std::string_view piece) -> tl::expected<void, IoError> {
            if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
                return tl::unexpected(IoError::from_errno(ECANCELED));
            }
            for (const auto& stream : streams) {
                stream->update(piece.data(), piece.size());
            }
            total += piece.size();
            if (progress != nullptr) {
                progress->bytes.fetch_add(piece.size(), std::memory_order_relaxed);
            }
            return {};
        };
        tl::expected<void, IoError> read;
        if (read_ahead && image.worth_reading_ahead()) {
            read = read_pieces_ahead(fd, kFileChunk, kPiecesAhead, hash_piece);
        } else {
            std::vector<char> buffer(kFileChunk);
            read = read_pieces(fd, buffer, hash_piece);
        }
        if (!read) {
            return tl::unexpected(read.error());
        }
        Hashes measured{{}, total};
        for (const auto& stream : streams) {
            measured.hashes.push_back(stream->finish());
        }
        if (progress != nullptr) {
            progress->images.fetch_add(1, std::memory_order_relaxed);
        }
        return measured;
    } catch (const std::bad_alloc&) {
        // The read buffer or the digest state.
        return tl::unexpected(IoError::from_errno(ENOMEM));
    }
}

tl::expected<Hashes, IoError> measure_path(const std::string& path,
                                           std::span<const HashAlgorithm> algorithms) {
    ZDZ_TRY(const auto image, ImageFile::open(path));
    return measure_image(image, algorithms, nullptr, true, nullptr);
}

}  // namespace

tl::expected<ImageFile, IoError> ImageFile::open(const std::string& path) {
    // Non-blocking, so that a FIFO without a writer cannot hold up the open.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        return tl::unexpected(IoError::from_errno(EISDIR));
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        return tl::unexpected(IoError::not_image());
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    const auto size = image_size(fd.get(), st);
    return ImageFile(std::move(fd), size);
}

ImageFile::ImageFile(FileDescriptor fd, std::uint64_t size)
    : fd_(std::move(fd)), size_(size), read_ahead_(size >= kReadAheadFrom) {}

tl::expected<FileMeasurement, IoError> measure_opened_image(const ImageFile& image,
                                                            HashAlgorithm algorithm,
                                                            bool read_ahead,
                                                            MeasureProgress* progress) {
    return measure_image(image, std::span(&algorithm, 1), nullptr, read_ahead, progress)
        .map([](const Hashes& measured) {
            return FileMeasurement{measured.hashes.front(), measured.bytes};
        });
}

tl::expected<FileMeasurement, IoError> measure_sha256_file(const std::string& path) {
    return measure_file(path, HashAlgorithm::Sha256);
}

tl::expected<FileMeasurement, IoError> measure_file(const std::string& path,
                                                    HashAlgorithm algorithm) {
    return measure_path(path, std::span(&algorithm, 1)).map([](const Hashes& measured) {
        return FileMeasurement{measured.hashes.front(), measured.bytes};
    });
}

tl::expected<ImageDigests, IoError> measure_image_digests(const std::string& path) {
    return measure_path(path, kBothAlgorithms).map([](const Hashes& measured) {
        return ImageDigests{measured.hashes[0], measured.hashes[1], measured.bytes};
    });
}

BackgroundMeasurement::BackgroundMeasurement(const std::string& path, HashAlgorithm algorithm,
                                             MeasureProgress* progress)
    : BackgroundMeasurement(path, std::vector<HashAlgorithm>{algorithm}, progress) {}

BackgroundMeasurement::BackgroundMeasurement(const std::string& path, MeasureProgress* progress)
    : BackgroundMeasurement(
          path, std::vector<HashAlgorithm>(kBothAlgorithms.begin(), kBothAlgorithms.end()),
          progress) {}

BackgroundMeasurement::BackgroundMeasurement(const std::string& path,
                                             std::vector<HashAlgorithm> algorithms,
                                             MeasureProgress* progress)
    : algorithms_(std::move(algorithms)), image_(ImageFile::open(path)), progress_(progress) {
    if (!image_) {
        return;
    }
    try {
        thread_ = std::thread(
            [this] { outcome_ = measure_image(*image_, algorithms_, &stop_, true, progress_); });
    } catch (const std::system_error&) {
        // No second thread: the caller's measures when asked.
    }
}

BackgroundMeasurement::~BackgroundMeasurement() {
    if (thread_.joinable()) {
        stop_.store(true, std::memory_order_relaxed);
        thread_.join();
    }
}

std::optional<IoError> BackgroundMeasurement::refusal() const {
    if (!image_ && image_.error().kind == IoError::Kind::NotImage) {
        return image_.error();
    }
    return std::nullopt;
}

tl::expected<Hashes, IoError>& BackgroundMeasurement::outcome() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (!outcome_) {
        if (!image_) {
            outcome_ = tl::unexpected(image_.error());
        } else {
            outcome_ = measure_image(*image_, algorithms_, nullptr, true, progress_);
        }
    }
    return *outcome_;
}

tl::expected<FileMeasurement, IoError> BackgroundMeasurement::result() {
    return outcome().map([](const Hashes& h) {
        return FileMeasurement{h.hashes.front(), h.bytes};
    });
}

tl::expected<ImageDigests, IoError> BackgroundMeasurement::digests() {
    return outcome().map([](const Hashes& h) {
        return ImageDigests{h.hashes.at(0), h.hashes.at(1), h.bytes};
    });
}

MeasurementBatch::MeasurementBatch(std::vector<ImageRequest> images, unsigned workers)
    : requests_(std::move(images)) {
    images_.reserve(requests_.size());
    for (const auto& request : requests_) {
        images_.push_back(ImageFile::open(request.path));
        if (images_.back()) {
            total_bytes_ += images_.back()->size();
        }
    }
    outcomes_.resize(requests_.size());
    const auto count = std::min<std::size_t>(std::max(workers, 1U), requests_.size());
    try {
        for (std::size_t i = 0; i < count; ++i) {
            workers_.emplace_back([this, count] { work(count == 1); });
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked for (none at all: results() measures).
    }
}

MeasurementBatch::~MeasurementBatch() {
    stop_.store(true, std::memory_order_relaxed);
    for (auto& worker : workers_) {
        worker.join();
    }
}

void MeasurementBatch::work(bool read_ahead) {
    for (auto i = next_.fetch_add(1); i < images_.size(); i = next_.fetch_add(1)) {
        if (!images_[i]) {
            outcomes_[i] = tl::unexpected(images_[i].error());
            continue;
        }
        const auto algorithm = requests_[i].algorithm;
        outcomes_[i] =
            measure_image(*images_[i], std::span(&algorithm, 1), &stop_, read_ahead, &progress_)
                .map([](const Hashes& measured) {
                    return FileMeasurement{measured.hashes.front(), measured.bytes};
                });
    }
}

std::optional<IoError> MeasurementBatch::open_error(std::size_t i) const {
    if (images_.at(i)) {
        return std::nullopt;
    }
    return images_[i].error();
}

std::vector<tl::expected<FileMeasurement, IoError>> MeasurementBatch::results() {
    for (auto& worker : workers_) {
        worker.join();
    }
    workers_.clear();
    // What no worker reached (none could be started) is measured here.
    work(true);
    std::vector<tl::expected<FileMeasurement, IoError>> results;
    results.reserve(outcomes_.size());
    for (auto& outcome : outcomes_) {
        results.push_back(*outcome);
    }
    return results;
}

}  // namespace zdz::io
