#pragma once

#include <string>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "crypto/secret.hpp"

namespace zdz::cli {

// Reads the keystore passphrase from the environment variable `name`. The
// value is taken unchanged (no trimming) into a wiping buffer.
[[nodiscard]] tl::expected<crypto::Secret, CommandError> read_passphrase_env(
    const std::string& name);

}  // namespace zdz::cli
