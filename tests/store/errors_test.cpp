#include "store/errors.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tl/expected.hpp>

#include "encoding/try.hpp"
#include "trust/errors.hpp"

using zdz::io::WriteError;
using zdz::store::StoreError;
using zdz::trust::TrustError;

// Each kind keeps its own payload: equal texts in different kinds are not
// equal errors.
TEST(StoreErrorPayload, KindsDoNotShareSlots) {
    EXPECT_NE(StoreError::storage_failed("x"), StoreError::storage_not_durable("x"));
    EXPECT_EQ(StoreError::storage_failed("x").display(),
              StoreError::storage_not_durable("x").display());
    EXPECT_NE(StoreError::keystore_malformed("x"), StoreError::registry_malformed("x"));

    const auto expired = StoreError::registry_expired("2026-01-01T00:00:00Z");
    ASSERT_NE(expired.payload<StoreError::ExpiredAt>(), nullptr);
    EXPECT_EQ(expired.payload<StoreError::ExpiredAt>()->time, "2026-01-01T00:00:00Z");
    EXPECT_EQ(expired.payload<StoreError::Detail>(), nullptr);
}

// The words the command line prints after "cannot load ...: ", and which of
// them are refusals: a store whose signature or expiry fails is refused, a
// keystore that does not open is an input.
TEST(StoreErrorDisplay, EachKindAndWhetherItRefuses) {
    struct Case {
        StoreError error;
        std::string text;
        bool refusal;
    };
    const Case cases[] = {
        {StoreError::keystore_unseal_failed(),
         "signing key could not be unsealed (wrong passphrase or corrupted keystore)", false},
        {StoreError::keystore_malformed("no salt"), "keystore is malformed: no salt", false},
        {StoreError::registry_signature_invalid(),
         "registry snapshot signature does not verify \u2014 the store file is untrusted", true},
        {StoreError::registry_expired("2026-01-01T00:00:00Z"),
         "registry store expired at 2026-01-01T00:00:00Z (refresh-store renews it)", true},
        {StoreError::registry_malformed("no body"), "registry snapshot is malformed: no body",
         false},
        {StoreError::storage_failed("cannot read a: gone"),
         "local storage operation failed: cannot read a: gone", false},
        {StoreError::storage_not_durable("cannot sync d: EIO"),
         "local storage operation failed: cannot sync d: EIO", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.display(), c.text);
        EXPECT_EQ(c.error.is_refusal(), c.refusal) << c.text;
    }
}

// A write failure keeps its whole account (not the bare reason), and only a
// replacement that was not flushed is StorageNotDurable.
TEST(StoreErrorDisplay, FromWriteError) {
    const auto failed = StoreError::from_write_error(
        {WriteError::Kind::Failed, "cannot write s.tmp: No space left on device", "No space"});
    EXPECT_EQ(failed, StoreError::storage_failed("cannot write s.tmp: No space left on device"));
    const auto not_durable = StoreError::from_write_error(
        {WriteError::Kind::NotDurable, "cannot finalize s.json: EIO", "EIO"});
    EXPECT_EQ(not_durable.kind(), StoreError::Kind::StorageNotDurable);
    EXPECT_EQ(not_durable.display(), "local storage operation failed: cannot finalize s.json: EIO");
}

namespace {

tl::expected<int, TrustError> judged(bool refuse) {
    if (refuse) {
        return tl::unexpected(TrustError::below_rollback_floor("vask", 1, 2));
    }
    return tl::unexpected(TrustError::trust_store_entry_invalid(3, "bad key"));
}

tl::expected<int, StoreError> carried(bool refuse) {
    ZDZ_TRY(const int value, judged(refuse));
    return value;
}

}  // namespace

// A trust rule's error met in the store comes up through ZDZ_TRY whole: its
// words, its payload and whether it refuses are the TrustError's.
TEST(StoreErrorTrust, CarriesTheTrustErrorAsItIs) {
    const auto floor = carried(true);
    ASSERT_FALSE(floor);
    EXPECT_EQ(floor.error().kind(), StoreError::Kind::Trust);
    EXPECT_EQ(floor.error().display(),
              "image security version 1 is below the rollback floor 2 for platform vask");
    EXPECT_TRUE(floor.error().is_refusal());
    const auto* inner = floor.error().payload<TrustError>();
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->payload<TrustError::BelowFloor>()->floor, 2U);

    const auto entry = carried(false);
    ASSERT_FALSE(entry);
    EXPECT_FALSE(entry.error().is_refusal());
    EXPECT_EQ(entry.error(), StoreError(TrustError::trust_store_entry_invalid(3, "bad key")));
    EXPECT_NE(entry.error(), StoreError::storage_failed(entry.error().display()));
}
