#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <tl/expected.hpp>
#include <utility>
#include <vector>

#include "contracts/content_hash.hpp"
#include "io/file.hpp"

namespace zdz::io {

struct FileMeasurement {
    contracts::ContentHash hash;
    std::uint64_t bytes = 0;  // how many bytes were read and hashed
};

// An image's digest under every algorithm measurements are recorded with,
// from one pass over its bytes: a withdrawal must cover the image whatever
// algorithm a manifest for it was measured with.
struct ImageDigests {
    contracts::ContentHash sha256;
    contracts::ContentHash blake3;
    std::uint64_t bytes = 0;

    const contracts::ContentHash& under(contracts::HashAlgorithm algorithm) const {
        return algorithm == contracts::HashAlgorithm::Sha256 ? sha256 : blake3;
    }
};

// How far a measurement has come, for a progress display: the bytes hashed
// so far and the images finished, added to once per piece by the measuring
// threads and read by any other.
struct MeasureProgress {
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::size_t> images{0};
};

// An image file opened for measuring. An image is a regular file or a block
// device: both have a size, so a measurement always ends. Anything else is
// refused before a byte is read, and opening never waits: a FIFO might never
// be written, a character device (/dev/zero) never ends. The refusal is
// IoError::not_image(); a folder is EISDIR, as reading it would say.
class ImageFile {
public:
    [[nodiscard]] static tl::expected<ImageFile, IoError> open(const std::string& path);

    const FileDescriptor& descriptor() const { return fd_; }
    // Its size when it was opened (a regular file's, a block device's).
    std::uint64_t size() const { return size_; }
    // Large enough to be read on a second thread ahead of the hash.
    bool worth_reading_ahead() const { return read_ahead_; }

private:
    ImageFile(FileDescriptor fd, std::uint64_t size);

    FileDescriptor fd_;
    std::uint64_t size_ = 0;
    bool read_ahead_ = false;
};

// The bytes of an opened image through `algorithm`, read on the caller's
// thread (and one more, ahead of the hash, for a large file when
// `read_ahead`), adding to `progress` (if any) as it goes.
[[nodiscard]] tl::expected<FileMeasurement, IoError> measure_opened_image(
    const ImageFile& image, contracts::HashAlgorithm algorithm, bool read_ahead = true,
    MeasureProgress* progress = nullptr);

// SHA-256 of an image's bytes, read in fixed-size chunks so memory stays flat
// whatever the file's size.
[[nodiscard]] tl::expected<FileMeasurement, IoError> measure_sha256_file(const std::string& path);

// The same through the given algorithm: a file is checked against a recorded
// measurement with that measurement's own algorithm.
[[nodiscard]] tl::expected<FileMeasurement, IoError> measure_file(
    const std::string& path, contracts::HashAlgorithm algorithm);

// Both digests of an image in one pass.
[[nodiscard]] tl::expected<ImageDigests, IoError> measure_image_digests(const std::string& path);

namespace detail {
// One pass over an image: a digest per algorithm asked for, in that order.
struct Hashes {
    std::vector<contracts::ContentHash> hashes;
    std::uint64_t bytes = 0;
};
}  // namespace detail

// A measurement as measure_file or measure_image_digests takes it, taken on a
// second thread while the caller does other work (sign derives its
// key-encryption key meanwhile). The image is opened at once: refusal() tells
// whether it is an image at all before the other work starts. result() waits
// for it. Destroyed before result() was asked for, it stops the reading at the
// next chunk and waits for the thread. Where no thread can be started,
// result() measures on the caller's thread.
class BackgroundMeasurement {
public:
    BackgroundMeasurement(const std::string& path, contracts::HashAlgorithm algorithm,
                          MeasureProgress* progress = nullptr);
    // Both digests (ImageDigests); result() gives the SHA-256 one.
    explicit BackgroundMeasurement(const std::string& path, MeasureProgress* progress = nullptr);

    // The image's size (0 when it could not be opened).
    std::uint64_t size() const { return image_ ? image_->size() : 0; }
    ~BackgroundMeasurement();
    BackgroundMeasurement(const BackgroundMeasurement&) = delete;
    BackgroundMeasurement& operator=(const BackgroundMeasurement&) = delete;

    // The refusal of a path that names no image (ImageFile::open's), known
    // before any reading; nullopt for an image, and for a path that could not
    // be opened, whose error result() reports.
    std::optional<IoError> refusal() const;

    tl::expected<FileMeasurement, IoError> result();
    tl::expected<ImageDigests, IoError> digests();

private:
    BackgroundMeasurement(const std::string& path, std::vector<contracts::HashAlgorithm> algorithms,
                          MeasureProgress* progress);
    tl::expected<detail::Hashes, IoError>& outcome();

    std::vector<contracts::HashAlgorithm> algorithms_;
    tl::expected<ImageFile, IoError> image_;
    MeasureProgress* progress_;
    std::atomic<bool> stop_{false};
    // Written by the thread, read once it has been joined.
    std::optional<tl::expected<detail::Hashes, IoError>> outcome_;
    std::thread thread_;
};

// An image of a batch, and the algorithm it is measured with.
struct ImageRequest {
    std::string path;
    contracts::HashAlgorithm algorithm = contracts::HashAlgorithm::Sha256;
};

// The images of a release measured together, on up to `workers` threads
// (each one image at a time, streamed: memory is a read buffer per worker,
// whatever the number and size of the images), while the caller does other
// work. Every image is opened at once, so what cannot be opened, or is no
// image, is known before any reading (open_error). Destroyed before results()
// was asked for, it stops at the next piece and waits for its threads.
class MeasurementBatch {
public:
    MeasurementBatch(std::vector<ImageRequest> images, unsigned workers);
    ~MeasurementBatch();
    MeasurementBatch(const MeasurementBatch&) = delete;
    MeasurementBatch& operator=(const MeasurementBatch&) = delete;

    std::size_t size() const { return images_.size(); }
    // Image `i`'s failure to open (ImageFile::open's), or nullopt.
    std::optional<IoError> open_error(std::size_t i) const;
    // The sizes of the images that opened, added up.
    std::uint64_t total_bytes() const { return total_bytes_; }
    const MeasureProgress& progress() const { return progress_; }

    // Each image's measurement or error, in the order given; waits for all.
    std::vector<tl::expected<FileMeasurement, IoError>> results();

private:
    // Measures the images no worker has taken yet, one after the other; with
    // several workers every core is busy hashing already, and a reader thread
    // per image (`read_ahead`) would only take turns with them.
    void work(bool read_ahead);

    std::vector<ImageRequest> requests_;
    std::vector<tl::expected<ImageFile, IoError>> images_;
    std::vector<std::optional<tl::expected<FileMeasurement, IoError>>> outcomes_;
    std::uint64_t total_bytes_ = 0;
    MeasureProgress progress_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::vector<std::thread> workers_;
};

}  // namespace zdz::io
