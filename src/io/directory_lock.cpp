#include "io/directory_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "contracts/errors.hpp"
#include "io/atomic_file.hpp"

namespace zdz::io {
namespace {

constexpr std::string_view kCannotLock = "cannot lock ";

}  // namespace

tl::expected<DirectoryLock, WriteError> DirectoryLock::acquire(const std::string& path) {
    const auto directory = directory_of(path);
    const auto failure = [&](int err) {
        const std::string reason = contracts::os_error_text(err);
        return tl::unexpected(WriteError{WriteError::Kind::Failed,
                                         std::string(kCannotLock) + directory + ": " + reason,
                                         reason});
    };
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            return DirectoryLock(FileDescriptor());
        }
        return failure(err);
    }
    while (::flock(fd.get(), LOCK_EX) != 0) {
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        return failure(err);
    }
    return DirectoryLock(std::move(fd));
}

bool DirectoryLock::guards(const std::string& path) const {
    struct stat locked {};
    struct stat directory {};
    return fd_.valid() && ::fstat(fd_.get(), &locked) == 0 &&
           ::stat(directory_of(path).c_str(), &directory) == 0 &&
           locked.st_dev == directory.st_dev && locked.st_ino == directory.st_ino;
}

}  // namespace zdz::io
