#include "trust/errors.hpp"

namespace zdz::trust {

TrustError TrustError::manifest_signature_invalid() {
    return TrustError(Kind::ManifestSignatureInvalid);
}
TrustError TrustError::manifest_expired(std::string time) {
    return TrustError(Kind::ManifestExpired, ExpiredAt{std::move(time)});
}
TrustError TrustError::too_few_signatures(std::uint64_t count, std::uint32_t required,
                                          std::string platform) {
    return TrustError(Kind::TooFewSignatures, SignatureCount{count, required, std::move(platform)});
}
TrustError TrustError::manifest_outside_validity(std::string issued_at) {
    return TrustError(Kind::ManifestOutsideValidity, SignedAt{std::move(issued_at)});
}
TrustError TrustError::below_rollback_floor(std::string platform, std::uint32_t version,
                                            std::uint32_t floor) {
    return TrustError(Kind::BelowRollbackFloor, BelowFloor{std::move(platform), version, floor});
}
TrustError TrustError::measurement_withdrawn(std::string platform, std::string measurement) {
    return TrustError(Kind::MeasurementWithdrawn,
                      Withdrawn{std::move(platform), std::move(measurement)});
}
TrustError TrustError::no_known_good_image(std::string platform) {
    return TrustError(Kind::NoKnownGoodImage, Platform{std::move(platform)});
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
    return TrustError(Kind::AttestationStale,
                      Staleness{std::move(reported), std::move(checked), max_age_seconds});
}
TrustError TrustError::attestation_measurement_mismatch() {
    return TrustError(Kind::AttestationMeasurementMismatch);
}
TrustError TrustError::trust_store_entry_invalid(std::uint64_t line, std::string reason) {
    return TrustError(Kind::TrustStoreEntryInvalid, EntryProblem{line, std::move(reason)});
}
TrustError TrustError::trust_file_unreadable(std::string detail) {
    return TrustError(Kind::TrustFileUnreadable, Detail{std::move(detail)});
}

namespace {

// The texts of the kinds that carry a payload, one overload per payload.
struct PayloadText {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(const TrustError::ExpiredAt& p) const {
        return "image manifest expired at " + p.time;
    }
    std::string operator()(const TrustError::SignatureCount& p) const {
        std::string text = "manifest has " + std::to_string(p.count) + " trusted signature" +
                           (p.count == 1 ? "" : "s") + ", ";
        if (!p.platform.empty()) {
            return text + "the policy of platform " + p.platform + " requires " +
                   std::to_string(p.required);
        }
        return text + std::to_string(p.required) + " required";
    }
    std::string operator()(const TrustError::SignedAt& p) const {
        return "signed at " + p.time +
               ", outside the validity of every trusted key that verifies it";
    }
    std::string operator()(const TrustError::BelowFloor& p) const {
        return "image security version " + std::to_string(p.version) +
               " is below the rollback floor " + std::to_string(p.floor) + " for platform " +
               p.platform;
    }
    std::string operator()(const TrustError::Withdrawn& p) const {
        return "image measurement " + p.measurement + " was withdrawn for platform " + p.platform;
    }
    std::string operator()(const TrustError::Platform& p) const {
        return "no known-good image is promoted for platform " + p.platform;
    }
    std::string operator()(const TrustError::Staleness& p) const {
        return "attestation is stale: reported at " + p.reported + ", checked at " + p.checked +
               ", max age " + std::to_string(p.max_age_seconds) + "s";
    }
    std::string operator()(const TrustError::EntryProblem& p) const {
        return "trust store entry invalid at line " + std::to_string(p.line) + ": " + p.reason;
    }
    std::string operator()(const TrustError::Detail& p) const {
        // TrustFileUnreadable reads as a failure of local storage.
        return "local storage operation failed: " + p.text;
    }
};

}  // namespace

std::string TrustError::display() const {
    switch (kind_) {
        case Kind::ManifestSignatureInvalid:
            return "image manifest signature does not verify";
        case Kind::NotCurrentKnownGood:
            return "candidate image is not the platform's currently promoted known-good image";
        case Kind::AttestationSignatureInvalid:
            return "attestation signature does not verify";
        case Kind::AttestationDeviceMismatch:
            return "attestation is for a different device than the trust entry provided";
        case Kind::AttestationMeasurementMismatch:
            return "attestation reports a measurement that does not match the expected one";
        default:
            return std::visit(PayloadText{}, payload_);
    }
}

bool TrustError::is_refusal() const {
    switch (kind_) {
        case Kind::ManifestSignatureInvalid:
        case Kind::ManifestExpired:
        case Kind::TooFewSignatures:
        case Kind::ManifestOutsideValidity:
        case Kind::BelowRollbackFloor:
        case Kind::MeasurementWithdrawn:
        case Kind::NoKnownGoodImage:
        case Kind::NotCurrentKnownGood:
        case Kind::AttestationSignatureInvalid:
        case Kind::AttestationDeviceMismatch:
        case Kind::AttestationStale:
        case Kind::AttestationMeasurementMismatch:
            return true;
        case Kind::TrustStoreEntryInvalid:
        case Kind::TrustFileUnreadable:
            return false;
    }
    return false;
}

}  // namespace zdz::trust
