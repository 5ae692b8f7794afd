#include "trust/approvals.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <string>
#include <vector>

#include "contracts/content_hash.hpp"
#include "support/fixtures.hpp"
#include "trust/signers.hpp"

using namespace zdz::trust;
using namespace zdz::contracts;
using namespace zdz::test;

namespace {

UnverifiedImageManifest signed_by(std::uint8_t fill) {
    return *read_manifest_json(signed_manifest_json(fixed_key(fill)));
}

UnverifiedImageManifest approved(UnverifiedImageManifest manifest, std::uint8_t fill) {
    return *approve_manifest(std::move(manifest), fixed_key(fill));
}

std::vector<TrustedSigner> trusting(
    std::initializer_list<std::pair<std::string, std::uint8_t>> keys) {
    std::vector<TrustedSigner> signers;
    for (const auto& [principal, fill] : keys) {
        signers.push_back({principal, fixed_key(fill).verifying_key()});
    }
    return signers;
}

std::vector<std::string> principals_of(const UnverifiedImageManifest& manifest,
                                       const std::vector<TrustedSigner>& signers) {
    const auto verified = verify_manifest_against_signers(manifest, signers, now());
    EXPECT_TRUE(verified);
    std::vector<std::string> principals;
    for (const auto* signer : trusted_signers_of(manifest, signers, *verified->signer)) {
        principals.push_back(signer->principal);
    }
    return principals;
}

// Why the manifest text is refused.
std::string refusal_of(const std::string& text) {
    const auto read = read_manifest_json(text);
    EXPECT_FALSE(read) << text;
    return read ? std::string() : read.error().display();
}

}  // namespace

TEST(ManifestApprovals, AreWrittenAfterTheSignatureAndOnlyWhenThereAreAny) {
    // A manifest without approvals reads and writes back byte for byte.
    const auto original = signed_manifest_json(fixed_key(1));
    const auto plain = *read_manifest_json(original);
    EXPECT_EQ(write_manifest_json(plain), original);
    EXPECT_EQ(original.find("approvals"), std::string::npos);

    const auto twice = approved(approved(plain, 2), 3);
    const auto written = write_manifest_json(twice);
    EXPECT_LT(written.find("\"signature\""), written.find("\"approvals\""));
    EXPECT_EQ(*read_manifest_json(written), twice);
    // The approvals leave the signed body as it was.
    EXPECT_EQ(*manifest_signing_bytes(twice.body), *manifest_signing_bytes(plain.body));
}

TEST(ManifestApprovals, VerifyIndependentlyOverTheBodysCanonicalBytes) {
    const auto manifest = approved(signed_by(1), 2);
    const auto bytes = *manifest_signing_bytes(manifest.body);
    const auto& approval = manifest.approvals.front();
    const auto key = fixed_key(2).verifying_key();
    // The fingerprint import-signers prints for the key.
    EXPECT_EQ(approval.key, zdz::crypto::key_fingerprint(key));
    EXPECT_EQ(crypto_sign_verify_detached(approval.signature.bytes().data(),
                                          reinterpret_cast<const unsigned char*>(bytes.data()),
                                          bytes.size(), key.bytes().data()),
              0);
}

