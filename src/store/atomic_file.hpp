#pragma once

#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/fs.hpp"
#include "trust/errors.hpp"

namespace zdz::store {

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

// Writes `bytes` to atomic_temp_path(path), flushes it to stable storage,
// renames it over `path` and flushes the directory, so `path` holds either
// its previous content or all of `bytes`. Failures are StorageFailed with
// "cannot write TMP: OS error" or "cannot finalize PATH: OS error"; the
// temporary file is removed on every failure.
tl::expected<void, trust::TrustError> write_file_atomically(const std::string& path,
                                                            std::string_view bytes,
                                                            FileMode mode = FileMode::Default);

// Replaces `path` with `bytes` through a uniquely named temporary file in the
// same directory (".NAME.XXXXXX"), flushed and then renamed over `path`, so a
// failed write leaves the previous file intact. The new file has the default
// mode. On failure the temporary file is removed and the errno is returned.
tl::expected<void, contracts::IoError> write_file_replacing(const std::string& path,
                                                            std::string_view bytes);

}  // namespace zdz::store
