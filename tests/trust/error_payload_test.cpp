#include <gtest/gtest.h>

#include <string>

#include "contracts/content_hash.hpp"
#include "trust/errors.hpp"
#include "trust/manifest.hpp"
#include "trust/registry.hpp"

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

VerifiedImageManifest manifest(const char* p, ImageMeasurement m, SecurityVersion v) {
    const auto t = *Timestamp::from_unix_seconds(1'780'000'000);
    return {ImageManifestBody{Uuid::new_v4(), platform(p), ImageKind::Install, m, v, Uuid::new_v4(),
                              t, std::nullopt},
            t};
}

}  // namespace

// The registry's refusals carry the numbers and names they are about, so a
// caller can act on them without reading the message.
TEST(TrustErrorPayload, RegistryRefusalsCarryWhatTheyAreAbout) {
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

// Each kind keeps its own payload: equal texts in different kinds are not
// equal errors, and the line belongs to trust-file entries only.
TEST(TrustErrorPayload, KindsDoNotShareSlots) {
    const auto entry = TrustError::trust_store_entry_invalid(7, "bad key");
    EXPECT_EQ(entry.line(), 7U);
    ASSERT_NE(entry.payload<TrustError::EntryProblem>(), nullptr);
    EXPECT_EQ(entry.payload<TrustError::EntryProblem>()->reason, "bad key");
    EXPECT_EQ(entry.payload<TrustError::Detail>(), nullptr);

    EXPECT_NE(TrustError::storage_failed("x"), TrustError::storage_not_durable("x"));
    EXPECT_EQ(TrustError::storage_failed("x").display(),
              TrustError::storage_not_durable("x").display());
    EXPECT_NE(TrustError::keystore_malformed("x"), TrustError::registry_malformed("x"));

    const auto stale = TrustError::attestation_stale("a", "b", 300);
    ASSERT_NE(stale.payload<TrustError::Staleness>(), nullptr);
    EXPECT_EQ(stale.payload<TrustError::Staleness>()->max_age_seconds, 300);
    EXPECT_EQ(TrustError::manifest_signature_invalid().payload<TrustError::Detail>(), nullptr);
}
