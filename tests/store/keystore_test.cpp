#include "store/keystore.hpp"

#include <argon2.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "encoding/hex.hpp"
#include "support/independent_keystore.hpp"
#include "support/tempdir.hpp"

using namespace zdz::store;
using namespace zdz::crypto;
using namespace zdz::test;
using namespace zdz::trust;

namespace {

const std::string kUnsealFailed =
    "signing key could not be unsealed (wrong passphrase or corrupted keystore)";
const auto kCreated = *zdz::contracts::Timestamp::parse("2026-07-15T08:00:00Z");
const auto kNow = *zdz::contracts::Timestamp::parse("2026-08-01T00:00:00Z");

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

const std::vector<std::uint8_t> kPassphrase = bytes_of("correct horse battery staple");

// The 8 MiB floor keeps each derivation short.
KdfParams small_params(std::uint32_t lanes = 1) {
    return KdfParams{"argon2id", 8192, 1, lanes};
}

SealedSigningKey sealed_record(std::uint32_t lanes = 1) {
    auto record = seal_signing_key(kPassphrase, kCreated, small_params(lanes));
    EXPECT_TRUE(record) << (record ? "" : record.error().display());
    return std::move(*record);
}

std::string unseal_error(const SealedSigningKey& record,
                         const std::vector<std::uint8_t>& passphrase = kPassphrase) {
    auto key = unseal_signing_key(record, passphrase, kNow);
    return key ? "unsealed" : key.error().display();
}

std::string malformed(const std::string& detail) {
    return "keystore is malformed: " + detail;
}

// A record whose envelope holds `plaintext` under the KEK of `salt`, with
// the public key of `key` recorded.
SealedSigningKey record_holding(std::span<const std::uint8_t> plaintext,
                                const std::vector<std::uint8_t>& salt, const SigningKey& key) {
    const auto kek = derive_kek(kPassphrase, salt, small_params());
    EXPECT_TRUE(kek);
    const auto key_id = zdz::contracts::Uuid::new_v4();
    auto envelope = zdz::envelope::seal_envelope(kek->bytes(), key_id, kCreated, std::nullopt,
                                                 {std::string(kSigningKeyContext)}, plaintext);
    EXPECT_TRUE(envelope);
    return SealedSigningKey{{1, key_id, key.verifying_key().to_hex(), kCreated},
                            small_params(),
                            zdz::encoding::hex_encode(salt),
                            std::move(*envelope)};
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

TEST(Keystore, SealSaveLoadUnseal) {
    TempDir dir;
    const auto record = sealed_record();
    EXPECT_EQ(record.format_version, 1);
    EXPECT_EQ(record.envelope.key_id, record.key_id);
    EXPECT_NE(record.envelope.envelope_id, record.key_id);
    EXPECT_EQ(record.envelope.created_at, kCreated);
    EXPECT_FALSE(record.envelope.expires_at);
    EXPECT_EQ(record.envelope.associated_data, std::vector<std::string>{"tarnelos:signing-key:v1"});
    EXPECT_EQ(record.envelope.ciphertext.size(), 32U + 16U);
    EXPECT_EQ(record.kdf, small_params());
    EXPECT_EQ(record.salt_hex.size(), 64U);
    EXPECT_EQ(record.salt_hex, zdz::encoding::hex_encode(
                                   *zdz::encoding::hex_decode(record.salt_hex)));  // lower case
    EXPECT_NE(record.salt_hex, sealed_record().salt_hex);

    // Owner-only whatever the umask, nothing left beside it.
    const std::string path = dir.file("operator.keystore.json");
    const mode_t old_mask = ::umask(0);
    const auto saved = save_keystore(record, path);
    ::umask(old_mask);
    ASSERT_TRUE(saved) << saved.error().display();
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600U);
    EXPECT_FALSE(std::filesystem::exists(dir.file("operator.keystore.tmp")));

    const std::string text = dir.read("operator.keystore.json");
    EXPECT_EQ(
        text.rfind("{\n  \"format_version\": 1,\n  \"key_id\": \"" + record.key_id.to_string() +
                       "\",\n  \"verifying_key_hex\": \"" + record.verifying_key_hex +
                       "\",\n  \"created_at\": \"2026-07-15T08:00:00Z\",\n  \"kdf\": {\n"
                       "    \"algorithm\": \"argon2id\",\n    \"m_cost_kib\": 8192,\n"
                       "    \"t_cost\": 1,\n    \"parallelism\": 1\n  },\n  \"salt_hex\": \"" +
                       record.salt_hex + "\",\n  \"envelope\": {\n    \"format_version\": 1,",
                   0),
        0U);
    EXPECT_EQ(text.substr(text.size() - 7), "]\n  }\n}");

    const auto loaded = load_keystore(path);
    ASSERT_TRUE(loaded) << loaded.error().display();
    EXPECT_EQ(write_keystore_json(*loaded), write_keystore_json(record));

    const auto public_key = keystore_verifying_key(*loaded);
    ASSERT_TRUE(public_key);
    EXPECT_EQ(public_key->to_hex(), record.verifying_key_hex);
    const auto key = unseal_signing_key(*loaded, kPassphrase, kNow);
    ASSERT_TRUE(key) << key.error().display();
    EXPECT_EQ(key->verifying_key(), *public_key);
    EXPECT_TRUE(zdz::crypto::verify_bytes(*public_key, "m", key->sign_bytes("m")));

    const auto wrong = unseal_signing_key(*loaded, bytes_of("correct horse battery stapl"), kNow);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().kind(), StoreError::Kind::KeystoreUnsealFailed);
    EXPECT_EQ(wrong.error().display(), kUnsealFailed);

