#pragma once

// The key objects of a token: reading their attributes, telling an Ed25519
// key from the forms tokens write it in, finding the key a URI names,
// generating one, and signing with it.

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "crypto/ed25519.hpp"
#include "token/errors.hpp"

namespace zdz::token {

// CKA_EC_PARAMS of an Ed25519 key in either form tokens write: the DER OID
// 1.3.101.112, or the DER PrintableString "edwards25519" (OpenSC's
// pkcs11-tool writes that one).
bool is_ed25519_params(std::span<const std::uint8_t> params);

// The 32 public-key bytes of CKA_EC_POINT: a DER OCTET STRING holding them,
// or the bare 32 bytes as some tokens write it; nullopt for anything else.
std::optional<std::array<std::uint8_t, crypto::kPublicKeyBytes>> ed25519_point(
    std::span<const std::uint8_t> point);

// One open session of a logged-in user, and the token's label for messages.
struct SessionRef {
    CK_FUNCTION_LIST* functions = nullptr;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    std::string token_label;
};

// The two objects of an Ed25519 key pair on a token.
struct KeyObjects {
    CK_OBJECT_HANDLE private_key = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE;
    std::vector<std::uint8_t> id;
    crypto::VerifyingKey verifying_key;
};

// The value of an attribute, or nullopt when the object has none or does not
// reveal it (a sensitive value).
[[nodiscard]] tl::expected<std::optional<std::vector<std::uint8_t>>, TokenError> read_attribute(
    const SessionRef& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

// The objects that hold every attribute of `match`.
[[nodiscard]] tl::expected<std::vector<CK_OBJECT_HANDLE>, TokenError> find_objects(
    const SessionRef& session, std::span<CK_ATTRIBUTE> match);

// The one Ed25519 private key under `label` (and `id`, when given) and the
// public key that belongs to it: the public key of the same label and CKA_ID,
// or else the only public key of that label. Both must be Ed25519, and the
// public key must verify a signature the private key makes.
[[nodiscard]] tl::expected<KeyObjects, TokenError> find_key_pair(
    const SessionRef& session, const std::string& label,
    const std::optional<std::vector<std::uint8_t>>& id);

// A fresh Ed25519 key pair under `label` with a fresh random CKA_ID: the
// private key on the token, private, sensitive, never extractable, for
// signing; the public key on the token, for verifying. A label that a key
// already carries is refused and the key left as it is.
[[nodiscard]] tl::expected<KeyObjects, TokenError> generate_key_pair(const SessionRef& session,
                                                                     const std::string& label);

// Plain Ed25519 (CKM_EDDSA without parameters) over exactly `message`.
[[nodiscard]] tl::expected<crypto::Signature, TokenError> sign_with(const SessionRef& session,
                                                                    CK_OBJECT_HANDLE private_key,
                                                                    const std::string& label,
                                                                    std::string_view message);

}  // namespace zdz::token
