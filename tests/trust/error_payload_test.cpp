#include <gtest/gtest.h>

#include "trust/errors.hpp"

using namespace zdz::trust;

// Each kind keeps its own payload: equal texts in different kinds are not
// equal errors, and the line belongs to trust-file entries only.
TEST(TrustErrorPayload, KindsDoNotShareSlots) {
    const auto entry = TrustError::trust_store_entry_invalid(7, "bad key");
    EXPECT_EQ(entry.line(), 7U);
    ASSERT_NE(entry.payload<TrustError::EntryProblem>(), nullptr);
    EXPECT_EQ(entry.payload<TrustError::EntryProblem>()->reason, "bad key");
    EXPECT_EQ(entry.payload<TrustError::Detail>(), nullptr);

    const auto unreadable = TrustError::trust_file_unreadable("x");
    EXPECT_EQ(unreadable.line(), 0U);
    EXPECT_EQ(unreadable.display(), "local storage operation failed: x");
    EXPECT_FALSE(unreadable.is_refusal());

    const auto stale = TrustError::attestation_stale("a", "b", 300);
    ASSERT_NE(stale.payload<TrustError::Staleness>(), nullptr);
    EXPECT_EQ(stale.payload<TrustError::Staleness>()->max_age_seconds, 300);
    EXPECT_EQ(TrustError::manifest_signature_invalid().payload<TrustError::Detail>(), nullptr);
}

// A manifest signed outside every window is refused with the instant it was
// signed at, in a slot of its own: it is no expiry, though both carry a time.
TEST(TrustErrorPayload, OutsideValidityCarriesTheSigningTime) {
    const auto outside = TrustError::manifest_outside_validity("2026-07-01T00:00:00Z");
    EXPECT_TRUE(outside.is_refusal());
    ASSERT_NE(outside.payload<TrustError::SignedAt>(), nullptr);
    EXPECT_EQ(outside.payload<TrustError::SignedAt>()->time, "2026-07-01T00:00:00Z");
    EXPECT_NE(outside, TrustError::manifest_expired("2026-07-01T00:00:00Z"));
}
