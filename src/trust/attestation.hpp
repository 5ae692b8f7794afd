#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/errors.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "json/fields.hpp"
#include "json/record.hpp"
#include "trust/errors.hpp"
#include "trust/image.hpp"

namespace zdz::trust {

inline constexpr std::size_t kAttestationNonceBytes = 32;

using AttestationNonce = std::array<std::uint8_t, kAttestationNonceBytes>;

// What a device signs to prove which image it booted.
struct AttestationBody {
    contracts::DeviceId device_id;
    ImageMeasurement reported_measurement;
    AttestationNonce nonce{};
    contracts::Timestamp reported_at;
};

// The nonce as text: the hex of its bytes.
[[nodiscard]] tl::expected<AttestationNonce, std::string> parse_attestation_nonce(
    std::string_view text);
std::string attestation_nonce_text(const AttestationNonce& nonce);

// Signed in the canonical layout (attestation_signing_bytes).
constexpr auto describe(json::Type<AttestationBody>) {
    using R = AttestationBody;
    return json::record<R>(
        "AttestationBody",
        json::required(
            "device_id", &R::device_id,
            json::validated(&contracts::DeviceId::parse, &json::to_text<contracts::DeviceId>)),
        json::required("reported_measurement", &R::reported_measurement, measurement_codec),
        json::required("nonce", &R::nonce,
                       json::validated(&parse_attestation_nonce, &attestation_nonce_text)),
        json::required("reported_at", &R::reported_at, json::timestamp));
}

struct AttestationReport {
    AttestationBody body;
    crypto::Signature signature;
};

// What the verifier knows about one device.
struct DeviceTrustEntry {
    contracts::DeviceId device_id;
    crypto::VerifyingKey key;
};

struct VerifiedAttestation {
    contracts::Timestamp verified_at;
    contracts::DeviceId device_id;
    ImageMeasurement reported_measurement;
};

// The bytes an attestation signature covers: the canonical JSON of the body.
[[nodiscard]] tl::expected<std::string, contracts::ContractError> attestation_signing_bytes(
    const AttestationBody& body);

[[nodiscard]] tl::expected<AttestationReport, contracts::ContractError> sign_attestation(
    const AttestationBody& body, const crypto::SigningKey& device_key);

// Device, signature, freshness, measurement, in that order. A report exactly
// `max_age_seconds` old passes; one dated after `now` is stale.
[[nodiscard]] tl::expected<VerifiedAttestation, TrustError> verify_attestation(
    const AttestationReport& report, const DeviceTrustEntry& entry,
    const ImageMeasurement& expected, const contracts::Timestamp& now,
    std::int64_t max_age_seconds);

}  // namespace zdz::trust
