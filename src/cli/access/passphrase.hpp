#pragma once

#include <string>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "contracts/time.hpp"
#include "crypto/secret.hpp"

namespace zdz::cli {

// Reads the keystore passphrase from the environment variable `name`. The
// value is taken unchanged (no trimming) into a wiping buffer.
[[nodiscard]] tl::expected<crypto::Secret, CommandError> read_passphrase_env(
    const std::string& name);

// What a command that seals or unseals a key reads last before deriving the
// key-encryption key: the passphrase from `name`, then the clock.
struct PassphraseAndClock {
    crypto::Secret passphrase;
    contracts::Timestamp now;
};
[[nodiscard]] tl::expected<PassphraseAndClock, CommandError> read_passphrase_then_clock(
    const std::string& name);

}  // namespace zdz::cli
