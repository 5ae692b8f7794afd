#pragma once

#include <optional>
#include <string>

#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"

namespace zdz::test {

inline constexpr const char* kPassphraseVar = "ZDZ_TEST_PASSPHRASE";
inline constexpr const char* kPassphrase = " correct horse battery staple ";

// A keystore sealed under kPassphrase at the 8 MiB Argon2id floor, so that
// tests that unseal stay fast. Returns its public key as hex.
std::string write_test_keystore(const std::string& path);

// The system clock read as the commands read it, for tests that run at the
// real time. A clock outside a timestamp's range throws, failing the test.
contracts::Timestamp now();

// A signing key from a fixed 32-byte seed of `fill` bytes.
crypto::SigningKey fixed_key(std::uint8_t fill);

// The file text of an install manifest for platform "vask" at security
// version 3, measuring the bytes "image", issued now and signed with `key`;
// fresh ids each time.
std::string signed_manifest_json(const crypto::SigningKey& key,
                                 std::optional<contracts::Timestamp> expires = {});

}  // namespace zdz::test
