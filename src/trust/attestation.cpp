#include "trust/attestation.hpp"

#include "encoding/hex.hpp"

namespace zdz::trust {

tl::expected<AttestationNonce, std::string> parse_attestation_nonce(std::string_view text) {
    AttestationNonce nonce{};
    if (auto decoded = encoding::hex_decode_exact(text, nonce); !decoded) {
        return tl::unexpected(decoded.error().field_text("nonce", "nonce", "nonce"));
    }
    return nonce;
}

std::string attestation_nonce_text(const AttestationNonce& nonce) {
    return encoding::hex_encode(nonce);
}

tl::expected<std::string, contracts::ContractError> attestation_signing_bytes(
    const AttestationBody& body) {
    return json::canonical_record(body);
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
