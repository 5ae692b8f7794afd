#include "store/checkpoint.hpp"

#include <utility>

#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "io/file.hpp"

namespace zdz::store {
namespace {

CheckpointError checkpoint_error(CheckpointError::Kind kind, std::string message) {
    return CheckpointError{kind, std::move(message)};
}

}  // namespace

tl::expected<std::optional<StoreCheckpoint>, CheckpointError> read_checkpoint(
    const std::string& path) {
    if (!io::destination_exists(path)) {
        return std::optional<StoreCheckpoint>();
    }
    const auto text = io::read_file_text(path, io::Accept::RegularFile);
    if (!text) {
        return tl::unexpected(
            checkpoint_error(CheckpointError::Kind::Unreadable,
                             "cannot read checkpoint " + path + ": " + text.error().display()));
    }
    auto checkpoint = json::read_record<StoreCheckpoint>(*text);
    if (!checkpoint) {
        return tl::unexpected(checkpoint_error(
            CheckpointError::Kind::Unreadable,
            "checkpoint " + path + " is malformed: " + checkpoint.error().display()));
    }
    if (checkpoint->format_version != kStoreCheckpointFormatVersion) {
        return tl::unexpected(checkpoint_error(CheckpointError::Kind::Unreadable,
                                               "checkpoint " + path + " has format version " +
                                                   std::to_string(checkpoint->format_version) +
                                                   ", only 1 is known"));
    }
    return std::optional<StoreCheckpoint>(*checkpoint);
}

tl::expected<void, CheckpointError> judge_checkpoint(const StoreStanding& store,
                                                     const std::optional<StoreCheckpoint>& seen,
                                                     const std::string& path) {
    if (!seen) {
        return {};
    }
    if (store.sequence < seen->sequence) {
        return tl::unexpected(checkpoint_error(
            CheckpointError::Kind::Replayed, "store sequence " + std::to_string(store.sequence) +
                                                 " is older than the last one seen here, " +
                                                 std::to_string(seen->sequence) + " (checkpoint " +
                                                 path + ")"));
    }
    if (store.sequence == seen->sequence && !(store.hash == seen->store_hash)) {
        return tl::unexpected(checkpoint_error(
            CheckpointError::Kind::Forked,
            "store sequence " + std::to_string(store.sequence) + " is " + store.hash.to_string() +
                ", but the store seen here at that sequence was " + seen->store_hash.to_string() +
                " (checkpoint " + path + "): the store has forked"));
    }
    return {};
}

tl::expected<CheckpointAdvance, CheckpointError> advance_checkpoint(const std::string& path,
                                                                    const StoreStanding& store,
                                                                    const io::DirectoryLock* held) {
    // A second lock on a folder already locked here would wait for ever.
    std::optional<io::DirectoryLock> taken;
    if (held == nullptr || !held->guards(path)) {
        auto lock = io::DirectoryLock::acquire(path);
        if (!lock) {
            return tl::unexpected(
                checkpoint_error(CheckpointError::Kind::NotWritten, lock.error().display()));
        }
        taken = std::move(*lock);
        held = &*taken;
    }
    ZDZ_TRY(const auto seen, read_checkpoint(path));
    ZDZ_RETURN_IF_ERROR(judge_checkpoint(store, seen, path));
    const CheckpointAdvance advance{
        seen ? std::optional<std::uint64_t>((seen)->sequence) : std::nullopt, store.sequence};
    if (seen && (seen)->sequence == store.sequence) {
        return advance;
    }
    const StoreCheckpoint next{kStoreCheckpointFormatVersion, store.sequence, store.hash};
    auto written = io::write_file_atomically(path, json::write_record_file(next) + "\n",
                                             {io::FileMode::Default, io::TempName::Beside, held});
    if (!written) {
        return tl::unexpected(
            checkpoint_error(CheckpointError::Kind::NotWritten, written.error().display()));
    }
    return advance;
}

}  // namespace zdz::store
