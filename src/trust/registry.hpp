#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "contracts/time.hpp"
#include "trust/errors.hpp"
#include "trust/image.hpp"

namespace zdz::trust {

struct VerifiedImageManifest;

// Withdrawn measurements are ordered by algorithm (BLAKE3 before SHA-256), then
// by digest bytes.
struct MeasurementOrder {
    bool operator()(const ImageMeasurement& a, const ImageMeasurement& b) const;
};
using MeasurementSet = std::set<ImageMeasurement, MeasurementOrder>;

// One promotion of an image to known-good on a platform.
struct PromotionRecord {
    ImagePlatform platform;
    ImageMeasurement measurement;
    SecurityVersion security_version = 0;
    contracts::Timestamp promoted_at;
    // The kind of the manifest promoted; none for a promotion a store
    // recorded before promotions had a kind.
    std::optional<ImageKind> kind = std::nullopt;

    friend bool operator==(const PromotionRecord&, const PromotionRecord&) = default;
};

// What a successful promotion hands back.
struct KnownGoodImage {
    ImageMeasurement measurement;
    contracts::Timestamp promoted_at;

    // "KnownGoodImage { measurement: ImageMeasurement(...), promoted_at: Timestamp(...) }"
    std::string debug() const;
};

// What withdrawing a measurement did.
struct Withdrawal {
    // False when the measurement was withdrawn already: nothing changed.
    bool newly_withdrawn = false;
    // The measurement is the platform's current image, so no install is
    // authorized there until another image is promoted.
    bool blocks_current = false;
};

struct PlatformState {
    // The latest promotion.
    std::optional<PromotionRecord> current;
    // The current image of each kind: the latest promotion of that kind. A
    // promotion without a kind stands alone, as the one current image of
    // the platform (what every promotion was before they had kinds); one
    // with a kind replaces that of its kind and any without. In promotion
    // order.
    std::vector<PromotionRecord> current_images;
    SecurityVersion rollback_floor = 0;
    // How many distinct trusted keys must have signed a manifest promoted
    // here: the platform's approval policy, 1 unless one was set.
    std::uint32_t min_signers = 1;
    std::vector<PromotionRecord> history;
    MeasurementSet withdrawn;

    friend bool operator==(const PlatformState&, const PlatformState&) = default;
};

// The in-memory known-good registry: per platform, the current image, the
// rollback floor, the promotion history and the withdrawn measurements.
// Platforms iterate in byte order of their text.
class KnownGoodStore {
public:
    using Platforms = std::map<ImagePlatform, PlatformState>;

    // Admits a verified manifest under the rollback rule; changes nothing on
    // failure.
    [[nodiscard]] tl::expected<KnownGoodImage, TrustError> promote(
        const VerifiedImageManifest& manifest);

    // The rollback rule alone, without the withdrawn check: what loading a
    // stored history replays. Changes nothing on failure.
    [[nodiscard]] tl::expected<KnownGoodImage, TrustError> record_promotion(
        const PromotionRecord& promotion);

    // Adds a withdrawn measurement, creating an empty platform state if needed.
    // A withdrawn measurement is never promoted again on that platform, and
    // while it is the current image every install there is refused.
    Withdrawal withdraw(const ImagePlatform& platform, const ImageMeasurement& measurement);

    // Withdraws an image known by its digest under every algorithm, so that
    // no manifest for its bytes promotes again, whatever it was measured
    // with. Newly withdrawn when any digest was; blocks the current image
    // when any digest is its measurement.
    Withdrawal withdraw_image(const ImagePlatform& platform,
                              std::span<const ImageMeasurement> digests);

    // The platform's current known-good record; nullopt for a platform the
    // store does not know or that has none.
    std::optional<PromotionRecord> current_image(const ImagePlatform& platform) const;

    // The platform's current images, one per kind (PlatformState); empty for
    // a platform the store does not know or that has none.
    std::span<const PromotionRecord> current_images(const ImagePlatform& platform) const;

    // The current known-good record `candidate` is exactly, if its security
    // version is not below the platform's rollback floor (one floor for every
    // kind).
    [[nodiscard]] tl::expected<PromotionRecord, TrustError> authorize_install(
        const ImagePlatform& platform, const ImageMeasurement& candidate) const;

    // authorize_install for an image known by its digest under every
    // algorithm: refused as withdrawn when any of them is withdrawn on the
    // platform, else decided with the digest under the algorithm of the
    // current image. The first refusal of authorize_install comes first.
    [[nodiscard]] tl::expected<PromotionRecord, TrustError> authorize_image(
        const ImagePlatform& platform, std::span<const ImageMeasurement> digests) const;

    // The algorithm an image file is measured with to be compared with the
    // platform's current image: that image's, SHA-256 (what sign measures
    // with) when it has none.
    contracts::HashAlgorithm candidate_algorithm(const ImagePlatform& platform) const;

    // How many promotions of `platform` were of any of `measurements`.
    std::size_t times_promoted(const ImagePlatform& platform,
                               std::span<const ImageMeasurement> measurements) const;

    // 0 for a platform the store does not know.
    SecurityVersion rollback_floor(const ImagePlatform& platform) const;

    // The platform's approval policy; 1 for a platform the store does not
    // know.
    std::uint32_t min_signers(const ImagePlatform& platform) const;
    // Records the policy, creating an empty platform state if needed.
    void set_min_signers(const ImagePlatform& platform, std::uint32_t count);

    // Oldest first; empty for a platform the store does not know.
    std::span<const PromotionRecord> history(const ImagePlatform& platform) const;

    const Platforms& platforms() const { return platforms_; }

    friend bool operator==(const KnownGoodStore&, const KnownGoodStore&) = default;

private:
    Platforms platforms_;
};

}  // namespace zdz::trust
