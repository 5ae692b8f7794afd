#include "trust/manifest.hpp"

#include "contracts/content_hash.hpp"
#include "json/canonical.hpp"
#include "json/fields.hpp"
#include "json/record.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace zdz::trust {

using json::JsonReadError;
using json::JsonValue;

namespace {

JsonValue body_to_json(const ImageManifestBody& body) {
    auto object = JsonValue::object();
    object.add("manifest_id", JsonValue::string(body.manifest_id.to_string()));
    object.add("platform", JsonValue::string(body.platform.text()));
    object.add("image_kind", JsonValue::string(std::string(image_kind_text(body.image_kind))));
    object.add("measurement", JsonValue::string(body.measurement.to_string()));
    object.add("security_version", JsonValue::uint64(body.security_version));
    object.add("signing_key_id", JsonValue::string(body.signing_key_id.to_string()));
    object.add("issued_at", JsonValue::string(body.issued_at.to_string()));
    if (body.expires_at) {
        object.add("expires_at", JsonValue::string(body.expires_at->to_string()));
    }
    return object;
}

[[nodiscard]] tl::expected<ImageManifestBody, JsonReadError> read_body(const JsonValue& value) {
    json::RecordReader r(value, "ImageManifestBody",
                         {"manifest_id", "platform", "image_kind", "measurement",
                          "security_version", "signing_key_id", "issued_at", "expires_at"});
    auto manifest_id = r.required("manifest_id", json::read_uuid);
    auto platform = r.required("platform", json::as_validated_text(ImagePlatform::parse));
    auto kind = r.required("image_kind", json::as_variant<ImageKind>(std::span(kImageKindTexts)));
    auto measurement = r.required("measurement", json::read_content_hash);
    auto security_version = r.required_u32("security_version");
    auto signing_key_id = r.required("signing_key_id", json::read_uuid);
    auto issued_at = r.required("issued_at", json::read_timestamp);
    auto expires_at = r.optional("expires_at", json::read_timestamp, json::NullMeans::Absent);
    if (auto done = r.finish(); !done) {
        return tl::unexpected(done.error());
    }
    return ImageManifestBody{*manifest_id,      std::move(*platform), *kind,      {*measurement},
                             *security_version, *signing_key_id,      *issued_at, expires_at};
}

[[nodiscard]] tl::expected<UnverifiedImageManifest, JsonReadError> read_manifest(
    const JsonValue& value) {
    json::RecordReader r(value, "UnverifiedImageManifest", {"body", "signature"});
    auto body = r.required("body", read_body);
    auto signature = r.required("signature", json::as_validated_text(crypto::Signature::parse));
    if (auto done = r.finish(); !done) {
        return tl::unexpected(done.error());
    }
    return UnverifiedImageManifest{std::move(*body), *signature};
}

}  // namespace

tl::expected<std::string, contracts::ContractError> manifest_signing_bytes(
    const ImageManifestBody& body) {
    return json::canonical_json(body_to_json(body));
}

tl::expected<UnverifiedImageManifest, contracts::ContractError> sign_manifest(
    const ImageManifestBody& body, const crypto::Signer& key) {
    const auto bytes = manifest_signing_bytes(body);
    if (!bytes) {
        return tl::unexpected(bytes.error());
    }
    auto signature = key.sign(*bytes);
    if (!signature) {
        return tl::unexpected(std::move(signature.error()));
    }
    return UnverifiedImageManifest{body, *signature};
}

std::string write_manifest_json(const UnverifiedImageManifest& manifest) {
    auto object = JsonValue::object();
    object.add("body", body_to_json(manifest.body));
    object.add("signature", JsonValue::string(manifest.signature.to_string()));
    return json::to_pretty_json(object);
}

tl::expected<UnverifiedImageManifest, json::DocumentError> read_manifest_json(
    std::string_view text) {
    return json::read_json_record(text, read_manifest);
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
    if (bytes) {
        // signing_key_id plays no part in choosing the signer: the trust file
        // order does.
        for (const auto& signer : signers) {
            if (crypto::verify_bytes(signer.key, *bytes, manifest.signature)) {
                auto verified = verify_manifest(manifest, signer.key, now);
                if (!verified) {
                    return tl::unexpected(verified.error());
                }
                return SignerVerifiedManifest{std::move(*verified), &signer};
            }
        }
    }
    return tl::unexpected(TrustError::manifest_signature_invalid());
}

}  // namespace zdz::trust
