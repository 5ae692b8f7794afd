#pragma once

#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "contracts/time.hpp"
#include "trust/manifest.hpp"

namespace zdz::cli {

// A manifest file verified against a trust file, as verify and promote both
// do it: read, parse, read the trust file, check at `now`, each step with its
// own message.
struct CheckedManifest {
    std::string signers_path;  // as given, or the default
    std::string signer_principal;
    trust::VerifiedImageManifest manifest;
};
[[nodiscard]] tl::expected<CheckedManifest, CommandError> check_manifest_file(
    const std::string& manifest_path, const std::optional<std::string>& signers_file,
    const contracts::Timestamp& now);

}  // namespace zdz::cli
