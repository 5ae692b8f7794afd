#pragma once

// The member functions and factories of SignedEnvelope, kept apart from the
// declarations in envelope.hpp, which includes this file at its end.

#include "encoding/try.hpp"
#include "envelope/envelope.hpp"

namespace zdz::envelope {

template <EnvelopePayload Payload>
tl::expected<void, contracts::ContractError> SignedEnvelope<Payload>::write_signing_bytes(
    std::string& bytes) const {
    bytes.clear();
    if constexpr (SizedPayload<Payload>) {
        encoding::reserve_large(
            bytes, payload.canonical_size_hint() + envelope_detail::kEnvelopeMembersBytes);
    }
    return json::write_canonical_record(*this, bytes);
}

template <EnvelopePayload Payload>
tl::expected<void, contracts::ContractError> SignedEnvelope<Payload>::check(
    const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    const EnvelopeContext& expected_context, std::string& scratch,
    contracts::ContentHash* signed_hash) const {
    namespace d = envelope_detail;
    ZDZ_RETURN_IF_ERROR(
        d::check_version_and_context(format_version, associated_data, expected_context));
    ZDZ_RETURN_IF_ERROR(write_signing_bytes(scratch));
    ZDZ_RETURN_IF_ERROR(crypto::verify_bytes(key, scratch, signature));
    if (signed_hash != nullptr) {
        *signed_hash = crypto::measure_sha256(std::string_view(scratch));
    }
    // After the signature: an expiry time nobody vouched for proves nothing.
    ZDZ_RETURN_IF_ERROR(d::check_expiry(expires_at, now));
    return {};
}

template <EnvelopePayload Payload>
tl::expected<Payload, contracts::ContractError> SignedEnvelope<Payload>::verify(
    const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    const EnvelopeContext& expected_context) const& {
    std::string bytes;
    return check(key, now, expected_context, bytes).map([&] { return payload; });
}

template <EnvelopePayload Payload>
tl::expected<Payload, contracts::ContractError> SignedEnvelope<Payload>::verify(
    const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    const EnvelopeContext& expected_context, std::string&& scratch,
    contracts::ContentHash* signed_hash) && {
    // Let go before the payload is handed on.
    std::string bytes = std::move(scratch);
    auto checked = check(key, now, expected_context, bytes, signed_hash);
    std::string().swap(bytes);
    if (!checked) {
        return tl::unexpected(std::move(checked.error()));
    }
    return std::move(payload);
}

template <EnvelopePayload Payload>
[[nodiscard]] tl::expected<SignedEnvelope<Payload>, contracts::ContractError> sign_envelope(
    const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::optional<contracts::Timestamp> expires_at,
    EnvelopeContext associated_data, Payload payload,
    std::optional<contracts::ContentHash> previous_hash) {
    return sign_envelope_with_id(contracts::Uuid::new_v4(), key, key_id, created_at, expires_at,
                                 std::move(associated_data), std::move(payload), previous_hash);
}

template <EnvelopePayload Payload>
tl::expected<SignedEnvelope<Payload>, contracts::ContractError> sign_envelope_with_id(
    const contracts::Uuid& envelope_id, const crypto::Signer& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::optional<contracts::Timestamp> expires_at,
    EnvelopeContext associated_data, Payload payload,
    std::optional<contracts::ContentHash> previous_hash, std::string* scratch) {
    SignedEnvelope<Payload> envelope{kEnvelopeFormatVersion,
                                     envelope_id,
                                     key_id,
                                     created_at,
                                     expires_at,
                                     std::move(associated_data),
                                     std::move(payload),
                                     previous_hash,
                                     crypto::Signature{}};
    std::string own_bytes;
    std::string& bytes = scratch != nullptr ? *scratch : own_bytes;
    ZDZ_RETURN_IF_ERROR(envelope.write_signing_bytes(bytes));
    ZDZ_TRY(auto signature, key.sign(bytes));
    envelope.signature = signature;
    return envelope;
}

}  // namespace zdz::envelope
