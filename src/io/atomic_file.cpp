#include "io/atomic_file.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "contracts/errors.hpp"
#include "crypto/sodium.hpp"
#include "io/directory_lock.hpp"

namespace zdz::io {
namespace {

constexpr std::string_view kTempExtension = "tmp";
constexpr mode_t kDefaultCreateMode = 0666;
constexpr mode_t kOwnerOnlyMode = 0600;

// write_file_replacing: ".NAME.XXXXXX", with NAME shortened so that the
// temporary name stays within the file-name limit of common file systems.
constexpr std::size_t kReplacingNameMax = 200;
constexpr std::size_t kReplacingSuffixLength = 6;
constexpr int kReplacingAttempts = 100;
constexpr std::string_view kSuffixAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

constexpr std::string_view kCannotWrite = "cannot write ";
constexpr std::string_view kCannotFinalize = "cannot finalize ";
constexpr std::string_view kNotRegularFile = "not a regular file";

// Index just past the last '/', 0 for a bare file name.
std::size_t name_start(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

// 0 on success, else the errno of the failing call.
int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// Writes, flushes and closes `fd` (closed whatever happens); 0 or an errno.
int write_sync_close(int fd, std::string_view bytes) {
    int err = write_all(fd, bytes);
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    // close can report a deferred write error (network file systems).
    if (::close(fd) != 0 && err == 0 && errno != EINTR) {
        err = errno;
    }
    return err;
}

// Makes a rename durable. A directory we may not open for reading, or a file
// system that cannot flush directories, leaves nothing more to do: the rename
// itself has happened.
int sync_directory(const std::string& path) {
    const FileDescriptor directory(
        ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) {
        return 0;
    }
    if (::fsync(directory.get()) != 0 && errno != EINVAL) {
        return errno;
    }
    return 0;
}

WriteError storage_failure(std::string_view what, const std::string& path, int err) {
    return WriteError{WriteError::Kind::Failed,
                      std::string(what) + path + ": " + contracts::os_error_text(err)};
}

// Whether an existing destination may be replaced by a rename: a regular
// file; a link, which the rename replaces without touching what it leads to;
// a directory, which makes the rename fail with its own error; or nothing at
// all. A FIFO, a device or a socket is not a file this program wrote, and
// replacing a device node (/dev/null, as root) would break the system. A
// failure to look the path up is left to the write itself to report.
bool replaceable(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return true;
    }
    return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode);
}

std::string random_suffix() {
    crypto::start_sodium_best_effort();
    std::string suffix(kReplacingSuffixLength, '\0');
    for (char& c : suffix) {
        c = kSuffixAlphabet[randombytes_uniform(
            static_cast<std::uint32_t>(kSuffixAlphabet.size()))];
    }
    return suffix;
}

// Creates a fresh ".NAME.XXXXXX" beside `path`; the fd, or -1 with errno set.
int create_unique_temp(const std::string& path, std::string& temp_path) {
    const std::size_t start = name_start(path);
    const std::string stem =
        path.substr(0, start) + "." + path.substr(start, kReplacingNameMax) + ".";
    for (int attempt = 0; attempt < kReplacingAttempts; ++attempt) {
        temp_path = stem + random_suffix();
        const int fd =
            ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kDefaultCreateMode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string atomic_temp_path(const std::string& path) {
    const std::size_t start = name_start(path);
    const auto dot = path.find_last_of('.');
    // A leading dot marks a hidden file, not an extension.
    if (dot == std::string::npos || dot <= start ||
        std::string_view(path).substr(dot + 1) == kTempExtension) {
        return path + "." + std::string(kTempExtension);
    }
    return path.substr(0, dot + 1) + std::string(kTempExtension);
}

tl::expected<void, WriteError> write_file_atomically(const std::string& path,
                                                     std::string_view bytes, FileMode mode,
                                                     const DirectoryLock* held) {
    // Without the caller's lock on this directory, one is taken here and held
    // to the end of the write.
    std::optional<DirectoryLock> own_lock;
    if (held == nullptr || !held->guards(path)) {
        auto lock = DirectoryLock::acquire(path);
        if (!lock) {
            return tl::unexpected(std::move(lock.error()));
        }
        own_lock.emplace(std::move(*lock));
    }
    if (!replaceable(path)) {
        return tl::unexpected(
            WriteError{WriteError::Kind::Failed,
                       std::string(kCannotWrite) + path + ": " + std::string(kNotRegularFile)});
    }
    const std::string temp_path = atomic_temp_path(path);
    // Whatever is at the temporary path is left over from a write that did
    // not finish, or was put there: it is removed, never opened. Under the
    // lock no writer of ours can be using it.
    if (::unlink(temp_path.c_str()) != 0 && errno != ENOENT) {
        return tl::unexpected(storage_failure(kCannotWrite, temp_path, errno));
    }
    const bool owner_only = mode == FileMode::OwnerOnly;
    const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          owner_only ? kOwnerOnlyMode : kDefaultCreateMode);
    if (fd < 0) {
        return tl::unexpected(storage_failure(kCannotWrite, temp_path, errno));
    }
    // The umask may have taken the owner's own write or read permission away;
    // a keystore is exactly 0600.
    if (owner_only && ::fchmod(fd, kOwnerOnlyMode) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp_path.c_str());
        return tl::unexpected(storage_failure(kCannotWrite, temp_path, err));
    }
    if (const int err = write_sync_close(fd, bytes); err != 0) {
        ::unlink(temp_path.c_str());
        return tl::unexpected(storage_failure(kCannotWrite, temp_path, err));
    }
    if (::rename(temp_path.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp_path.c_str());
        return tl::unexpected(storage_failure(kCannotFinalize, path, err));
    }
    // The new file is in place from here on, whatever happens next.
    if (const int err = sync_directory(path); err != 0) {
        return tl::unexpected(
            WriteError{WriteError::Kind::NotDurable,
                       std::string(kCannotFinalize) + path + ": " + contracts::os_error_text(err)});
    }
    return {};
}

std::string ReplaceError::display() const {
    if (kind == Kind::NotRegularFile) {
        return std::string(kNotRegularFile);
    }
    return io.display();
}

tl::expected<void, ReplaceError> write_file_replacing(const std::string& path,
                                                      std::string_view bytes) {
    const auto failed = [](ReplaceError::Kind kind, int err) {
        return tl::unexpected(ReplaceError{kind, IoError::from_errno(err)});
    };
    if (!replaceable(path)) {
        return failed(ReplaceError::Kind::NotRegularFile, 0);
    }
    std::string temp_path;
    const int fd = create_unique_temp(path, temp_path);
    if (fd < 0) {
        return failed(ReplaceError::Kind::Failed, errno);
    }
    if (const int err = write_sync_close(fd, bytes); err != 0) {
        ::unlink(temp_path.c_str());
        return failed(ReplaceError::Kind::Failed, err);
    }
    if (::rename(temp_path.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp_path.c_str());
        return failed(ReplaceError::Kind::Failed, err);
    }
    if (const int err = sync_directory(path); err != 0) {
        return failed(ReplaceError::Kind::NotDurable, err);
    }
    return {};
}

bool is_same_file(const std::string& destination, const std::string& input) {
    struct stat in {};
    if (::stat(input.c_str(), &in) != 0) {
        return false;
    }
    const auto same = [&](const struct stat& st) {
        return st.st_dev == in.st_dev && st.st_ino == in.st_ino;
    };
    struct stat entry {};
    struct stat target {};
    return (::lstat(destination.c_str(), &entry) == 0 && same(entry)) ||
           (::stat(destination.c_str(), &target) == 0 && same(target));
}

}  // namespace zdz::io
