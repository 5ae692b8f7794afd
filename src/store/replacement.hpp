#pragma once

// Replacing a file and reading it back before the replacement counts: the
// keystore whose passphrase changes, the store that moves to a new key.

#include <functional>
#include <string>
#include <tl/expected.hpp>

#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "store/errors.hpp"

namespace zdz::store {

// Why replace_confirmed did not leave the confirmed new file in place.
enum class ReplacementFailure {
    // The write failed (`error`): the previous file is unchanged.
    NotWritten,
    // The new file did not read back as meant (`unconfirmed`), and the
    // previous bytes were put back.
    PutBack,
    // Likewise, and putting the previous bytes back failed too (`error`).
    NotPutBack,
    // The new file is in place and read back, but flushing its folder failed
    // (`error`): it may not survive a crash.
    NotDurable,
};
struct ReplacementError : StoreFailure<ReplacementFailure> {
    // Why the new file did not read back as meant.
    std::string unconfirmed;
};

// A file to replace under its folder's lock: its bytes as read under `lock`
// are what is put back when the replacement does not read back.
struct Replacement {
    const std::string& path;
    const std::string& previous;
    io::FileMode mode;
    const io::DirectoryLock& lock;
};

// Runs `write` (an atomic replacement of the file under the lock), then
// `confirm`, which reads the file back ("why not" on failure). The file holds
// the old content or the confirmed new one, whatever fails.
[[nodiscard]] tl::expected<void, ReplacementError> replace_confirmed(
    const Replacement& file, const std::function<tl::expected<void, StoreError>()>& write,
    const std::function<tl::expected<void, std::string>()>& confirm);

}  // namespace zdz::store
