#pragma once

#include <string>
#include <tl/expected.hpp>
#include <utility>

#include "io/file.hpp"

namespace zdz::io {

// An exclusive advisory lock (flock) on the directory that holds a file, so
// that the writers of the files in it follow one another: promotions against
// one store, keygens onto one keystore. No lock file is created. Released when
// destroyed.
class DirectoryLock {
public:
    // Locks the directory that holds `path`, blocking until the lock is held.
    // A directory that does not exist yields a lock that holds nothing, so
    // that the write reports its own error; any other failure is
    // "cannot lock DIR: ...".
    [[nodiscard]] static tl::expected<DirectoryLock, WriteError> acquire(const std::string& path);

    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    DirectoryLock(DirectoryLock&&) noexcept = default;
    DirectoryLock& operator=(DirectoryLock&&) noexcept = default;
    ~DirectoryLock() = default;

    bool held() const { return fd_.valid(); }

    // Whether this lock is held on the directory that holds `path` (the same
    // directory by device and inode, however the two paths name it).
    bool guards(const std::string& path) const;

private:
    // Closing the descriptor releases the lock.
    explicit DirectoryLock(FileDescriptor fd) : fd_(std::move(fd)) {}

    FileDescriptor fd_;
};

}  // namespace zdz::io
