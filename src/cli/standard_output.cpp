#include "cli/standard_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace zdz::cli {

StandardStreams prepare_standard_streams() {
    StandardStreams found;
    // SIG_ERR comes back only for a signal number that does not exist.
    (void)std::signal(SIGPIPE, SIG_IGN);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        if (fd == STDOUT_FILENO) {
            found.output_error = EBADF;
        }
        // open() takes the lowest free descriptor: this one, since those
        // below it are open by now. If even that fails the command still
        // runs; the descriptor stays closed.
        const int null_fd = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            ::close(null_fd);
        }
    }
    return found;
}

DescriptorOutput::DescriptorOutput(int fd, int pending_error)
    : fd_(fd), pending_error_(pending_error) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

bool DescriptorOutput::write_all(const char* data, std::size_t count) {
    if (error_ != 0) {
        return false;
    }
    if (pending_error_ != 0 && count > 0) {
        error_ = pending_error_;
        return false;
    }
    while (count > 0) {
        const ssize_t written = ::write(fd_, data, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = errno;
            return false;
        }
        data += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

bool DescriptorOutput::write_buffered() {
    const auto count = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return write_all(buffer_.data(), count);
}

DescriptorOutput::int_type DescriptorOutput::overflow(int_type ch) {
    if (!write_buffered()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(ch);
        pbump(1);
    }
    return traits_type::not_eof(ch);
}

std::streamsize DescriptorOutput::xsputn(const char* data, std::streamsize count) {
    const auto size = static_cast<std::size_t>(count);
    const auto room = static_cast<std::size_t>(epptr() - pptr());
    if (size <= room) {
        std::memcpy(pptr(), data, size);
        pbump(static_cast<int>(count));
        return count;
    }
    // Larger than what is left: what is buffered goes first, then the new
    // bytes straight from the caller's memory.
    if (!write_buffered() || !write_all(data, size)) {
        return 0;
    }
    return count;
}

int DescriptorOutput::sync() {
    return write_buffered() ? 0 : -1;
}

int DescriptorOutput::finish() {
    write_buffered();
    return error_;
}

}  // namespace zdz::cli
