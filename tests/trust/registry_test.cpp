#include "trust/registry.hpp"

#include <gtest/gtest.h>

#include "contracts/content_hash.hpp"
#include "crypto/digest.hpp"
#include "trust/manifest.hpp"

using namespace zdz::trust;
using zdz::contracts::ContentHash;
using zdz::contracts::Timestamp;
using zdz::contracts::Uuid;

namespace {

ImagePlatform platform(const char* text) {
    return *ImagePlatform::parse(text);
}

ImageMeasurement sha(char digit) {
    return {*ContentHash::parse("sha256:" + std::string(64, digit))};
}

VerifiedImageManifest manifest(const char* p, ImageMeasurement m, SecurityVersion v,
                               std::int64_t at = 1'780'000'000,
                               ImageKind kind = ImageKind::Install) {
    const auto t = *Timestamp::from_unix_seconds(at);
    return {
        ImageManifestBody{Uuid::new_v4(), platform(p), kind, m, v, Uuid::new_v4(), t, std::nullopt},
        t};
}

VerifiedImageManifest update(const char* p, ImageMeasurement m, SecurityVersion v) {
    return manifest(p, m, v, 1'780'000'000, ImageKind::OtaUpdate);
}

}  // namespace

TEST(KnownGoodStore, EmptyStore) {
    KnownGoodStore store;
    EXPECT_EQ(store.rollback_floor(platform("vask")), 0U);
    EXPECT_TRUE(store.history(platform("vask")).empty());
    EXPECT_EQ(store.authorize_install(platform("vask"), sha('1')).error().display(),
              "no known-good image is promoted for platform vask");
}

TEST(KnownGoodStore, RollbackFloorOnlyRises) {
    KnownGoodStore store;
    const auto v1 = store.promote(manifest("vask", sha('1'), 1, 100));
    ASSERT_TRUE(v1);
    EXPECT_EQ(v1->debug(),
              "KnownGoodImage { measurement: ImageMeasurement(sha256:" + std::string(64, '1') +
                  "), promoted_at: Timestamp(1970-01-01T00:01:40Z) }");
    EXPECT_EQ(store.rollback_floor(platform("vask")), 1U);
    ASSERT_TRUE(store.promote(manifest("vask", sha('2'), 2)));
    EXPECT_EQ(store.rollback_floor(platform("vask")), 2U);

    const auto before = store;
    const auto downgrade = store.promote(manifest("vask", sha('1'), 1));
    ASSERT_FALSE(downgrade);
    EXPECT_EQ(downgrade.error().display(),
              "image security version 1 is below the rollback floor 2 for platform vask");
    EXPECT_EQ(store, before);  // a refusal changes nothing

    // Equal to the floor is accepted: the same version may be promoted again.
    ASSERT_TRUE(store.promote(manifest("vask", sha('3'), 2)));
    EXPECT_EQ(store.history(platform("vask")).size(), 3U);
}

TEST(KnownGoodStore, OnlyTheCurrentImageIsInstallable) {
    KnownGoodStore store;
    ASSERT_TRUE(store.promote(manifest("vask", sha('1'), 1)));
    ASSERT_TRUE(store.authorize_install(platform("vask"), sha('1')));
    const auto other = store.authorize_install(
        platform("vask"), {zdz::crypto::measure_blake3(std::string_view("never-promoted-image"))});
    EXPECT_EQ(other.error().display(),
              "candidate image is not the platform's currently promoted known-good image");
    // Same digest, other algorithm: not the current image.
    const ImageMeasurement b3{
        ContentHash{zdz::contracts::HashAlgorithm::Blake3, sha('1').hash.digest}};
    EXPECT_FALSE(store.authorize_install(platform("vask"), b3));

    ASSERT_TRUE(store.promote(manifest("vask", sha('2'), 1)));
    EXPECT_EQ(store.authorize_install(platform("vask"), sha('1')).error().kind(),
              TrustError::Kind::NotCurrentKnownGood);
    EXPECT_EQ(store.authorize_install(platform("vask"), sha('2'))->security_version, 1U);
}

TEST(KnownGoodStore, WithdrawnMeasurements) {
    KnownGoodStore store;
    store.withdraw(platform("vask"), sha('9'));
    EXPECT_EQ(
        store.promote(manifest("vask", sha('9'), 5)).error().display(),
        "image measurement sha256:" + std::string(64, '9') + " was withdrawn for platform vask");
    // Another platform is unaffected.
    EXPECT_TRUE(store.promote(manifest("other", sha('9'), 1)));

    // A withdrawn current image blocks every candidate, itself included.
    ASSERT_TRUE(store.record_promotion({platform("vask"), sha('9'), 1, Timestamp()}));
    for (const char c : {'9', '1'}) {
        EXPECT_EQ(store.authorize_install(platform("vask"), sha(c)).error().kind(),
                  TrustError::Kind::MeasurementWithdrawn);
    }
}

TEST(KnownGoodStore, PlatformsAreIndependentAndOrderedByBytes) {
    KnownGoodStore store;
    ASSERT_TRUE(store.promote(manifest("zeta", sha('1'), 5)));
    ASSERT_TRUE(store.promote(manifest("alpha", sha('1'), 1)));
    ASSERT_TRUE(store.promote(manifest("alpha-2", sha('1'), 1)));
    std::vector<std::string> order;
    for (const auto& [p, state] : store.platforms()) {
        order.push_back(p.text());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"alpha", "alpha-2", "zeta"}));
}

