#include "envelope/envelope.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "crypto/aead.hpp"
#include "crypto/digest.hpp"
#include "encoding/hex.hpp"
#include "support/keys.hpp"

using namespace zdz::encoding;
using namespace zdz::contracts;
using namespace zdz::json;
using namespace zdz::crypto;
using namespace zdz::envelope;
using zdz::test::fixed_key;

namespace {

// A payload of the kind the registry store carries: a described record.
struct Note {
    std::string text;
    std::uint32_t count = 0;
};

constexpr auto describe(Type<Note>) {
    return record<Note>("Note", required("text", &Note::text, plain_text),
                        required("count", &Note::count, u32));
}

static_assert(EnvelopePayload<Note>);

const Uuid kKeyId = *Uuid::parse("00112233-4455-4677-8899-aabbccddeeff");
const EnvelopeContext kContext = {"ctx:a", "ctx:b"};

Timestamp at(const char* text) {
    return *Timestamp::parse(text);
}

std::vector<std::uint8_t> from_hex(std::string_view text) {
    return *hex_decode(text);
}

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

const std::vector<std::uint8_t> kAeadKey(kEnvelopeKeyBytes, 0x42);

SignedEnvelope<Note> signed_note(std::optional<Timestamp> expires_at = std::nullopt,
                                 std::optional<ContentHash> previous = std::nullopt) {
    auto envelope = sign_envelope(fixed_key(1), kKeyId, at("2026-07-15T08:00:00Z"), expires_at,
                                  kContext, Note{"h\xc3\xa9llo", 3}, previous);
    EXPECT_TRUE(envelope);
    return std::move(*envelope);
}

EncryptedEnvelope sealed(std::optional<Timestamp> expires_at = std::nullopt) {
    auto envelope = seal_envelope(kAeadKey, kKeyId, at("2026-07-15T08:00:00Z"), expires_at,
                                  kContext, bytes_of("the secret"));
    EXPECT_TRUE(envelope);
    return std::move(*envelope);
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The file as an operator might leave it after editing: members in reverse
// order, tabs for indentation, UUIDs in upper case and created_at written
// with an offset.
std::string edited_file(const std::string& written) {
    const auto tree = read_json(written);
    EXPECT_TRUE(tree);
    auto object = JsonValue::object();
    const auto& members = tree->members();
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
        if (it->key == "envelope_id" || it->key == "key_id") {
            object.add(it->key, JsonValue::string(upper(it->value.as_string())));
        } else if (it->key == "created_at") {
            EXPECT_EQ(it->value.as_string(), "2026-07-15T08:00:00Z");
            object.add(it->key, JsonValue::string("2026-07-15T10:00:00+02:00"));
        } else {
            object.add(it->key, it->value);
        }
    }
    std::string text = to_pretty_json(object);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "  ") == 0) {
            out += '\t';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out + "\n";
}

}  // namespace

TEST(XChaCha20Poly1305, DraftTestVectorA31) {
    const auto key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    const auto nonce = from_hex("404142434445464748494a4b4c4d4e4f5051525354555657");
    const auto aad = from_hex("50515253c0c1c2c3c4c5c6c7");
    const std::string plaintext =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
        "future, sunscreen would be it.";
    const std::string expected =
        "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f"
        "4eda7e39ae64c6708c54c216cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f"
        "76b2383565d3fff921f9664c97637da9768812f615c68b13b52e"
        "c0875924c1c7987947deafd8780acf49";
    const std::string aad_text(aad.begin(), aad.end());

    const auto ciphertext = xchacha20poly1305_encrypt(key, nonce, aad_text, bytes_of(plaintext));
    ASSERT_TRUE(ciphertext);
    EXPECT_EQ(hex_encode(*ciphertext), expected);

    const auto opened = xchacha20poly1305_decrypt(key, nonce, aad_text, *ciphertext);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->view(), plaintext);

    auto tampered = *ciphertext;
    tampered.back() ^= 1;
    EXPECT_EQ(xchacha20poly1305_decrypt(key, nonce, aad_text, tampered).error(),
              ContractError::decryption());
    EXPECT_EQ(xchacha20poly1305_decrypt(key, nonce, aad_text.substr(1), *ciphertext).error(),
              ContractError::decryption());
    // Shorter than a tag, or a key or nonce of the wrong size.
    EXPECT_EQ(
        xchacha20poly1305_decrypt(key, nonce, aad_text, std::vector<std::uint8_t>(15)).error(),
        ContractError::decryption());
    EXPECT_EQ(
        xchacha20poly1305_decrypt(std::span(key).first(31), nonce, aad_text, *ciphertext).error(),
        ContractError::decryption());
    EXPECT_EQ(xchacha20poly1305_encrypt(key, std::span(nonce).first(23), aad_text, {}).error(),
              ContractError::encryption());
}

