#pragma once

// Release keys held in a PKCS#11 token. Each operation loads the module the
// URI names (dlopen, at the moment it is needed: the program never links a
// module), initialises it, takes the lock that serialises this program's
// sessions on it (connection.hpp, ModuleLock), logs in to the one token the
// URI matches, does its work and undoes every step in reverse.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "crypto/ed25519.hpp"
#include "crypto/secret.hpp"
#include "token/errors.hpp"
#include "token/uri.hpp"

namespace zdz::token {

// An Ed25519 key pair on a token.
struct TokenKey {
    crypto::VerifyingKey public_key;
    // The CKA_ID both objects carry; empty when the token's key has none.
    std::vector<std::uint8_t> id;
    // The label of the token that holds it.
    std::string token_label;
};

// Generates an Ed25519 key pair inside the token under the URI's label, with
// a fresh random CKA_ID (CKM_EC_EDWARDS_KEY_PAIR_GEN): the private key never
// leaves the token. A URI holding id= is refused (the id is drawn here), and
// so is a label that a key already carries, whose key is left as it is.
[[nodiscard]] tl::expected<TokenKey, TokenError> generate_key(const TokenUri& uri,
                                                              const crypto::Secret& pin);

// The Ed25519 key already on the token under the URI's label (and id=, when
// given), made by the token's own tools: exactly one private key, and the
// public key that belongs to it.
[[nodiscard]] tl::expected<TokenKey, TokenError> find_key(const TokenUri& uri,
                                                          const crypto::Secret& pin);

// A signature made by the token and the public key it holds for the signing
// key. The token is not trusted to have used the key the caller expects:
// check_signature compares both with the keystore's key before anything
// signed is written.
struct TokenSignature {
    crypto::Signature signature;
    crypto::VerifyingKey public_key;
};

// A logged-in session on the token with its key found, for signing one or
// more messages under one login. It holds the module lock for as long as it
// lives, so open it once the bytes to sign are ready. Move-only.
class TokenSigner {
public:
    [[nodiscard]] static tl::expected<TokenSigner, TokenError> open(const TokenUri& uri,
                                                                    const crypto::Secret& pin);

    TokenSigner(TokenSigner&&) noexcept;
    TokenSigner& operator=(TokenSigner&&) noexcept;
    TokenSigner(const TokenSigner&) = delete;
    TokenSigner& operator=(const TokenSigner&) = delete;
    // Logs out, closes the session, finalises and unloads the module.
    ~TokenSigner();

    const crypto::VerifyingKey& public_key() const;

    // Plain Ed25519 over exactly `message` (CKM_EDDSA, no parameters).
    [[nodiscard]] tl::expected<TokenSignature, TokenError> sign(std::string_view message) const;

private:
    struct State;
    explicit TokenSigner(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// One signature: TokenSigner::open and sign.
[[nodiscard]] tl::expected<TokenSignature, TokenError> sign_message(const TokenUri& uri,
                                                                    const crypto::Secret& pin,
                                                                    std::string_view message);

// The check a caller makes before it writes what the token signed: the
// token's key is `expected` (UnexpectedKey, naming both fingerprints) and the
// signature verifies with it (SignatureInvalid).
[[nodiscard]] tl::expected<void, TokenError> check_signature(const TokenUri& uri,
                                                             const crypto::VerifyingKey& expected,
                                                             std::string_view message,
                                                             const TokenSignature& signed_by);

}  // namespace zdz::token
