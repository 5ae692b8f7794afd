#include "cli/access/store_access.hpp"

#include <utility>

#include "cli/access/clock.hpp"
#include "cli/access/file_replacement.hpp"
#include "cli/access/store_key.hpp"
#include "cli/error_kind.hpp"
#include "io/atomic_file.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "store/registry_update.hpp"

namespace zdz::cli {

tl::expected<trust::KnownGoodStore, CommandError> load_existing_store(
    const std::string& store_path, const crypto::VerifyingKey& key,
    const contracts::Timestamp& now) {
    auto loaded = store::load_registry_store(store_path, key, now);
    if (!loaded) {
        return tl::unexpected(
            fail("cannot load store " + store_path + ": " + loaded.error().display(),
                 kind_of(loaded.error())));
    }
    if (!loaded->has_value()) {
        return tl::unexpected(fail("no store file found at " + store_path));
    }
    return std::move(**loaded);
}

tl::expected<trust::KnownGoodStore, CommandError> read_store(
    const std::string& store_path, const std::optional<std::string>& keystore,
    const std::optional<std::string>& public_key) {
    const auto key = store_verifying_key(keystore, public_key);
    if (!key) {
        return tl::unexpected(key.error());
    }
    const auto now = read_clock();
    if (!now) {
        return tl::unexpected(now.error());
    }
    return load_existing_store(store_path, *key, *now);
}

tl::expected<void, CommandError> check_store_inputs_apart(
    const std::string& store, std::initializer_list<NamedInput> inputs) {
    for (const auto& [option, path] : inputs) {
        if (path && io::temp_path_is(store, *path)) {
            return tl::unexpected(fail("store " + store + " cannot be saved: its temporary file " +
                                       io::atomic_temp_path(store) + " is the same file as " +
                                       std::string(option)));
        }
    }
    return {};
}

tl::expected<void, CommandError> check_platform_held(const std::string& store,
                                                     const trust::ImagePlatform& platform,
                                                     const trust::KnownGoodStore& registry,
                                                     bool new_platform, std::string_view action) {
    if (new_platform || registry.platforms().contains(platform)) {
        return {};
    }
    std::string held;
    for (const auto& [name, state] : registry.platforms()) {
        held += held.empty() ? "" : ", ";
        held += name.text();
    }
    return tl::unexpected(fail("platform " + platform.text() + " is not in store " + store +
                               " (it holds " + (held.empty() ? "no platform" : held) +
                               "); pass --new-platform to " + std::string(action) +
                               " a platform not yet in it"));
}

tl::expected<trust::KnownGoodStore, CommandError> update_store(const std::string& store_path,
                                                               const crypto::Signer& key,
                                                               const contracts::Uuid& key_id,
                                                               const contracts::Timestamp& now,
                                                               const StoreUpdateWording& wording,
                                                               const RegistryChange& change) {
    using Kind = store::RegistryUpdateError::Kind;
    const std::string subject(wording.change);
    const auto worded = [&](const store::RegistryUpdateError& error) {
        switch (error.kind) {
            case Kind::Absent:
                return fail("no store file found at " + store_path);
            case Kind::Lock:
            case Kind::Load:
                break;
            case Kind::Save:
                return fail_io(subject + " succeeded in memory but the store could not be saved: " +
                               error.error->display());
            case Kind::NotDurable:
                // The new store is in place: repeating the command would
                // record the change a second time.
                return not_durable(subject, store_path, error.error->display());
        }
        // A lock that cannot be taken is the system's; a store that does not
        // load is an input, or a refusal when its signature does not verify.
        return fail(std::string(wording.load_failed) + store_path + ": " + error.error->display(),
                    error.kind == Kind::Lock ? ErrorKind::Io : kind_of(*error.error));
    };
    // The store is checked with the unsealed key's own public key.
    auto update = store::RegistryUpdate::begin(store_path, key.verifying_key(), now,
                                               wording.absent_starts_empty);
    if (!update) {
        return tl::unexpected(worded(update.error()));
    }
    const auto changed = change(update->registry());
    if (!changed) {
        return tl::unexpected(changed.error());
    }
    if (*changed == StoreChange::Save) {
        if (auto saved = update->save(key, key_id, now); !saved) {
            return tl::unexpected(worded(saved.error()));
        }
    }
    return std::move(update->registry());
}

}  // namespace zdz::cli
