#include "store/registry_update.hpp"

#include <functional>
#include <new>
#include <optional>
#include <utility>

#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "store/file_errors.hpp"

namespace zdz::store {

tl::expected<RegistryUpdate, RegistryUpdateError> RegistryUpdate::begin(
    const std::string& path, const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    bool absent_starts_empty, ExpiredStore expired) {
    auto lock = io::DirectoryLock::acquire(path);
    if (!lock) {
        return tl::unexpected(RegistryUpdateError{RegistryUpdateError::Kind::Lock,
                                                  StoreError::from_write_error(lock.error())});
    }
    RegistryUpdate update(path, std::move(*lock));
    auto loaded = load_store_standing(path, key, now, expired, &update.previous_);
    if (!loaded) {
        return tl::unexpected(
            RegistryUpdateError{RegistryUpdateError::Kind::Load, std::move(loaded.error())});
    }
    if (!loaded->has_value() && !absent_starts_empty) {
        return tl::unexpected(RegistryUpdateError{RegistryUpdateError::Kind::Absent, {}});
    }
    if (loaded->has_value()) {
        update.registry_ = std::move((*loaded)->registry);
        update.standing_ = (*loaded)->standing;
    }
    // The log must end where the store stands before anything is changed.
    auto tail = read_log_tail(audit_log_path(path));
    if (!tail) {
        return tl::unexpected(
            RegistryUpdateError{RegistryUpdateError::Kind::Load, std::move(tail.error())});
    }
    auto next = next_log_line(path, update.standing_, *tail);
    if (!next) {
        return tl::unexpected(
            RegistryUpdateError{RegistryUpdateError::Kind::Load, std::move(next.error())});
    }
    update.tail_ = std::move(*tail);
    update.next_ = *next;
    return update;
}

tl::expected<void, StoreError> RegistryUpdate::write_linked(const crypto::Signer& key,
                                                            const contracts::Uuid& key_id,
                                                            const contracts::Timestamp& now,
                                                            const SaveNote& note) {
    try {
        auto link = next_link(standing_, note.expires_at);
        link.sequence = next_.sequence;
        ZDZ_TRY(const auto text,
                signed_store_text(registry_, key, key_id, now, contracts::Uuid::new_v4(), link));
        AuditEntry entry = note.change;
        entry.sequence = next_.sequence;
        entry.time = now;
        entry.store_hash = text.hash;
        entry.previous_hash = link.previous_hash;
        entry.key_id = key_id;
        entry.expires_at = link.expires_at;
        entry.previous_line = next_.previous_line;
        ZDZ_TRY(const auto line, signed_audit_line(entry, key));
        // The line is appended and flushed once the new store is flushed at
        // its temporary path, and before it is renamed into place.
        const auto log_path = audit_log_path(path_);
        std::optional<StoreError> log_failed;
        const std::function<tl::expected<void, io::WriteError>()> append_line =
            [&]() -> tl::expected<void, io::WriteError> {
            if (auto appended = append_audit_line(log_path, tail_, line); !appended) {
                log_failed = appended.error();
                return tl::unexpected(io::WriteError{io::WriteError::Kind::Failed, "", ""});
            }
            // From here on the line is in the log: a later save in this
            // process follows it, whether or not the store takes its place.
            tail_.exists = true;
            tail_.torn = false;
            tail_.complete_bytes += line.size() + 1;
            next_.previous_line = audit_line_hash(line);
            return {};
        };
        // Under the lock already held: taking it again would wait forever.
        auto written = io::write_file_atomically(
            path_, text.text, {io::FileMode::Default, io::TempName::Beside, &lock_, &append_line});
        if (log_failed) {
            return tl::unexpected(std::move(*log_failed));
        }
        if (!written && written.error().kind != io::WriteError::Kind::NotDurable) {
            return tl::unexpected(StoreError::from_write_error(written.error()));
        }
        standing_ = StoreStanding{next_.sequence,  text.hash,         key_id, now,
                                  link.expires_at, link.previous_hash};
        next_.sequence += 1;
        if (!written) {
            return tl::unexpected(StoreError::from_write_error(written.error()));
        }
        return {};
    } catch (const std::bad_alloc&) {
        // Nothing was renamed: the store is replaced only by a complete text.
        return tl::unexpected(cannot_write(path_, contracts::os_error_text(ENOMEM)));
    }
}

tl::expected<void, RegistryUpdateError> RegistryUpdate::save(const crypto::Signer& key,
                                                             const contracts::Uuid& key_id,
                                                             const contracts::Timestamp& now,
                                                             const SaveNote& note) {
    auto saved = write_linked(key, key_id, now, note);
    if (!saved) {
        const auto kind = saved.error().kind() == StoreError::Kind::StorageNotDurable
                              ? RegistryUpdateError::Kind::NotDurable
                              : RegistryUpdateError::Kind::Save;
        return tl::unexpected(RegistryUpdateError{kind, std::move(saved.error())});
    }
    return {};
}

tl::expected<void, ReplacementError> RegistryUpdate::save_confirmed(const crypto::Signer& key,
                                                                    const contracts::Uuid& key_id,
                                                                    const contracts::Timestamp& now,
                                                                    const SaveNote& note) {
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
        [&] { return write_linked(key, key_id, now, note); }, confirm);
}

}  // namespace zdz::store
