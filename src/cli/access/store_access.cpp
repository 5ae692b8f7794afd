#include "cli/access/store_access.hpp"

#include <algorithm>
#include <utility>

#include "cli/access/clock.hpp"
#include "cli/access/file_replacement.hpp"
#include "cli/access/store_key.hpp"
#include "cli/error_kind.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "store/registry_update.hpp"

namespace zdz::cli {

tl::expected<store::LoadedStore, CommandError> load_existing_store(const std::string& store_path,
                                                                   const crypto::VerifyingKey& key,
                                                                   const contracts::Timestamp& now,
                                                                   store::ExpiredStore expired) {
    auto loaded = store::load_store_standing(store_path, key, now, expired);
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

tl::expected<store::LoadedStore, CommandError> read_store(const std::string& store_path,
                                                          const StoreKey& key,
                                                          store::ExpiredStore expired) {
    ZDZ_TRY(const auto verifying_key, store_verifying_key(key));
    ZDZ_TRY(const auto now, read_clock());
    return load_existing_store(store_path, verifying_key, now, expired);
}

tl::expected<SaveClock, CommandError> read_save_clock(
    const std::optional<std::string>& store_expires_at) {
    ZDZ_TRY(const auto now, read_clock());
    if (!store_expires_at) {
        return SaveClock{now, std::nullopt};
    }
    const auto parsed = contracts::Timestamp::parse(*store_expires_at);
    if (!parsed) {
        return tl::unexpected(fail("invalid --store-expires-at: " + parsed.error().display()));
    }
    if (!(now < *parsed)) {
        return tl::unexpected(fail("store expiry time " + parsed->to_string() +
                                   " is not later than now, " + now.to_string()));
    }
    return SaveClock{now, *parsed};
}

namespace {

CommandError checkpoint_failure(const store::CheckpointError& error) {
    using Kind = store::CheckpointError::Kind;
    switch (error.kind) {
        case Kind::Replayed:
        case Kind::Forked:
            return refuse(error.message);
        case Kind::Unreadable:
            return fail(error.message);
        case Kind::NotWritten:
            break;
    }
    return fail_io("cannot write checkpoint: " + error.message);
}

}  // namespace

tl::expected<std::optional<CheckpointReport>, CommandError> accept_checkpoint(
    const std::optional<std::string>& path, const store::StoreStanding& store,
    const io::DirectoryLock* held) {
    if (!path) {
        return std::nullopt;
    }
    const auto advanced = store::advance_checkpoint(*path, store, held);
    if (!advanced) {
        return tl::unexpected(checkpoint_failure(advanced.error()));
    }
    return std::optional<CheckpointReport>(CheckpointReport{*path, *advanced});
}

std::string checkpoint_text(const CheckpointReport& report) {
    const auto& [before, after] = report.advance;
    const auto at = "sequence " + std::to_string(after);
    if (!before) {
        return report.path + " created at " + at + " (first use: the store found is trusted)";
    }
    if (*before == after) {
        return report.path + " at " + at + ", as seen before";
    }
    return report.path + " advanced from sequence " + std::to_string(*before) + " to " +
           std::to_string(after);
}

json::JsonValue checkpoint_json(const CheckpointReport& report) {
    using json::JsonValue;
    const auto& [before, after] = report.advance;
    auto object = JsonValue::object();
    object.add("file", JsonValue::string(report.path));
    object.add("sequence", JsonValue::uint64(after));
    object.add("previous_sequence", before ? JsonValue::uint64(*before) : JsonValue());
    object.add("created", JsonValue::boolean(!before));
    return object;
}

std::string checkpoint_line(const std::optional<CheckpointReport>& report, std::size_t width) {
    if (!report) {
        return {};
    }
    std::string label = "  checkpoint:";
    label.resize(std::max(width, label.size() + 1), ' ');
    return label + checkpoint_text(*report) + "\n";
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

ErrorKind opening_kind(const store::RegistryUpdateError& error) {
    return error.kind == store::RegistryUpdateError::Kind::Lock ? ErrorKind::Io
                                                                : kind_of(*error.error);
}

tl::expected<UpdatedStore, CommandError> update_store(
    const std::string& store_path, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& now, const StoreUpdateWording& wording,
    const StoreSaveOptions& options, const RegistryChange& change) {
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
        return fail(std::string(wording.load_failed) + store_path + ": " + error.error->display(),
                    opening_kind(error));
    };
    // The store is checked with the unsealed key's own public key.
    auto update = store::RegistryUpdate::begin(store_path, key.verifying_key(), now,
                                               wording.absent_starts_empty, options.expired);
    if (!update) {
        return tl::unexpected(worded(update.error()));
    }
    // A replayed or forked store is refused before anything changes. A
    // store that is not there is older than any the checkpoint remembers.
    if (options.checkpoint) {
        const auto seen = store::read_checkpoint(*options.checkpoint);
        if (!seen) {
            return tl::unexpected(checkpoint_failure(seen.error()));
        }
        const auto judged_store = update->standing().value_or(store::StoreStanding{});
        if (auto judged = store::judge_checkpoint(judged_store, *seen, *options.checkpoint);
            !judged) {
            return tl::unexpected(checkpoint_failure(judged.error()));
        }
    }
    const auto loaded = update->standing();
    store::SaveNote note{{}, options.expires_at};
    ZDZ_TRY(const auto changed, change(update->registry(), note.change));
    // A store left unchanged is not written, and keeps its expiry too (the
    // report says it is unchanged).
    if (changed == StoreChange::Save) {
        if (auto saved = update->save(key, key_id, now, note); !saved) {
            return tl::unexpected(worded(saved.error()));
        }
    }
    UpdatedStore updated{std::move(update->registry()), loaded, update->standing(), std::nullopt};
    if (options.checkpoint && updated.standing) {
        // Advanced before the store's lock is released: no other writer's
        // store can come between.
        ZDZ_TRY(auto accepted,
                accept_checkpoint(options.checkpoint, *updated.standing, &update->lock()));
        updated.checkpoint = std::move(accepted);
    }
    return updated;
}

}  // namespace zdz::cli
