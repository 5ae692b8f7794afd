#include "trust/registry.hpp"

#include <algorithm>

#include "trust/manifest.hpp"

namespace zdz::trust {

bool MeasurementOrder::operator()(const ImageMeasurement& a, const ImageMeasurement& b) const {
    if (a.hash.algorithm != b.hash.algorithm) {
        return a.hash.algorithm < b.hash.algorithm;
    }
    return a.hash.digest < b.hash.digest;
}

std::string KnownGoodImage::debug() const {
    return "KnownGoodImage { measurement: " + measurement.debug() +
           ", promoted_at: " + promoted_at.debug() + " }";
}

tl::expected<KnownGoodImage, TrustError> KnownGoodStore::promote(
    const VerifiedImageManifest& manifest) {
    const auto& body = manifest.body;
    const auto it = platforms_.find(body.platform);
    if (it != platforms_.end() && it->second.withdrawn.contains(body.measurement)) {
        return tl::unexpected(
            TrustError::measurement_withdrawn(body.platform.text(), body.measurement.to_string()));
    }
    return record_promotion({body.platform, body.measurement, body.security_version,
                             manifest.verified_at, body.image_kind});
}

tl::expected<KnownGoodImage, TrustError> KnownGoodStore::record_promotion(
    const PromotionRecord& promotion) {
    const auto floor = rollback_floor(promotion.platform);
    if (promotion.security_version < floor) {
        return tl::unexpected(TrustError::below_rollback_floor(promotion.platform.text(),
                                                               promotion.security_version, floor));
    }
    auto& state = platforms_[promotion.platform];
    // The version is at least the old floor, so the floor never goes down.
    state.rollback_floor = promotion.security_version;
    state.history.push_back(promotion);
    state.current = promotion;
    // A promotion of a kind replaces the current image of its kind, and one
    // of no known kind (which may have been of any); one without a kind
    // replaces them all.
    std::erase_if(state.current_images, [&](const PromotionRecord& image) {
        return !promotion.kind || !image.kind || image.kind == promotion.kind;
    });
    state.current_images.push_back(promotion);
    return KnownGoodImage{promotion.measurement, promotion.promoted_at};
}

Withdrawal KnownGoodStore::withdraw(const ImagePlatform& platform,
                                    const ImageMeasurement& measurement) {
    auto& state = platforms_[platform];
    const bool inserted = state.withdrawn.insert(measurement).second;
    const bool current =
        std::any_of(state.current_images.begin(), state.current_images.end(),
                    [&](const PromotionRecord& image) { return image.measurement == measurement; });
    return {inserted, current};
}

Withdrawal KnownGoodStore::withdraw_image(const ImagePlatform& platform,
                                          std::span<const ImageMeasurement> digests) {
    Withdrawal image;
    for (const auto& digest : digests) {
        const auto withdrawal = withdraw(platform, digest);
        image.newly_withdrawn = image.newly_withdrawn || withdrawal.newly_withdrawn;
        image.blocks_current = image.blocks_current || withdrawal.blocks_current;
    }
    return image;
}

std::optional<PromotionRecord> KnownGoodStore::current_image(const ImagePlatform& platform) const {
    const auto it = platforms_.find(platform);
    if (it == platforms_.end()) {
        return std::nullopt;
    }
    return it->second.current;
}

std::span<const PromotionRecord> KnownGoodStore::current_images(
    const ImagePlatform& platform) const {
    const auto it = platforms_.find(platform);
    if (it == platforms_.end()) {
        return {};
    }
    return it->second.current_images;
}

namespace {

// The current image a candidate known by `digests` is judged against: the
// one it is (compared under that image's own algorithm), or else the latest.
const PromotionRecord& judged_against(const PlatformState& state,
                                      std::span<const ImageMeasurement> digests) {
    for (const auto& image : state.current_images) {
        for (const auto& digest : digests) {
            if (digest.hash.algorithm == image.measurement.hash.algorithm &&
                digest == image.measurement) {
                return image;
            }
        }
    }
    return *state.current;
}

}  // namespace

tl::expected<PromotionRecord, TrustError> KnownGoodStore::authorize_install(
    const ImagePlatform& platform, const ImageMeasurement& candidate) const {
    const auto it = platforms_.find(platform);
    if (it == platforms_.end() || !it->second.current) {
        return tl::unexpected(TrustError::no_known_good_image(platform.text()));
    }
    const auto& state = it->second;
    const auto& current = judged_against(state, std::span(&candidate, 1));
    // A withdrawn current image blocks every candidate, so this comes first.
    if (state.withdrawn.contains(current.measurement)) {
        return tl::unexpected(
            TrustError::measurement_withdrawn(platform.text(), current.measurement.to_string()));
    }
    // ContentHash equality reads all 32 bytes without stopping early.
    if (!(candidate == current.measurement)) {
        return tl::unexpected(TrustError::not_current_known_good());
    }
    // The floor is the platform's, whichever kind raised it: the current
    // image of one kind may have fallen below it.
    if (current.security_version < state.rollback_floor) {
        return tl::unexpected(TrustError::below_rollback_floor(
            platform.text(), current.security_version, state.rollback_floor));
    }
    return current;
}

tl::expected<PromotionRecord, TrustError> KnownGoodStore::authorize_image(
    const ImagePlatform& platform, std::span<const ImageMeasurement> digests) const {
    const auto it = platforms_.find(platform);
    if (it == platforms_.end() || !it->second.current) {
        return authorize_install(platform, digests.empty() ? ImageMeasurement{} : digests.front());
    }
    const auto& current = judged_against(it->second, digests);
    const auto same_algorithm = std::find_if(digests.begin(), digests.end(), [&](const auto& d) {
        return d.hash.algorithm == current.measurement.hash.algorithm;
    });
    if (same_algorithm == digests.end()) {
        return authorize_install(platform, digests.empty() ? ImageMeasurement{} : digests.front());
    }
    // A withdrawn current image blocks every candidate: authorize_install
    // says so before any digest of this image is looked at.
    const auto& withdrawn = it->second.withdrawn;
    const auto refused = [&](const ImageMeasurement& digest) {
        return tl::unexpected(
            TrustError::measurement_withdrawn(platform.text(), digest.to_string()));
    };
    if (!withdrawn.contains(current.measurement)) {
        // The digest the decision is taken with first: the one the report
        // shows.
        if (withdrawn.contains(*same_algorithm)) {
            return refused(*same_algorithm);
        }
        for (const auto& digest : digests) {
            if (withdrawn.contains(digest)) {
                return refused(digest);
            }
        }
    }
    return authorize_install(platform, *same_algorithm);
}

contracts::HashAlgorithm KnownGoodStore::candidate_algorithm(const ImagePlatform& platform) const {
    const auto current = current_image(platform);
    return current ? current->measurement.hash.algorithm : contracts::HashAlgorithm::Sha256;
}

std::size_t KnownGoodStore::times_promoted(const ImagePlatform& platform,
                                           std::span<const ImageMeasurement> measurements) const {
    const auto promotions = history(platform);
    return static_cast<std::size_t>(
        std::count_if(promotions.begin(), promotions.end(), [&](const PromotionRecord& record) {
            return std::find(measurements.begin(), measurements.end(), record.measurement) !=
                   measurements.end();
        }));
}

SecurityVersion KnownGoodStore::rollback_floor(const ImagePlatform& platform) const {
    const auto it = platforms_.find(platform);
    return it == platforms_.end() ? 0 : it->second.rollback_floor;
}

std::uint32_t KnownGoodStore::min_signers(const ImagePlatform& platform) const {
    const auto it = platforms_.find(platform);
    return it == platforms_.end() ? 1 : it->second.min_signers;
}

void KnownGoodStore::set_min_signers(const ImagePlatform& platform, std::uint32_t count) {
    platforms_[platform].min_signers = count;
}

std::span<const PromotionRecord> KnownGoodStore::history(const ImagePlatform& platform) const {
    const auto it = platforms_.find(platform);
    if (it == platforms_.end()) {
        return {};
    }
    return it->second.history;
}

}  // namespace zdz::trust
