#pragma once

#include <cstdint>
#include <string_view>

#include "contracts/content_hash.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"

namespace zdz::boot {

// A device's PIN policy. It holds only unsalted content hashes of the PINs'
// UTF-8 bytes, never the PIN texts.
struct UnlockPolicy {
    contracts::DeviceId device_id;
    // The failed-attempt count at which the normal PIN stops working.
    std::uint32_t max_failed_attempts = 0;
    contracts::ContentHash unlock_pin_hash;
    contracts::ContentHash duress_pin_hash;
};

// One PIN entry. The time is recorded for the caller; the decision ignores it.
struct UnlockAttempt {
    contracts::Timestamp attempted_at;
    contracts::DeviceId device_id;
    contracts::ContentHash pin_hash;
};

enum class BootAuthOutcome {
    NormalUnlock,
    DuressWipeAndDecoyBoot,
    Rejected,
};

// "NormalUnlock", "DuressWipeAndDecoyBoot" or "Rejected".
std::string_view boot_auth_outcome_name(BootAuthOutcome outcome);

// What the device does with an entered PIN. The duress PIN wins over the
// normal one and works at any failed-attempt count; the normal PIN unlocks
// only while `failed_attempts` is below the policy's limit. Keeping the count
// and carrying out a wipe are the caller's.
BootAuthOutcome evaluate_boot_unlock(const UnlockPolicy& policy, std::uint32_t failed_attempts,
                                     const UnlockAttempt& attempt);

}  // namespace zdz::boot
