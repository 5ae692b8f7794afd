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

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <utility>
#include <vector>

#include "contracts/content_hash.hpp"
#include "contracts/errors.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/aead.hpp"
#include "crypto/digest.hpp"
#include "crypto/ed25519.hpp"
#include "crypto/secret.hpp"
#include "encoding/large_buffer.hpp"
#include "json/canonical.hpp"
#include "json/fields.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace zdz::envelope {

inline constexpr std::uint16_t kEnvelopeFormatVersion = 1;
inline constexpr std::string_view kSignedEnvelopeRecordName = "SignedEnvelope";
inline constexpr std::string_view kEncryptedEnvelopeRecordName = "EncryptedEnvelope";

inline constexpr std::string_view kXChaCha20Poly1305Text = "xchacha20-poly1305";
inline constexpr std::size_t kEnvelopeKeyBytes = crypto::kAeadKeyBytes;
inline constexpr std::size_t kEnvelopeNonceBytes = crypto::kAeadNonceBytes;
inline constexpr std::size_t kEnvelopeTagBytes = crypto::kAeadTagBytes;

// The context of an envelope: texts compared in order, byte for byte.
using EnvelopeContext = std::vector<std::string>;

// What a SignedEnvelope can carry: a described record (json/record.hpp),
// whose one JSON form is both in the file and in the signed bytes.
template <class P>
concept EnvelopePayload = std::copyable<P> && json::Described<P>;

// A payload that knows about how many bytes its canonical form takes
// (`canonical_size_hint`, a little more rather than less), so that they are
// reserved at once.
template <class P>
concept SizedPayload = requires(const P& payload) {
    { payload.canonical_size_hint() } -> std::convertible_to<std::size_t>;
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

// Checks shared by verify and open, in the order both run them.
[[nodiscard]] tl::expected<void, contracts::ContractError> check_version(
    std::uint16_t format_version);
[[nodiscard]] tl::expected<void, contracts::ContractError> check_context(
    const EnvelopeContext& actual, const EnvelopeContext& expected);
// check_version, then check_context: what verify and open check first.
[[nodiscard]] tl::expected<void, contracts::ContractError> check_version_and_context(
    std::uint16_t format_version, const EnvelopeContext& actual, const EnvelopeContext& expected);
// Valid up to and including the instant of expiry.
[[nodiscard]] tl::expected<void, contracts::ContractError> check_expiry(
    const std::optional<contracts::Timestamp>& expires_at, const contracts::Timestamp& now);

// Room for an envelope's own members around its payload.
inline constexpr std::size_t kEnvelopeMembersBytes = 1024;

}  // namespace envelope_detail

// An Ed25519 signature as its text.
inline constexpr auto signature_codec =
    json::validated(&crypto::Signature::parse, &json::to_text<crypto::Signature>);
// The context: a list of texts.
inline constexpr auto context_codec = json::sequence(json::plain_text);

// ---- signed envelopes --------------------------------------------------------

template <EnvelopePayload Payload>
struct SignedEnvelope {
    std::uint16_t format_version = kEnvelopeFormatVersion;
    contracts::Uuid envelope_id;
    contracts::Uuid key_id;
    contracts::Timestamp created_at;
    std::optional<contracts::Timestamp> expires_at;
    EnvelopeContext associated_data;
    Payload payload;
    std::optional<contracts::ContentHash> previous_hash;
    crypto::Signature signature;

    // The bytes the signature covers: the canonical form of every member but
    // the signature, none left out (an absent expires_at or previous_hash is
    // null, an empty context []), written in one pass from the record.
    [[nodiscard]] tl::expected<std::string, contracts::ContractError> signing_bytes() const {
        std::string bytes;
        return write_signing_bytes(bytes).map([&] { return std::move(bytes); });
    }
    // The same written over `bytes`, whose memory is reused.
    [[nodiscard]] tl::expected<void, contracts::ContractError> write_signing_bytes(
        std::string& bytes) const;

    // The payload, once, in this order: the version is 1, the context equals
    // `expected_context`, the signature over the signing bytes verifies with
    // `key`, and expires_at (if any) is not before `now`. The first failure
    // is returned: UnsupportedVersion, Validation, Canonicalization,
    // SignatureVerification or Expired. created_at is not compared with now,
    // and previous_hash is only covered by the signature.
    [[nodiscard]] tl::expected<Payload, contracts::ContractError> verify(
        const crypto::VerifyingKey& key, const contracts::Timestamp& now,
        const EnvelopeContext& expected_context) const&;
    // The same, handing over the payload instead of a copy of it. The signed
    // bytes are written into `scratch`: a caller done with a buffer as large
    // as the envelope's file (its text) lends it, so that no fresh memory is
    // touched for them. `signed_hash`, when given, receives the SHA-256 of
    // the signed bytes once the signature verifies: the envelope's identity
    // in a chain (`previous_hash`).
    [[nodiscard]] tl::expected<Payload, contracts::ContractError> verify(
        const crypto::VerifyingKey& key, const contracts::Timestamp& now,
        const EnvelopeContext& expected_context, std::string&& scratch = {},
        contracts::ContentHash* signed_hash = nullptr) &&;

private:
    tl::expected<void, contracts::ContractError> check(
        const crypto::VerifyingKey& key, const contracts::Timestamp& now,
        const EnvelopeContext& expected_context, std::string& scratch,
        contracts::ContentHash* signed_hash = nullptr) const;
};

