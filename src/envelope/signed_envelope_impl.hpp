#pragma once

// The member functions and factories of SignedEnvelope, kept apart from the
// declarations in envelope.hpp, which includes this file at its end.

#include "envelope/envelope.hpp"

namespace zdz::envelope {

template <EnvelopePayload Payload>
json::JsonValue SignedEnvelope<Payload>::build(envelope_detail::Form form) const {
    namespace d = envelope_detail;
    auto object = json::JsonValue::object();
    object.add(std::string(d::kFormatVersion), json::JsonValue::uint64(format_version));
    object.add(std::string(d::kEnvelopeId), json::JsonValue::string(envelope_id.to_string()));
    object.add(std::string(d::kKeyId), json::JsonValue::string(key_id.to_string()));
    object.add(std::string(d::kCreatedAt), json::JsonValue::string(created_at.to_string()));
    d::add_optional_time(object, d::kExpiresAt, expires_at, form);
    d::add_context(object, associated_data, form);
    object.add(std::string(d::kPayload), payload.to_json());
    d::add_optional_hash(object, d::kPreviousHash, previous_hash, form);
    if (form == d::Form::File) {
        object.add(std::string(d::kSignature), json::JsonValue::string(signature.to_string()));
    }
    return object;
}

template <EnvelopePayload Payload>
tl::expected<SignedEnvelope<Payload>, json::JsonReadError> SignedEnvelope<Payload>::from_json(
    const json::JsonValue& value) {
    namespace d = envelope_detail;
    json::RecordReader r(
        value, kSignedEnvelopeRecordName,
        {d::kFormatVersion, d::kEnvelopeId, d::kKeyId, d::kCreatedAt, d::kExpiresAt,
         d::kAssociatedData, d::kPayload, d::kPreviousHash, d::kSignature});
    auto format = r.required_u16(d::kFormatVersion);
    auto envelope = r.required(d::kEnvelopeId, json::read_uuid);
    auto key = r.required(d::kKeyId, json::read_uuid);
    auto created = r.required(d::kCreatedAt, json::read_timestamp);
    auto expires = r.optional(d::kExpiresAt, json::read_timestamp, json::NullMeans::Absent);
    auto context = r.optional(d::kAssociatedData, d::read_context);
    auto body = r.required(d::kPayload, Payload::from_json);
    auto previous = r.optional(d::kPreviousHash, json::read_content_hash, json::NullMeans::Absent);
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
std::optional<SignedEnvelope<Payload>> SignedEnvelope<Payload>::scan(
    json::PlainJsonReader& reader) requires ScannablePayload<Payload> {
    namespace d = envelope_detail;
    static constexpr std::array<std::string_view, 9> kMembers = {
        d::kFormatVersion,  d::kEnvelopeId, d::kKeyId,        d::kCreatedAt, d::kExpiresAt,
        d::kAssociatedData, d::kPayload,    d::kPreviousHash, d::kSignature};
    // format_version, envelope_id, key_id, created_at, payload, signature.
    constexpr std::uint32_t kRequired = 0b1'0100'1111;
    SignedEnvelope envelope;
    std::optional<Payload> body;
    const bool read = json::scan_members(reader, kMembers, kRequired, [&](std::size_t member) {
        switch (member) {
            case 0:
                return json::scan_unsigned(reader, envelope.format_version);
            case 1:
                return d::scan_uuid(reader, envelope.envelope_id);
            case 2:
                return d::scan_uuid(reader, envelope.key_id);
            case 3:
                return json::scan_text(reader, contracts::Timestamp::parse, envelope.created_at);
            case 4:
                return json::scan_optional_text(reader, contracts::Timestamp::parse,
                                                envelope.expires_at);
            case 5:
                return d::scan_context(reader, envelope.associated_data);
            case 6:
                body = Payload::scan(reader);
                return body.has_value();
            case 7:
                return json::scan_optional_text(reader, contracts::ContentHash::parse,
                                                envelope.previous_hash);
            default:
                return json::scan_text(reader, crypto::Signature::parse, envelope.signature);
        }
    });
    if (!read) {
        return std::nullopt;
    }
    envelope.payload = std::move(*body);
    return envelope;
}

template <EnvelopePayload Payload>
tl::expected<void, contracts::ContractError> SignedEnvelope<Payload>::write_signing_bytes(
    std::string& bytes) const {
    bytes.clear();
    if constexpr (WritablePayload<Payload>) {
        // Members in ascending byte order of their names.
        namespace d = envelope_detail;
        constexpr std::size_t kEnvelopeMembersBytes = 1024;
        encoding::reserve_large(bytes, payload.canonical_size_hint() + kEnvelopeMembersBytes);
        json::JsonWriter out(bytes, json::Layout::Canonical);
        out.begin_object();
        out.member(d::kAssociatedData);
        d::write_canonical_context(out, associated_data);
        out.member(d::kCreatedAt);
        out.text(created_at.to_string());
        out.member(d::kEnvelopeId);
        out.text(envelope_id.to_string());
        out.member(d::kExpiresAt);
        d::write_canonical_time(out, expires_at);
        out.member(d::kFormatVersion);
        out.number(format_version);
        out.member(d::kKeyId);
        out.text(key_id.to_string());
        out.member(d::kPayload);
        payload.write_json(out);
        out.member(d::kPreviousHash);
        if (previous_hash) {
            out.text(previous_hash->to_string());
        } else {
            out.null();
        }
        out.end_object();
        return out.result();
    }
    auto canonical = json::canonical_json(signed_view());
    if (!canonical) {
        return tl::unexpected(std::move(canonical.error()));
    }
    bytes = std::move(*canonical);
    return {};
}

template <EnvelopePayload Payload>
tl::expected<void, contracts::ContractError> SignedEnvelope<Payload>::check(
    const crypto::VerifyingKey& key, const contracts::Timestamp& now,
    const EnvelopeContext& expected_context, std::string& scratch) const {
    namespace d = envelope_detail;
    if (auto header =
            d::check_version_and_context(format_version, associated_data, expected_context);
        !header) {
        return tl::unexpected(header.error());
    }
    if (auto written = write_signing_bytes(scratch); !written) {
        return tl::unexpected(written.error());
    }
    if (auto verified = crypto::verify_bytes(key, scratch, signature); !verified) {
        return tl::unexpected(verified.error());
    }
    // After the signature: an expiry time nobody vouched for proves nothing.
    if (auto fresh = d::check_expiry(expires_at, now); !fresh) {
        return tl::unexpected(fresh.error());
    }
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
    const EnvelopeContext& expected_context, std::string&& scratch) && {
    // Let go before the payload is handed on.
    std::string bytes = std::move(scratch);
    auto checked = check(key, now, expected_context, bytes);
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
    if (auto written = envelope.write_signing_bytes(bytes); !written) {
        return tl::unexpected(written.error());
    }
    auto signature = key.sign(bytes);
    if (!signature) {
        return tl::unexpected(std::move(signature.error()));
    }
    envelope.signature = *signature;
    return envelope;
}

}  // namespace zdz::envelope