TEST(SignedEnvelope, FileFormAndSignedView) {
    const auto envelope = signed_note();
    EXPECT_EQ(envelope.format_version, 1);
    EXPECT_NE(envelope.envelope_id, sign_envelope(fixed_key(1), kKeyId, at("2026-07-15T08:00:00Z"),
                                                  std::nullopt, kContext, Note{"x", 1})
                                        ->envelope_id);

    // Absent members are left out of the file but stand as null in the
    // signed bytes, which a plain Ed25519 check over this text confirms.
    const std::string id = envelope.envelope_id.to_string();
    EXPECT_EQ(write_envelope_json(envelope),
              "{\n  \"format_version\": 1,\n  \"envelope_id\": \"" + id +
                  "\",\n  \"key_id\": \"00112233-4455-4677-8899-aabbccddeeff\",\n"
                  "  \"created_at\": \"2026-07-15T08:00:00Z\",\n"
                  "  \"associated_data\": [\n    \"ctx:a\",\n    \"ctx:b\"\n  ],\n"
                  "  \"payload\": {\n    \"text\": \"h\xc3\xa9llo\",\n    \"count\": 3\n  },\n"
                  "  \"signature\": \"" +
                  envelope.signature.to_string() + "\"\n}");
    const std::string view =
        R"({"associated_data":["ctx:a","ctx:b"],"created_at":"2026-07-15T08:00:00Z",)"
        R"("envelope_id":")" +
        id +
        R"(","expires_at":null,"format_version":1,)"
        R"("key_id":"00112233-4455-4677-8899-aabbccddeeff",)"
        R"("payload":{"count":3,"text":"h)"
        "\xc3\xa9"
        R"(llo"},"previous_hash":null})";
    EXPECT_EQ(*envelope.signing_bytes(), view);
    EXPECT_EQ(crypto_sign_verify_detached(envelope.signature.bytes().data(),
                                          reinterpret_cast<const unsigned char*>(view.data()),
                                          view.size(), fixed_key(1).verifying_key().bytes().data()),
              0);

    // An empty context is [] in the view and missing from the file; present
    // optionals are written in both.
    auto bare =
        *sign_envelope(fixed_key(1), kKeyId, at("2026-07-15T08:00:00Z"), at("2027-01-01T00:00:00Z"),
                       {}, Note{"x", 1}, measure_sha256(std::string_view("prev")));
    const std::string bare_text = write_envelope_json(bare);
    EXPECT_EQ(bare_text.find("associated_data"), std::string::npos);
    EXPECT_NE(bare_text.find("\"expires_at\": \"2027-01-01T00:00:00Z\""), std::string::npos);
    EXPECT_NE(bare_text.find("\"previous_hash\": \"sha256:"), std::string::npos);
    EXPECT_NE(bare.signing_bytes()->find(R"("associated_data":[],)"), std::string::npos);
    EXPECT_TRUE(bare.verify(fixed_key(1).verifying_key(), at("2026-08-01T00:00:00Z"), {}));
}

