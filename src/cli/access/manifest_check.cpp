#include "cli/access/manifest_check.hpp"

#include <utility>
#include <vector>

#include "cli/error_kind.hpp"
#include "io/file.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {
namespace {

[[nodiscard]] tl::expected<std::vector<trust::TrustedSigner>, CommandError> load_signers(
    const std::string& path) {
    const auto text = io::read_file_text(path);
    if (!text) {
        return tl::unexpected(
            fail("cannot read signers file " + path + ": " + text.error().display()));
    }
    auto signers = trust::parse_allowed_signers(*text);
    if (!signers) {
        return tl::unexpected(fail(signers.error().display()));
    }
    return std::move(*signers);
}

[[nodiscard]] tl::expected<trust::UnverifiedImageManifest, CommandError> load_manifest(
    const std::string& path) {
    const auto text = io::read_file_text(path);
    if (!text) {
        return tl::unexpected(fail("cannot read manifest " + path + ": " + text.error().display()));
    }
    auto manifest = trust::read_manifest_json(*text);
    if (!manifest) {
        return tl::unexpected(
            fail("manifest " + path + " is malformed: " + manifest.error().display()));
    }
    return std::move(*manifest);
}

}  // namespace

tl::expected<CheckedManifest, CommandError> check_manifest_file(
    const std::string& manifest_path, const std::optional<std::string>& signers_file,
    const contracts::Timestamp& now) {
    const auto manifest = load_manifest(manifest_path);
    if (!manifest) {
        return tl::unexpected(manifest.error());
    }
    auto signers_path = signers_file.value_or(kDefaultSignersFile);
    const auto signers = load_signers(signers_path);
    if (!signers) {
        return tl::unexpected(signers.error());
    }
    auto verified = trust::verify_manifest_against_signers(*manifest, *signers, now);
    if (!verified) {
        return tl::unexpected(fail("manifest refused against trust file " + signers_path + ": " +
                                       verified.error().display(),
                                   kind_of(verified.error())));
    }
    return CheckedManifest{std::move(signers_path), verified->signer->principal,
                           std::move(verified->manifest)};
}

}  // namespace zdz::cli