    // Saving again replaces the file.
    const auto second = sealed_record();
    ASSERT_TRUE(save_keystore(second, path));
    EXPECT_EQ(load_keystore(path)->key_id, second.key_id);
}

TEST(Keystore, OpensWithLibrariesAlone) {
    // Four lanes, as key generation writes.
    TempDir dir;
    const auto record = sealed_record(4);
    ASSERT_TRUE(save_keystore(record, dir.file("k.json")));
    EXPECT_EQ(
        zdz::test::public_key_by_libraries(dir.file("k.json"), "correct horse battery staple"),
        record.verifying_key_hex);
}

TEST(Keystore, EditedFileStillUnsealsAndIsWrittenBackNormalised) {
    TempDir dir;
    const auto record = sealed_record();
    const std::string written = write_keystore_json(record);
    std::string edited = written;
    replace_all(edited, record.verifying_key_hex, upper(record.verifying_key_hex));
    replace_all(edited, record.salt_hex, upper(record.salt_hex));
    replace_all(edited, record.key_id.to_string(), upper(record.key_id.to_string()));
    replace_all(edited, "\"2026-07-15T08:00:00Z\"", "\"2026-07-15T10:00:00+02:00\"");
    replace_all(edited, "\n  ", "\n\t");
    ASSERT_NE(edited, written);
    dir.write("k.json", edited + "\n");

    const auto loaded = load_keystore(dir.file("k.json"));
    ASSERT_TRUE(loaded) << loaded.error().display();
    EXPECT_EQ(loaded->verifying_key_hex, upper(record.verifying_key_hex));
    const auto key = unseal_signing_key(*loaded, kPassphrase, kNow);
    ASSERT_TRUE(key) << key.error().display();
    EXPECT_EQ(key->verifying_key().to_hex(), record.verifying_key_hex);
    EXPECT_EQ(write_keystore_json(*loaded), written);
}

