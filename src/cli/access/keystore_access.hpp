#pragma once

// How commands reach the operator's sealed keystore: loading it, reading its
// public key without the passphrase, and unsealing its signing key. The one
// place that words these failures and wipes the passphrase.

#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "crypto/secret.hpp"
#include "store/keystore.hpp"

namespace zdz::cli {

// The keystore file at `path`: "cannot load WHAT PATH: ..." (`what` is
// "keystore", or "new keystore" for rekey-store's second one).
[[nodiscard]] tl::expected<store::SealedSigningKey, CommandError> load_keystore_file(
    const std::string& path, std::string_view what = "keystore");

// The public key recorded in `record`, read without the passphrase: "cannot
// read public key from WHAT: ...".
[[nodiscard]] tl::expected<crypto::VerifyingKey, CommandError> recorded_public_key(
    const store::SealedSigningKey& record, std::string_view what = "keystore");

// The signing key sealed in `record`, opened with `passphrase` at `now`; the
// passphrase is wiped whatever happens. "cannot unseal WHAT: ...".
[[nodiscard]] tl::expected<crypto::SigningKey, CommandError> unseal_with(
    const store::SealedSigningKey& record, crypto::Secret& passphrase,
    const contracts::Timestamp& now, std::string_view what = "keystore");

struct UnsealedKeystore {
    store::SealedSigningKey record;
    crypto::SigningKey key;
};

// load_keystore_file, then the passphrase from the environment variable
// `passphrase_env`, then unseal_with: the steps of a command that signs with
// the keystore and has nothing to check in between.
[[nodiscard]] tl::expected<UnsealedKeystore, CommandError> unseal_keystore_file(
    const std::string& path, const std::string& passphrase_env, const contracts::Timestamp& now);

}  // namespace zdz::cli