TEST(SignedEnvelope, VerifyChecksInOrder) {
    const auto right = fixed_key(1).verifying_key();
    const auto now = at("2026-08-01T00:00:00Z");
    const auto good = signed_note();

    const auto payload = good.verify(right, now, kContext);
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->text, "h\xc3\xa9llo");
    EXPECT_EQ(payload->count, 3U);
    // No expiry: valid whenever.
    EXPECT_TRUE(good.verify(right, at("9999-12-31T23:59:59Z"), kContext));

    // Version first, before a signature that would not verify either.
    auto v2 = good;
    v2.format_version = 2;
    v2.signature = Signature{};
    const auto version = v2.verify(right, now, kContext).error();
    EXPECT_EQ(version.kind(), ContractError::Kind::UnsupportedVersion);
    EXPECT_EQ(version.display(), "unsupported contract version: 2 (supported 1..=1)");

    const std::string mismatch =
        "validation failed: envelope associated data does not match the expected context";
    EXPECT_EQ(good.verify(right, now, {"ctx:b", "ctx:a"}).error().display(), mismatch);
    EXPECT_EQ(good.verify(right, now, {"ctx:a"}).error().display(), mismatch);
    EXPECT_EQ(good.verify(right, now, {}).error().display(), mismatch);

    const auto bad_signature = ContractError::signature_verification();
    EXPECT_EQ(good.verify(fixed_key(2).verifying_key(), now, kContext).error(), bad_signature);
    auto altered = good;
    altered.payload.count = 4;
    EXPECT_EQ(altered.verify(right, now, kContext).error(), bad_signature);
    altered = good;
    altered.previous_hash = measure_sha256(std::string_view("chain"));
    EXPECT_EQ(altered.verify(right, now, kContext).error(), bad_signature);
    altered = good;
    altered.created_at = at("2026-07-15T08:00:01Z");
    EXPECT_EQ(altered.verify(right, now, kContext).error(), bad_signature);

    // Expiry last: an expired envelope with a bad signature reports the
    // signature; valid at the very instant of expiry.
    const auto expiring = signed_note(at("2026-07-20T00:00:00Z"));
    EXPECT_TRUE(expiring.verify(right, at("2026-07-20T00:00:00Z"), kContext));
    const auto expired = expiring.verify(right, at("2026-07-20T00:00:00.5Z"), kContext).error();
    EXPECT_EQ(expired.kind(), ContractError::Kind::Expired);
    EXPECT_EQ(expired.display(), "envelope expired at 2026-07-20T00:00:00Z");
    EXPECT_EQ(expiring.verify(fixed_key(2).verifying_key(), now, kContext).error(), bad_signature);
}

TEST(SignedEnvelope, EditedFileStillVerifies) {
    const auto envelope = signed_note(at("2027-01-01T00:00:00+00:00"));
    const std::string edited = edited_file(write_envelope_json(envelope));
    ASSERT_NE(edited.find("2026-07-15T10:00:00+02:00"), std::string::npos);

    const auto read = read_signed_envelope_json<Note>(edited);
    ASSERT_TRUE(read) << read.error().display();
    EXPECT_EQ(read->envelope_id, envelope.envelope_id);
    EXPECT_TRUE(read->verify(fixed_key(1).verifying_key(), at("2026-08-01T00:00:00Z"), kContext));
    // Written back in the system's own form.
    EXPECT_EQ(write_envelope_json(*read), write_envelope_json(envelope));
}

