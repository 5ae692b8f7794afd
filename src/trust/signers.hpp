#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "trust/errors.hpp"

namespace zdz::trust {

// One key that may sign image manifests, with the principal its line names
// and the window in which what it signs counts (no bound: open on that side).
struct TrustedSigner {
    std::string principal;
    crypto::VerifyingKey key;
    std::optional<contracts::Timestamp> valid_after = std::nullopt;
    std::optional<contracts::Timestamp> valid_before = std::nullopt;

    // At or after valid_after, and strictly before valid_before.
    bool valid_at(const contracts::Timestamp& t) const {
        return (!valid_after || *valid_after <= t) && (!valid_before || t < *valid_before);
    }
};

// Parses the text of an allowed_signers file that lists only ssh-ed25519 keys:
// "{principal} [options] ssh-ed25519 {material} [comment]", where the options
// field, when present, is a comma-separated list of valid-after="TIME" and
// valid-before="TIME" (each at most once, TIME in UTC as
// YYYYMMDD[HHMM[SS]]Z, valid-after before valid-before). A field holding any
// other option is read as a key type and refused as one. Signers come back in
// file order, duplicates kept; the result is never empty. The first bad line
// ends the parse with TrustStoreEntryInvalid at its physical line number (0
// when the file holds no entry at all).
[[nodiscard]] tl::expected<std::vector<TrustedSigner>, TrustError> parse_allowed_signers(
    std::string_view text);

// The keys of a public-key file, in file order: each line an allowed_signers
// entry, or an OpenSSH public-key line "ssh-ed25519 {base64 key blob}
// [comment]" as a `.pub` file holds it (its principal is then empty). A line
// whose first two fields are both "ssh-ed25519" is an allowed_signers entry.
// No options field is read here: a public key has no validity window. Errors
// as parse_allowed_signers.
[[nodiscard]] tl::expected<std::vector<TrustedSigner>, TrustError> parse_public_keys(
    std::string_view text);

// "{principal} ssh-ed25519 {base64 key blob}", without a line terminator.
std::string format_allowed_signers_line(std::string_view principal,
                                        const crypto::VerifyingKey& key);

// The fingerprint OpenSSH tools print for the key (`ssh-keygen -l`):
// "SHA256:" and the unpadded Base64 of the SHA-256 of its key blob.
std::string openssh_fingerprint(const crypto::VerifyingKey& key);

}  // namespace zdz::trust
