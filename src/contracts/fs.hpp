#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

namespace zdz::contracts {

// A failed file operation: the errno of the failing call, or the UTF-8 check
// of a text read (code 0).
struct IoError {
    int code = 0;

    static IoError from_errno(int code) { return IoError{code}; }
    static IoError not_utf8() { return IoError{0}; }

    // "No such file or directory (os error 2)", or "stream did not contain
    // valid UTF-8" for a text that failed the UTF-8 check.
    std::string display() const;
};

// The operating system's text for an errno followed by " (os error N)".
std::string os_error_text(int code);

tl::expected<std::string, IoError> read_file_bytes(const std::string& path);

// Reads a whole file and checks that it is valid UTF-8.
tl::expected<std::string, IoError> read_file_text(const std::string& path);

// A text file of any size in pieces of at most `chunk_bytes`, so that memory
// stays flat: a regular file is read twice, first to check that all of it is
// valid UTF-8 and then to hand each piece to `consume` (a piece may end inside
// a line or a character). Unless the file changes between the passes, nothing
// is handed over from a file that read_file_text would refuse. A pipe or
// device is read whole and handed over in one piece.
tl::expected<void, IoError> stream_file_text(const std::string& path, std::size_t chunk_bytes,
                                             const std::function<void(std::string_view)>& consume);

}  // namespace zdz::contracts
