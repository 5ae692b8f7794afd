#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "contracts/errors.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "envelope/envelope.hpp"
#include "json/fields.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"
#include "trust/errors.hpp"
#include "trust/image.hpp"
#include "trust/signers.hpp"

namespace zdz::trust {

// The signed statement that an image is meant for a platform, of a kind, at a
// security version.
struct ImageManifestBody {
    contracts::Uuid manifest_id;
    ImagePlatform platform;
    ImageKind image_kind = ImageKind::Install;
    ImageMeasurement measurement;
    SecurityVersion security_version = 0;
    contracts::Uuid signing_key_id;
    contracts::Timestamp issued_at;
    std::optional<contracts::Timestamp> expires_at;

    friend bool operator==(const ImageManifestBody&, const ImageManifestBody&) = default;
};

// A further signature over the same body, by the key whose fingerprint
// (crypto::key_fingerprint, "blake3:...") it names: a second engineer's
// sign-off.
struct ManifestApproval {
    contracts::ContentHash key;
    crypto::Signature signature;

    friend bool operator==(const ManifestApproval&, const ManifestApproval&) = default;
};

// The stored form: the body, the signature over its canonical bytes, and the
// approvals over the same bytes, in the order they were added.
struct UnverifiedImageManifest {
    ImageManifestBody body;
    crypto::Signature signature;
    std::vector<ManifestApproval> approvals;

    friend bool operator==(const UnverifiedImageManifest&,
                           const UnverifiedImageManifest&) = default;
};

struct VerifiedImageManifest {
    ImageManifestBody body;
    contracts::Timestamp verified_at;
};

// The body as signed: expires_at left out when absent, in the file and in
// the signed bytes alike.
constexpr auto describe(json::Type<ImageManifestBody>) {
    using R = ImageManifestBody;
    return json::record<R>("ImageManifestBody",
                           json::required("manifest_id", &R::manifest_id, json::uuid),
                           json::required("platform", &R::platform, platform_codec),
                           json::required("image_kind", &R::image_kind, image_kind_codec),
                           json::required("measurement", &R::measurement, measurement_codec),
                           json::required("security_version", &R::security_version, json::u32),
                           json::required("signing_key_id", &R::signing_key_id, json::uuid),
                           json::required("issued_at", &R::issued_at, json::timestamp),
                           json::optional("expires_at", &R::expires_at, json::timestamp));
}

namespace manifest_detail {
// "approval key must be a key fingerprint (blake3:...)" for any other hash.
std::optional<std::string> approval_fault(const ManifestApproval& approval);
// An approval naming a key twice, or repeating the manifest's own signature
// (the key that made it approving itself: Ed25519 signs deterministically).
std::optional<std::string> approvals_fault(const UnverifiedImageManifest& manifest);
}  // namespace manifest_detail

constexpr auto describe(json::Type<ManifestApproval>) {
    using R = ManifestApproval;
    return json::record<R>("ManifestApproval", json::required("key", &R::key, json::content_hash),
                           json::required("signature", &R::signature, envelope::signature_codec))
        .checked_by(&manifest_detail::approval_fault);
}

// `approvals` is left out when there is none: a manifest without approvals
// is byte for byte what it was before they existed.
constexpr auto describe(json::Type<UnverifiedImageManifest>) {
    using R = UnverifiedImageManifest;
    return json::record<R>(
               "UnverifiedImageManifest", json::required("body", &R::body, json::nested),
               json::required("signature", &R::signature, envelope::signature_codec),
               json::defaulted("approvals", &R::approvals, json::sequence(json::nested)))
        .checked_by(&manifest_detail::approvals_fault);
}

// A verified manifest and the trusted signer whose key verified it.
struct SignerVerifiedManifest {
    VerifiedImageManifest manifest;
    const TrustedSigner* signer;
};

// The bytes a manifest signature covers: the canonical JSON of the body alone.
[[nodiscard]] tl::expected<std::string, contracts::ContractError> manifest_signing_bytes(
    const ImageManifestBody& body);

[[nodiscard]] tl::expected<UnverifiedImageManifest, contracts::ContractError> sign_manifest(
    const ImageManifestBody& body, const crypto::Signer& key);

// The manifest file: pretty JSON, body then signature, members in declared
// order, `expires_at` left out when absent.
std::string write_manifest_json(const UnverifiedImageManifest& manifest);

// Strict reading; the error is the JSON reader's, placed in the text.
[[nodiscard]] tl::expected<UnverifiedImageManifest, json::DocumentError> read_manifest_json(
    std::string_view text);

// Checks the signature with one key, then the expiry.
[[nodiscard]] tl::expected<VerifiedImageManifest, TrustError> verify_manifest(
    const UnverifiedImageManifest& manifest, const crypto::VerifyingKey& key,
    const contracts::Timestamp& now);

// Tries the signers in file order; the first whose key verifies and whose
// validity window holds the body's issued_at is reported, its expiry then
// checked. When keys verify but no window holds issued_at, the refusal is
// ManifestOutsideValidity, not ManifestSignatureInvalid.
[[nodiscard]] tl::expected<SignerVerifiedManifest, TrustError> verify_manifest_against_signers(
    const UnverifiedImageManifest& manifest, const std::vector<TrustedSigner>& signers,
    const contracts::Timestamp& now);

}  // namespace zdz::trust
