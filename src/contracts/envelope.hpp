#pragma once

// The two containers every protected record travels in.
//
// SignedEnvelope<Payload> binds a typed payload to a key, a validity window, a
// context (the associated-data texts) and an optional link to the previous
// envelope of a chain, under one Ed25519 signature over the canonical bytes of
// its signed view. EncryptedEnvelope seals bytes under a 32-byte key with
// XChaCha20-Poly1305 and authenticates its whole header as associated data.
//
// What is signed or authenticated is always rebuilt from the typed record,
// never taken from the file: a file with reordered members, other white space,
// upper-case UUIDs or timestamps written with an offset verifies and opens
// exactly as the file that was written.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <utility>
#include <vector>

#include "contracts/canonical.hpp"
#include "contracts/errors.hpp"
#include "contracts/hash.hpp"
#include "contracts/ids.hpp"
#include "contracts/json.hpp"
#include "contracts/json_record.hpp"
#include "contracts/secret.hpp"
#include "contracts/signing.hpp"
#include "contracts/time.hpp"

namespace zdz::contracts {

inline constexpr std::uint16_t kEnvelopeFormatVersion = 1;
inline constexpr std::string_view kSignedEnvelopeRecordName = "SignedEnvelope";
inline constexpr std::string_view kEncryptedEnvelopeRecordName = "EncryptedEnvelope";

inline constexpr std::string_view kXChaCha20Poly1305Text = "xchacha20-poly1305";
inline constexpr std::size_t kEnvelopeKeyBytes = 32;
inline constexpr std::size_t kEnvelopeNonceBytes = 24;
inline constexpr std::size_t kEnvelopeTagBytes = 16;

// The context of an envelope: texts compared in order, byte for byte.
using EnvelopeContext = std::vector<std::string>;

// What a SignedEnvelope can carry: a record with one JSON object form, used
// both for the file and for the signed bytes, and a strict reader of that form
// (unknown, missing and repeated members refused, positions kept).
template <class P>
concept EnvelopePayload = std::copyable<P> && requires(const P& payload, const JsonValue& json) {
    { payload.to_json() } -> std::convertible_to<JsonValue>;
    { P::from_json(json) } -> std::same_as<tl::expected<P, JsonReadError>>;
};

namespace envelope_detail {

// Member names in file order.
inline constexpr std::string_view kFormatVersion = "format_version";
inline constexpr std::string_view kEnvelopeId = "envelope_id";
inline constexpr std::string_view kAlgorithm = "algorithm";
inline constexpr std::string_view kKeyId = "key_id";
inline constexpr std::string_view kCreatedAt = "created_at";
inline constexpr std::string_view kExpiresAt = "expires_at";
inline constexpr std::string_view kAssociatedData = "associated_data";
inline constexpr std::string_view kPayload = "payload";
inline constexpr std::string_view kPreviousHash = "previous_hash";
inline constexpr std::string_view kSignature = "signature";
inline constexpr std::string_view kNonce = "nonce";
inline constexpr std::string_view kCiphertext = "ciphertext";

// Whether absent optional members are left out (the file) or written as null
// and an empty context as [] (the signed and header views).
enum class Form { File, View };

// Checks shared by verify and open, in the order both run them.
tl::expected<void, ContractError> check_version(std::uint16_t format_version);
tl::expected<void, ContractError> check_context(const EnvelopeContext& actual,
                                                const EnvelopeContext& expected);
// Valid up to and including the instant of expiry.
tl::expected<void, ContractError> check_expiry(const std::optional<Timestamp>& expires_at,
                                               const Timestamp& now);

void add_optional_time(JsonValue& object, std::string_view name,
                       const std::optional<Timestamp>& value, Form form);
void add_context(JsonValue& object, const EnvelopeContext& context, Form form);
void add_optional_hash(JsonValue& object, std::string_view name,
                       const std::optional<ContentHash>& value, Form form);

// Member readers.
tl::expected<Uuid, JsonReadError> read_uuid(const JsonValue& value);
tl::expected<Timestamp, JsonReadError> read_timestamp(const JsonValue& value);
tl::expected<ContentHash, JsonReadError> read_content_hash(const JsonValue& value);
tl::expected<Signature, JsonReadError> read_signature(const JsonValue& value);
tl::expected<EnvelopeContext, JsonReadError> read_context(const JsonValue& value);

}  // namespace envelope_detail

// ---- signed envelopes --------------------------------------------------------

template <EnvelopePayload Payload>
struct SignedEnvelope {
    std::uint16_t format_version = kEnvelopeFormatVersion;
    Uuid envelope_id;
    Uuid key_id;
    Timestamp created_at;
    std::optional<Timestamp> expires_at;
    EnvelopeContext associated_data;
    Payload payload;
    std::optional<ContentHash> previous_hash;
    Signature signature;

    // The file form: members in the order above; expires_at, previous_hash and
    // an empty associated_data left out.
    JsonValue to_json() const { return build(envelope_detail::Form::File); }

