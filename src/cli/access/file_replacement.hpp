#pragma once

// Replacing a file and reading it back before the command reports:
// change-passphrase's keystore, rekey-store's registry store.

#include <functional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "trust/errors.hpp"

namespace zdz::cli {

// A file that a command replaces and then reads back before it reports.
struct Replacement {
    std::string_view noun;  // "keystore", "store"
    const std::string& path;
    // The file's bytes before, as read under `lock`.
    const std::string& previous;
    io::FileMode mode;
    const io::DirectoryLock& lock;
};

// Runs `write` (an atomic replacement of the file under the lock), then
// `confirm`, which reads the file back. A write that fails has left the
// previous file alone. A file that does not read back as meant is replaced
// by the previous bytes again, atomically and under the same lock: the file
// holds the old content or the confirmed new one, whatever fails. A folder
// flush that failed after the rename is reported once the file is confirmed,
// as keygen and promote report it.
[[nodiscard]] tl::expected<void, CommandError> replace_confirmed(
    const Replacement& r, const std::function<tl::expected<void, trust::TrustError>()>& write,
    const std::function<tl::expected<void, std::string>()>& confirm);

}  // namespace zdz::cli
