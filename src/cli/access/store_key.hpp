#pragma once

#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "crypto/ed25519.hpp"

namespace zdz::cli {

// The public key held by a public-key file: exactly one entry, an
// allowed_signers line (as show-key prints it) or an OpenSSH public-key line
// (as a `.pub` file holds it); comments and blank lines allowed. Read with
// trust::parse_public_keys; a principal plays no part. Refusals:
// "cannot read public key file PATH: ...", "invalid public key file PATH: "
// + the trust-file error, or "public key file PATH must hold exactly one
// allowed_signers entry, found N" for none or several.
[[nodiscard]] tl::expected<crypto::VerifyingKey, CommandError> read_public_key_file(
    const std::string& path);

// The key a registry store is checked with, from whichever of --keystore and
// --public-key was given (the parser lets exactly one through): the public
// key recorded in the keystore, read without its passphrase ("cannot load
// keystore PATH: ..." or "cannot read public key from keystore: ..."), or the
// key of the public-key file.
[[nodiscard]] tl::expected<crypto::VerifyingKey, CommandError> store_verifying_key(
    const StoreKey& key);

}  // namespace zdz::cli
