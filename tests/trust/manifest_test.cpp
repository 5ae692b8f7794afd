#include "trust/manifest.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include "contracts/content_hash.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

using namespace zdz::trust;
using namespace zdz::contracts;
using namespace zdz::test;

namespace {

const char* kMeasurement =
    "sha256:0d2141f565b66c0c05f04e27b564631e8d474d21a0c1868a430d0bce12864382";

ImageManifestBody sample_body(std::optional<Timestamp> expires_at = std::nullopt) {
    return {*Uuid::parse("6f1c2a3b-4d5e-4f60-8a7b-9c0d1e2f3a4b"),
            *ImagePlatform::parse("vask"),
            ImageKind::Install,
            {*zdz::contracts::ContentHash::parse(kMeasurement)},
            7,
            *Uuid::parse("00112233-4455-4677-8899-aabbccddeeff"),
            *Timestamp::parse("2026-07-15T10:00:00+02:00"),
            expires_at};
}

}  // namespace

TEST(ManifestSigning, CoversIndependentlyRenderedCanonicalBytes) {
    // Members in byte order, no white space, the timestamp normalised to UTC.
    const std::string expected =
        R"({"image_kind":"install","issued_at":"2026-07-15T08:00:00Z",)"
        R"("manifest_id":"6f1c2a3b-4d5e-4f60-8a7b-9c0d1e2f3a4b",)"
        R"("measurement":")" +
        std::string(kMeasurement) +
        R"(","platform":"vask",)"
        R"("security_version":7,"signing_key_id":"00112233-4455-4677-8899-aabbccddeeff"})";
    EXPECT_EQ(*manifest_signing_bytes(sample_body()), expected);

    const auto key = fixed_key(7);
    const auto signed_manifest = sign_manifest(sample_body(), key);
    ASSERT_TRUE(signed_manifest);
    EXPECT_EQ(crypto_sign_verify_detached(signed_manifest->signature.bytes().data(),
                                          reinterpret_cast<const unsigned char*>(expected.data()),
                                          expected.size(), key.verifying_key().bytes().data()),
              0);
}

TEST(ManifestFile, WritesDeclaredOrderAndReadsBack) {
    const auto key = fixed_key(1);
    const auto manifest = *sign_manifest(sample_body(), key);
    const auto json = write_manifest_json(manifest);
    EXPECT_EQ(json.rfind("{\n  \"body\": {\n    \"manifest_id\": ", 0), 0U) << json;
    EXPECT_EQ(json.find("expires_at"), std::string::npos);
    EXPECT_EQ(json.back(), '}');
    const auto back = read_manifest_json(json);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(back->body, manifest.body);
    EXPECT_EQ(back->signature, manifest.signature);
}

TEST(ManifestFile, ReorderedByJqStillVerifiesEditedBodyDoesNot) {
    zdz::test::TempDir dir;
    const auto key = fixed_key(1);
    dir.write("m.json", write_manifest_json(*sign_manifest(sample_body(), key)));
    // Members reversed, re-indented with tabs, measurement in upper case.
    const auto jq = zdz::test::run_tool(
        {"jq", "--tab",
         "{signature, body: (.body | to_entries | reverse | from_entries | .measurement |= "
         "ascii_upcase | .measurement |= sub(\"SHA256\"; \"sha256\"))}",
         dir.file("m.json")});
    ASSERT_EQ(jq.status, 0) << jq.err;
    const auto reordered = read_manifest_json(jq.out);
    ASSERT_TRUE(reordered) << reordered.error().display();
    EXPECT_TRUE(verify_manifest(*reordered, key.verifying_key(), zdz::test::now()));

    const auto edited =
        zdz::test::run_tool({"jq", ".body.security_version = 8", dir.file("m.json")});
    const auto tampered = read_manifest_json(edited.out);
    ASSERT_TRUE(tampered);
    EXPECT_EQ(verify_manifest(*tampered, key.verifying_key(), zdz::test::now()).error().display(),
              "image manifest signature does not verify");
}

