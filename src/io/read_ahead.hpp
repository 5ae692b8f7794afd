#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <tl/expected.hpp>

#include "io/file.hpp"

namespace zdz::io {

// read_pieces for a regular file, with the reading done on a second thread up
// to `depth` pieces of `piece_bytes` ahead of `consume`, so that copying the
// file from the page cache overlaps the caller's work on the pieces before
// (hashing an image runs at the speed of the hash, not of hash plus copy).
// Same contract as read_pieces: pieces in file order on the caller's thread,
// an interrupted read retried, the first error of `consume` or of a read
// (after every piece read before it) stops and is returned. Where no thread
// can be started, reads on the caller's thread. Not for pipes or devices: a
// read that never returns would hold up the return.
[[nodiscard]] tl::expected<void, IoError> read_pieces_ahead(
    int fd, std::size_t piece_bytes, std::size_t depth,
    const std::function<tl::expected<void, IoError>(std::string_view)>& consume);

}  // namespace zdz::io
