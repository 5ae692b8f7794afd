#include "boot/unlock.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "contracts/content_hash.hpp"
#include "support/clock.hpp"

using namespace zdz::boot;
using namespace zdz::contracts;

namespace {

const std::string kNormalPin = "246810";
const std::string kDuressPin = "135799";

// The hashes of the PINs as `b3sum` and `sha256sum` print them: the boot
// decision compares hashes and computes none, and the hash functions belong
// to a layer above it.
struct KnownHash {
    std::string_view text;
    std::string_view hash;
};
constexpr KnownHash kKnownHashes[] = {
    {"blake3:246810", "blake3:ebf544fa9e1b0de69c75ed03f561b2b68a2515f74e7ecf1ac0913d8fb5f04786"},
    {"blake3:135799", "blake3:d532acf52941d98d94de05edd5d24e6c8eafb0b9ff040ab9af0eab6b49f30e0a"},
    {"blake3:000000", "blake3:aa9c09f26292924ea7515d7ecc5695a76302f05ebf15bc1af88ec09b0676c6e5"},
    {"sha256:246810", "sha256:7c2523c985881fb2c2b4cfbe917eb12c4c4b61e898ad4e7160cfca487ca3c4f3"},
    {"sha256:135799", "sha256:e61680a95debf220b06796d88bf15e7c648a6e7d0bb262ea719601bbad09985a"},
};

ContentHash known_hash(const std::string& algorithm, const std::string& pin) {
    for (const auto& known : kKnownHashes) {
        if (known.text == algorithm + ":" + pin) {
            return *ContentHash::parse(known.hash);
        }
    }
    ADD_FAILURE() << "no known " << algorithm << " hash of " << pin;
    return {};
}

ContentHash measure_blake3(const std::string& pin) {
    return known_hash("blake3", pin);
}

ContentHash measure_sha256(const std::string& pin) {
    return known_hash("sha256", pin);
}

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