TEST(KnownGoodStore, WithdrawnSetOrdersBlake3BeforeSha256ThenDigest) {
    MeasurementSet set;
    set.insert(sha('2'));
    set.insert({ContentHash{zdz::contracts::HashAlgorithm::Blake3, sha('3').hash.digest}});
    set.insert(sha('1'));
    std::vector<std::string> order;
    for (const auto& m : set) {
        order.push_back(m.to_string().substr(0, 8));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"blake3:3", "sha256:1", "sha256:2"}));
}

TEST(KnownGoodStore, WithdrawSaysWhatChangedAndBlocksTheCurrentImage) {
    KnownGoodStore store;
    // A platform the store does not know gets a state of its own, as loading
    // a stored withdrawn list does.
    auto withdrawal = store.withdraw(platform("alder"), sha('7'));
    EXPECT_TRUE(withdrawal.newly_withdrawn);
    EXPECT_FALSE(withdrawal.blocks_current);
    EXPECT_EQ(store.platforms().size(), 1U);
    EXPECT_EQ(store.rollback_floor(platform("alder")), 0U);
    EXPECT_FALSE(store.current_image(platform("alder")));

    const auto before = store;
    withdrawal = store.withdraw(platform("alder"), sha('7'));
    EXPECT_FALSE(withdrawal.newly_withdrawn);
    EXPECT_EQ(store, before);

    ASSERT_TRUE(store.promote(manifest("vask", sha('1'), 1)));
    ASSERT_TRUE(store.promote(manifest("vask", sha('2'), 2)));
    EXPECT_EQ(store.current_image(platform("vask"))->measurement, sha('2'));
    // An earlier image: installs of the current one go on.
    withdrawal = store.withdraw(platform("vask"), sha('1'));
    EXPECT_TRUE(withdrawal.newly_withdrawn);
    EXPECT_FALSE(withdrawal.blocks_current);
    EXPECT_TRUE(store.authorize_install(platform("vask"), sha('2')));

    withdrawal = store.withdraw(platform("vask"), sha('2'));
    EXPECT_TRUE(withdrawal.newly_withdrawn);
    EXPECT_TRUE(withdrawal.blocks_current);
    EXPECT_EQ(store.authorize_install(platform("vask"), sha('2')).error().kind(),
              TrustError::Kind::MeasurementWithdrawn);
    EXPECT_EQ(store.promote(manifest("vask", sha('2'), 3)).error().kind(),
              TrustError::Kind::MeasurementWithdrawn);
    // The floor stays: only an image at least as new lifts the block.
    EXPECT_EQ(store.rollback_floor(platform("vask")), 2U);
    ASSERT_TRUE(store.promote(manifest("vask", sha('3'), 2)));
    EXPECT_TRUE(store.authorize_install(platform("vask"), sha('3')));
}

