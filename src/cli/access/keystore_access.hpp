#pragma once

// How commands reach the operator's keystore, of either kind: a sealed
// keystore whose key is unsealed with a passphrase, or a token keystore whose
// key stays in a PKCS#11 token and signs there once the token's PIN opens a
// session. Loading it, reading its public key without passphrase or PIN, and
// opening the key to sign with. The one place that words these failures and
// wipes the passphrase or PIN.

#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "crypto/secret.hpp"
#include "store/keystore.hpp"
#include "store/token_keystore.hpp"

namespace zdz::cli {

// The keystore file at `path`, of either kind: "cannot load WHAT PATH: ..."
// (`what` is "keystore", or "new keystore" for rekey-store's second one).
[[nodiscard]] tl::expected<store::AnyKeystore, CommandError> load_keystore_file(
    const std::string& path, std::string_view what = "keystore");

// The public key recorded in `keystore`, read without passphrase or PIN:
// "cannot read public key from WHAT: ...".
[[nodiscard]] tl::expected<crypto::VerifyingKey, CommandError> recorded_public_key(
    const store::AnyKeystore& keystore, std::string_view what = "keystore");

// The signing key sealed in `record`, opened with `passphrase` at `now`; the
// passphrase is wiped whatever happens. "cannot unseal WHAT: ...".
[[nodiscard]] tl::expected<crypto::SigningKey, CommandError> unseal_with(
    const store::SealedSigningKey& record, crypto::Secret& passphrase,
    const contracts::Timestamp& now, std::string_view what = "keystore");

// The key to sign with: a sealed key unsealed with `secret` as its
// passphrase, or a session on the token opened with `secret` as its PIN
// ("cannot use the token of WHAT: ..."), whose key must be the keystore's.
// `secret` is wiped whatever happens.
[[nodiscard]] tl::expected<std::unique_ptr<crypto::Signer>, CommandError> open_signer(
    const store::AnyKeystore& keystore, crypto::Secret& secret, const contracts::Timestamp& now,
    std::string_view what = "keystore");

struct UnsealedKeystore {
    store::AnyKeystore record;
    std::unique_ptr<crypto::Signer> key;

    const contracts::Uuid& key_id() const { return store::keystore_head(record).key_id; }
};

// load_keystore_file, then the passphrase or PIN from the environment
// variable `passphrase_env`, then open_signer: the steps of a command that
// signs with the keystore and has nothing to check in between.
[[nodiscard]] tl::expected<UnsealedKeystore, CommandError> unseal_keystore_file(
    const std::string& path, const std::string& passphrase_env, const contracts::Timestamp& now);

}  // namespace zdz::cli
