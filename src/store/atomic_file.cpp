#include "store/atomic_file.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zdz::store {
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

// Index just past the last '/', 0 for a bare file name.
std::size_t name_start(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

// The directory whose entry a rename changes, for flushing it afterwards.
std::string directory_of(const std::string& path) {
    const std::size_t start = name_start(path);
    if (start == 0) {
        return ".";
    }
    if (start == 1) {
        return "/";
    }
    return path.substr(0, start - 1);
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
    const int fd = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    int err = 0;
    if (::fsync(fd) != 0 && errno != EINVAL) {
        err = errno;
    }
    ::close(fd);
    return err;
}

trust::TrustError storage_failure(std::string_view what, const std::string& path, int err) {
    return trust::TrustError::storage_failed(std::string(what) + path + ": " +
                                             contracts::os_error_text(err));
}

std::string random_suffix() {
    static const bool ready = sodium_init() >= 0;
    (void)ready;
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

tl::expected<void, trust::TrustError> write_file_atomically(const std::string& path,
                                                            std::string_view bytes, FileMode mode) {
    const std::string temp_path = atomic_temp_path(path);
    const bool owner_only = mode == FileMode::OwnerOnly;
    const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                          owner_only ? kOwnerOnlyMode : kDefaultCreateMode);
    if (fd < 0) {
        return tl::unexpected(storage_failure(kCannotWrite, temp_path, errno));
    }
    // O_CREAT leaves the mode of a temporary file left over from an earlier
    // failure as it was; tighten it before any byte is written.
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
    if (const int err = sync_directory(path); err != 0) {
        return tl::unexpected(storage_failure(kCannotFinalize, path, err));
    }
    return {};
}

tl::expected<void, contracts::IoError> write_file_replacing(const std::string& path,
                                                            std::string_view bytes) {
    std::string temp_path;
    const int fd = create_unique_temp(path, temp_path);
    if (fd < 0) {
        return tl::unexpected(contracts::IoError::from_errno(errno));
    }
    if (const int err = write_sync_close(fd, bytes); err != 0) {
        ::unlink(temp_path.c_str());
        return tl::unexpected(contracts::IoError::from_errno(err));
    }
    if (::rename(temp_path.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp_path.c_str());
        return tl::unexpected(contracts::IoError::from_errno(err));
    }
    if (const int err = sync_directory(path); err != 0) {
        return tl::unexpected(contracts::IoError::from_errno(err));
    }
    return {};
}

}  // namespace zdz::store