// The registry's refusals carry the numbers and names they are about, so a
// caller can act on them without reading the message.
TEST(KnownGoodStore, RefusalsCarryWhatTheyAreAbout) {
    KnownGoodStore store;
    const auto none = store.authorize_install(platform("vask"), sha('1'));
    ASSERT_FALSE(none);
    ASSERT_NE(none.error().payload<TrustError::Platform>(), nullptr);
    EXPECT_EQ(none.error().payload<TrustError::Platform>()->platform, "vask");

    ASSERT_TRUE(store.promote(manifest("vask", sha('2'), 2)));
    const auto downgrade = store.promote(manifest("vask", sha('1'), 1));
    ASSERT_FALSE(downgrade);
    EXPECT_EQ(downgrade.error().kind(), TrustError::Kind::BelowRollbackFloor);
    const auto* floor = downgrade.error().payload<TrustError::BelowFloor>();
    ASSERT_NE(floor, nullptr);
    EXPECT_EQ(*floor, (TrustError::BelowFloor{"vask", 1, 2}));
    EXPECT_EQ(downgrade.error().payload<TrustError::Platform>(), nullptr);
    EXPECT_EQ(downgrade.error().line(), 0U);
}

TEST(KnownGoodStore, EachKindHasItsCurrentImageUnderOneFloor) {
    const auto vask = platform("vask");
    KnownGoodStore store;
    ASSERT_TRUE(store.promote(manifest("vask", sha('1'), 3)));
    ASSERT_TRUE(store.promote(update("vask", sha('2'), 3)));
    // The install and the update image of one release are both current.
    EXPECT_TRUE(store.authorize_install(vask, sha('1')));
    EXPECT_TRUE(store.authorize_install(vask, sha('2')));
    EXPECT_EQ(store.current_images(vask).size(), 2U);
    EXPECT_EQ(store.current_image(vask)->measurement, sha('2'));

    // A newer install image replaces the install image alone.
    ASSERT_TRUE(store.promote(manifest("vask", sha('3'), 3)));
    EXPECT_EQ(store.authorize_install(vask, sha('1')).error().display(),
              "candidate image is not the platform's currently promoted known-good image");
    EXPECT_TRUE(store.authorize_install(vask, sha('2')));

    // The floor is the platform's: an update at sv4 leaves the sv3 install
    // image current but below it.
    ASSERT_TRUE(store.promote(update("vask", sha('4'), 4)));
    EXPECT_EQ(store.authorize_install(vask, sha('3')).error().display(),
              "image security version 3 is below the rollback floor 4 for platform vask");
    EXPECT_TRUE(store.authorize_install(vask, sha('4')));
    EXPECT_FALSE(store.promote(manifest("vask", sha('5'), 3)));

    // Withdrawing one kind's image blocks that image, not the other kind's.
    ASSERT_TRUE(store.promote(manifest("vask", sha('6'), 4)));
    EXPECT_TRUE(store.withdraw(vask, sha('4')).blocks_current);
    EXPECT_TRUE(store.authorize_install(vask, sha('6')));
    EXPECT_EQ(
        store.authorize_install(vask, sha('4')).error().display(),
        "image measurement sha256:" + std::string(64, '4') + " was withdrawn for platform vask");
}

TEST(KnownGoodStore, APromotionWithoutAKindIsTheOneCurrentImage) {
    const auto vask = platform("vask");
    const auto at = *Timestamp::from_unix_seconds(1'780'000'000);
    KnownGoodStore store;
    // As a store written before promotions had a kind replays its history.
    ASSERT_TRUE(store.record_promotion({vask, sha('1'), 1, at}));
    ASSERT_TRUE(store.record_promotion({vask, sha('2'), 2, at}));
    EXPECT_FALSE(store.authorize_install(vask, sha('1')));
    EXPECT_TRUE(store.authorize_install(vask, sha('2')));
    // A promotion of a kind takes the place of one of no known kind.
    ASSERT_TRUE(store.promote(update("vask", sha('3'), 2)));
    EXPECT_FALSE(store.authorize_install(vask, sha('2')));
    EXPECT_TRUE(store.authorize_install(vask, sha('3')));
    EXPECT_EQ(store.current_images(vask).size(), 1U);
}
