#include "envelope/envelope.hpp"

#include <sodium.h>

#include <cstdlib>

#include "contracts/content_hash.hpp"
#include "crypto/aead.hpp"
#include "crypto/sodium.hpp"
#include "encoding/try.hpp"
#include "json/canonical.hpp"
#include "json/record.hpp"

namespace zdz::envelope {
namespace {

constexpr std::string_view kVersionText = "1";
constexpr std::string_view kContextMismatch =
    "envelope associated data does not match the expected context";

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

}  // namespace envelope_detail

// ---- EncryptedEnvelope ------------------------------------------------------

tl::expected<std::string, contracts::ContractError> EncryptedEnvelope::header_bytes() const {
    return json::canonical_record(*this);
}

tl::expected<crypto::Secret, contracts::ContractError> EncryptedEnvelope::open(
    std::span<const std::uint8_t> key, const contracts::Timestamp& now,
    const EnvelopeContext& expected_context) const {
    namespace d = envelope_detail;
    ZDZ_RETURN_IF_ERROR(
        d::check_version_and_context(format_version, associated_data, expected_context));
    ZDZ_RETURN_IF_ERROR(d::check_expiry(expires_at, now));
    if (nonce.size() != kEnvelopeNonceBytes) {
        return tl::unexpected(contracts::ContractError::decryption());
    }
    ZDZ_TRY(const auto header, header_bytes());
    return crypto::xchacha20poly1305_decrypt(key, nonce, header, ciphertext);
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
    ZDZ_RETURN_IF_ERROR(crypto::start_sodium());
    EncryptedEnvelope envelope{kEnvelopeFormatVersion,
                               draws.envelope_id,
                               EnvelopeAlgorithm::XChaCha20Poly1305,
                               key_id,
                               created_at,
                               expires_at,
                               std::move(associated_data),
                               std::vector<std::uint8_t>(draws.nonce.begin(), draws.nonce.end()),
                               {}};
    ZDZ_TRY(const auto header, envelope.header_bytes());
    ZDZ_TRY(auto ciphertext,
            crypto::xchacha20poly1305_encrypt(key, envelope.nonce, header, plaintext));
    envelope.ciphertext = std::move(ciphertext);
    return envelope;
}

tl::expected<crypto::Signature, contracts::ContractError> sign_value(const crypto::Signer& key,
                                                                     const json::JsonValue& value) {
    ZDZ_TRY(const auto bytes, json::canonical_json(value));
    return key.sign(bytes);
}

tl::expected<void, contracts::ContractError> verify_value(const crypto::VerifyingKey& key,
                                                          const json::JsonValue& value,
                                                          const crypto::Signature& signature) {
    ZDZ_TRY(const auto bytes, json::canonical_json(value));
    return crypto::verify_bytes(key, bytes, signature);
}

std::string write_envelope_json(const EncryptedEnvelope& envelope) {
    return json::write_record_file(envelope);
}

tl::expected<EncryptedEnvelope, json::DocumentError> read_encrypted_envelope_json(
    std::string_view text) {
    return json::read_record<EncryptedEnvelope>(text);
}

}  // namespace zdz::envelope
