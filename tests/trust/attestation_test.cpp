#include "trust/attestation.hpp"

#include <gtest/gtest.h>

#include "crypto/digest.hpp"

using namespace zdz::trust;
using zdz::contracts::DeviceId;
using zdz::contracts::Timestamp;
using zdz::crypto::SigningKey;

namespace {

struct Device {
    DeviceId id = DeviceId::new_random();
    SigningKey key = SigningKey::generate();
    DeviceTrustEntry entry() const { return {id, key.verifying_key()}; }
};

ImageMeasurement measure(const char* text) {
    return {zdz::crypto::measure_sha256(std::string_view(text))};
}

const Timestamp kNow = *Timestamp::parse("2026-07-29T12:00:00Z");

AttestationReport report(const Device& d, const ImageMeasurement& m, std::int64_t age) {
    const auto at = *Timestamp::from_unix_seconds(kNow.seconds_since_epoch() - age);
    return *sign_attestation({d.id, m, {}, at}, d.key);
}

}  // namespace

TEST(Attestation, FreshMatchingReportVerifies) {
    const Device d;
    const auto verified =
        verify_attestation(report(d, measure("v2"), 0), d.entry(), measure("v2"), kNow, 300);
    ASSERT_TRUE(verified);
    EXPECT_EQ(verified->device_id, d.id);
    EXPECT_EQ(verified->verified_at, kNow);
}

TEST(Attestation, FreshnessBounds) {
    const Device d;
    EXPECT_TRUE(
        verify_attestation(report(d, measure("v2"), 300), d.entry(), measure("v2"), kNow, 300));
    EXPECT_EQ(verify_attestation(report(d, measure("v2"), 301), d.entry(), measure("v2"), kNow, 300)
                  .error()
                  .display(),
              "attestation is stale: reported at 2026-07-29T11:54:59Z, checked at "
              "2026-07-29T12:00:00Z, max age 300s");
    // From the future: stale too.
    EXPECT_EQ(verify_attestation(report(d, measure("v2"), -1), d.entry(), measure("v2"), kNow, 300)
                  .error()
                  .kind(),
              TrustError::Kind::AttestationStale);
}

TEST(Attestation, ChecksRunInOrder) {
    const Device d;
    const Device other;
    // Another device: refused before any signature work, even with a bad signature.
    auto foreign = report(other, measure("v2"), 0);
    foreign.signature = {};
    EXPECT_EQ(verify_attestation(foreign, d.entry(), measure("v2"), kNow, 300).error().display(),
              "attestation is for a different device than the trust entry provided");
    // A measurement changed after signing fails on the signature, not the measurement.
    auto edited = report(d, measure("v2"), 0);
    edited.body.reported_measurement = measure("v1");
    EXPECT_EQ(verify_attestation(edited, d.entry(), measure("v2"), kNow, 300).error().display(),
              "attestation signature does not verify");
    // Signature before freshness.
    auto stale_forged = report(d, measure("v2"), 1000);
    stale_forged.body.nonce[0] ^= 1;
    EXPECT_EQ(verify_attestation(stale_forged, d.entry(), measure("v2"), kNow, 300).error().kind(),
              TrustError::Kind::AttestationSignatureInvalid);
    // Correctly signed and fresh, but not the expected image.
    EXPECT_EQ(verify_attestation(report(d, measure("v1"), 0), d.entry(), measure("v2"), kNow, 300)
                  .error()
                  .display(),
              "attestation reports a measurement that does not match the expected one");
}

TEST(Attestation, SignsTheCanonicalJsonOfItsBody) {
    AttestationBody body{
        *DeviceId::parse("67e55044-10b1-426f-9247-bb680e5fe0c8"), measure("v2"), {}, kNow};
    for (std::size_t i = 0; i < body.nonce.size(); ++i) {
        body.nonce[i] = static_cast<std::uint8_t>(0xe0 + i);
    }
    const std::string expected =
        R"({"device_id":"67e55044-10b1-426f-9247-bb680e5fe0c8",)"
        R"("nonce":"e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",)"
        R"("reported_at":"2026-07-29T12:00:00Z","reported_measurement":")" +
        measure("v2").to_string() + R"("})";
    EXPECT_EQ(attestation_signing_bytes(body).value(), expected);

    // The same description reads the bytes back, the nonce as exactly 32 bytes of hex.
    const auto read = zdz::json::read_record<AttestationBody>(expected);
    ASSERT_TRUE(read) << read.error().display();
    EXPECT_EQ(attestation_signing_bytes(*read).value(), expected);
    const auto short_nonce = zdz::json::read_record<AttestationBody>(
        R"({"device_id":"67e55044-10b1-426f-9247-bb680e5fe0c8","nonce":"e0e1",)"
        R"("reported_at":"2026-07-29T12:00:00Z","reported_measurement":")" +
        measure("v2").to_string() + R"("})");
    ASSERT_FALSE(short_nonce);
    EXPECT_EQ(short_nonce.error().display(),
              "nonce must be 64 hex characters, got 4 at line 1 column 66");
}
