#pragma once

#include <ostream>

#include <string>
#include <vector>

#include "cli/dispatch.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {

// Shared by verify and promote: read and parse with their exact messages.
tl::expected<trust::UnverifiedImageManifest, CommandError> load_manifest(const std::string& path);
tl::expected<std::vector<trust::TrustedSigner>, CommandError> load_signers(
    const std::string& path);

CommandResult run_keygen(const Keygen& cmd, std::ostream& out);
CommandResult run_import_signers(const ImportSigners& cmd, std::ostream& out);
CommandResult run_sign(const Sign& cmd, std::ostream& out);
CommandResult run_verify(const Verify& cmd, std::ostream& out);

}  // namespace zdz::cli
