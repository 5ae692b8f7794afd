#include "store/replacement.hpp"

namespace zdz::store {

tl::expected<void, ReplacementError> replace_confirmed(
    const Replacement& file, const std::function<tl::expected<void, StoreError>()>& write,
    const std::function<tl::expected<void, std::string>()>& confirm) {
    using Kind = ReplacementError::Kind;
    const auto written = write();
    const bool not_durable =
        !written && written.error().kind() == StoreError::Kind::StorageNotDurable;
    if (!written && !not_durable) {
        return tl::unexpected(ReplacementError{{Kind::NotWritten, written.error()}, {}});
    }
    if (auto confirmed = confirm(); !confirmed) {
        const auto restored =
            io::write_file_atomically(file.path, file.previous,
                                      {file.mode, io::TempName::Beside, &file.lock})
                .map_error(StoreError::from_write_error);
        if (!restored && restored.error().kind() != StoreError::Kind::StorageNotDurable) {
            return tl::unexpected(ReplacementError{{Kind::NotPutBack, restored.error()},
                                                   std::move(confirmed.error())});
        }
        return tl::unexpected(
            ReplacementError{{Kind::PutBack, std::nullopt}, std::move(confirmed.error())});
    }
    if (not_durable) {
        return tl::unexpected(ReplacementError{{Kind::NotDurable, written.error()}, {}});
    }
    return {};
}

}  // namespace zdz::store