// The file form: members in the order above; expires_at, previous_hash and an
// empty associated_data left out. Read strictly: unknown, missing and
// repeated members are refused, null for expires_at or previous_hash means
// absent; the version is not judged when read but by verify().
template <EnvelopePayload Payload>
constexpr auto describe(json::Type<SignedEnvelope<Payload>>) {
    namespace d = envelope_detail;
    using E = SignedEnvelope<Payload>;
    return json::record<E>(
        kSignedEnvelopeRecordName, json::required(d::kFormatVersion, &E::format_version, json::u16),
        json::required(d::kEnvelopeId, &E::envelope_id, json::uuid),
        json::required(d::kKeyId, &E::key_id, json::uuid),
        json::required(d::kCreatedAt, &E::created_at, json::timestamp),
        json::optional(d::kExpiresAt, &E::expires_at, json::timestamp).signed_as_null(),
        json::defaulted(d::kAssociatedData, &E::associated_data, context_codec),
        json::required(d::kPayload, &E::payload, json::nested),
        json::optional(d::kPreviousHash, &E::previous_hash, json::content_hash).signed_as_null(),
        json::required(d::kSignature, &E::signature, signature_codec).not_signed());
}

// A fresh envelope (version 1, a random envelope_id) signed with `key`. Fails
// only when the signed view cannot be canonicalised.
template <EnvelopePayload Payload>
[[nodiscard]] tl::expected<SignedEnvelope<Payload>, contracts::ContractError> sign_envelope(
    const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::optional<contracts::Timestamp> expires_at,
    EnvelopeContext associated_data, Payload payload,
    std::optional<contracts::ContentHash> previous_hash = std::nullopt);

// sign_envelope with the envelope_id given instead of drawn: the same inputs
// give the same bytes (Ed25519 signatures are deterministic), so files made
// this way can be checked in and compared byte for byte. The signed bytes are
// written into `scratch` where one is lent: a caller about to write the file
// text reuses that memory for it.
template <EnvelopePayload Payload>
tl::expected<SignedEnvelope<Payload>, contracts::ContractError> sign_envelope_with_id(
    const contracts::Uuid& envelope_id, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::optional<contracts::Timestamp> expires_at,
    EnvelopeContext associated_data, Payload payload,
    std::optional<contracts::ContentHash> previous_hash = std::nullopt,
    std::string* scratch = nullptr);

// Room enough for the file text of an envelope around `payload`.
template <SizedPayload Payload>
std::size_t envelope_file_size_hint(const Payload& payload) {
    return payload.canonical_size_hint() * 2 + envelope_detail::kEnvelopeMembersBytes;
}

// Pretty JSON, two-space indentation, no final newline, written over `text`,
// whose memory is reused.
template <EnvelopePayload Payload>
void write_envelope_json(const SignedEnvelope<Payload>& envelope, std::string& text) {
    text.clear();
    if constexpr (SizedPayload<Payload>) {
        encoding::reserve_large(text, envelope_file_size_hint(envelope.payload));
    }
    json::JsonWriter out(text, json::Layout::File);
    json::write_record(out, envelope);
}

// The same into a string of its own.
template <EnvelopePayload Payload>
std::string write_envelope_json(const SignedEnvelope<Payload>& envelope) {
    std::string text;
    write_envelope_json(envelope, text);
    return text;
}

// A whole document; the error is the reader's, placed in the text.
template <EnvelopePayload Payload>
[[nodiscard]] tl::expected<SignedEnvelope<Payload>, json::DocumentError> read_signed_envelope_json(
    std::string_view text) {
    return json::read_record<SignedEnvelope<Payload>>(text);
}

// ---- encrypted envelopes ----------------------------------------------------

enum class EnvelopeAlgorithm { XChaCha20Poly1305 };

inline constexpr std::array<std::pair<std::string_view, EnvelopeAlgorithm>, 1> kAlgorithmTexts{{
    {kXChaCha20Poly1305Text, EnvelopeAlgorithm::XChaCha20Poly1305},
}};

