#include "trust/errors.hpp"

namespace zdz::trust {

TrustError TrustError::manifest_signature_invalid() {
    return TrustError(Kind::ManifestSignatureInvalid);
}
TrustError TrustError::manifest_expired(std::string time) {
    TrustError e(Kind::ManifestExpired);
    e.a_ = std::move(time);
    return e;
}
TrustError TrustError::below_rollback_floor(std::string platform, std::uint32_t version,
                                            std::uint32_t floor) {
    TrustError e(Kind::BelowRollbackFloor);
    e.a_ = std::move(platform);
    e.n1_ = version;
    e.n2_ = floor;
    return e;
}
TrustError TrustError::measurement_withdrawn(std::string platform, std::string measurement) {
    TrustError e(Kind::MeasurementWithdrawn);
    e.a_ = std::move(platform);
    e.b_ = std::move(measurement);
    return e;
}
TrustError TrustError::no_known_good_image(std::string platform) {
    TrustError e(Kind::NoKnownGoodImage);
    e.a_ = std::move(platform);
    return e;
}
TrustError TrustError::not_current_known_good() {
    return TrustError(Kind::NotCurrentKnownGood);
}
TrustError TrustError::attestation_signature_invalid() {
    return TrustError(Kind::AttestationSignatureInvalid);
}
TrustError TrustError::attestation_device_mismatch() {
    return TrustError(Kind::AttestationDeviceMismatch);
}
TrustError TrustError::attestation_stale(std::string reported, std::string checked,
                                         std::int64_t max_age_seconds) {
    TrustError e(Kind::AttestationStale);
    e.a_ = std::move(reported);
    e.b_ = std::move(checked);
    e.n1_ = max_age_seconds;
    return e;
}
TrustError TrustError::attestation_measurement_mismatch() {
    return TrustError(Kind::AttestationMeasurementMismatch);
}
TrustError TrustError::trust_store_entry_invalid(std::uint64_t line, std::string reason) {
    TrustError e(Kind::TrustStoreEntryInvalid);
    e.a_ = std::move(reason);
    e.line_ = line;
    return e;
}
TrustError TrustError::keystore_unseal_failed() {
    return TrustError(Kind::KeystoreUnsealFailed);
}
TrustError TrustError::keystore_malformed(std::string detail) {
    TrustError e(Kind::KeystoreMalformed);
    e.a_ = std::move(detail);
    return e;
}
TrustError TrustError::registry_signature_invalid() {
    return TrustError(Kind::RegistrySignatureInvalid);
}
TrustError TrustError::registry_malformed(std::string detail) {
    TrustError e(Kind::RegistryMalformed);
    e.a_ = std::move(detail);
    return e;
}
TrustError TrustError::storage_failed(std::string detail) {
    TrustError e(Kind::StorageFailed);
    e.a_ = std::move(detail);
    return e;
}
TrustError TrustError::storage_not_durable(std::string detail) {
    TrustError e(Kind::StorageNotDurable);
    e.a_ = std::move(detail);
    return e;
}

TrustError TrustError::from_write_error(const io::WriteError& error) {
    return error.kind == io::WriteError::Kind::NotDurable ? storage_not_durable(error.detail)
                                                          : storage_failed(error.detail);
}

std::string TrustError::display() const {
    switch (kind_) {
        case Kind::ManifestSignatureInvalid:
            return "image manifest signature does not verify";
        case Kind::ManifestExpired:
            return "image manifest expired at " + a_;
        case Kind::BelowRollbackFloor:
            return "image security version " + std::to_string(n1_) +
                   " is below the rollback floor " + std::to_string(n2_) + " for platform " + a_;
        case Kind::MeasurementWithdrawn:
            return "image measurement " + b_ + " was withdrawn for platform " + a_;
        case Kind::NoKnownGoodImage:
            return "no known-good image is promoted for platform " + a_;
        case Kind::NotCurrentKnownGood:
            return "candidate image is not the platform's currently promoted known-good image";
        case Kind::AttestationSignatureInvalid:
            return "attestation signature does not verify";
        case Kind::AttestationDeviceMismatch:
            return "attestation is for a different device than the trust entry provided";
        case Kind::AttestationStale:
            return "attestation is stale: reported at " + a_ + ", checked at " + b_ + ", max age " +
                   std::to_string(n1_) + "s";
        case Kind::AttestationMeasurementMismatch:
            return "attestation reports a measurement that does not match the expected one";
        case Kind::TrustStoreEntryInvalid:
            return "trust store entry invalid at line " + std::to_string(line_) + ": " + a_;
        case Kind::KeystoreUnsealFailed:
            return "signing key could not be unsealed (wrong passphrase or corrupted keystore)";
        case Kind::KeystoreMalformed:
            return "keystore is malformed: " + a_;
        case Kind::RegistrySignatureInvalid:
            return "registry snapshot signature does not verify \u2014 the store file is untrusted";
        case Kind::RegistryMalformed:
            return "registry snapshot is malformed: " + a_;
        case Kind::StorageFailed:
        case Kind::StorageNotDurable:
            return "local storage operation failed: " + a_;
    }
    return {};
}

}  // namespace zdz::trust
