#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "support/clock.hpp"
#include "support/keys.hpp"
#include "trust/manifest.hpp"

namespace zdz::test {

inline constexpr const char* kPassphraseVar = "ZDZ_TEST_PASSPHRASE";
inline constexpr const char* kPassphrase = " correct horse battery staple ";

// A keystore sealed under kPassphrase at the 8 MiB Argon2id floor, so that
// tests that unseal stay fast. Returns its public key as hex.
std::string write_test_keystore(const std::string& path);

// The file text of an install manifest for `platform` at `version`,
// measuring `measurement`, issued now and signed with `key`; fresh ids each
// time.
std::string install_manifest_json(const crypto::SigningKey& key, std::string_view platform,
                                  trust::SecurityVersion version,
                                  const trust::ImageMeasurement& measurement,
                                  std::optional<contracts::Timestamp> expires = {});

// Whether the manifest's signature verifies with the key `public_hex`,
// checked by libsodium over the canonical body, apart from the program's own
// verification.
bool sodium_verifies_manifest(const std::string& manifest_text, const std::string& public_hex);

// The arguments of `sign` for an image of `kind` for platform "vask" at
// `version`, written to `out`, the passphrase read from `passphrase_var`.
std::vector<std::string> sign_args(const std::string& keystore, const std::string& image,
                                   const std::string& version, const std::string& out,
                                   const std::string& kind = "install",
                                   const std::string& passphrase_var = kPassphraseVar);

// The arguments of `promote` of `manifest` into `store`, its signatures
// checked against the trust file `signers`, the store signed with `keystore`
// unsealed with the secret in `passphrase_var`.
std::vector<std::string> promote_args(const std::string& manifest, const std::string& signers,
                                      const std::string& store, const std::string& keystore,
                                      const std::string& passphrase_var = kPassphraseVar);

// The arguments of `authorize-install` of the image file `image` for platform
// "vask", against `store` checked with `keystore`.
std::vector<std::string> authorize_args(const std::string& store, const std::string& keystore,
                                        const std::string& image);

// The arguments of `withdraw` of the image file `image` from platform "vask"
// in `store`, signed with `keystore` unsealed with the secret in
// `passphrase_var`.
std::vector<std::string> withdraw_args(const std::string& store, const std::string& keystore,
                                       const std::string& image,
                                       const std::string& passphrase_var = kPassphraseVar);

// install_manifest_json for platform "vask" at security version 3, measuring
// the SHA-256 of the bytes "image".
std::string signed_manifest_json(const crypto::SigningKey& key,
                                 std::optional<contracts::Timestamp> expires = {});

}  // namespace zdz::test
