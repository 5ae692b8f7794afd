#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <tl/expected.hpp>

#include "contracts/errors.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "trust/errors.hpp"
#include "trust/image.hpp"

namespace zdz::trust {

inline constexpr std::size_t kAttestationNonceBytes = 32;

// What a device signs to prove which image it booted.
struct AttestationBody {
    contracts::DeviceId device_id;
    ImageMeasurement reported_measurement;
    std::array<std::uint8_t, kAttestationNonceBytes> nonce{};
    contracts::Timestamp reported_at;
};

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
