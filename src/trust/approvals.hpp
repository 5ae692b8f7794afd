#pragma once

// The two-person rule on manifests: approvals added over a signed body, and
// the count of distinct trusted keys that signed it.

#include <cstdint>
#include <tl/expected.hpp>
#include <vector>

#include "contracts/errors.hpp"
#include "crypto/ed25519.hpp"
#include "trust/errors.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

namespace zdz::trust {

// The trusted keys that signed the manifest's body, one entry per distinct
// public key: `primary` (the entry that verified `signature`) first, then, in
// the order of the approvals, the first entry of `signers` whose key has the
// approval's fingerprint, holds the manifest's issued_at in its validity
// window and verifies the approval's signature. An approval that names no
// trusted key, does not verify or repeats a key already counted counts for
// nothing.
[[nodiscard]] std::vector<const TrustedSigner*> trusted_signers_of(
    const UnverifiedImageManifest& manifest, const std::vector<TrustedSigner>& signers,
    const TrustedSigner& primary);

// TooFewSignatures when fewer than `required` keys signed.
[[nodiscard]] tl::expected<void, TrustError> require_signers(std::size_t count,
                                                             std::uint32_t required,
                                                             std::string platform = {});

// Whether `key` made the manifest's signature or one of its approvals.
[[nodiscard]] bool has_signed(const UnverifiedImageManifest& manifest,
                              const crypto::VerifyingKey& key);

// The manifest with `key`'s approval added after the others.
[[nodiscard]] tl::expected<UnverifiedImageManifest, contracts::ContractError> approve_manifest(
    UnverifiedImageManifest manifest, const crypto::Signer& key);

}  // namespace zdz::trust
