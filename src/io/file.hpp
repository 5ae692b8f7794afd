#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

namespace zdz::io {

// The most read whole from a pipe or a device, whose size is not known before
// it is read: enough for any file the commands read through a pipe, and a
// bound on what a source without end (/dev/zero) can cost.
inline constexpr std::size_t kUnsizedReadLimit = std::size_t{256} << 20;

// A failed file operation: the errno of the failing call (ENOMEM when the
// memory for the content could not be had), a text read that failed the UTF-8
// check, a pipe or device that gave more than kUnsizedReadLimit bytes, or an
// image path that names neither a regular file nor a block device, or a path
// that had to name a regular file and names something else.
struct IoError {
    enum class Kind { Os, NotUtf8, TooLarge, NotImage, NotRegular };

    Kind kind = Kind::Os;
    // Os: the errno; 0 for the other kinds.
    int code = 0;

    static IoError from_errno(int code) { return IoError{Kind::Os, code}; }
    static IoError not_utf8() { return IoError{Kind::NotUtf8, 0}; }
    static IoError too_large() { return IoError{Kind::TooLarge, 0}; }
    static IoError not_image() { return IoError{Kind::NotImage, 0}; }
    static IoError not_regular() { return IoError{Kind::NotRegular, 0}; }

    // "No such file or directory (os error 2)", "stream did not contain
    // valid UTF-8" for a text that failed the UTF-8 check, "file is larger
    // than 268435456 bytes, the most read from a pipe or device", "not a
    // regular file or block device" for an image that is neither, or "not a
    // regular file".
    std::string display() const;

    friend bool operator==(const IoError&, const IoError&) = default;
};

// Why a replacement of a file (io/atomic_file.hpp) failed. Failed: nothing was
// replaced. NotDurable: the file was replaced, but flushing its directory
// failed, so the new file is in place and may not survive a crash.
struct WriteError {
    enum class Kind { Failed, NotDurable };
    Kind kind = Kind::Failed;
    // The whole account, naming the file it concerns: "cannot write TMP:
    // REASON", "cannot finalize PATH: REASON", "cannot lock DIR: REASON" or
    // "cannot write PATH: REASON".
    std::string detail;
    // REASON alone: an OS error text, or why the file was refused.
    std::string reason;

    const std::string& display() const { return detail; }
};

// Owns an open file descriptor and closes it when destroyed; -1 holds
// nothing. Move-only.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release();

private:
    int fd_ = -1;
};

// What a path that is read whole may name.
enum class Accept {
    // A regular file, or a pipe or device read up to kUnsizedReadLimit bytes
    // (`--signers-file <(cat file)`).
    AnyFile,
    // A regular file only: the stores and keystores, which are only ever
    // files this program wrote. Anything else is NotRegular (a directory is
    // EISDIR) before a byte is read, so a FIFO or a device can neither hang
    // the command nor fill its memory.
    RegularFile,
};

// Opens `path` for reading and checks what was opened, through the same
// descriptor, against `accept`. A FIFO without a writer cannot make the open
// wait: it does not block, and blocking reads are restored once it has
// succeeded, so a pipe is still read to its end.
[[nodiscard]] tl::expected<FileDescriptor, IoError> open_for_reading(
    const std::string& path, Accept accept = Accept::AnyFile);

// Reads `fd` from where it stands to its end, in pieces of at most
// buffer.size() bytes handed to `consume` in order; a read that a signal
// interrupts is retried. An error that `consume` returns stops the reading and
// is returned; a failing read is its errno.
[[nodiscard]] tl::expected<void, IoError> read_pieces(
    int fd, std::span<char> buffer,
    const std::function<tl::expected<void, IoError>(std::string_view)>& consume);

// The directory that holds `path`, whose entry a rename changes: "." for a
// bare file name, "/" for a name right under the root.
std::string directory_of(const std::string& path);

// Reads a whole file that `accept` allows: a regular file straight into the
// result at its size (and on to its end, should it have grown), a pipe or
// device up to kUnsizedReadLimit bytes. Memory that cannot be had is ENOMEM.
[[nodiscard]] tl::expected<std::string, IoError> read_file_bytes(const std::string& path,
                                                                 Accept accept = Accept::AnyFile);

// Reads a whole file as read_file_bytes does and checks that it is valid UTF-8.
[[nodiscard]] tl::expected<std::string, IoError> read_file_text(const std::string& path,
                                                                Accept accept = Accept::AnyFile);

// A text file of any size in pieces of at most `chunk_bytes`, so that memory
// stays flat: a regular file is read twice, first to check that all of it is
// valid UTF-8 and then to hand each piece to `consume` (a piece may end inside
// a line or a character). Unless the file changes between the passes, nothing
// is handed over from a file that read_file_text would refuse. A pipe or
// device is read whole (as read_file_text reads it) and handed over in one
// piece. Memory for the reading itself that cannot be had is ENOMEM.
[[nodiscard]] tl::expected<void, IoError> stream_file_text(
    const std::string& path, std::size_t chunk_bytes,
    const std::function<void(std::string_view)>& consume);

}  // namespace zdz::io
