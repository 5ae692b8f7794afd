#include "store/keystore_update.hpp"

#include <sys/stat.h>

#include <utility>

namespace zdz::store {

namespace {

bool is_symbolic_link(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

tl::expected<KeystoreUpdate, KeystoreUpdateError> KeystoreUpdate::begin(const std::string& path) {
    auto lock = io::DirectoryLock::acquire(path);
    if (!lock) {
        return tl::unexpected(KeystoreUpdateError{KeystoreUpdateError::Kind::Load,
                                                  StoreError::from_write_error(lock.error())});
    }
    auto loaded = load_keystore_with_text(path);
    if (!loaded) {
        return tl::unexpected(
            KeystoreUpdateError{KeystoreUpdateError::Kind::Load, std::move(loaded.error())});
    }
    if (is_symbolic_link(path)) {
        return tl::unexpected(KeystoreUpdateError{KeystoreUpdateError::Kind::SymbolicLink, {}});
    }
    return KeystoreUpdate(path, std::move(*lock), std::move(*loaded));
}

tl::expected<void, ReplacementError> KeystoreUpdate::replace(const SealedSigningKey& resealed,
                                                             const crypto::Secret& passphrase,
                                                             const crypto::SigningKey& key,
                                                             const contracts::Timestamp& now) {
    const auto confirm = [&]() -> tl::expected<void, std::string> {
        const auto on_disk = load_keystore(path_);
        if (!on_disk) {
            return tl::unexpected(on_disk.error().display());
        }
        if (write_keystore_json(*on_disk) != write_keystore_json(resealed)) {
            return tl::unexpected(std::string("the file holds another keystore"));
        }
        const auto reopened = unseal_signing_key(*on_disk, passphrase.bytes(), now);
        if (!reopened) {
            return tl::unexpected("it does not open with the new passphrase: " +
                                  reopened.error().display());
        }
        if (!(reopened->verifying_key() == key.verifying_key())) {
            return tl::unexpected(std::string("it opens to another key"));
        }
        return {};
    };
    return replace_confirmed(
        {path_, loaded_.text, io::FileMode::OwnerOnly, lock_},
        [&] { return save_keystore(resealed, path_, &lock_); }, confirm);
}

}  // namespace zdz::store