TEST(SignedEnvelope, ReadingIsStrict) {
    const std::string written = write_envelope_json(signed_note());
    const auto with = [&](const std::string& before, const std::string& insert) {
        std::string text = written;
        text.insert(text.find(before), insert);
        return read_signed_envelope_json<Note>(text);
    };

    EXPECT_EQ(with("\"payload\"", "\"extra\": 1,\n  ").error().display(),
              "unknown field `extra`, expected one of `format_version`, `envelope_id`, `key_id`, "
              "`created_at`, `expires_at`, `associated_data`, `payload`, `previous_hash`, "
              "`signature` at line 10 column 9");
    EXPECT_EQ(with("\"count\"", "\"zz\": 1,\n    ").error().display(),
              "unknown field `zz`, expected `text` or `count` at line 12 column 8");

    // null is "absent" for the optional timestamps and hashes, never for the
    // context.
    const auto nulls = with("\"payload\"", "\"expires_at\": null,\n  \"previous_hash\": null,\n  ");
    ASSERT_TRUE(nulls) << nulls.error().display();
    EXPECT_FALSE(nulls->expires_at);
    EXPECT_FALSE(nulls->previous_hash);
    auto no_context = written;
    no_context.replace(no_context.find("[\n    \"ctx:a\",\n    \"ctx:b\"\n  ]"), 30, "null");
    EXPECT_EQ(read_signed_envelope_json<Note>(no_context).error().display(),
              "invalid type: null, expected a sequence at line 6 column 25");

    // The version is judged by verify, not by the reader.
    auto v7 = written;
    const auto version_at = v7.find("1,");
    ASSERT_NE(version_at, std::string::npos);
    v7[version_at] = '7';
    ASSERT_TRUE(read_signed_envelope_json<Note>(v7));
    EXPECT_EQ(read_signed_envelope_json<Note>(v7)->format_version, 7);
}

TEST(EncryptedEnvelope, SealsUnderTheCanonicalHeader) {
    const auto envelope = sealed();
    EXPECT_EQ(envelope.nonce.size(), kEnvelopeNonceBytes);
    EXPECT_EQ(envelope.ciphertext.size(), std::string("the secret").size() + kEnvelopeTagBytes);
    EXPECT_NE(envelope.nonce, sealed().nonce);

    // The associated data is the header written by hand, and libsodium opens
    // it with that.
    const std::string header = R"({"algorithm":"xchacha20-poly1305","associated_data":["ctx:a",)"
                               R"("ctx:b"],"created_at":"2026-07-15T08:00:00Z","envelope_id":")" +
                               envelope.envelope_id.to_string() +
                               R"(","expires_at":null,"format_version":1,)"
                               R"("key_id":"00112233-4455-4677-8899-aabbccddeeff"})";
    EXPECT_EQ(*envelope.header_bytes(), header);
    std::vector<std::uint8_t> plain(envelope.ciphertext.size() - kEnvelopeTagBytes);
    EXPECT_EQ(crypto_aead_xchacha20poly1305_ietf_decrypt(
                  plain.data(), nullptr, nullptr, envelope.ciphertext.data(),
                  envelope.ciphertext.size(), reinterpret_cast<const unsigned char*>(header.data()),
                  header.size(), envelope.nonce.data(), kAeadKey.data()),
              0);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), "the secret");

    const auto opened = envelope.open(kAeadKey, at("2026-08-01T00:00:00Z"), kContext);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->view(), "the secret");

    const std::string text = write_envelope_json(envelope);
    EXPECT_EQ(text.rfind("{\n  \"format_version\": 1,\n  \"envelope_id\": ", 0), 0U);
    EXPECT_NE(text.find("\"algorithm\": \"xchacha20-poly1305\",\n  \"key_id\""), std::string::npos);
    EXPECT_EQ(text.find("expires_at"), std::string::npos);
    EXPECT_NE(text.find("\"nonce\": [\n    " + std::to_string(envelope.nonce[0]) + ",\n"),
              std::string::npos);
}

