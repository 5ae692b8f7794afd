#include "envelope/envelope.hpp"

#include <sodium.h>

#include <cstdlib>

#include "contracts/content_hash.hpp"
#include "crypto/aead.hpp"
#include "crypto/sodium.hpp"
#include "json/fields.hpp"
#include "json/writer.hpp"

namespace zdz::envelope {
namespace {

constexpr std::string_view kVersionText = "1";
constexpr std::string_view kContextMismatch =
    "envelope associated data does not match the expected context";

json::JsonValue bytes_json(std::span<const std::uint8_t> bytes) {
    auto array = json::JsonValue::array();
    for (const auto b : bytes) {
        array.push(json::JsonValue::uint64(b));
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

json::JsonValue header_object(const EncryptedEnvelope& envelope, envelope_detail::Form form) {
    namespace d = envelope_detail;
    auto object = json::JsonValue::object();
    object.add(std::string(d::kFormatVersion), json::JsonValue::uint64(envelope.format_version));
    object.add(std::string(d::kEnvelopeId),
               json::JsonValue::string(envelope.envelope_id.to_string()));
    object.add(std::string(d::kAlgorithm),
               json::JsonValue::string(std::string(algorithm_text(envelope.algorithm))));
    object.add(std::string(d::kKeyId), json::JsonValue::string(envelope.key_id.to_string()));
    object.add(std::string(d::kCreatedAt),
               json::JsonValue::string(envelope.created_at.to_string()));
    d::add_optional_time(object, d::kExpiresAt, envelope.expires_at, form);
    d::add_context(object, envelope.associated_data, form);
    return object;
}

}  // namespace

namespace envelope_detail {

tl::expected<void, contracts::ContractError> check_version(std::uint16_t format_version) {
    if (format_version != kEnvelopeFormatVersion) {
        return tl::unexpected(contracts::ContractError::unsupported_version(
            std::to_string(format_version), std::string(kVersionText), std::string(kVersionText)));
    }
    return {};
}

tl::expected<void, contracts::ContractError> check_context(const EnvelopeContext& actual,
                                                           const EnvelopeContext& expected) {
    if (actual != expected) {
        return tl::unexpected(contracts::ContractError::invalid(
            contracts::ContractError::Subject::EnvelopeContext, std::string(kContextMismatch)));
    }
    return {};
}

tl::expected<void, contracts::ContractError> check_version_and_context(
    std::uint16_t format_version, const EnvelopeContext& actual, const EnvelopeContext& expected) {
    if (auto version = check_version(format_version); !version) {
        return version;
    }
    return check_context(actual, expected);
}

tl::expected<void, contracts::ContractError> check_expiry(
    const std::optional<contracts::Timestamp>& expires_at, const contracts::Timestamp& now) {
    if (expires_at && *expires_at < now) {
        return tl::unexpected(contracts::ContractError::expired(expires_at->to_string()));
    }
    return {};
}

namespace {

// A member written in its text form; absent, it is null in the views and left
// out of the file.
template <class T>
void add_optional_text(json::JsonValue& object, std::string_view name,
                       const std::optional<T>& value, Form form) {
    if (value) {
        object.add(std::string(name), json::JsonValue::string(value->to_string()));
    } else if (form == Form::View) {
        object.add(std::string(name), json::JsonValue());
    }
}

}  // namespace

void add_optional_time(json::JsonValue& object, std::string_view name,
                       const std::optional<contracts::Timestamp>& value, Form form) {
    add_optional_text(object, name, value, form);
}

void add_context(json::JsonValue& object, const EnvelopeContext& context, Form form) {
    if (context.empty() && form == Form::File) {
        return;
    }
    auto array = json::JsonValue::array();
    for (const auto& text : context) {
        array.push(json::JsonValue::string(text));
    }
    object.add(std::string(kAssociatedData), std::move(array));
}

void add_optional_hash(json::JsonValue& object, std::string_view name,
                       const std::optional<contracts::ContentHash>& value, Form form) {
    add_optional_text(object, name, value, form);
}

tl::expected<crypto::Signature, json::JsonReadError> read_signature(const json::JsonValue& value) {
    static const auto convert = json::as_validated_text(crypto::Signature::parse);
    return convert(value);
}

tl::expected<EnvelopeContext, json::JsonReadError> read_context(const json::JsonValue& value) {
    static const auto convert = json::as_sequence(json::read_string);
    return convert(value);
}

bool scan_uuid(json::PlainJsonReader& reader, contracts::Uuid& out) {
    // The parser read_uuid uses, whose refusal the quick reader need not word.
    return json::scan_text(reader, contracts::parse_uuid_text, out);
}

bool scan_context(json::PlainJsonReader& reader, EnvelopeContext& out) {
    return json::scan_items(reader, [&] {
        std::string_view text;
        if (!reader.string(text)) {
            return false;
        }
        out.emplace_back(text);
        return true;
    });
}

void write_canonical_context(json::JsonWriter& out, const EnvelopeContext& context) {
    out.begin_array();
    for (const auto& text : context) {
        out.text(text);
    }
    out.end_array();
}

void write_canonical_time(json::JsonWriter& out, const std::optional<contracts::Timestamp>& value) {
    if (value) {
        out.text(value->to_string());
    } else {
        out.null();
    }
}

}  // namespace envelope_detail

// ---- EncryptedEnvelope ------------------------------------------------------

json::JsonValue EncryptedEnvelope::to_json() const {
    auto object = header_object(*this, envelope_detail::Form::File);
    object.add(std::string(envelope_detail::kNonce), bytes_json(nonce));
    object.add(std::string(envelope_detail::kCiphertext), bytes_json(ciphertext));
    return object;
}

json::JsonValue EncryptedEnvelope::header_view() const {
    return header_object(*this, envelope_detail::Form::View);
}

tl::expected<std::string, contracts::ContractError> EncryptedEnvelope::header_bytes() const {
    return json::canonical_json(header_view());
}

tl::expected<EncryptedEnvelope, json::JsonReadError> EncryptedEnvelope::from_json(
    const json::JsonValue& value) {
    namespace d = envelope_detail;
    json::RecordReader r(
        value, kEncryptedEnvelopeRecordName,
        {d::kFormatVersion, d::kEnvelopeId, d::kAlgorithm, d::kKeyId, d::kCreatedAt, d::kExpiresAt,
         d::kAssociatedData, d::kNonce, d::kCiphertext});
    const auto bytes = json::as_sequence(json::read_u8);
    auto format = r.required_u16(d::kFormatVersion);
    auto envelope = r.required(d::kEnvelopeId, json::read_uuid);
    auto algorithm = r.required(
        d::kAlgorithm, json::as_variant<EnvelopeAlgorithm>(
                           {{kXChaCha20Poly1305Text, EnvelopeAlgorithm::XChaCha20Poly1305}}));
    auto key = r.required(d::kKeyId, json::read_uuid);
    auto created = r.required(d::kCreatedAt, json::read_timestamp);
    auto expires = r.optional(d::kExpiresAt, json::read_timestamp, json::NullMeans::Absent);
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

tl::expected<crypto::Secret, contracts::ContractError> EncryptedEnvelope::open(
    std::span<const std::uint8_t> key, const contracts::Timestamp& now,
    const EnvelopeContext& expected_context) const {
    namespace d = envelope_detail;
    if (auto header =
            d::check_version_and_context(format_version, associated_data, expected_context);
        !header) {
        return tl::unexpected(header.error());
    }
    if (auto fresh = d::check_expiry(expires_at, now); !fresh) {
        return tl::unexpected(fresh.error());
    }
    if (nonce.size() != kEnvelopeNonceBytes) {
        return tl::unexpected(contracts::ContractError::decryption());
    }
    const auto header = header_bytes();
    if (!header) {
        return tl::unexpected(header.error());
    }
    return crypto::xchacha20poly1305_decrypt(key, nonce, *header, ciphertext);
}

SealDraws SealDraws::random() {
    crypto::start_sodium_best_effort();
    SealDraws draws{contracts::Uuid::new_v4(), {}};
    randombytes_buf(draws.nonce.data(), draws.nonce.size());
    return draws;
}

tl::expected<EncryptedEnvelope, contracts::ContractError> seal_envelope(
    std::span<const std::uint8_t> key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::optional<contracts::Timestamp> expires_at,
    EnvelopeContext associated_data, std::span<const std::uint8_t> plaintext) {
    return seal_envelope_with(SealDraws::random(), key, key_id, created_at, expires_at,
                              std::move(associated_data), plaintext);
}

tl::expected<EncryptedEnvelope, contracts::ContractError> seal_envelope_with(
    const SealDraws& draws, std::span<const std::uint8_t> key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::optional<contracts::Timestamp> expires_at,
    EnvelopeContext associated_data, std::span<const std::uint8_t> plaintext) {
    if (auto started = crypto::start_sodium(); !started) {
        return tl::unexpected(started.error());
    }
    EncryptedEnvelope envelope{kEnvelopeFormatVersion,
                               draws.envelope_id,
                               EnvelopeAlgorithm::XChaCha20Poly1305,
                               key_id,
                               created_at,
                               expires_at,
                               std::move(associated_data),
                               std::vector<std::uint8_t>(draws.nonce.begin(), draws.nonce.end()),
                               {}};
    const auto header = envelope.header_bytes();
    if (!header) {
        return tl::unexpected(header.error());
    }
    auto ciphertext = crypto::xchacha20poly1305_encrypt(key, envelope.nonce, *header, plaintext);
    if (!ciphertext) {
        return tl::unexpected(ciphertext.error());
    }
    envelope.ciphertext = std::move(*ciphertext);
    return envelope;
}

tl::expected<crypto::Signature, contracts::ContractError> sign_value(const crypto::Signer& key,
                                                                     const json::JsonValue& value) {
    const auto bytes = json::canonical_json(value);
    if (!bytes) {
        return tl::unexpected(bytes.error());
    }
    return key.sign(*bytes);
}

tl::expected<void, contracts::ContractError> verify_value(const crypto::VerifyingKey& key,
                                                          const json::JsonValue& value,
                                                          const crypto::Signature& signature) {
    const auto bytes = json::canonical_json(value);
    if (!bytes) {
        return tl::unexpected(bytes.error());
    }
    return crypto::verify_bytes(key, *bytes, signature);
}

std::string write_envelope_json(const EncryptedEnvelope& envelope) {
    return json::to_pretty_json(envelope.to_json());
}

tl::expected<EncryptedEnvelope, json::DocumentError> read_encrypted_envelope_json(
    std::string_view text) {
    return json::read_json_record(text, EncryptedEnvelope::from_json);
}

}  // namespace zdz::envelope
