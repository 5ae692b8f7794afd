#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace zdz::trust {

// The one error type of image trust: manifests, trust files, the registry's
// rules, attestations. Each kind owns copies of what it reports, so it
// outlives the records it describes; callers branch on kind() and read what
// it carries with payload<P>().
class TrustError {
public:
    enum class Kind {
        ManifestSignatureInvalid,
        ManifestExpired,
        // Fewer distinct trusted keys signed a manifest than were required.
        TooFewSignatures,
        // The signature verifies with trusted keys, but the manifest's
        // issued_at lies outside the validity window of each of them.
        ManifestOutsideValidity,
        BelowRollbackFloor,
        MeasurementWithdrawn,
        NoKnownGoodImage,
        NotCurrentKnownGood,
        AttestationSignatureInvalid,
        AttestationDeviceMismatch,
        AttestationStale,
        AttestationMeasurementMismatch,
        TrustStoreEntryInvalid,
        // The text of a trust file could not be read through (no memory).
        TrustFileUnreadable,
    };

    static TrustError manifest_signature_invalid();
    static TrustError manifest_expired(std::string time);
    // `platform` names the platform whose recorded policy required them;
    // empty when the command line did.
    static TrustError too_few_signatures(std::uint64_t count, std::uint32_t required,
                                         std::string platform = {});
    static TrustError manifest_outside_validity(std::string issued_at);
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
    static TrustError trust_file_unreadable(std::string detail);

    // What each kind carries; the kinds not named carry nothing.
    struct ExpiredAt {  // ManifestExpired
        std::string time;
        friend bool operator==(const ExpiredAt&, const ExpiredAt&) = default;
    };
    struct SignatureCount {  // TooFewSignatures
        std::uint64_t count = 0;
        std::uint32_t required = 0;
        std::string platform;
        friend bool operator==(const SignatureCount&, const SignatureCount&) = default;
    };
    struct SignedAt {  // ManifestOutsideValidity: the manifest's issued_at
        std::string time;
        friend bool operator==(const SignedAt&, const SignedAt&) = default;
    };
    struct BelowFloor {  // BelowRollbackFloor
        std::string platform;
        std::uint32_t version = 0;
        std::uint32_t floor = 0;
        friend bool operator==(const BelowFloor&, const BelowFloor&) = default;
    };
    struct Withdrawn {  // MeasurementWithdrawn
        std::string platform;
        std::string measurement;
        friend bool operator==(const Withdrawn&, const Withdrawn&) = default;
    };
    struct Platform {  // NoKnownGoodImage
        std::string platform;
        friend bool operator==(const Platform&, const Platform&) = default;
    };
    struct Staleness {  // AttestationStale
        std::string reported;
        std::string checked;
        std::int64_t max_age_seconds = 0;
        friend bool operator==(const Staleness&, const Staleness&) = default;
    };
    struct EntryProblem {  // TrustStoreEntryInvalid; line 0: the file has no entry
        std::uint64_t line = 0;
        std::string reason;
        friend bool operator==(const EntryProblem&, const EntryProblem&) = default;
    };
    struct Detail {  // TrustFileUnreadable
        std::string text;
        friend bool operator==(const Detail&, const Detail&) = default;
    };
    using Payload = std::variant<std::monostate, ExpiredAt, SignatureCount, SignedAt, BelowFloor,
                                 Withdrawn, Platform, Staleness, EntryProblem, Detail>;

    Kind kind() const { return kind_; }
    // What the kind carries, or null when it carries another payload.
    template <class P>
    const P* payload() const {
        return std::get_if<P>(&payload_);
    }
    // The line of a TrustStoreEntryInvalid; 0 for any other kind.
    std::uint64_t line() const {
        const auto* entry = payload<EntryProblem>();
        return entry != nullptr ? entry->line : 0;
    }

    std::string display() const;

    // Whether the error is a trust decision against what was checked: a
    // signature that does not verify (manifest, attestation), too few
    // trusted signatures, an expired manifest or stale attestation, a
    // manifest signed outside the validity of the keys that verify it, the
    // rollback floor, a withdrawn
    // measurement, no or another current known-good image, an attestation
    // for another device or image. The other kinds are inputs that cannot be
    // read or used.
    bool is_refusal() const;

    friend bool operator==(const TrustError&, const TrustError&) = default;

private:
    explicit TrustError(Kind kind, Payload payload = {})
        : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    Payload payload_;
};

}  // namespace zdz::trust
