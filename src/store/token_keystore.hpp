#pragma once

// A keystore whose private key stays in a PKCS#11 token: one small JSON file
// that holds no secret, only the key's id, its public key, when it was made
// and where it is held (a PKCS#11 URI without a PIN). The token's PIN, read
// like a passphrase, opens a session on it when a command signs.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <variant>

#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "crypto/secret.hpp"
#include "io/directory_lock.hpp"
#include "json/fields.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"
#include "store/errors.hpp"
#include "store/keystore.hpp"
#include "token/errors.hpp"
#include "token/token.hpp"

namespace zdz::store {

inline constexpr std::uint16_t kTokenKeystoreFormatVersion = 1;

struct TokenKeystore : KeystoreHead {
    // Where the key is: a PKCS#11 URI naming the token and the key's label,
    // never a PIN.
    std::string pkcs11_uri;
};

// The member that tells a token keystore from a sealed one.
inline constexpr std::string_view kTokenUriMember = "pkcs11_uri";

// Members in the order above, every one required.
constexpr auto describe(json::Type<TokenKeystore>) {
    using R = TokenKeystore;
    return keystore_record<R>("TokenKeystore",
                              json::required(kTokenUriMember, &R::pkcs11_uri, json::plain_text));
}

// The file text: pretty JSON, two-space indentation, no final newline.
std::string write_token_keystore_json(const TokenKeystore& record);

[[nodiscard]] tl::expected<TokenKeystore, json::DocumentError> read_token_keystore_json(
    std::string_view text);

// The record for `key`, made at `created_at` under a fresh key id.
TokenKeystore token_keystore_for(const token::TokenKey& key, const token::TokenUri& uri,
                                 const contracts::Timestamp& created_at);

// Written as save_keystore writes a sealed keystore (owner-only, replaced
// atomically); errors as there.
[[nodiscard]] tl::expected<void, StoreError> save_token_keystore(
    const TokenKeystore& record, const std::string& path, const io::DirectoryLock* held = nullptr);

// Either kind of keystore, as the file at a path holds it.
using AnyKeystore = std::variant<SealedSigningKey, TokenKeystore>;

// A document with a top-level "pkcs11_uri" member is read as a token
// keystore; any other as a sealed keystore, with load_keystore's errors.
[[nodiscard]] tl::expected<AnyKeystore, StoreError> load_any_keystore(const std::string& path);

// What either kind begins with: its key's id, public key and making.
const KeystoreHead& keystore_head(const AnyKeystore& keystore);

// A logged-in session on the token of `record` whose key was found to be
// `expected`, the record's own public key (UnexpectedKey otherwise), as a crypto::Signer: each
// signature it hands out was checked against the record's public key, so a token that signs with
// another key, or signs wrongly, fails instead (SigningFailed with the token's account). It holds
// the module lock while it lives.
[[nodiscard]] tl::expected<std::unique_ptr<crypto::Signer>, token::TokenError> open_token_signer(
    const TokenKeystore& record, const crypto::VerifyingKey& expected, const crypto::Secret& pin);

}  // namespace zdz::store