TEST(Keystore, LoadAndSaveFailures) {
    TempDir dir;
    const std::string missing = dir.file("none.json");
    auto absent = load_keystore(missing);
    ASSERT_FALSE(absent);
    EXPECT_EQ(absent.error().kind(), StoreError::Kind::StorageFailed);
    EXPECT_EQ(absent.error().display(), "local storage operation failed: cannot read " + missing +
                                            ": No such file or directory (os error 2)");
    dir.write("latin1.json", "{\"key_id\": \"\xe9\"}");
    EXPECT_EQ(load_keystore(dir.file("latin1.json")).error().display(),
              "local storage operation failed: cannot read " + dir.file("latin1.json") +
                  ": stream did not contain valid UTF-8");

    const std::string written = write_keystore_json(sealed_record());
    const auto load_edited = [&](std::string text) {
        dir.write("k.json", text);
        auto r = load_keystore(dir.file("k.json"));
        EXPECT_TRUE(!r && r.error().kind() == StoreError::Kind::KeystoreMalformed);
        return r ? std::string("loaded") : r.error().display();
    };
    auto extra = written;
    extra.insert(extra.find("\"salt_hex\""), "\"zzz\": 1,\n  ");
    EXPECT_EQ(load_edited(extra),
              malformed("unknown field `zzz`, expected one of `format_version`, `key_id`, "
                        "`verifying_key_hex`, `created_at`, `kdf`, `salt_hex`, `envelope` at "
                        "line 12 column 7"));
    auto extra_kdf = written;
    extra_kdf.insert(extra_kdf.find("\"m_cost_kib\""), "\"salt\": 1,\n    ");
    EXPECT_EQ(load_edited(extra_kdf),
              malformed("unknown field `salt`, expected one of `algorithm`, `m_cost_kib`, "
                        "`t_cost`, `parallelism` at line 8 column 10"));
    const auto lines = std::count(written.begin(), written.end(), '\n') + 1;
    EXPECT_EQ(load_edited(written + "x"),
              malformed("trailing characters at line " + std::to_string(lines) + " column 2"));
    // The format version is written as 1 and not judged on reading.
    auto version = written;
    version.replace(version.find("\"format_version\": 1"), 19, "\"format_version\": 9");
    dir.write("k.json", version);
    EXPECT_EQ(load_keystore(dir.file("k.json"))->format_version, 9);

    const auto failed = save_keystore(sealed_record(), dir.file("missing/store.json"));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().display(), "local storage operation failed: cannot write " +
                                            dir.file("missing/store.tmp") +
                                            ": No such file or directory (os error 2)");

    // A record the reader could never take back is not written.
    auto not_text = sealed_record();
    not_text.kdf.algorithm = "argon2id\xff";
    dir.write("keep.json", "previous");
    EXPECT_EQ(save_keystore(not_text, dir.file("keep.json")).error().display(),
              malformed("keystore text is not valid UTF-8"));
    EXPECT_EQ(dir.read("keep.json"), "previous");
}

TEST(Keystore, VerifyingKeyRefusals) {
    auto record = sealed_record();
    const std::string good = record.verifying_key_hex;
    const auto refusal = [&](std::string hex) {
        record.verifying_key_hex = std::move(hex);
        auto key = keystore_verifying_key(record);
        EXPECT_TRUE(!key && key.error().kind() == StoreError::Kind::KeystoreMalformed);
        return key ? std::string("accepted") : key.error().display();
    };
    EXPECT_EQ(refusal(good.substr(0, 62)), malformed("verifying_key_hex is not 32 bytes"));
    EXPECT_EQ(refusal(good.substr(0, 63)),
              malformed("verifying_key_hex: hex string has odd length 63"));
    EXPECT_EQ(refusal("zz" + good.substr(2)),
              malformed("verifying_key_hex: invalid hex byte \"zz\""));
    EXPECT_EQ(refusal("02" + std::string(62, '0')),
              malformed("validation failed: invalid ed25519 public key: signature error"));
}

