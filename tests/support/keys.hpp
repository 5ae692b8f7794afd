#pragma once

#include <cstdint>

#include "crypto/ed25519.hpp"

namespace zdz::test {

// A signing key from a fixed 32-byte seed of `fill` bytes.
crypto::SigningKey fixed_key(std::uint8_t fill);

}  // namespace zdz::test
