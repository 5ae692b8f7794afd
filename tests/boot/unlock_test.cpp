#include "boot/unlock.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "contracts/content_hash.hpp"
#include "crypto/digest.hpp"
#include "support/fixtures.hpp"

using namespace zdz::boot;
using namespace zdz::contracts;
using namespace zdz::crypto;

namespace {

const std::string kNormalPin = "246810";
const std::string kDuressPin = "135799";

UnlockPolicy policy_for(const DeviceId& device, std::uint32_t max_failed_attempts) {
    return UnlockPolicy{device, max_failed_attempts, measure_blake3(kNormalPin),
                        measure_blake3(kDuressPin)};
}

std::string outcome(const UnlockPolicy& policy, std::uint32_t failed_attempts,
                    const DeviceId& device, const ContentHash& pin_hash) {
    const UnlockAttempt attempt{zdz::test::now(), device, pin_hash};
    return std::string(
        zdz::boot::boot_auth_outcome_name(evaluate_boot_unlock(policy, failed_attempts, attempt)));
}

}  // namespace

TEST(BootUnlock, TheFiveDemoProbes) {
    const DeviceId device = DeviceId::new_random();
    const UnlockPolicy policy = policy_for(device, 3);
    EXPECT_EQ(outcome(policy, 0, device, measure_blake3(kNormalPin)), "NormalUnlock");
    EXPECT_EQ(outcome(policy, 0, device, measure_blake3(kDuressPin)), "DuressWipeAndDecoyBoot");
    EXPECT_EQ(outcome(policy, 0, device, measure_blake3("000000")), "Rejected");
    EXPECT_EQ(outcome(policy, 3, device, measure_blake3(kNormalPin)), "Rejected");
    EXPECT_EQ(outcome(policy, 3, device, measure_blake3(kDuressPin)), "DuressWipeAndDecoyBoot");
}

TEST(BootUnlock, AttemptLimit) {
    const DeviceId device = DeviceId::new_random();
    const auto normal = measure_blake3(kNormalPin);
    const auto duress = measure_blake3(kDuressPin);
    const UnlockPolicy three = policy_for(device, 3);
    EXPECT_EQ(outcome(three, 2, device, normal), "NormalUnlock");
    EXPECT_EQ(outcome(three, 4, device, normal), "Rejected");
    EXPECT_EQ(outcome(three, std::numeric_limits<std::uint32_t>::max(), device, duress),
              "DuressWipeAndDecoyBoot");

    const UnlockPolicy none = policy_for(device, 0);
    EXPECT_EQ(outcome(none, 0, device, normal), "Rejected");
    EXPECT_EQ(outcome(none, 0, device, duress), "DuressWipeAndDecoyBoot");
}

TEST(BootUnlock, DeviceAndAlgorithmMustMatch) {
    const DeviceId device = DeviceId::new_random();
    const UnlockPolicy policy = policy_for(device, 3);
    const DeviceId other = DeviceId::new_random();
    ASSERT_NE(other, device);
    EXPECT_EQ(outcome(policy, 0, other, measure_blake3(kDuressPin)), "Rejected");
    EXPECT_EQ(outcome(policy, 0, other, measure_blake3(kNormalPin)), "Rejected");

    // Same digest bytes under another algorithm name, and the same PIN hashed
    // with SHA-256: neither matches a policy of BLAKE3 hashes.
    ContentHash relabelled = measure_blake3(kNormalPin);
    relabelled.algorithm = zdz::contracts::HashAlgorithm::Sha256;
    EXPECT_EQ(outcome(policy, 0, device, relabelled), "Rejected");
    EXPECT_EQ(outcome(policy, 0, device, measure_sha256(kNormalPin)), "Rejected");
    EXPECT_EQ(outcome(policy, 0, device, measure_sha256(kDuressPin)), "Rejected");
}

TEST(BootUnlock, DuressWinsWhenBothPinsAreTheSame) {
    const DeviceId device = DeviceId::new_random();
    const UnlockPolicy policy{device, 3, measure_blake3(kNormalPin), measure_blake3(kNormalPin)};
    EXPECT_EQ(outcome(policy, 0, device, measure_blake3(kNormalPin)), "DuressWipeAndDecoyBoot");
}
