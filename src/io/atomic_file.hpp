#pragma once

#include <functional>
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

// The temporary file beside `path` that a TempName::Beside replacement writes
// first: the extension of the file name replaced by "tmp" ("store.json" ->
// "store.tmp", "store" -> "store.tmp", ".store" -> ".store.tmp"). A name
// whose extension already is "tmp" gets ".tmp" appended, so the temporary
// file is never the target itself.
std::string atomic_temp_path(const std::string& path);

// Flushes the folder holding `path` to stable storage, so that a file just
// created there keeps its name after a crash: 0, or the errno of the flush.
// A folder that cannot be opened for reading, or a file system that cannot
// flush folders, leaves nothing to do.
int sync_directory_of(const std::string& path);

// The file beside `path` with the extension of its name replaced by
// `extension`, by the rule of atomic_temp_path: "store.json" -> "store.log".
std::string sibling_path(const std::string& path, std::string_view extension);

// Whether `path` may be replaced by a TempName::Beside replacement as things
// stand, without changing anything: Failed "cannot write PATH: REASON" when
// `path` is a symbolic link ("it is a symbolic link; name the file it leads
// to") or exists as neither a regular file nor a directory ("not a regular
// file"), or "cannot write TMP: REASON" when something other than the leftover
// of an interrupted write of this program sits at its temporary path (a folder
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

// Where the new content is written before it is renamed over the destination.
enum class TempName {
    // atomic_temp_path(path), written under the DirectoryLock of `path`: the
    // stores and keystores. The file is marked as pending from its creation
    // until after its rename, so that the next write recognises what a crash
    // left there, removes it, and refuses to touch anything else there.
    Beside,
    // A fresh ".NAME.XXXXXX" beside `path`, without a lock (NAME shortened to
    // stay within the file-name limit of common file systems): the manifests,
    // of which several may be written into one folder at once.
    Unique,
};

struct ReplaceOptions {
    FileMode mode = FileMode::Default;
    TempName temp = TempName::Beside;
    // TempName::Beside: the caller's DirectoryLock on the folder of `path`,
    // when it holds one (taking it a second time would wait forever); one is
    // taken here otherwise.
    const DirectoryLock* held = nullptr;
    // Run once all of the new bytes are flushed at the temporary path, just
    // before the rename: what must be durable before the new file takes its
    // place (a store's audit log line). Its failure is the write's, the
    // temporary file removed and nothing replaced.
    const std::function<tl::expected<void, WriteError>()>* before_rename = nullptr;
};

// Replaces `path` with `bytes`: writes them to a temporary file created afresh
// (O_EXCL|O_NOFOLLOW), flushes it to stable storage, renames it over `path`
// and flushes the directory, so `path` holds either its previous content or
// all of `bytes`. The new file has the mode `options.mode` asks for and, where
// the process may (as root), the owner and group of the file it replaces. An
// existing destination that is a link or not a regular file is refused, as
// check_destination words it.
//
// The outcome says whether the file was replaced and whether that is durable:
// success; Failed, with nothing replaced ("cannot write TMP: OS error" or
// "cannot finalize PATH: OS error" when the rename fails; the temporary file
// is removed), the lock's own error, or a refusal; or NotDurable "cannot
// finalize PATH: OS error" when flushing the directory after the rename
// failed: `path` already holds all of `bytes`.
[[nodiscard]] tl::expected<void, WriteError> write_file_atomically(
    const std::string& path, std::string_view bytes, const ReplaceOptions& options = {});

// Whether writing `destination` would replace `input`: the entry at
// `destination`, or the file a link there leads to, is the file `input` names
// (same device and inode). False when either does not exist.
bool is_same_file(const std::string& destination, const std::string& input);

}  // namespace zdz::io
