#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <tl/expected.hpp>

#include "contracts/content_hash.hpp"
#include "io/file.hpp"

namespace zdz::io {

struct FileMeasurement {
    contracts::ContentHash hash;
    std::uint64_t bytes = 0;  // how many bytes were read and hashed
};

// SHA-256 of a file's bytes, read in fixed-size chunks so memory stays flat
// whatever the file's size.
[[nodiscard]] tl::expected<FileMeasurement, IoError> measure_sha256_file(const std::string& path);

// The same through the given algorithm: a file is checked against a recorded
// measurement with that measurement's own algorithm.
[[nodiscard]] tl::expected<FileMeasurement, IoError> measure_file(
    const std::string& path, contracts::HashAlgorithm algorithm);

// A measurement as measure_file takes it, taken on a second thread while the
// caller does other work (sign derives its key-encryption key meanwhile).
// result() waits for it. Destroyed before result() was asked for, it stops the
// reading at the next chunk and waits for the thread. Only a regular file is
// read on the thread; anything else (and everything where no thread can be
// started) result() measures on the caller's thread, as measure_file does.
class BackgroundMeasurement {
public:
    BackgroundMeasurement(std::string path, contracts::HashAlgorithm algorithm);
    ~BackgroundMeasurement();
    BackgroundMeasurement(const BackgroundMeasurement&) = delete;
    BackgroundMeasurement& operator=(const BackgroundMeasurement&) = delete;

    tl::expected<FileMeasurement, IoError> result();

private:
    void measure_regular_file();

    std::string path_;
    contracts::HashAlgorithm algorithm_;
    std::atomic<bool> stop_{false};
    // Written by the thread, read once it has been joined.
    std::optional<tl::expected<FileMeasurement, IoError>> result_;
    std::thread thread_;
};

}  // namespace zdz::io
