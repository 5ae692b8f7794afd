#pragma once

#include <string>

#include "contracts/signing.hpp"

namespace zdz::test {

inline constexpr const char* kPassphraseVar = "ZDZ_TEST_PASSPHRASE";
inline constexpr const char* kPassphrase = " correct horse battery staple ";

// A keystore sealed under kPassphrase at the 8 MiB Argon2id floor, so that
// tests that unseal stay fast. Returns its public key as hex.
std::string write_test_keystore(const std::string& path);

// A signing key from a fixed 32-byte seed of `fill` bytes.
contracts::SigningKey fixed_key(std::uint8_t fill);

}  // namespace zdz::test
