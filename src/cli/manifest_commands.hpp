#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "cli/dispatch.hpp"
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

[[nodiscard]] CommandResult run_keygen(const Keygen& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_import_signers(const ImportSigners& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_sign(const Sign& cmd, std::ostream& out);
[[nodiscard]] CommandResult run_verify(const Verify& cmd, std::ostream& out);

}  // namespace zdz::cli
