#include "cli/access/file_replacement.hpp"

#include "io/atomic_file.hpp"

namespace zdz::cli {

using trust::TrustError;

tl::expected<void, CommandError> replace_confirmed(
    const Replacement& r, const std::function<tl::expected<void, TrustError>()>& write,
    const std::function<tl::expected<void, std::string>()>& confirm) {
    const std::string noun(r.noun);
    const auto written = write();
    if (!written && written.error().kind() != TrustError::Kind::StorageNotDurable) {
        return tl::unexpected(fail("failed to write " + noun + " to " + r.path + ": " +
                                   written.error().display() + "; the previous " + noun +
                                   " is unchanged"));
    }
    if (const auto confirmed = confirm(); !confirmed) {
        const std::string what = "the " + noun + " written to " + r.path +
                                 " did not read back as written (" + confirmed.error() + ")";
        const auto restored = io::write_file_atomically(r.path, r.previous, r.mode, &r.lock)
                                  .map_error(TrustError::from_write_error);
        if (!restored && restored.error().kind() != TrustError::Kind::StorageNotDurable) {
            return tl::unexpected(fail(what + ", and the previous " + noun +
                                       " could not be put back: " + restored.error().display()));
        }
        return tl::unexpected(fail(what + "; the previous " + noun + " was put back"));
    }
    if (!written) {
        return tl::unexpected(fail(noun + " written to " + r.path +
                                   " but it may not be durable: " + written.error().display()));
    }
    return {};
}

}  // namespace zdz::cli
