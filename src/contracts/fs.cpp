#include "contracts/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "contracts/text.hpp"

namespace zdz::contracts {

std::string os_error_text(int code) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::string IoError::display() const {
    if (code == 0) {
        return "stream did not contain valid UTF-8";
    }
    return os_error_text(code);
}

tl::expected<std::string, IoError> read_file_bytes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    std::string content;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        content.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            ::close(fd);
            return tl::unexpected(IoError::from_errno(err));
        }
        if (n == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

tl::expected<std::string, IoError> read_file_text(const std::string& path) {
    auto content = read_file_bytes(path);
    if (content && !is_valid_utf8(*content)) {
        return tl::unexpected(IoError::not_utf8());
    }
    return content;
}

}  // namespace zdz::contracts
