#include "boot/unlock.hpp"

namespace zdz::boot {

std::string_view boot_auth_outcome_name(BootAuthOutcome outcome) {
    switch (outcome) {
        case BootAuthOutcome::NormalUnlock:
            return "NormalUnlock";
        case BootAuthOutcome::DuressWipeAndDecoyBoot:
            return "DuressWipeAndDecoyBoot";
        case BootAuthOutcome::Rejected:
            return "Rejected";
    }
    return {};
}

BootAuthOutcome evaluate_boot_unlock(const UnlockPolicy& policy, std::uint32_t failed_attempts,
                                     const UnlockAttempt& attempt) {
    if (attempt.device_id != policy.device_id) {
        return BootAuthOutcome::Rejected;
    }
    // Both comparisons run in full before either result is looked at, so the
    // time taken does not tell which PIN, if any, was entered.
    const bool is_duress = attempt.pin_hash == policy.duress_pin_hash;
    const bool is_unlock = attempt.pin_hash == policy.unlock_pin_hash;
    if (is_duress) {
        return BootAuthOutcome::DuressWipeAndDecoyBoot;
    }
    if (!is_unlock) {
        return BootAuthOutcome::Rejected;
    }
    return failed_attempts < policy.max_failed_attempts ? BootAuthOutcome::NormalUnlock
                                                        : BootAuthOutcome::Rejected;
}

}  // namespace zdz::boot
