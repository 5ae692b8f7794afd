#include "contracts/envelope.hpp"

#include <sodium.h>

#include <cstdlib>

#include "contracts/sodium.hpp"

namespace zdz::contracts {
namespace {

static_assert(kEnvelopeKeyBytes == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
static_assert(kEnvelopeNonceBytes == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(kEnvelopeTagBytes == crypto_aead_xchacha20poly1305_ietf_ABYTES);

constexpr std::string_view kVersionText = "1";
constexpr std::string_view kContextMismatch =
    "envelope associated data does not match the expected context";

// libsodium must be initialised before its random source is used. It fails
// only without a usable random source, where libsodium itself would abort on
// the first random read, so this does the same up front.
JsonValue bytes_json(std::span<const std::uint8_t> bytes) {
    auto array = JsonValue::array();
    for (const auto b : bytes) {
        array.push(JsonValue::uint64(b));
    }
    return array;
}

std::string_view algorithm_text(EnvelopeAlgorithm algorithm) {
    switch (algorithm) {
        case EnvelopeAlgorithm::XChaCha20Poly1305:
            return kXChaCha20Poly1305Text;
    }
    return {};
}

JsonValue header_object(const EncryptedEnvelope& envelope, envelope_detail::Form form) {
    namespace d = envelope_detail;
    auto object = JsonValue::object();
    object.add(std::string(d::kFormatVersion), JsonValue::uint64(envelope.format_version));
    object.add(std::string(d::kEnvelopeId), JsonValue::string(envelope.envelope_id.to_string()));
    object.add(std::string(d::kAlgorithm),
               JsonValue::string(std::string(algorithm_text(envelope.algorithm))));
    object.add(std::string(d::kKeyId), JsonValue::string(envelope.key_id.to_string()));
    object.add(std::string(d::kCreatedAt), JsonValue::string(envelope.created_at.to_string()));
    d::add_optional_time(object, d::kExpiresAt, envelope.expires_at, form);
    d::add_context(object, envelope.associated_data, form);
    return object;
}

}  // namespace

namespace envelope_detail {

tl::expected<void, ContractError> check_version(std::uint16_t format_version) {
    if (format_version != kEnvelopeFormatVersion) {
        return tl::unexpected(ContractError::unsupported_version(
            std::to_string(format_version), std::string(kVersionText), std::string(kVersionText)));
    }
    return {};
}

tl::expected<void, ContractError> check_context(const EnvelopeContext& actual,
                                                const EnvelopeContext& expected) {
    if (actual != expected) {
        return tl::unexpected(ContractError::validation(std::string(kContextMismatch)));
    }
    return {};
}

tl::expected<void, ContractError> check_expiry(const std::optional<Timestamp>& expires_at,
                                               const Timestamp& now) {
    if (expires_at && *expires_at < now) {
        return tl::unexpected(ContractError::expired(expires_at->to_string()));
    }
    return {};
}

void add_optional_time(JsonValue& object, std::string_view name,
                       const std::optional<Timestamp>& value, Form form) {
    if (value) {
        object.add(std::string(name), JsonValue::string(value->to_string()));
    } else if (form == Form::View) {
        object.add(std::string(name), JsonValue());
    }
}

void add_context(JsonValue& object, const EnvelopeContext& context, Form form) {
    if (context.empty() && form == Form::File) {
        return;
    }
    auto array = JsonValue::array();
    for (const auto& text : context) {
        array.push(JsonValue::string(text));
    }
    object.add(std::string(kAssociatedData), std::move(array));
}

void add_optional_hash(JsonValue& object, std::string_view name,
                       const std::optional<ContentHash>& value, Form form) {
    if (value) {
        object.add(std::string(name), JsonValue::string(value->to_string()));
    } else if (form == Form::View) {
        object.add(std::string(name), JsonValue());
    }
}

tl::expected<Uuid, JsonReadError> read_uuid(const JsonValue& value) {
    static const auto convert = as_token("a UUID string", [](std::string_view text) {
        return parse_uuid_text(text).map_error(
            [](std::string e) { return std::string(kUuidParseFailedPrefix) + e; });
    });
    return convert(value);
}

tl::expected<Timestamp, JsonReadError> read_timestamp(const JsonValue& value) {
    static const auto convert = as_validated_text(Timestamp::parse);
    return convert(value);
}

tl::expected<ContentHash, JsonReadError> read_content_hash(const JsonValue& value) {
    static const auto convert = as_validated_text(ContentHash::parse);
    return convert(value);
}

tl::expected<Signature, JsonReadError> read_signature(const JsonValue& value) {
    static const auto convert = as_validated_text(Signature::parse);
    return convert(value);
}

tl::expected<EnvelopeContext, JsonReadError> read_context(const JsonValue& value) {
    static const auto convert = as_sequence(read_string);
    return convert(value);
}

}  // namespace envelope_detail

// ---- the AEAD ------------------------------------------------------------------

tl::expected<std::vector<std::uint8_t>, ContractError> xchacha20poly1305_encrypt(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::string_view associated_data, std::span<const std::uint8_t> plaintext) {
    ensure_sodium();
    if (key.size() != kEnvelopeKeyBytes || nonce.size() != kEnvelopeNonceBytes ||
        plaintext.size() > crypto_aead_xchacha20poly1305_ietf_MESSAGEBYTES_MAX) {
        return tl::unexpected(ContractError::encryption());
    }
    std::vector<std::uint8_t> ciphertext(plaintext.size() + kEnvelopeTagBytes);
    unsigned long long written = 0;
    if (crypto_aead_xchacha20poly1305_ietf_encrypt(ciphertext.data(), &written, plaintext.data(),
                                                   plaintext.size(), as_uchar(associated_data),
                                                   associated_data.size(), nullptr, nonce.data(),
                                                   key.data()) != 0 ||
        written != ciphertext.size()) {
        return tl::unexpected(ContractError::encryption());
    }
    return ciphertext;
}

tl::expected<Secret, ContractError> xchacha20poly1305_decrypt(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::string_view associated_data, std::span<const std::uint8_t> ciphertext) {
    ensure_sodium();
    if (key.size() != kEnvelopeKeyBytes || nonce.size() != kEnvelopeNonceBytes ||
        ciphertext.size() < kEnvelopeTagBytes) {
        return tl::unexpected(ContractError::decryption());
    }
    // The buffer wipes itself whichever way this returns.
    Secret plaintext(ciphertext.size() - kEnvelopeTagBytes);
    unsigned long long written = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            plaintext.data(), &written, nullptr, ciphertext.data(), ciphertext.size(),
            as_uchar(associated_data), associated_data.size(), nonce.data(), key.data()) != 0 ||
        written != plaintext.size()) {
        return tl::unexpected(ContractError::decryption());
    }
    return plaintext;
}

// ---- EncryptedEnvelope ------------------------------------------------------

JsonValue EncryptedEnvelope::to_json() const {
    auto object = header_object(*this, envelope_detail::Form::File);
    object.add(std::string(envelope_detail::kNonce), bytes_json(nonce));
    object.add(std::string(envelope_detail::kCiphertext), bytes_json(ciphertext));
    return object;
}

JsonValue EncryptedEnvelope::header_view() const {
    return header_object(*this, envelope_detail::Form::View);
}

tl::expected<std::string, ContractError> EncryptedEnvelope::header_bytes() const {
    return canonical_json(header_view());
}

tl::expected<EncryptedEnvelope, JsonReadError> EncryptedEnvelope::from_json(
    const JsonValue& value) {
    namespace d = envelope_detail;
    RecordReader r(value, kEncryptedEnvelopeRecordName,
                   {d::kFormatVersion, d::kEnvelopeId, d::kAlgorithm, d::kKeyId, d::kCreatedAt,
                    d::kExpiresAt, d::kAssociatedData, d::kNonce, d::kCiphertext});
    const auto bytes = as_sequence(read_u8);
    auto format = r.required_u16(d::kFormatVersion);
    auto envelope = r.required(d::kEnvelopeId, d::read_uuid);
    auto algorithm = r.required(
        d::kAlgorithm, as_variant<EnvelopeAlgorithm>(
                           {{kXChaCha20Poly1305Text, EnvelopeAlgorithm::XChaCha20Poly1305}}));
    auto key = r.required(d::kKeyId, d::read_uuid);
    auto created = r.required(d::kCreatedAt, d::read_timestamp);
    auto expires = r.optional(d::kExpiresAt, d::read_timestamp, NullMeans::Absent);
    auto context = r.optional(d::kAssociatedData, d::read_context);
    auto nonce = r.required(d::kNonce, bytes);
    auto ciphertext = r.required(d::kCiphertext, bytes);
    if (auto done = r.finish(); !done) {
        return tl::unexpected(std::move(done.error()));
    }
    return EncryptedEnvelope{*format,
                             *envelope,
                             *algorithm,
                             *key,
                             *created,
                             expires,
                             context ? std::move(*context) : EnvelopeContext{},
                             std::move(*nonce),
                             std::move(*ciphertext)};
}

tl::expected<Secret, ContractError> EncryptedEnvelope::open(
    std::span<const std::uint8_t> key, const Timestamp& now,
    const EnvelopeContext& expected_context) const {
    namespace d = envelope_detail;
    if (auto version = d::check_version(format_version); !version) {
        return tl::unexpected(version.error());
    }
    if (auto context = d::check_context(associated_data, expected_context); !context) {
        return tl::unexpected(context.error());
    }
    if (auto fresh = d::check_expiry(expires_at, now); !fresh) {
        return tl::unexpected(fresh.error());
    }
    if (nonce.size() != kEnvelopeNonceBytes) {
        return tl::unexpected(ContractError::decryption());
    }
    const auto header = header_bytes();
    if (!header) {
        return tl::unexpected(header.error());
    }
    return xchacha20poly1305_decrypt(key, nonce, *header, ciphertext);
}

tl::expected<EncryptedEnvelope, ContractError> seal_envelope(
    std::span<const std::uint8_t> key, const Uuid& key_id, const Timestamp& created_at,
    std::optional<Timestamp> expires_at, EnvelopeContext associated_data,
    std::span<const std::uint8_t> plaintext) {
    ensure_sodium();
    EncryptedEnvelope envelope{kEnvelopeFormatVersion,
                               Uuid::new_v4(),
                               EnvelopeAlgorithm::XChaCha20Poly1305,
                               key_id,
                               created_at,
                               expires_at,
                               std::move(associated_data),
                               std::vector<std::uint8_t>(kEnvelopeNonceBytes),
                               {}};
    randombytes_buf(envelope.nonce.data(), envelope.nonce.size());
    const auto header = envelope.header_bytes();
    if (!header) {
        return tl::unexpected(header.error());
    }
    auto ciphertext = xchacha20poly1305_encrypt(key, envelope.nonce, *header, plaintext);
    if (!ciphertext) {
        return tl::unexpected(ciphertext.error());
    }
    envelope.ciphertext = std::move(*ciphertext);
    return envelope;
}

std::string write_envelope_json(const EncryptedEnvelope& envelope) {
    return to_pretty_json(envelope.to_json());
}

tl::expected<EncryptedEnvelope, std::string> read_encrypted_envelope_json(std::string_view text) {
    return read_json_record(text, EncryptedEnvelope::from_json);
}

}  // namespace zdz::contracts
