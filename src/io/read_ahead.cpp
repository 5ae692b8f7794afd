#include "io/read_ahead.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

namespace zdz::io {
namespace {

// The pieces in flight between the reading thread and the caller: a ring of
// buffers, each filled by the reader and then handed to the caller, in turn.
class PieceRing {
public:
    // At least one piece of at least one byte: a ring of none would never
    // move, and a piece of none would read as the end of the file.
    PieceRing(std::size_t piece_bytes, std::size_t depth)
        : buffers_(std::max<std::size_t>(depth, 1),
                   std::vector<char>(std::max<std::size_t>(piece_bytes, 1))),
          sizes_(buffers_.size()) {}

    // The reading thread: fills free buffers until the end of the file, a
    // failed read or stop().
    void fill(int fd) {
        for (std::size_t piece = 0;; ++piece) {
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock,
                              [&] { return stopped_ || filled_ - emptied_ < buffers_.size(); });
                if (stopped_) {
                    return;
                }
            }
            auto& buffer = buffers_[piece % buffers_.size()];
            ssize_t n = 0;
            do {
                n = ::read(fd, buffer.data(), buffer.size());
            } while (n < 0 && errno == EINTR);
            const int error = n < 0 ? errno : 0;
            {
                const std::lock_guard lock(mutex_);
                if (n > 0) {
                    sizes_[piece % buffers_.size()] = static_cast<std::size_t>(n);
                    ++filled_;
                } else {
                    ended_ = true;
                    read_errno_ = error;
                }
            }
            changed_.notify_all();
            if (n <= 0) {
                return;
            }
        }
    }

    // The caller's thread: each piece in order, then the reader's outcome.
    tl::expected<void, IoError> drain(
        const std::function<tl::expected<void, IoError>(std::string_view)>& consume) {
        for (std::size_t piece = 0;; ++piece) {
            std::size_t size = 0;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return filled_ > piece || ended_; });
                if (filled_ <= piece) {
                    if (read_errno_ != 0) {
                        return tl::unexpected(IoError::from_errno(read_errno_));
                    }
                    return {};
                }
                size = sizes_[piece % buffers_.size()];
            }
            auto consumed = consume({buffers_[piece % buffers_.size()].data(), size});
            if (!consumed) {
                return consumed;
            }
            {
                const std::lock_guard lock(mutex_);
                ++emptied_;
            }
            changed_.notify_all();
        }
    }

    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }

    std::span<char> first_buffer() { return buffers_.front(); }

private:
    std::vector<std::vector<char>> buffers_;
    std::vector<std::size_t> sizes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t filled_ = 0;   // pieces the reader has handed over
    std::size_t emptied_ = 0;  // pieces the caller is done with
    bool ended_ = false;       // no more pieces: end of file or read_errno_
    int read_errno_ = 0;
    bool stopped_ = false;
};

// Stops the reader and waits for it, however the caller leaves.
class JoinedReader {
public:
    JoinedReader(PieceRing& ring, int fd) : ring_(ring), thread_([&ring, fd] { ring.fill(fd); }) {}
    ~JoinedReader() {
        ring_.stop();
        thread_.join();
    }
    JoinedReader(const JoinedReader&) = delete;
    JoinedReader& operator=(const JoinedReader&) = delete;

private:
    PieceRing& ring_;
    std::thread thread_;
};

}  // namespace

tl::expected<void, IoError> read_pieces_ahead(
    int fd, std::size_t piece_bytes, std::size_t depth,
    const std::function<tl::expected<void, IoError>(std::string_view)>& consume) {
    PieceRing ring(piece_bytes, depth);
    std::optional<JoinedReader> reader;
    try {
        reader.emplace(ring, fd);
    } catch (const std::system_error&) {
        // No second thread: the same reads on this one.
        return read_pieces(fd, ring.first_buffer(), consume);
    }
    return ring.drain(consume);
}

}  // namespace zdz::io
