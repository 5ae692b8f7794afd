#include "cli/access/manifest_output.hpp"

#include "cli/access/file_replacement.hpp"
#include "cli/access/keystore_access.hpp"
#include "cli/access/passphrase.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"

namespace zdz::cli {

tl::expected<std::optional<contracts::Timestamp>, CommandError> parse_expiry(
    const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    const auto parsed = contracts::Timestamp::parse(*text);
    if (!parsed) {
        return tl::unexpected(fail("invalid --expires-at: " + parsed.error().display()));
    }
    return *parsed;
}

tl::expected<void, CommandError> check_expiry(const std::optional<contracts::Timestamp>& expires_at,
                                              const contracts::Timestamp& now) {
    if (expires_at && !(now < *expires_at)) {
        return tl::unexpected(fail("expiry time " + expires_at->to_string() +
                                   " is not later than the signing time " + now.to_string()));
    }
    return {};
}

tl::expected<SigningInputs, CommandError> read_signing_inputs(
    const std::string& keystore_path, const std::string& passphrase_env,
    const std::optional<contracts::Timestamp>& expires_at) {
    ZDZ_TRY(auto keystore, load_keystore_file(keystore_path));
    ZDZ_TRY(auto input, read_passphrase_then_clock(passphrase_env));
    ZDZ_RETURN_IF_ERROR(check_expiry(expires_at, input.now));
    return SigningInputs{std::move(keystore), std::move(input.passphrase), input.now};
}

tl::expected<void, CommandError> write_manifest_file(
    const std::string& path, const trust::UnverifiedImageManifest& manifest) {
    const auto written =
        io::write_file_atomically(path, trust::write_manifest_json(manifest),
                                  {io::FileMode::Default, io::TempName::Unique, nullptr});
    if (written) {
        return {};
    }
    if (written.error().kind == io::WriteError::Kind::NotDurable) {
        return tl::unexpected(not_durable("manifest", path, written.error().detail));
    }
    return tl::unexpected(fail_io("cannot write " + path + ": " + written.error().reason));
}

}  // namespace zdz::cli