    // Every member but the signature, none left out: an absent expires_at or
    // previous_hash is null and an empty context is [].
    JsonValue signed_view() const { return build(envelope_detail::Form::View); }

    // The bytes the signature covers.
    tl::expected<std::string, ContractError> signing_bytes() const {
        return canonical_json(signed_view());
    }

    // Strict: unknown, missing and repeated members are refused; null for
    // expires_at or previous_hash means absent. The version is not judged here
    // but by verify().
    static tl::expected<SignedEnvelope, JsonReadError> from_json(const JsonValue& value);

    // The payload, once, in this order: the version is 1, the context equals
    // `expected_context`, the signature over the signing bytes verifies with
    // `key`, and expires_at (if any) is not before `now`. The first failure
    // is returned: UnsupportedVersion, Validation, Canonicalization,
    // SignatureVerification or Expired. created_at is not compared with now,
    // and previous_hash is only covered by the signature.
    tl::expected<Payload, ContractError> verify(const VerifyingKey& key, const Timestamp& now,
                                                const EnvelopeContext& expected_context) const;

private:
    JsonValue build(envelope_detail::Form form) const;
};

// A fresh envelope (version 1, a random envelope_id) signed with `key`. Fails
// only when the signed view cannot be canonicalised.
template <EnvelopePayload Payload>
tl::expected<SignedEnvelope<Payload>, ContractError> sign_envelope(
    const SigningKey& key, const Uuid& key_id, const Timestamp& created_at,
    std::optional<Timestamp> expires_at, EnvelopeContext associated_data, Payload payload,
    std::optional<ContentHash> previous_hash = std::nullopt);

// Pretty JSON, two-space indentation, no final newline.
template <EnvelopePayload Payload>
std::string write_envelope_json(const SignedEnvelope<Payload>& envelope) {
    return to_pretty_json(envelope.to_json());
}

// A whole document; the error is the reader's message with its position.
template <EnvelopePayload Payload>
tl::expected<SignedEnvelope<Payload>, std::string> read_signed_envelope_json(
    std::string_view text) {
    return read_json_record(text, SignedEnvelope<Payload>::from_json);
}

// ---- encrypted envelopes ----------------------------------------------------

enum class EnvelopeAlgorithm { XChaCha20Poly1305 };

struct EncryptedEnvelope {
    std::uint16_t format_version = kEnvelopeFormatVersion;
    Uuid envelope_id;
    EnvelopeAlgorithm algorithm = EnvelopeAlgorithm::XChaCha20Poly1305;
    Uuid key_id;
    Timestamp created_at;
    std::optional<Timestamp> expires_at;
    EnvelopeContext associated_data;
    // As read; open() refuses any length but 24.
    std::vector<std::uint8_t> nonce;
    // The encrypted bytes followed by the 16-byte Poly1305 tag.
    std::vector<std::uint8_t> ciphertext;

    // The file form: nonce and ciphertext as arrays of integers 0-255,
    // expires_at and an empty associated_data left out.
    JsonValue to_json() const;

    // format_version, envelope_id, algorithm, key_id, created_at, expires_at
    // (null when absent) and associated_data ([] when empty).
    JsonValue header_view() const;

    // The associated data of the AEAD.
    tl::expected<std::string, ContractError> header_bytes() const;

    // Strict; an algorithm other than "xchacha20-poly1305" and a nonce or
    // ciphertext element outside 0-255 are refused here.
    static tl::expected<EncryptedEnvelope, JsonReadError> from_json(const JsonValue& value);