TEST(ManifestApprovals, ReadingRefusesMalformedRepeatedAndSelfApprovals) {
    const auto manifest = approved(approved(signed_by(1), 2), 3);
    const auto text = write_manifest_json(manifest);
    const auto key2 = manifest.approvals[0].key.to_string();
    const auto key3 = manifest.approvals[1].key.to_string();

    // The second approval names the first one's key.
    auto repeated = text;
    repeated.replace(repeated.find(key3), key3.size(), key2);
    EXPECT_EQ(refusal_of(repeated).rfind(
                  "approval 2 repeats the key of approval 1 (" + key2 + ") at line ", 0),
              0U)
        << refusal_of(repeated);

    // An approval that is the manifest's own signature again.
    auto self = text;
    const auto own = manifest.signature.to_string();
    const auto second = manifest.approvals[0].signature.to_string();
    self.replace(self.find(second), second.size(), own);
    EXPECT_EQ(refusal_of(self).rfind("approval 1 repeats the manifest's signature (an approval "
                                     "must come from another key) at line ",
                                     0),
              0U)
        << refusal_of(self);

    // A key named by another hash than a key fingerprint.
    auto sha = text;
    sha.replace(sha.find(key2), 7, "sha256:");
    EXPECT_EQ(refusal_of(sha).rfind("approval key must be a key fingerprint (blake3:...), not "
                                    "sha256:",
                                    0),
              0U)
        << refusal_of(sha);

    // Placed just after the closing brace of what is refused.
    const auto last_line = std::to_string(std::count(text.begin(), text.end(), '\n') + 1);
    EXPECT_NE(refusal_of(repeated).find("at line " + last_line + " column 1"), std::string::npos)
        << refusal_of(repeated);

    for (const auto* broken : {R"("approvals": [{"key": "blake3:00"}])", R"("approvals": {})",
                               R"("approvals": [{"signature": "00"}])"}) {
        auto malformed = write_manifest_json(signed_by(1));
        malformed.insert(malformed.rfind('}'), std::string(",\n  ") + broken + "\n");
        EXPECT_FALSE(read_manifest_json(malformed)) << malformed;
    }
}

TEST(ManifestApprovals, CountOnlyDistinctTrustedKeysWhoseSignatureVerifies) {
    const auto signers = trusting({{"release@x", 1}, {"second@x", 2}, {"third@x", 3}});
    EXPECT_EQ(principals_of(signed_by(1), signers), std::vector<std::string>{"release@x"});
    EXPECT_EQ(principals_of(approved(approved(signed_by(1), 3), 2), signers),
              (std::vector<std::string>{"release@x", "third@x", "second@x"}));

    // An approver the trust file does not list.
    EXPECT_EQ(principals_of(approved(signed_by(1), 9), signers).size(), 1U);

    // One key under two principals counts once, as the first entry names it.
    const auto twice = trusting({{"release@x", 1}, {"second@x", 2}, {"again@x", 2}});
    EXPECT_EQ(principals_of(approved(signed_by(1), 2), twice),
              (std::vector<std::string>{"release@x", "second@x"}));

    // An approval whose signature was changed.
    auto changed = approved(signed_by(1), 2);
    auto bytes = changed.approvals[0].signature.to_string();
    bytes[10] = bytes[10] == '0' ? '1' : '0';
    changed.approvals[0].signature = *zdz::crypto::Signature::parse(bytes);
    EXPECT_EQ(principals_of(changed, signers).size(), 1U);

    // An approval made for another body.
    auto moved = signed_by(1);
    moved.approvals = approved(signed_by(1), 2).approvals;  // another manifest_id
    EXPECT_EQ(principals_of(moved, signers).size(), 1U);

    // An approver whose window in the trust file does not hold issued_at.
    auto retired = signers;
    retired[1].valid_before = signed_by(1).body.issued_at;
    EXPECT_EQ(principals_of(approved(signed_by(1), 2), retired).size(), 1U);

    // The signer's own key named by an approval adds nothing either.
    auto own = approved(signed_by(1), 2);
    own.approvals[0].key = zdz::crypto::key_fingerprint(fixed_key(1).verifying_key());
    EXPECT_EQ(principals_of(own, signers).size(), 1U);
}

TEST(ManifestApprovals, TooFewSignersIsARefusalThatCountsThem) {
    EXPECT_TRUE(require_signers(2, 2));
    const auto one = require_signers(1, 2);
    ASSERT_FALSE(one);
    EXPECT_TRUE(one.error().is_refusal());
    EXPECT_EQ(one.error().display(), "manifest has 1 trusted signature, 2 required");
    EXPECT_EQ(require_signers(2, 3, "vask").error().display(),
              "manifest has 2 trusted signatures, the policy of platform vask requires 3");
}

TEST(ManifestApprovals, HasSignedKnowsTheSignerAndEveryApprover) {
    const auto manifest = approved(signed_by(1), 2);
    EXPECT_TRUE(has_signed(manifest, fixed_key(1).verifying_key()));
    EXPECT_TRUE(has_signed(manifest, fixed_key(2).verifying_key()));
    EXPECT_FALSE(has_signed(manifest, fixed_key(3).verifying_key()));
}
