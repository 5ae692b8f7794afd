// Reading a record under its shape (stopping at the first refusal, converting
// sequence items as they come) must report exactly what a reader going over
// the whole tree reports. The whole-tree reading is kept here as the
// reference, and both run over documents broken at every byte.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "crypto/digest.hpp"
#include "envelope/envelope.hpp"
#include "json/plain_reader.hpp"
#include "json/record.hpp"
#include "json/writer.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
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

// The reading before shapes: the whole tree first, then the record reader. A
// failure the record reader names is a refusal, one the tree names a syntax
// fault.
template <class Read>
std::string whole_tree_outcome(std::string_view text, Read read) {
    auto parsed = parse_json_document(text);
    if (parsed.root) {
        auto record = read(*parsed.root);
        if (!record && !record.error().is_incomplete()) {
            return outcome_text(DocumentError::refused(text, record.error()));
        }
        if (record && !parsed.error) {
            return "ok";
        }
    }
    return outcome_text(parsed.error ? DocumentError::syntax(text, *parsed.error)
                                     : DocumentError::refused(text, unfinished_read()));
}

template <class Read>
std::string shaped_outcome(std::string_view text, Read read) {
    return outcome_text(read_json_record(text, read));
}

// Every prefix, every single byte left out, and a few tokens put in at every
// place: end of input inside every construct, wrong kinds, unknown and
// repeated names, leading zeros, stray brackets.
std::vector<std::string> variants_of(const std::string& document) {
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
    return variants;
}

template <class Read>
void expect_same_outcomes(const std::string& document, Read read) {
    ASSERT_EQ(shaped_outcome(document, read), "ok");
    const auto variants = variants_of(document);
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

// The quick reader of files as the program writes them must take nothing the
// strict reader refuses, and read what it takes into the same record; and it
// must take the program's own files, or loading a store is slow again.
TEST(RecordReading, QuickReadingTakesOnlyWhatTheStrictReaderTakes) {
    using Envelope = SignedEnvelope<RegistrySnapshotBody>;
    const auto quick = [](std::string_view text) -> std::optional<Envelope> {
        PlainJsonReader reader(text);
        auto envelope = Envelope::scan(reader);
        return envelope && reader.at_end() ? envelope : std::nullopt;
    };
    const auto same = [](const Envelope& a, const Envelope& b) {
        return write_envelope_json(a) == write_envelope_json(b) && a.payload == b.payload;
    };
    const auto store = small_store();
    for (const auto& document : {store, without_layout(store)}) {
        ASSERT_TRUE(quick(document));
        std::size_t taken = 0;
        std::size_t wrong = 0;
        for (const auto& text : variants_of(document)) {
            const auto strict = read_json_record(text, Envelope::from_json);
            const auto fast = quick(text);
            if (fast) {
                ++taken;
            }
            if (fast && !(strict && same(*fast, *strict)) && ++wrong <= 5) {
                ADD_FAILURE() << "taken quickly: " << text << "\nstrict reader: "
                              << (strict ? "another record" : strict.error().display());
            }
            // What callers see is the strict reader's outcome in every case.
            const auto read = read_signed_envelope_json<RegistrySnapshotBody>(text);
            EXPECT_EQ(outcome_text(read), outcome_text(strict));
        }
        EXPECT_EQ(wrong, 0U);
        // Inserting white space or removing it somewhere keeps a store plain.
        EXPECT_GT(taken, 0U);
    }
}

TEST(RecordReading, QuickReadingTakesFilesWrittenInOtherOrdersAndForms) {
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
    const auto strict = read_json_record(text, Envelope::from_json);
    ASSERT_TRUE(strict) << strict.error().display();
    // The escape in the context is outside what the quick reader takes.
    PlainJsonReader escaped(text);
    EXPECT_FALSE(Envelope::scan(escaped));

    std::string plain = text;
    plain.replace(plain.find("caf\\u00e9"), 9, "caf\xC3\xA9");
    PlainJsonReader reader(plain);
    const auto fast = Envelope::scan(reader);
    ASSERT_TRUE(fast && reader.at_end());
    const auto strict_plain = read_json_record(plain, Envelope::from_json);
    ASSERT_TRUE(strict_plain);
    EXPECT_EQ(write_envelope_json(*fast), write_envelope_json(*strict_plain));
    EXPECT_EQ(fast->payload, strict_plain->payload);
    EXPECT_EQ(fast->payload.platforms[0].revoked.size(), 2U);
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
         zdz::trust::ImageMeasurement{measure_blake3(std::string_view("d"))}}};
    PersistedPlatformState empty{*zdz::trust::ImagePlatform::parse("pell"), {}, {}};
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
                EXPECT_EQ(write_envelope_json(*envelope), to_pretty_json(envelope->to_json()));
                // And the signed bytes are those of the signed view's tree.
                EXPECT_EQ(*envelope->signing_bytes(), *canonical_json(envelope->signed_view()));
                ++written;
            }
        }
    }
    EXPECT_EQ(written, 18U);
}
