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
#include "encoding/try.hpp"
#include "io/directory_lock.hpp"

namespace zdz::io {
namespace {

constexpr std::string_view kTempExtension = "tmp";
constexpr mode_t kDefaultCreateMode = 0666;
constexpr mode_t kOwnerOnlyMode = 0600;

// TempName::Unique: ".NAME.XXXXXX", with NAME shortened so that the
// temporary name stays within the file-name limit of common file systems.
constexpr std::size_t kReplacingNameMax = 200;
constexpr std::size_t kReplacingSuffixLength = 6;
constexpr int kReplacingAttempts = 100;
constexpr std::string_view kSuffixAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

constexpr std::string_view kCannotWrite = "cannot write ";
constexpr std::string_view kCannotFinalize = "cannot finalize ";

// The mark of a temporary file this program is writing: the sticky bit, which
// nothing else sets on a regular file and which means nothing there. It is set
// from the file's creation until after its rename, so whatever a crash leaves
// at the temporary path carries it, and a file put there by anyone else (a
// keystore named "store.tmp" beside "store.json") does not.
constexpr mode_t kPendingMark = S_ISVTX;
constexpr mode_t kPermissionBits = 0777;

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

// Writes and flushes; 0 or an errno.
int write_sync(int fd, std::string_view bytes) {
    int err = write_all(fd, bytes);
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    return err;
}

// Closes `fd`; 0 or an errno. close can report a deferred write error
// (network file systems).
int close_reporting(int fd) {
    return ::close(fd) != 0 && errno != EINTR ? errno : 0;
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

WriteError write_error(WriteError::Kind kind, std::string_view what, const std::string& path,
                       const std::string& reason) {
    return WriteError{kind, std::string(what) + path + ": " + reason, reason};
}

WriteError storage_failure(std::string_view what, const std::string& path, int err) {
    return write_error(WriteError::Kind::Failed, what, path, contracts::os_error_text(err));
}

WriteError refusal(const std::string& path, std::string_view reason) {
    return write_error(WriteError::Kind::Failed, kCannotWrite, path, std::string(reason));
}

// Why an existing destination may not be replaced by a rename, or nullopt
// when it may: it is a regular file; a directory, which makes the rename fail
// with its own error; or nothing at all. A link is refused rather than
// replaced by a file: whoever reads the file through the link would go on
// reading the old one, and a writer that names the real file would not be
// serialised with this one. A FIFO, a device or a socket is not a file this
// program wrote, and replacing a device node (/dev/null, as root) would
// break the system. A failure to look the path up is left to the write itself
// to report.
std::optional<std::string_view> destination_refusal(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    if (S_ISLNK(st.st_mode)) {
        return "it is a symbolic link; name the file it leads to";
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        return "not a regular file";
    }
    return std::nullopt;
}

bool is_leftover(const struct stat& st) {
    return S_ISREG(st.st_mode) && (st.st_mode & kPendingMark) != 0 && st.st_uid == ::geteuid() &&
           st.st_nlink == 1;
}

// Whether the temporary path is free to be written: nothing there, or the
// leftover of a write of ours that did not finish (see kPendingMark). Anything
// else is refused and left as it is.
tl::expected<void, WriteError> check_temp_path(const std::string& temp_path) {
    struct stat st {};
    if (::lstat(temp_path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return {};
        }
        return tl::unexpected(storage_failure(kCannotWrite, temp_path, errno));
    }
    if (S_ISDIR(st.st_mode)) {
        return tl::unexpected(storage_failure(kCannotWrite, temp_path, EISDIR));
    }
    if (!is_leftover(st)) {
        return tl::unexpected(refusal(temp_path,
                                      "it already exists and was not left by an interrupted "
                                      "write of this program; move it away first"));
    }
    return {};
}

// Gives the new file the owner and group of the file it replaces, so that
// root replacing another user's keystore does not lock its owner out. Only
// root may give a file away: for anyone else a file of another owner becomes
// theirs, as any replacement by rename does.
void keep_owner(int fd, const std::string& path) {
    struct stat previous {};
    struct stat created {};
    if (::lstat(path.c_str(), &previous) != 0 || !S_ISREG(previous.st_mode) ||
        ::fstat(fd, &created) != 0) {
        return;
    }
    if (previous.st_uid != created.st_uid || previous.st_gid != created.st_gid) {
        // Refused for a user who may not: the file stays theirs.
        (void)::fchown(fd, previous.st_uid, previous.st_gid);
    }
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
int create_unique_temp(const std::string& path, mode_t mode, std::string& temp_path) {
    const std::size_t start = name_start(path);
    const std::string stem =
        path.substr(0, start) + "." + path.substr(start, kReplacingNameMax) + ".";
    for (int attempt = 0; attempt < kReplacingAttempts; ++attempt) {
        temp_path = stem + random_suffix();
        const int fd =
            ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string sibling_path(const std::string& path, std::string_view extension) {
    const std::size_t start = name_start(path);
    const auto dot = path.find_last_of('.');
    // A leading dot marks a hidden file, not an extension.
    if (dot == std::string::npos || dot <= start ||
        std::string_view(path).substr(dot + 1) == extension) {
        return path + "." + std::string(extension);
    }
    return path.substr(0, dot + 1) + std::string(extension);
}

int sync_directory_of(const std::string& path) {
    return sync_directory(path);
}

std::string atomic_temp_path(const std::string& path) {
    return sibling_path(path, kTempExtension);
}

tl::expected<void, WriteError> check_destination(const std::string& path) {
    if (const auto refused = destination_refusal(path)) {
        return tl::unexpected(refusal(path, *refused));
    }
    return check_temp_path(atomic_temp_path(path));
}

bool destination_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool temp_path_is(const std::string& destination, const std::string& input) {
    return is_same_file(atomic_temp_path(destination), input);
}

tl::expected<void, WriteError> write_file_atomically(const std::string& path,
                                                     std::string_view bytes,
                                                     const ReplaceOptions& options) {
    const bool beside = options.temp == TempName::Beside;
    // A Beside write holds the lock on the folder to its end: the caller's,
    // or one taken here.
    std::optional<DirectoryLock> own_lock;
    if (beside && (options.held == nullptr || !options.held->guards(path))) {
        ZDZ_TRY(auto lock, DirectoryLock::acquire(path));
        own_lock.emplace(std::move(lock));
    }
    std::string temp_path;
    const bool owner_only = options.mode == FileMode::OwnerOnly;
    const mode_t create_mode = owner_only ? kOwnerOnlyMode : kDefaultCreateMode;
    int fd = -1;
    if (beside) {
        // Under the lock no writer of ours is using the temporary path: what
        // carries the mark there is the leftover of one that did not finish.
        if (auto writable = check_destination(path); !writable) {
            return writable;
        }
        temp_path = atomic_temp_path(path);
        if (::unlink(temp_path.c_str()) != 0 && errno != ENOENT) {
            return tl::unexpected(storage_failure(kCannotWrite, temp_path, errno));
        }
        fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    create_mode | kPendingMark);
    } else {
        if (const auto refused = destination_refusal(path)) {
            return tl::unexpected(refusal(path, *refused));
        }
        fd = create_unique_temp(path, create_mode, temp_path);
    }
    if (fd < 0) {
        return tl::unexpected(storage_failure(kCannotWrite, beside ? temp_path : path, errno));
    }
    const auto failed = [&](std::string_view what, const std::string& named, int err) {
        ::close(fd);
        ::unlink(temp_path.c_str());
        return tl::unexpected(storage_failure(what, named, err));
    };
    // The permissions the file ends with: exactly 0600 for a keystore, whatever
    // the umask took away; the umask's choice otherwise.
    struct stat created {};
    if (::fstat(fd, &created) != 0) {
        return failed(kCannotWrite, temp_path, errno);
    }
    const mode_t permissions = owner_only ? kOwnerOnlyMode : created.st_mode & kPermissionBits;
    const mode_t mark = beside ? kPendingMark : 0;
    if (::fchmod(fd, permissions | mark) != 0) {
        return failed(kCannotWrite, temp_path, errno);
    }
    keep_owner(fd, path);
    if (const int err = write_sync(fd, bytes); err != 0) {
        return failed(kCannotWrite, temp_path, err);
    }
    if (options.before_rename != nullptr) {
        if (auto ready = (*options.before_rename)(); !ready) {
            ::close(fd);
            ::unlink(temp_path.c_str());
            return ready;
        }
    }
    if (::rename(temp_path.c_str(), path.c_str()) != 0) {
        return failed(kCannotFinalize, path, errno);
    }
    // The new file is in place from here on, whatever happens next. Its mark
    // goes once it is no longer at the temporary path; a crash before that
    // leaves a marked file in place, which nothing reads the mark of.
    int err = mark != 0 && ::fchmod(fd, permissions) != 0 ? errno : 0;
    if (const int closed = close_reporting(fd); err == 0) {
        err = closed;
    }
    if (err == 0) {
        err = sync_directory(path);
    }
    if (err != 0) {
        return tl::unexpected(write_error(WriteError::Kind::NotDurable, kCannotFinalize, path,
                                          contracts::os_error_text(err)));
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