TEST(EncryptedEnvelope, OpenChecksInOrder) {
    const auto now = at("2026-08-01T00:00:00Z");
    const auto decryption = ContractError::decryption();
    const auto envelope = sealed(at("2026-07-20T00:00:00Z"));
    EXPECT_TRUE(envelope.open(kAeadKey, at("2026-07-20T00:00:00Z"), kContext));

    // Expired and otherwise broken: version, then context, then expiry, all
    // before anything is decrypted.
    auto broken = envelope;
    broken.nonce.pop_back();
    broken.format_version = 2;
    EXPECT_EQ(broken.open(kAeadKey, now, {"other"}).error().kind(),
              ContractError::Kind::UnsupportedVersion);
    broken.format_version = 1;
    EXPECT_EQ(broken.open(kAeadKey, now, {"other"}).error().kind(),
              ContractError::Kind::Validation);
    EXPECT_EQ(broken.open(kAeadKey, now, kContext).error().display(),
              "envelope expired at 2026-07-20T00:00:00Z");
    EXPECT_EQ(broken.open(kAeadKey, at("2026-07-19T00:00:00Z"), kContext).error().display(),
              "decryption failed");

    // Every header member is authenticated, and so are the key, nonce and
    // ciphertext.
    const auto before = at("2026-07-19T00:00:00Z");
    auto altered = envelope;
    altered.key_id = Uuid::new_v4();
    EXPECT_EQ(altered.open(kAeadKey, before, kContext).error(), decryption);
    altered = envelope;
    altered.created_at = at("2026-07-15T08:00:00.000000001Z");
    EXPECT_EQ(altered.open(kAeadKey, before, kContext).error(), decryption);
    altered = envelope;
    altered.expires_at = std::nullopt;
    EXPECT_EQ(altered.open(kAeadKey, before, kContext).error(), decryption);
    altered = envelope;
    altered.associated_data = {"ctx:a"};
    EXPECT_EQ(altered.open(kAeadKey, before, {"ctx:a"}).error(), decryption);
    altered = envelope;
    altered.nonce[0] ^= 1;
    EXPECT_EQ(altered.open(kAeadKey, before, kContext).error(), decryption);
    altered = envelope;
    altered.ciphertext[0] ^= 1;
    EXPECT_EQ(altered.open(kAeadKey, before, kContext).error(), decryption);
    std::vector<std::uint8_t> other_key(kEnvelopeKeyBytes, 0x43);
    EXPECT_EQ(envelope.open(other_key, before, kContext).error(), decryption);
    EXPECT_EQ(envelope.open(std::span(kAeadKey).first(16), before, kContext).error(), decryption);

    EXPECT_EQ(seal_envelope(std::span(kAeadKey).first(16), kKeyId, before, std::nullopt, {},
                            bytes_of("x"))
                  .error(),
              ContractError::encryption());
}

TEST(EncryptedEnvelope, EditedFileStillOpensAndReadingIsStrict) {
    const auto envelope = sealed();
    const std::string written = write_envelope_json(envelope);
    const auto read = read_encrypted_envelope_json(edited_file(written));
    ASSERT_TRUE(read) << read.error().display();
    const auto opened = read->open(kAeadKey, at("2026-08-01T00:00:00Z"), kContext);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->view(), "the secret");
    EXPECT_EQ(write_envelope_json(*read), written);

    auto other_algorithm = written;
    other_algorithm.replace(other_algorithm.find("xchacha20-poly1305"), 18, "aes-gcm");
    EXPECT_EQ(read_encrypted_envelope_json(other_algorithm).error().display(),
              "unknown variant `aes-gcm`, expected `xchacha20-poly1305` at line 4 column 24");

    // A nonce element out of byte range; a short nonce is read and refused
    // only when opening.
    auto wide = written;
    const auto first_nonce = wide.find("\"nonce\": [\n    ") + 15;
    wide.replace(first_nonce, wide.find(',', first_nonce) - first_nonce, "256");
    EXPECT_EQ(read_encrypted_envelope_json(wide).error().display(),
              "invalid value: integer `256`, expected u8 at line 12 column 7");
    auto short_nonce = written;
    short_nonce.erase(first_nonce, short_nonce.find(',', first_nonce) + 6 - first_nonce);
    const auto short_read = read_encrypted_envelope_json(short_nonce);
    ASSERT_TRUE(short_read) << short_read.error().display();
    EXPECT_EQ(short_read->nonce.size(), 23U);

    auto extra = written;
    extra.insert(extra.find("\"nonce\""), "\"tag\": [],\n  ");
    EXPECT_EQ(read_encrypted_envelope_json(extra).error().display(),
              "unknown field `tag`, expected one of `format_version`, `envelope_id`, "
              "`algorithm`, `key_id`, `created_at`, `expires_at`, `associated_data`, `nonce`, "
              "`ciphertext` at line 11 column 7");
}
