#pragma once

// What the commands that sign manifests share: the --expires-at time, and
// writing a manifest file.

#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "contracts/time.hpp"
#include "crypto/secret.hpp"
#include "store/token_keystore.hpp"
#include "trust/manifest.hpp"

namespace zdz::cli {

// The --expires-at text as a time, read as manifests read theirs: "invalid
// --expires-at: ...". Nothing for no text.
[[nodiscard]] tl::expected<std::optional<contracts::Timestamp>, CommandError> parse_expiry(
    const std::optional<std::string>& text);

// "expiry time E is not later than the signing time T" when a manifest would
// be stale as it is written.
[[nodiscard]] tl::expected<void, CommandError> check_expiry(
    const std::optional<contracts::Timestamp>& expires_at, const contracts::Timestamp& now);

// What a command that signs manifests reads before it measures: the keystore
// at `keystore_path` (load_keystore_file), the passphrase or PIN and the
// clock (read_passphrase_then_clock), then check_expiry against that clock,
// so that a manifest that would be stale as it is written is refused before
// the costly unsealing.
struct SigningInputs {
    store::AnyKeystore keystore;
    crypto::Secret secret;
    contracts::Timestamp now;
};
[[nodiscard]] tl::expected<SigningInputs, CommandError> read_signing_inputs(
    const std::string& keystore_path, const std::string& passphrase_env,
    const std::optional<contracts::Timestamp>& expires_at);

// Written through a temporary file renamed over `path`, so a failed write
// never destroys a manifest that is already there: "cannot write PATH: ..."
// or the not-durable account.
[[nodiscard]] tl::expected<void, CommandError> write_manifest_file(
    const std::string& path, const trust::UnverifiedImageManifest& manifest);

}  // namespace zdz::cli
