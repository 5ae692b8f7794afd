#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "cli/command.hpp"
#include "contracts/time.hpp"
#include "json/value.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {

// A manifest file verified against a trust file, as verify, promote and
// approve do it: read, parse, read the trust file, check at `now`, each step
// with its own message.
struct CheckedManifest {
    std::string signers_path;  // as given, or the default
    std::string signer_principal;
    trust::VerifiedImageManifest manifest;
    // The distinct trusted keys that signed the body, the signature's first
    // (trust::trusted_signers_of).
    std::vector<trust::TrustedSigner> signers;
    // The manifest as read, approvals and all, and its file's text.
    trust::UnverifiedImageManifest as_read;
    std::string text;
    // Every entry of the trust file.
    std::vector<trust::TrustedSigner> trust_file;
};

// Refused unless at least `min_signers` distinct trusted keys signed:
// "manifest refused against trust file T: manifest has 1 trusted signature,
// 2 required".
[[nodiscard]] tl::expected<CheckedManifest, CommandError> check_manifest_file(
    const std::string& manifest_path, const std::optional<std::string>& signers_file,
    const contracts::Timestamp& now, std::uint32_t min_signers = 1);

// Whether a report says who signed: more than one trusted key did, or the
// check asked for more than one.
bool reports_signers(const CheckedManifest& checked, std::uint32_t min_signers);

// The lines after "signed by:" of a report that says who signed: one
// "approved by:" line per further signer, then "signatures: N trusted (M
// required)", each label padded to `width` after two spaces.
std::string approval_lines(const CheckedManifest& checked, std::uint32_t min_signers,
                           std::size_t width);

// [{"principal", "fingerprint"}] of every signer, the signature's first.
json::JsonValue signers_json(const CheckedManifest& checked);

}  // namespace zdz::cli
