// Reading a record under its shape (stopping at the first refusal, converting
// sequence items as they come) must report exactly what a reader going over
// the whole tree reports. The whole-tree reading is kept here as the
// reference, and both run over documents broken at every byte.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/digest.hpp"
#include "envelope/envelope.hpp"
#include "json/record.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"

using namespace zdz::contracts;
using namespace zdz::json;
using namespace zdz::crypto;
using namespace zdz::envelope;
using zdz::store::PersistedPlatformState;
using zdz::store::PersistedPromotion;
using zdz::store::RegistrySnapshotBody;
using zdz::store::SealedSigningKey;

namespace {

// The reading before shapes: the whole tree first, then the record reader.
template <class Read>
std::string whole_tree_outcome(std::string_view text, Read read) {
    auto parsed = parse_json_document(text);
    if (parsed.root) {
        auto record = read(*parsed.root);
        if (!record && !record.error().is_incomplete()) {
            return describe_json_error(text, record.error());
        }
        if (record && !parsed.error) {
            return "ok";
        }
    }
    return describe_json_error(text, parsed.error ? *parsed.error : unfinished_read());
}

template <class Read>
std::string shaped_outcome(std::string_view text, Read read) {
    auto record = read_json_record(text, read);
    return record ? "ok" : record.error();
}

// Every prefix, every single byte left out, and a few tokens put in at every
// place: end of input inside every construct, wrong kinds, unknown and
// repeated names, leading zeros, stray brackets.
template <class Read>
void expect_same_outcomes(const std::string& document, Read read) {
    ASSERT_EQ(shaped_outcome(document, read), "ok");
    const std::vector<std::string> tokens = {"[",
                                             "{",
                                             "]",
                                             "}",
                                             ",",
                                             "0",
                                             "01",
                                             "-0",
                                             "1e400",
                                             "\"x\"",
                                             "null",
                                             "[[",
                                             "\"zzz\":1,",
                                             "\"format_version\":1,",
                                             "\"platform\":\"vask\",",
                                             "\"history\":[],"};
    std::vector<std::string> variants;
    for (std::size_t i = 0; i <= document.size(); ++i) {
        variants.push_back(document.substr(0, i));
        if (i < document.size()) {
            variants.push_back(document.substr(0, i) + document.substr(i + 1));
        }
        for (const auto& token : tokens) {
            variants.push_back(document.substr(0, i) + token + document.substr(i));
        }
    }
    std::size_t differences = 0;
    for (const auto& text : variants) {
        const auto expected = whole_tree_outcome(text, read);
        const auto actual = shaped_outcome(text, read);
        if (actual != expected && ++differences <= 5) {
            ADD_FAILURE() << "document: " << text << "\nwhole tree: " << expected
                          << "\nshaped:     " << actual;
        }
    }
    EXPECT_EQ(differences, 0U) << "of " << variants.size() << " documents";
}

std::string without_layout(const std::string& pretty) {
    std::string compact;
    for (const char c : pretty) {
        if (c != ' ' && c != '\n') {
            compact += c;
        }
    }
    return compact;
}

ContentHash hash_of(std::string_view text) {
    return measure_sha256(text);
}

std::string small_store() {
    const auto now = *Timestamp::parse("2026-07-15T08:00:00Z");
    RegistrySnapshotBody body{1, now, {}};
    PersistedPlatformState vask{*zdz::trust::ImagePlatform::parse("vask"),
                                {{{hash_of("a")}, 1, now}, {{hash_of("b")}, 2, now}},
                                {zdz::trust::ImageMeasurement{hash_of("c")}}};
    PersistedPlatformState pell{*zdz::trust::ImagePlatform::parse("pell"), {}, {}};
    body.platforms = {vask, pell};
    const auto envelope =
        sign_envelope(zdz::test::fixed_key(7), Uuid::new_v4(), now, std::nullopt,
                      {std::string(zdz::store::kRegistryContext)}, std::move(body));
    return write_envelope_json(*envelope);
}

std::string small_keystore() {
    const std::vector<std::uint8_t> passphrase = {'p', 'w'};
    auto sealed = zdz::store::seal_signing_key(
        passphrase, *Timestamp::parse("2026-07-15T08:00:00Z"), {"argon2id", 8192, 1, 1});
    EXPECT_TRUE(sealed);
    return zdz::store::write_keystore_json(*sealed);
}

}  // namespace

TEST(RecordReading, ShapedReadingReportsWhatTheWholeTreeReports) {
    const auto store = small_store();
    const auto read_store = SignedEnvelope<RegistrySnapshotBody>::from_json;
    expect_same_outcomes(store, read_store);
    expect_same_outcomes(without_layout(store), read_store);

    const auto keystore = small_keystore();
    expect_same_outcomes(keystore, SealedSigningKey::from_json);
    expect_same_outcomes(without_layout(keystore), SealedSigningKey::from_json);
}