TEST(ManifestFile, StrictReading) {
    const auto json = write_manifest_json(*sign_manifest(sample_body(), fixed_key(1)));
    // Plain views only: GCC 12 misreports arrays of aggregates holding strings.
    struct Edit {
        std::string_view from;
        std::string_view to;
        std::string_view start;  // how the refusal starts
    };
    constexpr Edit edits[] = {
        {"\"install\"", "\"Install\"",
         "unknown variant `Install`, expected `install` or `ota_update` at line 5"},
        {"\"security_version\": 7", "\"security_version\": 7, \"extra\": 1",
         "unknown field `extra`, expected one of `manifest_id`, `platform`"},
        {"\"security_version\": 7", "\"security_version\": 7, \"platform\": \"x\"",
         "duplicate field `platform`"},
        {"\"security_version\": 7,", "", "missing field `security_version`"},
        {"\"security_version\": 7", "\"security_version\": 4294967296",
         "invalid value: integer `4294967296`, expected u32"},
        {"\"manifest_id\": \"", "\"manifest_id\": 5, \"x\": \"",
         "invalid type: integer `5`, expected a UUID string"},
    };
    for (const auto& edit : edits) {
        auto text = json;
        const auto at = text.find(edit.from);
        ASSERT_NE(at, std::string::npos) << edit.from;
        text.replace(at, edit.from.size(), edit.to);
        const auto r = read_manifest_json(text);
        ASSERT_FALSE(r) << edit.to;
        EXPECT_EQ(r.error().kind, zdz::json::DocumentError::Kind::Refused) << edit.to;
        EXPECT_TRUE(r.error().display().starts_with(edit.start)) << r.error().display();
    }

    // A file cut short is not JSON: the fault is placed at its end.
    const auto cut = json.substr(0, json.size() - 1);
    const auto r = read_manifest_json(cut);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, zdz::json::DocumentError::Kind::Syntax);
    EXPECT_EQ(r.error().offset, cut.size());
    EXPECT_EQ(r.error().message, "EOF while parsing an object");
}

TEST(ManifestVerification, ExpiryIsInclusiveAndReportedInUtc) {
    const auto key = fixed_key(3);
    const auto expires = *Timestamp::parse("2026-08-01T02:00:00+02:00");
    const auto manifest = *sign_manifest(sample_body(expires), key);
    EXPECT_TRUE(verify_manifest(manifest, key.verifying_key(), expires));
    const auto later = *Timestamp::from_unix_seconds(expires.seconds_since_epoch() + 1);
    EXPECT_EQ(verify_manifest(manifest, key.verifying_key(), later).error().display(),
              "image manifest expired at 2026-08-01T00:00:00Z");
    // The signature is checked before the expiry.
    EXPECT_EQ(verify_manifest(manifest, fixed_key(4).verifying_key(), later).error().kind(),
              TrustError::Kind::ManifestSignatureInvalid);
}

TEST(ManifestVerification, SignersAreTriedInFileOrder) {
    const auto second = fixed_key(2);
    const auto manifest = *sign_manifest(sample_body(), second);
    const std::vector<TrustedSigner> signers{{"first@x", fixed_key(1).verifying_key()},
                                             {"second@x", second.verifying_key()},
                                             {"third@x", second.verifying_key()}};
    const auto verified = verify_manifest_against_signers(manifest, signers, zdz::test::now());
    ASSERT_TRUE(verified);
    EXPECT_EQ(verified->signer->principal, "second@x");
    EXPECT_EQ(verified->manifest.body, manifest.body);

    EXPECT_EQ(verify_manifest_against_signers(manifest, {}, zdz::test::now()).error().display(),
              "image manifest signature does not verify");
    EXPECT_FALSE(verify_manifest_against_signers(manifest, {signers[0]}, zdz::test::now()));
}

namespace {

UnverifiedImageManifest issued_at(const char* when, const zdz::crypto::SigningKey& key,
                                  std::optional<Timestamp> expires_at = std::nullopt) {
    auto body = sample_body(expires_at);
    body.issued_at = *Timestamp::parse(when);
    return *sign_manifest(body, key);
}

std::string outside(const char* when) {
    return std::string("signed at ") + when +
           ", outside the validity of every trusted key that verifies it";
}

}  // namespace