struct EncryptedEnvelope {
    std::uint16_t format_version = kEnvelopeFormatVersion;
    contracts::Uuid envelope_id;
    EnvelopeAlgorithm algorithm = EnvelopeAlgorithm::XChaCha20Poly1305;
    contracts::Uuid key_id;
    contracts::Timestamp created_at;
    std::optional<contracts::Timestamp> expires_at;
    EnvelopeContext associated_data;
    // As read; open() refuses any length but 24.
    std::vector<std::uint8_t> nonce;
    // The encrypted bytes followed by the 16-byte Poly1305 tag.
    std::vector<std::uint8_t> ciphertext;

    // The associated data of the AEAD: the canonical form of the header,
    // every member but nonce and ciphertext, expires_at null when absent and
    // associated_data [] when empty.
    [[nodiscard]] tl::expected<std::string, contracts::ContractError> header_bytes() const;

    // The plaintext, in this order: the version is 1 (UnsupportedVersion), the
    // context equals `expected_context` (Validation), expires_at is not before
    // `now` (Expired), the nonce is 24 bytes (Decryption), the header view
    // canonicalises (Canonicalization), and the ciphertext authenticates under
    // `key` with the header bytes as associated data (Decryption, whatever was
    // wrong: key, header, nonce or ciphertext). A key that is not 32 bytes is
    // Decryption too.
    [[nodiscard]] tl::expected<crypto::Secret, contracts::ContractError> open(
        std::span<const std::uint8_t> key, const contracts::Timestamp& now,
        const EnvelopeContext& expected_context) const;
};

// The file form: nonce and ciphertext as arrays of integers 0-255, expires_at
// and an empty associated_data left out. Read strictly; an algorithm other
// than "xchacha20-poly1305" and a nonce or ciphertext element outside 0-255
// are refused.
constexpr auto describe(json::Type<EncryptedEnvelope>) {
    namespace d = envelope_detail;
    using E = EncryptedEnvelope;
    constexpr auto bytes = json::sequence(json::u8);
    return json::record<E>(
        kEncryptedEnvelopeRecordName,
        json::required(d::kFormatVersion, &E::format_version, json::u16),
        json::required(d::kEnvelopeId, &E::envelope_id, json::uuid),
        json::required(d::kAlgorithm, &E::algorithm, json::variant(kAlgorithmTexts)),
        json::required(d::kKeyId, &E::key_id, json::uuid),
        json::required(d::kCreatedAt, &E::created_at, json::timestamp),
        json::optional(d::kExpiresAt, &E::expires_at, json::timestamp).signed_as_null(),
        json::defaulted(d::kAssociatedData, &E::associated_data, context_codec),
        json::required(d::kNonce, &E::nonce, bytes).not_signed(),
        json::required(d::kCiphertext, &E::ciphertext, bytes).not_signed());
}

// What sealing draws at random: the envelope's id and its nonce.
struct SealDraws {
    contracts::Uuid envelope_id;
    std::array<std::uint8_t, kEnvelopeNonceBytes> nonce{};

    // A random envelope_id and a nonce from the operating system's secure
    // random source.
    static SealDraws random();
};

// Seals `plaintext` under the 32-byte `key`: version 1, a random envelope_id
// and a 24-byte nonce from the operating system's secure random source, the
// header bytes as associated data. Fails with Canonicalization (the header) or
// Encryption (a key that is not 32 bytes).
[[nodiscard]] tl::expected<EncryptedEnvelope, contracts::ContractError> seal_envelope(
    std::span<const std::uint8_t> key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::optional<contracts::Timestamp> expires_at,
    EnvelopeContext associated_data, std::span<const std::uint8_t> plaintext);

// seal_envelope with the envelope_id and nonce given by the caller, for files
// that must come out byte for byte the same. A nonce must never be used twice
// under one key: only fixed test keys may be sealed with a fixed nonce.
tl::expected<EncryptedEnvelope, contracts::ContractError> seal_envelope_with(
    const SealDraws& draws, std::span<const std::uint8_t> key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::optional<contracts::Timestamp> expires_at,
    EnvelopeContext associated_data, std::span<const std::uint8_t> plaintext);

std::string write_envelope_json(const EncryptedEnvelope& envelope);
[[nodiscard]] tl::expected<EncryptedEnvelope, json::DocumentError> read_encrypted_envelope_json(
    std::string_view text);

// ---- signing JSON values -----------------------------------------------------

// Signs canonical_json of the value. Fails only when the value cannot be
// canonicalised (Canonicalization).
[[nodiscard]] tl::expected<crypto::Signature, contracts::ContractError> sign_value(
    const crypto::Signer& key, const json::JsonValue& value);

// Verifies a signature over canonical_json of the value, so the value's member
// order and the layout of the file it came from do not matter. A value that
// cannot be canonicalised reports that Canonicalization error; every other
// failure is SignatureVerification.
[[nodiscard]] tl::expected<void, contracts::ContractError> verify_value(
    const crypto::VerifyingKey& key, const json::JsonValue& value,
    const crypto::Signature& signature);

}  // namespace zdz::envelope

#include "envelope/signed_envelope_impl.hpp"
