#include "trust/manifest.hpp"

#include <map>

#include "encoding/try.hpp"
#include "json/record.hpp"

namespace zdz::trust {

namespace manifest_detail {

std::optional<std::string> approval_fault(const ManifestApproval& approval) {
    if (approval.key.algorithm != contracts::HashAlgorithm::Blake3) {
        return "approval key must be a key fingerprint (blake3:...), not " +
               approval.key.to_string();
    }
    return std::nullopt;
}

std::optional<std::string> approvals_fault(const UnverifiedImageManifest& manifest) {
    // Keys are all BLAKE3 fingerprints by now: their digests tell them apart.
    std::map<contracts::Digest, std::size_t> first_of_key;
    const auto& approvals = manifest.approvals;
    for (std::size_t i = 0; i < approvals.size(); ++i) {
        if (approvals[i].signature == manifest.signature) {
            return "approval " + std::to_string(i + 1) +
                   " repeats the manifest's signature (an approval must come from another key)";
        }
        const auto [first, added] = first_of_key.emplace(approvals[i].key.digest, i);
        if (!added) {
            return "approval " + std::to_string(i + 1) + " repeats the key of approval " +
                   std::to_string(first->second + 1) + " (" + approvals[i].key.to_string() + ")";
        }
    }
    return std::nullopt;
}

}  // namespace manifest_detail

tl::expected<std::string, contracts::ContractError> manifest_signing_bytes(
    const ImageManifestBody& body) {
    return json::canonical_record(body);
}

tl::expected<UnverifiedImageManifest, contracts::ContractError> sign_manifest(
    const ImageManifestBody& body, const crypto::Signer& key) {
    ZDZ_TRY(const auto bytes, manifest_signing_bytes(body));
    ZDZ_TRY(auto signature, key.sign(bytes));
    return UnverifiedImageManifest{body, signature, {}};
}

std::string write_manifest_json(const UnverifiedImageManifest& manifest) {
    return json::write_record_file(manifest);
}

tl::expected<UnverifiedImageManifest, json::DocumentError> read_manifest_json(
    std::string_view text) {
    return json::read_record<UnverifiedImageManifest>(text);
}

tl::expected<VerifiedImageManifest, TrustError> verify_manifest(
    const UnverifiedImageManifest& manifest, const crypto::VerifyingKey& key,
    const contracts::Timestamp& now) {
    const auto bytes = manifest_signing_bytes(manifest.body);
    if (!bytes || !crypto::verify_bytes(key, *bytes, manifest.signature)) {
        return tl::unexpected(TrustError::manifest_signature_invalid());
    }
    // Still valid at the exact instant of expiry.
    if (manifest.body.expires_at && *manifest.body.expires_at < now) {
        return tl::unexpected(TrustError::manifest_expired(manifest.body.expires_at->to_string()));
    }
    return VerifiedImageManifest{manifest.body, now};
}

tl::expected<SignerVerifiedManifest, TrustError> verify_manifest_against_signers(
    const UnverifiedImageManifest& manifest, const std::vector<TrustedSigner>& signers,
    const contracts::Timestamp& now) {
    const auto bytes = manifest_signing_bytes(manifest.body);
    if (!bytes) {
        return tl::unexpected(TrustError::manifest_signature_invalid());
    }
    // Set when a key verifies the signature but its window leaves the
    // manifest out: then the refusal says so, not that nothing verified.
    bool verified_outside_window = false;
    // signing_key_id plays no part in choosing the signer: the trust file
    // order does.
    for (const auto& signer : signers) {
        if (!crypto::verify_bytes(signer.key, *bytes, manifest.signature)) {
            continue;
        }
        if (!signer.valid_at(manifest.body.issued_at)) {
            verified_outside_window = true;
            continue;
        }
        ZDZ_TRY(auto verified, verify_manifest(manifest, signer.key, now));
        return SignerVerifiedManifest{std::move(verified), &signer};
    }
    if (verified_outside_window) {
        return tl::unexpected(
            TrustError::manifest_outside_validity(manifest.body.issued_at.to_string()));
    }
    return tl::unexpected(TrustError::manifest_signature_invalid());
}

}  // namespace zdz::trust
