// The record readers and the tree reader share one cursor: over documents
// broken at every byte, a syntax fault a record reader reports is the one the
// tree reader reports, and what a record reader takes is JSON. Files are
// written, and signed bytes made, from the record alone; they must be what
// its JSON form gives.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "crypto/digest.hpp"
#include "envelope/envelope.hpp"
#include "json/canonical.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"
#include "json/writer.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/broken_json.hpp"
#include "support/fixtures.hpp"

using namespace zdz::contracts;
using namespace zdz::json;
using namespace zdz::crypto;
using namespace zdz::envelope;
using namespace zdz::store;

namespace {

// An outcome as text: "ok", or the kind of the failure and its display.
std::string outcome_text(const std::optional<DocumentError>& error) {
    if (!error) {
        return "ok";
    }
    switch (error->kind) {
        case DocumentError::Kind::Syntax:
            return "syntax: " + error->display();
        case DocumentError::Kind::Refused:
            return "refused: " + error->display();
        case DocumentError::Kind::OutOfMemory:
            break;
    }
    return "out of memory: " + error->display();
}

template <class T>
std::string outcome_text(const tl::expected<T, DocumentError>& read) {
    return outcome_text(read ? std::nullopt : std::optional<DocumentError>(read.error()));
}

// Every prefix, every single byte left out, and a few tokens put in at every
// place: end of input inside every construct, wrong kinds, unknown and
// repeated names, leading zeros, stray brackets.
std::vector<std::string> variants_of(const std::string& document) {
    const auto tokens = zdz::test::tokens_put_in();
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
    return variants;
}

template <class R>
void expect_one_cursor(const std::string& document) {
    ASSERT_EQ(outcome_text(read_record<R>(document)), "ok");
    const auto variants = variants_of(document);
    std::size_t differences = 0;
    for (const auto& text : variants) {
        const auto record = read_record<R>(text);
        const auto tree = read_json(text);
        const bool agrees = record ? tree.has_value()
                                   : record.error().kind != DocumentError::Kind::Syntax ||
                                         (!tree && tree.error() == record.error());
        if (!agrees && ++differences <= 5) {
            ADD_FAILURE() << "document: " << text << "\nrecord: " << outcome_text(record)
                          << "\ntree:   " << outcome_text(tree);
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

// The members of the file's tree that the signature covers, none left out.
JsonValue signed_view(const JsonValue& file) {
    auto view = JsonValue::object();
    bool context = false;
    bool expires = false;
    bool previous = false;
    for (const auto& member : file.members()) {
        if (member.key != "signature") {
            view.add(member.key, member.value);
        }
        context = context || member.key == "associated_data";
        expires = expires || member.key == "expires_at";
        previous = previous || member.key == "previous_hash";
    }
    if (!context) {
        view.add("associated_data", JsonValue::array());
    }
    if (!expires) {
        view.add("expires_at", JsonValue());
    }
    if (!previous) {
        view.add("previous_hash", JsonValue());
    }
    return view;
}

ContentHash hash_of(std::string_view text) {
    return measure_sha256(text);
}

std::string small_store() {
    const auto now = *Timestamp::parse("2026-07-15T08:00:00Z");
    RegistrySnapshotBody body{1, now, {}};
    PersistedPlatformState vask{*zdz::trust::ImagePlatform::parse("vask"),
                                {{{hash_of("a")}, 1, now}, {{hash_of("b")}, 2, now}},
                                {zdz::trust::ImageMeasurement{hash_of("c")}},
                                {}};
    PersistedPlatformState pell{*zdz::trust::ImagePlatform::parse("pell"), {}, {}, {}};
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

TEST(RecordReading, RecordAndTreeReadersMeetTheSameSyntaxFaults) {
    const auto store = small_store();
    expect_one_cursor<SignedEnvelope<RegistrySnapshotBody>>(store);
    expect_one_cursor<SignedEnvelope<RegistrySnapshotBody>>(without_layout(store));

    const auto keystore = small_keystore();
    expect_one_cursor<SealedSigningKey>(keystore);
    expect_one_cursor<SealedSigningKey>(without_layout(keystore));
}

TEST(RecordReading, TakesFilesWrittenInOtherOrdersAndForms) {
    // Members in another order, nulls for the absent optional members,
    // upper-case hex, times with an offset and a fraction, the withdrawn list
    // out of order with a repeat, a platform listed twice, non-ASCII context.
    const std::string text = R"({
  "signature": "00A40AC2FF9C849F26EDA56603DAEFB278D7560B39B2D47796AC86D263F582A4D959CD99E95679EA8497175AA6F23B5F9B0C4B846E59D2C1BF0000CB544F460D",
  "payload": {"platforms": [
      {"revoked": ["sha256:BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB",
                   "blake3:aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
                   "sha256:bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"],
       "history": [{"promoted_at": "2026-07-15T10:00:00.250+02:00", "security_version": 4294967295,
                    "measurement": "sha256:cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc"}],
       "platform": "vask"},
      {"platform": "vask", "history": [], "revoked": []}],
    "exported_at": "2026-07-15T08:00:00Z", "format_version": 7},
  "previous_hash": null, "expires_at": null,
  "associated_data": ["caf\u00e9", ")"
                             "cafe\xCC\x81"
                             R"("],
  "created_at": "2026-07-15T08:00:00-00:30", "key_id": "F996BD7B-DBB8-4351-AA8F-5D59C5259D0B",
  "envelope_id": "8d7d0561-3204-4390-8e90-1f81729cf0bc", "format_version": 1})";
    using Envelope = SignedEnvelope<RegistrySnapshotBody>;
    const auto escaped = read_record<Envelope>(text);
    ASSERT_TRUE(escaped) << escaped.error().display();
    // The escape read, or the character written raw: the same record.
    std::string plain = text;
    plain.replace(plain.find("caf\\u00e9"), 9, "caf\xC3\xA9");
    const auto raw = read_record<Envelope>(plain);
    ASSERT_TRUE(raw) << raw.error().display();
    EXPECT_EQ(write_envelope_json(*escaped), write_envelope_json(*raw));
    EXPECT_EQ(escaped->payload, raw->payload);
    EXPECT_EQ(raw->payload.platforms[0].revoked.size(), 2U);
    EXPECT_EQ(raw->payload.format_version, 7U);
    EXPECT_EQ(raw->key_id.to_string(), "f996bd7b-dbb8-4351-aa8f-5d59c5259d0b");
    EXPECT_FALSE(raw->expires_at);
    EXPECT_FALSE(raw->previous_hash);
}

// A store is written, and its signed bytes made, from its record without a
// value tree; the bytes must be those made from its JSON form, every optional
// member present or absent, lists empty or not, and texts that need escaping
// or normalising.
TEST(RecordReading, StoreFileIsWrittenAsItsJsonForm) {
    const auto now = *Timestamp::parse("2026-07-15T08:00:00.125Z");
    PersistedPlatformState vask{
        *zdz::trust::ImagePlatform::parse("vask"),
        {{{hash_of("a")}, 0, now}, {{hash_of("b")}, 4294967295U, now}},
        {zdz::trust::ImageMeasurement{hash_of("c")},
         zdz::trust::ImageMeasurement{measure_blake3(std::string_view("d"))}},
        {}};
    PersistedPlatformState empty{*zdz::trust::ImagePlatform::parse("pell"), {}, {}, {}};
    const std::vector<RegistrySnapshotBody> bodies = {
        {1, now, {}}, {7, now, {empty}}, {1, now, {vask, empty, vask}}};
    const std::vector<EnvelopeContext> contexts = {
        {},
        {std::string(zdz::store::kRegistryContext)},
        {"a\"b\\c", "tab\tnl\n\x01 caf\xC3\xA9 cafe\xCC\x81"}};
    std::size_t written = 0;
    for (const auto& body : bodies) {
        for (const auto& context : contexts) {
            for (const bool optional_members : {false, true}) {
                auto envelope = sign_envelope(zdz::test::fixed_key(7), Uuid::new_v4(), now,
                                              optional_members ? std::optional(now) : std::nullopt,
                                              context, body);
                ASSERT_TRUE(envelope);
                if (optional_members) {
                    envelope->previous_hash = hash_of("previous");
                }
                const auto file = write_envelope_json(*envelope);
                const auto tree = read_json(file);
                ASSERT_TRUE(tree) << file;
                EXPECT_EQ(file, to_pretty_json(*tree));
                // The signed bytes are those of the file's tree without the
                // signature, the absent members null and the context a list.
                EXPECT_EQ(*envelope->signing_bytes(), *canonical_json(signed_view(*tree)));
                ++written;
            }
        }
    }
    EXPECT_EQ(written, 18U);
}
