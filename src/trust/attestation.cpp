#include "trust/attestation.hpp"

#include "encoding/hex.hpp"
#include "json/canonical.hpp"
#include "json/value.hpp"

namespace zdz::trust {

using json::JsonValue;

tl::expected<std::string, contracts::ContractError> attestation_signing_bytes(
    const AttestationBody& body) {
    auto object = JsonValue::object();
    object.add("device_id", JsonValue::string(body.device_id.to_string()));
    object.add("reported_measurement", JsonValue::string(body.reported_measurement.to_string()));
    object.add("nonce", JsonValue::string(encoding::hex_encode(body.nonce)));
    object.add("reported_at", JsonValue::string(body.reported_at.to_string()));
    return json::canonical_json(object);
}

tl::expected<AttestationReport, contracts::ContractError> sign_attestation(
    const AttestationBody& body, const crypto::SigningKey& device_key) {
    return attestation_signing_bytes(body).map([&](const std::string& bytes) {
        return AttestationReport{body, device_key.sign_bytes(bytes)};
    });
}

tl::expected<VerifiedAttestation, TrustError> verify_attestation(const AttestationReport& report,
                                                                 const DeviceTrustEntry& entry,
                                                                 const ImageMeasurement& expected,
                                                                 const contracts::Timestamp& now,
                                                                 std::int64_t max_age_seconds) {
    const auto& body = report.body;
    // The device check comes before any signature work.
    if (!(body.device_id == entry.device_id)) {
        return tl::unexpected(TrustError::attestation_device_mismatch());
    }
    const auto bytes = attestation_signing_bytes(body);
    if (!bytes || !crypto::verify_bytes(entry.key, *bytes, report.signature)) {
        return tl::unexpected(TrustError::attestation_signature_invalid());
    }
    // Whole seconds on both sides; a report from the future is as stale as an
    // old one, and an age equal to the maximum still passes.
    const auto age = contracts::whole_seconds_between(body.reported_at, now);
    if (age < 0 || age > max_age_seconds) {
        return tl::unexpected(TrustError::attestation_stale(body.reported_at.to_string(),
                                                            now.to_string(), max_age_seconds));
    }
    if (!(body.reported_measurement == expected)) {
        return tl::unexpected(TrustError::attestation_measurement_mismatch());
    }
    return VerifiedAttestation{now, entry.device_id, body.reported_measurement};
}

}  // namespace zdz::trust