TEST(Keystore, UnsealFailuresInOrder) {
    const auto record = sealed_record();
    const auto wrong_passphrase = bytes_of("wrong");
    auto edited = record;

    // The salt is decoded before anything is derived.
    edited.salt_hex = "zz" + record.salt_hex.substr(2);
    EXPECT_EQ(unseal_error(edited, wrong_passphrase),
              malformed("salt_hex: invalid hex byte \"zz\""));

    // Every KDF refusal reads as the unseal failure, not its own detail.
    edited = record;
    edited.kdf.m_cost_kib = 4096;
    EXPECT_EQ(unseal_error(edited), kUnsealFailed);
    edited.kdf = small_params();
    edited.salt_hex = record.salt_hex.substr(0, 30);
    EXPECT_EQ(unseal_error(edited), kUnsealFailed);

    // Any envelope failure, whatever its kind, too.
    const auto envelope_edit = [&](auto change) {
        auto copy = record;
        change(copy.envelope);
        return unseal_error(copy);
    };
    using zdz::envelope::EncryptedEnvelope;
    EXPECT_EQ(envelope_edit([](EncryptedEnvelope& e) { e.associated_data = {"other"}; }),
              kUnsealFailed);
    EXPECT_EQ(envelope_edit([](EncryptedEnvelope& e) { e.expires_at = kCreated; }), kUnsealFailed);
    EXPECT_EQ(envelope_edit([](EncryptedEnvelope& e) { e.created_at = kNow; }), kUnsealFailed);
    EXPECT_EQ(envelope_edit([](EncryptedEnvelope& e) { e.ciphertext[5] ^= 0x10; }), kUnsealFailed);
    EXPECT_EQ(unseal_error(record, wrong_passphrase), kUnsealFailed);

    // The recorded public key is judged only after decryption.
    edited = record;
    edited.verifying_key_hex.resize(62);
    EXPECT_EQ(unseal_error(edited, wrong_passphrase), kUnsealFailed);
    EXPECT_EQ(unseal_error(edited), malformed("verifying_key_hex is not 32 bytes"));

    // Another valid point: the key reads, but it is not the sealed one.
    std::array<std::uint8_t, 32> other_seed{};
    other_seed.fill(9);
    edited.verifying_key_hex = SigningKey::from_seed(other_seed).verifying_key().to_hex();
    EXPECT_TRUE(keystore_verifying_key(edited));
    EXPECT_EQ(unseal_error(edited),
              malformed("unsealed key does not match the keystore's recorded public key"));
}

TEST(Keystore, WhatTheEnvelopeMayHold) {
    const auto key = SigningKey::generate();
    const std::vector<std::uint8_t> salt32(32, 7);
    const std::vector<std::uint8_t> seed(key.seed().begin(), key.seed().end());

    const std::vector<std::uint8_t> short_plain(seed.begin(), seed.end() - 1);
    EXPECT_EQ(unseal_error(record_holding(short_plain, salt32, key)),
              malformed("unsealed key is not 32 bytes"));

    // The salt need not be the 32 bytes key generation draws.
    const auto unsealed = unseal_signing_key(
        record_holding(seed, std::vector<std::uint8_t>(16, 1), key), kPassphrase, kNow);
    ASSERT_TRUE(unsealed) << unsealed.error().display();
    EXPECT_EQ(unsealed->verifying_key(), key.verifying_key());
}

// A new passphrase changes the lock, not the key: the record's own key under
// its identity, at costs the bounds allow (the command's end-to-end test
// checks what the written file holds).
TEST(Keystore, ResealOnlyTheRecordsOwnKeyAtAcceptedCosts) {
    const auto record = sealed_record();
    const auto key = unseal_signing_key(record, kPassphrase, kNow);
    ASSERT_TRUE(key);
    const auto new_passphrase = bytes_of("a new passphrase");
    const auto resealed = reseal_signing_key(record, *key, new_passphrase, small_params(4));
    ASSERT_TRUE(resealed) << resealed.error().display();
    EXPECT_EQ(resealed->envelope.key_id, record.key_id);
    EXPECT_EQ(resealed->envelope.created_at, record.created_at);
    EXPECT_EQ(unseal_error(*resealed), kUnsealFailed);
    const auto reopened = unseal_signing_key(*resealed, new_passphrase, kNow);
    ASSERT_TRUE(reopened) << reopened.error().display();
    EXPECT_TRUE(std::equal(reopened->seed().begin(), reopened->seed().end(), key->seed().begin()));

    std::array<std::uint8_t, 32> other_seed{};
    other_seed.fill(3);
    const auto other = reseal_signing_key(record, SigningKey::from_seed(other_seed), new_passphrase,
                                          small_params());
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().display(),
              malformed("unsealed key does not match the keystore's recorded public key"));
    const auto weak = reseal_signing_key(record, *key, new_passphrase, {"argon2id", 4096, 1, 1});
    ASSERT_FALSE(weak);
    EXPECT_EQ(weak.error().display(), kUnsealFailed);
}
