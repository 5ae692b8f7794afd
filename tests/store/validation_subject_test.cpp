#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/content_hash.hpp"
#include "contracts/errors.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "envelope/envelope.hpp"
#include "store/kdf.hpp"

using zdz::contracts::ContractError;
using Subject = ContractError::Subject;

namespace {

template <class T>
void expect_refused_as(const tl::expected<T, ContractError>& result, Subject subject,
                       const std::string& display) {
    ASSERT_FALSE(result) << display;
    const ContractError& error = result.error();
    EXPECT_EQ(error.kind(), ContractError::Kind::Validation) << display;
    const auto* invalid = error.payload<ContractError::Invalid>();
    ASSERT_NE(invalid, nullptr) << display;
    EXPECT_EQ(invalid->subject, subject) << display;
    EXPECT_EQ(error.display(), display);
}

}  // namespace

// Every parser that refuses with Validation says what it refused, and the
// text shown for it stays the one it always was.
TEST(ValidationSubject, EachParserNamesWhatItRefused) {
    expect_refused_as(zdz::crypto::Signature::parse("abc"), Subject::Signature,
                      "validation failed: ed25519 signature must be 128 hex characters, got 3");
    const std::vector<std::uint8_t> short_key(31, 0);
    expect_refused_as(zdz::crypto::VerifyingKey::from_bytes(short_key), Subject::PublicKey,
                      "validation failed: invalid ed25519 public key: signature error");
    expect_refused_as(zdz::contracts::ContentHash::parse("nocolon"), Subject::ContentHash,
                      "validation failed: content hash must be 'algorithm:hex', got \"nocolon\"");
    expect_refused_as(zdz::contracts::ContentHash::parse("sha256:zz"), Subject::ContentHash,
                      "validation failed: content hash digest must be 64 hex characters, got 2");
    expect_refused_as(zdz::contracts::Uuid::parse("x"), Subject::Uuid,
                      zdz::contracts::Uuid::parse("x").error().display());
    const auto timestamp = zdz::contracts::Timestamp::parse("2026-13-01T00:00:00Z");
    ASSERT_FALSE(timestamp);
    expect_refused_as(timestamp, Subject::Timestamp, timestamp.error().display());
    EXPECT_EQ(
        timestamp.error().display().rfind("validation failed: invalid RFC 3339 timestamp ", 0), 0u);
    const auto far = zdz::contracts::Timestamp::from_unix_seconds(INT64_MAX);
    expect_refused_as(far, Subject::Timestamp, far ? std::string() : far.error().display());

    const zdz::store::KdfParams thin{"argon2id", 1024, 1, 1};
    expect_refused_as(zdz::store::check_kdf_params(thin), Subject::KdfParams,
                      "validation failed: argon2id memory cost below the safe floor (8 MiB)");
    expect_refused_as(
        zdz::envelope::envelope_detail::check_context({"a"}, {"b"}), Subject::EnvelopeContext,
        zdz::envelope::envelope_detail::check_context({"a"}, {"b"}).error().display());
}

// Free-text validation is still possible and says nothing more than its text.
TEST(ValidationSubject, FreeTextIsUnspecified) {
    const auto error = ContractError::validation("odd");
    EXPECT_EQ(error.kind(), ContractError::Kind::Validation);
    ASSERT_NE(error.payload<ContractError::Invalid>(), nullptr);
    EXPECT_EQ(error.payload<ContractError::Invalid>()->subject, Subject::Unspecified);
    EXPECT_EQ(error.payload<ContractError::Message>(), nullptr);
    EXPECT_EQ(error.display(), "validation failed: odd");
    EXPECT_NE(error, ContractError::invalid(Subject::Uuid, "odd"));
}
