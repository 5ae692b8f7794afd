#include "trust/approvals.hpp"

#include <algorithm>
#include <map>
#include <utility>

#include "encoding/try.hpp"

namespace zdz::trust {

std::vector<const TrustedSigner*> trusted_signers_of(const UnverifiedImageManifest& manifest,
                                                     const std::vector<TrustedSigner>& signers,
                                                     const TrustedSigner& primary) {
    std::vector<const TrustedSigner*> counted{&primary};
    const auto bytes = manifest_signing_bytes(manifest.body);
    if (manifest.approvals.empty() || !bytes) {
        return counted;
    }
    // Each trusted entry under its key's fingerprint, in file order.
    std::map<contracts::Digest, std::vector<const TrustedSigner*>> by_fingerprint;
    for (const auto& signer : signers) {
        by_fingerprint[crypto::key_fingerprint(signer.key).digest].push_back(&signer);
    }
    const auto already_counted = [&](const crypto::VerifyingKey& key) {
        return std::any_of(counted.begin(), counted.end(),
                           [&](const TrustedSigner* signer) { return signer->key == key; });
    };
    for (const auto& approval : manifest.approvals) {
        const auto entries = by_fingerprint.find(approval.key.digest);
        if (entries == by_fingerprint.end()) {
            continue;
        }
        for (const TrustedSigner* entry : entries->second) {
            if (entry->valid_at(manifest.body.issued_at) &&
                crypto::verify_bytes(entry->key, *bytes, approval.signature)) {
                if (!already_counted(entry->key)) {
                    counted.push_back(entry);
                }
                break;
            }
        }
    }
    return counted;
}

tl::expected<void, TrustError> require_signers(std::size_t count, std::uint32_t required,
                                               std::string platform) {
    if (count < required) {
        return tl::unexpected(TrustError::too_few_signatures(count, required, std::move(platform)));
    }
    return {};
}

bool has_signed(const UnverifiedImageManifest& manifest, const crypto::VerifyingKey& key) {
    const auto fingerprint = crypto::key_fingerprint(key);
    if (std::any_of(
            manifest.approvals.begin(), manifest.approvals.end(),
            [&](const ManifestApproval& approval) { return approval.key == fingerprint; })) {
        return true;
    }
    const auto bytes = manifest_signing_bytes(manifest.body);
    return bytes && crypto::verify_bytes(key, *bytes, manifest.signature).has_value();
}

tl::expected<UnverifiedImageManifest, contracts::ContractError> approve_manifest(
    UnverifiedImageManifest manifest, const crypto::Signer& key) {
    ZDZ_TRY(const auto bytes, manifest_signing_bytes(manifest.body));
    ZDZ_TRY(auto signature, key.sign(bytes));
    manifest.approvals.push_back({crypto::key_fingerprint(key.verifying_key()), signature});
    return manifest;
}

}  // namespace zdz::trust
