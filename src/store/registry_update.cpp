#include "store/registry_update.hpp"

#include <utility>

#include "store/registry_file.hpp"

namespace zdz::store {

using trust::TrustError;

tl::expected<RegistryUpdate, RegistryUpdateError> RegistryUpdate::begin(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    bool absent_starts_empty) {
    auto lock = io::DirectoryLock::acquire(path);
    if (!lock) {
        return tl::unexpected(RegistryUpdateError{RegistryUpdateError::Kind::Lock,
                                                  TrustError::from_write_error(lock.error())});
    }
    RegistryUpdate update(path, std::move(*lock));
    auto loaded = load_registry_store(path, key, now, update.previous_);
    if (!loaded) {
        return tl::unexpected(
            RegistryUpdateError{RegistryUpdateError::Kind::Load, std::move(loaded.error())});
    }
    if (!loaded->has_value() && !absent_starts_empty) {
        return tl::unexpected(RegistryUpdateError{RegistryUpdateError::Kind::Absent, {}});
    }
    if (loaded->has_value()) {
        update.registry_ = std::move(**loaded);
    }
    return update;
}

tl::expected<void, RegistryUpdateError> RegistryUpdate::save(const crypto::Signer& key,
                                                             const contracts::Uuid& key_id,
                                                             const contracts::Timestamp& now) {
    // Under the lock already held: taking it again would wait forever.
    auto saved = save_registry_store(registry_, path_, key, key_id, now, &lock_);
    if (!saved) {
        const auto kind = saved.error().kind() == TrustError::Kind::StorageNotDurable
                              ? RegistryUpdateError::Kind::NotDurable
                              : RegistryUpdateError::Kind::Save;
        return tl::unexpected(RegistryUpdateError{kind, std::move(saved.error())});
    }
    return {};
}

tl::expected<void, ReplacementError> RegistryUpdate::save_confirmed(
    const crypto::Signer& key, const contracts::Uuid& key_id, const contracts::Timestamp& now) {
    const auto confirm = [&]() -> tl::expected<void, std::string> {
        const auto reread = load_registry_store(path_, key.verifying_key(), now);
        if (!reread) {
            return tl::unexpected(reread.error().display());
        }
        if (!reread->has_value()) {
            return tl::unexpected(std::string("no file is there"));
        }
        if ((*reread)->platforms() != registry_.platforms()) {
            return tl::unexpected(std::string("it holds another registry"));
        }
        return {};
    };
    return replace_confirmed(
        {path_, previous_, io::FileMode::Default, lock_},
        [&] { return save_registry_store(registry_, path_, key, key_id, now, &lock_); }, confirm);
}

}  // namespace zdz::store
