#pragma once

#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "io/directory_lock.hpp"
#include "io/file.hpp"

namespace zdz::io {

enum class FileMode {
    // Read and write for everyone, reduced by the process umask.
    Default,
    // Owner read and write only (0600) from the moment the file is created,
    // before any byte reaches it: the keystore.
    OwnerOnly,
};

// The temporary file beside `path` that write_file_atomically writes first:
// the extension of the file name replaced by "tmp" ("store.json" ->
// "store.tmp", "store" -> "store.tmp", ".store" -> ".store.tmp"). A name
// whose extension already is "tmp" gets ".tmp" appended, so the temporary
// file is never the target itself.
std::string atomic_temp_path(const std::string& path);

// Whether `path` may be written by write_file_atomically as things stand,
// without changing anything: Failed "cannot write PATH: REASON" when `path` is
// a symbolic link ("it is a symbolic link; name the file it leads to") or
// exists as neither a regular file nor a directory ("not a regular file"), or
// "cannot write TMP: REASON" when something other than the leftover of an
// interrupted write of this program sits at its temporary path (a folder
// there gives "Is a directory (os error 21)"). Commands ask it before their
// costly work; write_file_atomically asks it again under the lock.
[[nodiscard]] tl::expected<void, WriteError> check_destination(const std::string& path);

// Whether anything is at `path`: a file of any kind, or a symbolic link
// whether or not it leads anywhere. False when it does not exist or cannot be
// looked at (the write that follows reports why).
bool destination_exists(const std::string& path);

// Whether the temporary path of `destination` is the file `input` names (a
// command's own keystore, store, manifest or image), which no write of
// `destination` may touch.
bool temp_path_is(const std::string& destination, const std::string& input);

// Writes `bytes` to atomic_temp_path(path), flushes it to stable storage,
// renames it over `path` and flushes the directory, so `path` holds either
// its previous content or all of `bytes`.
//
// All of it happens under the DirectoryLock of `path`: `held` when the caller
// already holds that lock (taking it a second time would wait forever), else
// one taken here. Under the lock check_destination decides: the leftover of
// an interrupted write is removed, anything else at the temporary path is
// left alone and refused. The temporary file is created afresh
// (O_EXCL|O_NOFOLLOW) and marked as pending until it has been renamed, which
// is how a later write knows a leftover for what it is. It is given the owner
// and group of the file it replaces where the process may (as root).
//
// Other failures are Failed "cannot write TMP: OS error" (the temporary file
// is removed) or "cannot finalize PATH: OS error" when the rename fails
// (likewise), or the lock's own error. A failure to flush the directory after
// the rename is NotDurable "cannot finalize PATH: OS error": `path` already
// holds all of `bytes`.
[[nodiscard]] tl::expected<void, WriteError> write_file_atomically(
    const std::string& path, std::string_view bytes, FileMode mode = FileMode::Default,
    const DirectoryLock* held = nullptr);

// Why write_file_replacing failed.
struct ReplaceError {
    enum class Kind {
        // Nothing was replaced; `io` holds the errno.
        Failed,
        // The destination exists and is neither a regular file, a link nor a
        // directory; nothing was changed.
        NotRegularFile,
        // The destination is a symbolic link; nothing was changed.
        SymbolicLink,
        // The file was replaced, but flushing its directory failed (`io`).
        NotDurable,
    };
    Kind kind = Kind::Failed;
    IoError io;

    // The OS error text, "not a regular file", or "it is a symbolic link;
    // name the file it leads to".
    std::string display() const;
};

// Replaces `path` with `bytes` through a uniquely named temporary file in the
// same directory (".NAME.XXXXXX"), flushed and then renamed over `path`, so a
// failed write leaves the previous file intact. The new file has the default
// mode and, where the process may, the owner and group of the file it
// replaces. An existing destination that is a link or not a regular file is
// refused as by write_file_atomically. On failure the temporary file is
// removed.
[[nodiscard]] tl::expected<void, ReplaceError> write_file_replacing(const std::string& path,
                                                                    std::string_view bytes);

// Whether writing `destination` would replace `input`: the entry at
// `destination`, or the file a link there leads to, is the file `input` names
// (same device and inode). False when either does not exist.
bool is_same_file(const std::string& destination, const std::string& input);

}  // namespace zdz::io