// A release key rotated with an overlap: the old key is valid before T, the
// new one from T - 30 days. Each manifest counts only when its issued_at lies
// in the window of the key that signed it.
TEST(ManifestVerification, KeyRotationWindows) {
    const auto old_key = fixed_key(1);
    const auto new_key = fixed_key(2);
    const auto line = [](const std::string& principal, const std::string& options,
                         const zdz::crypto::SigningKey& key) {
        const auto plain = format_allowed_signers_line(principal, key.verifying_key());
        return principal + " " + options + plain.substr(principal.size()) + "\n";
    };
    const auto signers =
        parse_allowed_signers(line("old@x", "valid-before=\"20260701Z\"", old_key) +
                              line("new@x", "valid-after=\"20260601Z\"", new_key));
    ASSERT_TRUE(signers) << signers.error().display();
    const auto signer_of = [&](const char* when, const zdz::crypto::SigningKey& key) {
        const auto verified =
            verify_manifest_against_signers(issued_at(when, key), *signers, now());
        return verified ? verified->signer->principal : verified.error().display();
    };

    // Before the overlap, inside it, and after it; then the bounds.
    EXPECT_EQ(signer_of("2026-05-15T00:00:00Z", old_key), "old@x");
    EXPECT_EQ(signer_of("2026-05-15T00:00:00Z", new_key), outside("2026-05-15T00:00:00Z"));
    EXPECT_EQ(signer_of("2026-06-15T00:00:00Z", old_key), "old@x");
    EXPECT_EQ(signer_of("2026-06-15T00:00:00Z", new_key), "new@x");
    EXPECT_EQ(signer_of("2026-07-15T00:00:00Z", old_key), outside("2026-07-15T00:00:00Z"));
    EXPECT_EQ(signer_of("2026-07-15T00:00:00Z", new_key), "new@x");
    EXPECT_EQ(signer_of("2026-06-01T00:00:00Z", new_key), "new@x");
    EXPECT_EQ(signer_of("2026-07-01T00:00:00Z", old_key), outside("2026-07-01T00:00:00Z"));

    const auto late = verify_manifest_against_signers(issued_at("2026-07-15T00:00:00Z", old_key),
                                                      *signers, now());
    EXPECT_EQ(late.error().kind(), TrustError::Kind::ManifestOutsideValidity);
    // A key that verifies nothing still gives the plain refusal.
    EXPECT_EQ(signer_of("2026-06-15T00:00:00Z", fixed_key(3)),
              "image manifest signature does not verify");
}

TEST(ManifestVerification, FirstSignerWhoseWindowHoldsTheManifest) {
    const auto key = fixed_key(4);
    const auto june = *Timestamp::parse("2026-06-01T00:00:00Z");
    const auto july = *Timestamp::parse("2026-07-01T00:00:00Z");
    // The same key three times: from July on, before June, then unbounded;
    // and a key that does not verify, whatever its window, is passed over.
    const std::vector<TrustedSigner> signers{{"july@x", key.verifying_key(), july, std::nullopt},
                                             {"may@x", key.verifying_key(), std::nullopt, june},
                                             {"other@x", fixed_key(5).verifying_key()},
                                             {"any@x", key.verifying_key()}};
    const auto verified =
        verify_manifest_against_signers(issued_at("2026-06-15T00:00:00Z", key), signers, now());
    ASSERT_TRUE(verified) << verified.error().display();
    EXPECT_EQ(verified->signer, &signers[3]);

    // Inside the window the expiry is still checked.
    const auto expires = *Timestamp::parse("2026-06-20T00:00:00Z");
    EXPECT_EQ(verify_manifest_against_signers(issued_at("2026-06-15T00:00:00Z", key, expires),
                                              {{"june@x", key.verifying_key(), june, july}}, now())
                  .error()
                  .display(),
              "image manifest expired at 2026-06-20T00:00:00Z");
}
