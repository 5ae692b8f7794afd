#pragma once

#include <cstdint>
#include <string>
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

}  // namespace zdz::io
