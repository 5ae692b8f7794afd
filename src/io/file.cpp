#include "io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "contracts/errors.hpp"
#include "encoding/large_buffer.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"

namespace zdz::io {

std::string IoError::display() const {
    switch (kind) {
        case Kind::NotUtf8:
            return "stream did not contain valid UTF-8";
        case Kind::TooLarge:
            return "file is larger than " + std::to_string(kUnsizedReadLimit) +
                   " bytes, the most read from a pipe or device";
        case Kind::NotImage:
            return "not a regular file or block device";
        case Kind::NotRegular:
            return "not a regular file";
        case Kind::Os:
            break;
    }
    return contracts::os_error_text(code);
}

namespace {

constexpr unsigned char kContinuationMask = 0xC0;
constexpr unsigned char kContinuationBits = 0x80;
constexpr std::size_t kLongestUtf8Sequence = 4;
constexpr std::size_t kReadChunkBytes = 65536;

// Reads a regular file of `size` bytes straight into the result, so that
// each byte is copied once, and on to its end should it have grown.
[[nodiscard]] tl::expected<std::string, IoError> read_regular(int fd, std::size_t size) {
    std::string content;
    encoding::reserve_large(content, size);
    content.resize(size);
    std::size_t filled = 0;
    char beyond[kReadChunkBytes];
    for (;;) {
        const bool in_place = filled < content.size();
        const ssize_t n = in_place ? ::read(fd, content.data() + filled, content.size() - filled)
                                   : ::read(fd, beyond, sizeof beyond);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return tl::unexpected(IoError::from_errno(errno));
        }
        if (n == 0) {
            break;
        }
        if (!in_place) {
            content.append(beyond, static_cast<std::size_t>(n));
        }
        filled += static_cast<std::size_t>(n);
    }
    content.resize(filled);
    return content;
}

// Reads a pipe or device to its end, up to kUnsizedReadLimit bytes.
[[nodiscard]] tl::expected<std::string, IoError> read_unsized(int fd) {
    std::string content;
    char buffer[kReadChunkBytes];
    auto read = read_pieces(fd, buffer, [&](std::string_view piece) -> tl::expected<void, IoError> {
        if (content.size() + piece.size() > kUnsizedReadLimit) {
            return tl::unexpected(IoError::too_large());
        }
        content.append(piece);
        return {};
    });
    if (!read) {
        return tl::unexpected(read.error());
    }
    return content;
}

// Reads from `fd` to its end: a regular file at the size fstat gives,
// anything else within kUnsizedReadLimit.
[[nodiscard]] tl::expected<std::string, IoError> read_to_end(int fd) {
    try {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            return read_regular(fd, static_cast<std::size_t>(st.st_size));
        }
        return read_unsized(fd);
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
            if (!encoding::is_valid_utf8(carry_)) {
                return false;
            }
            carry_.clear();
        }
        const auto tail = incomplete_tail(piece);
        if (!encoding::is_valid_utf8(piece.substr(0, piece.size() - tail))) {
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

// One pass over a regular file from its first byte.
[[nodiscard]] tl::expected<void, IoError> read_pass(
    int fd, std::vector<char>& buffer, const std::function<void(std::string_view)>& consume) {
    if (::lseek(fd, 0, SEEK_SET) < 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    Utf8Check check;
    auto read = read_pieces(fd, buffer, [&](std::string_view piece) -> tl::expected<void, IoError> {
        if (!check.feed(piece)) {
            return tl::unexpected(IoError::not_utf8());
        }
        consume(piece);
        return {};
    });
    if (!read) {
        return read;
    }
    if (!check.finish()) {
        return tl::unexpected(IoError::not_utf8());
    }
    return {};
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() {
    return std::exchange(fd_, -1);
}

tl::expected<FileDescriptor, IoError> open_for_reading(const std::string& path, Accept accept) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    if (accept == Accept::RegularFile) {
        struct stat st {};
        if (::fstat(file.get(), &st) != 0) {
            return tl::unexpected(IoError::from_errno(errno));
        }
        if (S_ISDIR(st.st_mode)) {
            return tl::unexpected(IoError::from_errno(EISDIR));
        }
        if (!S_ISREG(st.st_mode)) {
            return tl::unexpected(IoError::not_regular());
        }
    }
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return tl::unexpected(IoError::from_errno(errno));
    }
    return file;
}

tl::expected<void, IoError> read_pieces(
    int fd, std::span<char> buffer,
    const std::function<tl::expected<void, IoError>(std::string_view)>& consume) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return tl::unexpected(IoError::from_errno(errno));
        }
        if (n == 0) {
            return {};
        }
        if (auto taken = consume(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            !taken) {
            return taken;
        }
    }
}

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

tl::expected<std::string, IoError> read_file_bytes(const std::string& path, Accept accept) {
    ZDZ_TRY(const auto file, open_for_reading(path, accept));
    return read_to_end(file.get());
}

tl::expected<void, IoError> stream_file_text(const std::string& path, std::size_t chunk_bytes,
                                             const std::function<void(std::string_view)>& consume) {
    ZDZ_TRY(const auto opened, open_for_reading(path));
    const FileDescriptor& file = opened;
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        // A pipe or device can be read only once: take it whole.
        ZDZ_TRY(auto content, read_to_end(file.get()));
        if (!encoding::is_valid_utf8(content)) {
            return tl::unexpected(IoError::not_utf8());
        }
        consume(content);
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

tl::expected<std::string, IoError> read_file_text(const std::string& path, Accept accept) {
    auto content = read_file_bytes(path, accept);
    if (content && !encoding::is_valid_utf8(*content)) {
        return tl::unexpected(IoError::not_utf8());
    }
    return content;
}

}  // namespace zdz::io
