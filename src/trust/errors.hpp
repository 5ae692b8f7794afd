#pragma once

#include <cstdint>
#include <string>

#include "io/file.hpp"

namespace zdz::trust {

// The one error type of image trust, the keystore and the registry store. Each
// kind owns copies of what it reports, so it outlives the records it describes.
class TrustError {
public:
    enum class Kind {
        ManifestSignatureInvalid,
        ManifestExpired,
        BelowRollbackFloor,
        MeasurementWithdrawn,
        NoKnownGoodImage,
        NotCurrentKnownGood,
        AttestationSignatureInvalid,
        AttestationDeviceMismatch,
        AttestationStale,
        AttestationMeasurementMismatch,
        TrustStoreEntryInvalid,
        KeystoreUnsealFailed,
        KeystoreMalformed,
        RegistrySignatureInvalid,
        RegistryMalformed,
        StorageFailed,
        // The file was replaced, but flushing its directory failed: the new
        // file is in place and may not survive a crash.
        StorageNotDurable,
    };

    static TrustError manifest_signature_invalid();
    static TrustError manifest_expired(std::string time);
    static TrustError below_rollback_floor(std::string platform, std::uint32_t version,
                                           std::uint32_t floor);
    static TrustError measurement_withdrawn(std::string platform, std::string measurement);
    static TrustError no_known_good_image(std::string platform);
    static TrustError not_current_known_good();
    static TrustError attestation_signature_invalid();
    static TrustError attestation_device_mismatch();
    static TrustError attestation_stale(std::string reported, std::string checked,
                                        std::int64_t max_age_seconds);
    static TrustError attestation_measurement_mismatch();
    static TrustError trust_store_entry_invalid(std::uint64_t line, std::string reason);
    static TrustError keystore_unseal_failed();
    static TrustError keystore_malformed(std::string detail);
    static TrustError registry_signature_invalid();
    static TrustError registry_malformed(std::string detail);
    static TrustError storage_failed(std::string detail);
    // Displayed as storage_failed is; callers tell the two apart by kind.
    static TrustError storage_not_durable(std::string detail);
    // StorageFailed, or StorageNotDurable for a file replaced but not flushed.
    static TrustError from_write_error(const io::WriteError& error);

    Kind kind() const { return kind_; }
    // Carried texts in the order the kind lists them; numbers in number().
    const std::string& first() const { return a_; }
    const std::string& second() const { return b_; }
    std::int64_t number() const { return n1_; }
    std::int64_t second_number() const { return n2_; }
    std::uint64_t line() const { return line_; }

    std::string display() const;

    friend bool operator==(const TrustError&, const TrustError&) = default;

private:
    explicit TrustError(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::string a_;
    std::string b_;
    std::int64_t n1_ = 0;
    std::int64_t n2_ = 0;
    std::uint64_t line_ = 0;
};

}  // namespace zdz::trust