    // The plaintext, in this order: the version is 1 (UnsupportedVersion), the
    // context equals `expected_context` (Validation), expires_at is not before
    // `now` (Expired), the nonce is 24 bytes (Decryption), the header view
    // canonicalises (Canonicalization), and the ciphertext authenticates under
    // `key` with the header bytes as associated data (Decryption, whatever was
    // wrong: key, header, nonce or ciphertext). A key that is not 32 bytes is
    // Decryption too.
    tl::expected<Secret, ContractError> open(std::span<const std::uint8_t> key,
                                             const Timestamp& now,
                                             const EnvelopeContext& expected_context) const;
};

// Seals `plaintext` under the 32-byte `key`: version 1, a random envelope_id
// and a 24-byte nonce from the operating system's secure random source, the
// header bytes as associated data. Fails with Canonicalization (the header) or
// Encryption (a key that is not 32 bytes).
tl::expected<EncryptedEnvelope, ContractError> seal_envelope(
    std::span<const std::uint8_t> key, const Uuid& key_id, const Timestamp& created_at,
    std::optional<Timestamp> expires_at, EnvelopeContext associated_data,
    std::span<const std::uint8_t> plaintext);

std::string write_envelope_json(const EncryptedEnvelope& envelope);
tl::expected<EncryptedEnvelope, std::string> read_encrypted_envelope_json(std::string_view text);

// The AEAD itself (XChaCha20-Poly1305, IETF construction) as seal and open use
// it. encrypt returns the ciphertext followed by the tag; it fails with
// Encryption for a key or nonce of the wrong length. decrypt fails with
// Decryption on any mismatch and never hands out unauthenticated bytes.
tl::expected<std::vector<std::uint8_t>, ContractError> xchacha20poly1305_encrypt(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::string_view associated_data, std::span<const std::uint8_t> plaintext);
tl::expected<Secret, ContractError> xchacha20poly1305_decrypt(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::string_view associated_data, std::span<const std::uint8_t> ciphertext);

// ---- SignedEnvelope implementation ------------------------------------------

template <EnvelopePayload Payload>
JsonValue SignedEnvelope<Payload>::build(envelope_detail::Form form) const {
    namespace d = envelope_detail;
    auto object = JsonValue::object();
    object.add(std::string(d::kFormatVersion), JsonValue::uint64(format_version));
    object.add(std::string(d::kEnvelopeId), JsonValue::string(envelope_id.to_string()));
    object.add(std::string(d::kKeyId), JsonValue::string(key_id.to_string()));
    object.add(std::string(d::kCreatedAt), JsonValue::string(created_at.to_string()));
    d::add_optional_time(object, d::kExpiresAt, expires_at, form);
    d::add_context(object, associated_data, form);
    object.add(std::string(d::kPayload), payload.to_json());
    d::add_optional_hash(object, d::kPreviousHash, previous_hash, form);
    if (form == d::Form::File) {
        object.add(std::string(d::kSignature), JsonValue::string(signature.to_string()));
    }
    return object;
}

template <EnvelopePayload Payload>
tl::expected<SignedEnvelope<Payload>, JsonReadError> SignedEnvelope<Payload>::from_json(
    const JsonValue& value) {
    namespace d = envelope_detail;
    RecordReader r(value, kSignedEnvelopeRecordName,
                   {d::kFormatVersion, d::kEnvelopeId, d::kKeyId, d::kCreatedAt, d::kExpiresAt,
                    d::kAssociatedData, d::kPayload, d::kPreviousHash, d::kSignature});
    auto format = r.required_u16(d::kFormatVersion);
    auto envelope = r.required(d::kEnvelopeId, d::read_uuid);
    auto key = r.required(d::kKeyId, d::read_uuid);
    auto created = r.required(d::kCreatedAt, d::read_timestamp);
    auto expires = r.optional(d::kExpiresAt, d::read_timestamp, NullMeans::Absent);
    auto context = r.optional(d::kAssociatedData, d::read_context);
    auto body = r.required(d::kPayload, Payload::from_json);
    auto previous = r.optional(d::kPreviousHash, d::read_content_hash, NullMeans::Absent);
    auto sig = r.required(d::kSignature, d::read_signature);
    if (auto done = r.finish(); !done) {
        return tl::unexpected(std::move(done.error()));
    }
    return SignedEnvelope{
        *format,          *envelope, *key,
        *created,         expires,   context ? std::move(*context) : EnvelopeContext{},
        std::move(*body), previous,  *sig};
}

template <EnvelopePayload Payload>
tl::expected<Payload, ContractError> SignedEnvelope<Payload>::verify(
    const VerifyingKey& key, const Timestamp& now, const EnvelopeContext& expected_context) const {
    namespace d = envelope_detail;
    if (auto version = d::check_version(format_version); !version) {
        return tl::unexpected(version.error());
    }
    if (auto context = d::check_context(associated_data, expected_context); !context) {
        return tl::unexpected(context.error());
    }
    const auto bytes = signing_bytes();
    if (!bytes) {
        return tl::unexpected(bytes.error());
    }
    if (auto verified = verify_bytes(key, *bytes, signature); !verified) {
        return tl::unexpected(verified.error());
    }
    // After the signature: an expiry time nobody vouched for proves nothing.
    if (auto fresh = d::check_expiry(expires_at, now); !fresh) {
        return tl::unexpected(fresh.error());
    }
    return payload;
}

template <EnvelopePayload Payload>
tl::expected<SignedEnvelope<Payload>, ContractError> sign_envelope(
    const SigningKey& key, const Uuid& key_id, const Timestamp& created_at,
    std::optional<Timestamp> expires_at, EnvelopeContext associated_data, Payload payload,
    std::optional<ContentHash> previous_hash) {
    SignedEnvelope<Payload> envelope{
        kEnvelopeFormatVersion,     Uuid::new_v4(),     key_id,        created_at, expires_at,
        std::move(associated_data), std::move(payload), previous_hash, Signature{}};
    const auto bytes = envelope.signing_bytes();
    if (!bytes) {
        return tl::unexpected(bytes.error());
    }
    envelope.signature = key.sign_bytes(*bytes);
    return envelope;
}

}  // namespace zdz::contracts
