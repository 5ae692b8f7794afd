#pragma once

#include <string>
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

}  // namespace zdz::contracts
