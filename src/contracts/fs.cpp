#include "contracts/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

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
    if (code == kTooLargeCode) {
        return "file is larger than " + std::to_string(kUnsizedReadLimit) +
               " bytes, the most read from a pipe or device";
    }
    return os_error_text(code);
}

namespace {

constexpr unsigned char kContinuationMask = 0xC0;
constexpr unsigned char kContinuationBits = 0x80;
constexpr std::size_t kLongestUtf8Sequence = 4;

// Reads from `fd` to its end: a regular file sized from fstat, anything else
// up to kUnsizedReadLimit bytes.
tl::expected<std::string, IoError> read_to_end(int fd) {
    try {
        std::string content;
        struct stat st {};
        const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (regular && st.st_size > 0) {
            content.reserve(static_cast<std::size_t>(st.st_size));
        }
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return tl::unexpected(IoError::from_errno(errno));
            }
            if (n == 0) {
                break;
            }
            if (!regular && content.size() + static_cast<std::size_t>(n) > kUnsizedReadLimit) {
                return tl::unexpected(IoError::too_large());
            }
            content.append(buffer, static_cast<std::size_t>(n));
        }
        return content;
    } catch (const std::bad_alloc&) {
        return tl::unexpected(IoError::from_errno(ENOMEM));
    }
}

// Bytes a UTF-8 sequence has, judged by its first byte; 1 for a byte that
// cannot start one (the check then refuses it).
std::size_t sequence_length(char first) {
    const auto c = static_cast<unsigned char>(first);
    if (c >= 0xF0 && c < 0xF8) {
        return 4;
    }
    if (c >= 0xE0 && c < 0xF0) {
        return 3;
    }
    if (c >= 0xC0 && c < 0xE0) {
        return 2;
    }
    return 1;
}

// How many bytes at the end of `piece` start a sequence that the piece does
// not complete.
std::size_t incomplete_tail(std::string_view piece) {
    for (std::size_t back = 1; back < kLongestUtf8Sequence && back <= piece.size(); ++back) {
        const char c = piece[piece.size() - back];
        if ((static_cast<unsigned char>(c) & kContinuationMask) != kContinuationBits) {
            return sequence_length(c) > back ? back : 0;
        }
    }
    return 0;
}

// The UTF-8 check of a text that arrives in pieces, which may split a
// character; it agrees with is_valid_utf8 of the whole text.
class Utf8Check {
public:
    bool feed(std::string_view piece) {
        if (!carry_.empty()) {
            const auto need = sequence_length(carry_.front());
            while (carry_.size() < need && !piece.empty()) {
                carry_ += piece.front();
                piece.remove_prefix(1);
            }
            if (carry_.size() < need) {
                return true;
            }
            if (!is_valid_utf8(carry_)) {
                return false;
            }
            carry_.clear();
        }
        const auto tail = incomplete_tail(piece);
        if (!is_valid_utf8(piece.substr(0, piece.size() - tail))) {
            return false;
        }
        carry_.assign(piece.substr(piece.size() - tail));
        return true;
    }

    // A sequence cut off by the end of the text is invalid.
    bool finish() const { return carry_.empty(); }

private:
    std::string carry_;
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { ::close(fd_); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// One pass over a regular file from its first byte.
tl::expected<void, IoError> read_pass(int fd, std::vector<char>& buffer,
                                      const std::function<void(std::string_view)>& consume) {
    if (::lseek(fd, 0, SEEK_SET) < 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    Utf8Check check;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return tl::unexpected(IoError::from_errno(errno));
        }
        if (n == 0) {
            break;
        }
        const std::string_view piece(buffer.data(), static_cast<std::size_t>(n));
        if (!check.feed(piece)) {
            return tl::unexpected(IoError::not_utf8());
        }
        consume(piece);
    }
    if (!check.finish()) {
        return tl::unexpected(IoError::not_utf8());
    }
    return {};
}

}  // namespace

tl::expected<std::string, IoError> read_file_bytes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    const FileDescriptor file(fd);
    return read_to_end(file.get());
}

tl::expected<void, IoError> stream_file_text(const std::string& path, std::size_t chunk_bytes,
                                             const std::function<void(std::string_view)>& consume) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    const FileDescriptor file(fd);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        // A pipe or device can be read only once: take it whole.
        auto content = read_to_end(file.get());
        if (!content) {
            return tl::unexpected(content.error());
        }
        if (!is_valid_utf8(*content)) {
            return tl::unexpected(IoError::not_utf8());
        }
        consume(*content);
        return {};
    }
    std::vector<char> buffer;
    try {
        buffer.resize(std::max<std::size_t>(chunk_bytes, 1));
    } catch (const std::bad_alloc&) {
        return tl::unexpected(IoError::from_errno(ENOMEM));
    }
    // The first pass only checks, so that nothing is handed over from a file
    // that turns out not to be text.
    auto checked = read_pass(file.get(), buffer, [](std::string_view) {});
    if (!checked) {
        return checked;
    }
    return read_pass(file.get(), buffer, consume);
}

tl::expected<std::string, IoError> read_file_text(const std::string& path) {
    auto content = read_file_bytes(path);
    if (content && !is_valid_utf8(*content)) {
        return tl::unexpected(IoError::not_utf8());
    }
    return content;
}

}  // namespace zdz::contracts
