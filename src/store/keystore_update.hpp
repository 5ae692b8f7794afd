#pragma once

// A keystore replaced in place (a new passphrase): read under the lock of its
// folder and held until the new one has been read back, so that another
// writer in this folder (a keygen onto the same file, a second passphrase
// change) waits instead of being undone unseen.

#include <string>
#include <tl/expected.hpp>

#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "crypto/secret.hpp"
#include "io/directory_lock.hpp"
#include "store/errors.hpp"
#include "store/keystore.hpp"
#include "store/replacement.hpp"

namespace zdz::store {

// Why a keystore cannot be replaced in place.
enum class KeystoreUpdateFailure {
    // The lock or the load failed (`error`).
    Load,
    // The path is a symbolic link: the rename would replace the link, not the
    // file it leads to, which would go on opening as before.
    SymbolicLink,
};
using KeystoreUpdateError = StoreFailure<KeystoreUpdateFailure>;

class KeystoreUpdate {
public:
    [[nodiscard]] static tl::expected<KeystoreUpdate, KeystoreUpdateError> begin(
        const std::string& path);

    const SealedSigningKey& record() const { return loaded_.record; }

    // Replaces the keystore with `resealed` and reads it back: it must be that
    // record, and open with `passphrase` to `key` at `now`; else the previous
    // bytes are put back.
    [[nodiscard]] tl::expected<void, ReplacementError> replace(const SealedSigningKey& resealed,
                                                               const crypto::Secret& passphrase,
                                                               const crypto::SigningKey& key,
                                                               const contracts::Timestamp& now);

private:
    KeystoreUpdate(std::string path, io::DirectoryLock lock, LoadedKeystore loaded)
        : path_(std::move(path)), lock_(std::move(lock)), loaded_(std::move(loaded)) {}

    std::string path_;
    io::DirectoryLock lock_;
    LoadedKeystore loaded_;
};

}  // namespace zdz::store
