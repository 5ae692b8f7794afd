#pragma once

// The operator's sealed signing key: one JSON file holding the public key in
// the clear, the Argon2id parameters and salt, and the 32-byte Ed25519 seed in
// an EncryptedEnvelope under the key derived from the passphrase.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "envelope/envelope.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "json/fields.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"
#include "store/errors.hpp"
#include "store/kdf.hpp"

namespace zdz::store {

// The associated-data context of the envelope that holds the seed, so that an
// envelope sealed for another purpose cannot pass for a keystore.
inline constexpr std::string_view kSigningKeyContext = "tarnelos:signing-key:v1";
inline constexpr std::uint16_t kKeystoreFormatVersion = 1;
inline constexpr std::size_t kKeystoreSaltBytes = 32;

// What every keystore file begins with, whatever holds its private key.
struct KeystoreHead {
    // Written as 1 (kKeystoreFormatVersion, kTokenKeystoreFormatVersion); not
    // judged when read.
    std::uint16_t format_version = kKeystoreFormatVersion;
    contracts::Uuid key_id;
    // Hex of the 32-byte public key, kept as read: it is judged by
    // keystore_verifying_key, not by the reader.
    std::string verifying_key_hex;
    contracts::Timestamp created_at;
};

struct SealedSigningKey : KeystoreHead {
    KdfParams kdf;
    // Hex of the Argon2id salt, kept as read and judged by unseal_signing_key.
    std::string salt_hex;
    envelope::EncryptedEnvelope envelope;
};

// Hex kept as read; written in lower case when it decodes, anything else as
// it stands, so a record read from a file is written back without losing
// what it held.
struct HexTextCodec {
    [[nodiscard]] bool read(json::JsonCursor& in, json::Next next,
                            std::optional<std::string>& out) const {
        return json::plain_text.read(in, next, out);
    }
    void write(json::JsonWriter& out, const std::string& value) const;
};
inline constexpr HexTextCodec hex_text{};

// The record `name`: the members of KeystoreHead, then `rest`. Strict:
// unknown, missing and repeated members are refused.
template <class R, class... Rest>
constexpr auto keystore_record(std::string_view name, Rest... rest) {
    using H = KeystoreHead;
    return json::record<R>(name, json::format_version(&H::format_version),
                           json::required("key_id", &H::key_id, json::uuid),
                           json::required("verifying_key_hex", &H::verifying_key_hex, hex_text),
                           json::required("created_at", &H::created_at, json::timestamp), rest...);
}

// Members in the order above; kdf and envelope are as strict.
constexpr auto describe(json::Type<SealedSigningKey>) {
    using R = SealedSigningKey;
    return keystore_record<R>("SealedSigningKey", json::required("kdf", &R::kdf, json::nested),
                              json::required("salt_hex", &R::salt_hex, hex_text),
                              json::required("envelope", &R::envelope, json::nested));
}

// The file text: pretty JSON, two-space indentation, no final newline.
std::string write_keystore_json(const SealedSigningKey& record);

// A whole document, nothing but white space after it; the error is the
// reader's, placed at its line and column.
[[nodiscard]] tl::expected<SealedSigningKey, json::DocumentError> read_keystore_json(
    std::string_view text);

// Generates a key pair and a 32-byte salt, derives the KEK from `passphrase`
// with `params`, and seals the seed under it (key_id fresh and shared by the
// record and the envelope; created_at on both; no expiry; context
// [kSigningKeyContext]). A KDF or sealing failure is KeystoreUnsealFailed.
// The KEK and every copy of the seed are wiped before this returns.
[[nodiscard]] tl::expected<SealedSigningKey, StoreError> seal_signing_key(
    std::span<const std::uint8_t> passphrase, const contracts::Timestamp& created_at,
    const KdfParams& params);

// The same with KdfParams::keygen_default() (128 MiB, 3 passes, 4 lanes).
[[nodiscard]] tl::expected<SealedSigningKey, StoreError> seal_signing_key(
    std::span<const std::uint8_t> passphrase, const contracts::Timestamp& created_at);

// What sealing a keystore draws at random besides the key pair: the key's id,
// the Argon2id salt, and the envelope's id and nonce.
struct KeystoreDraws {
    contracts::Uuid key_id;
    std::array<std::uint8_t, kKeystoreSaltBytes> salt{};
    envelope::SealDraws envelope;

    static KeystoreDraws random();
};

// seal_signing_key with the key and every drawn value given by the caller, so
// that the same inputs give the same file byte for byte (Argon2id and the
// AEAD are deterministic). Only for fixed test keys: a salt or nonce used
// twice weakens the seal. Errors as for seal_signing_key.
tl::expected<SealedSigningKey, StoreError> seal_signing_key_with(
    const KeystoreDraws& draws, const crypto::SigningKey& key,
    std::span<const std::uint8_t> passphrase, const contracts::Timestamp& created_at,
    const KdfParams& params);

// The signing key of `record` sealed again under `passphrase` with `params`:
// a fresh 32-byte salt and a fresh envelope (nonce and envelope_id), while
// key_id, verifying_key_hex and created_at stay as they are (the envelope
// carries the same key_id and created_at). `key` must be the record's own
// key: KeystoreMalformed otherwise. A KDF or sealing failure is
// KeystoreUnsealFailed, as for seal_signing_key. The KEK is wiped before this returns.
[[nodiscard]] tl::expected<SealedSigningKey, StoreError> reseal_signing_key(
    const SealedSigningKey& record, const crypto::SigningKey& key,
    std::span<const std::uint8_t> passphrase, const KdfParams& params);

// Writes write_keystore_json(record) through io::write_file_atomically, the file
// owner-only (0600) from its creation (`held`: the caller's DirectoryLock on
// the directory of `path`, if it holds it). An existing file is replaced; a
// failure leaves it as it was. StorageFailed or StorageNotDurable carry
// write_file_atomically's own account (io/atomic_file.hpp); KeystoreMalformed if the
// record holds text that is not UTF-8 (the file could never be read back).
[[nodiscard]] tl::expected<void, StoreError> save_keystore(const SealedSigningKey& record,
                                                           const std::string& path,
                                                           const io::DirectoryLock* held = nullptr);

// The same writing of a keystore's text, whichever kind of keystore wrote it:
// KeystoreMalformed when `text` is not UTF-8, else write_file_atomically's
// owner-only replacement of `path`.
[[nodiscard]] tl::expected<void, StoreError> save_keystore_text(const std::string& text,
                                                                const std::string& path,
                                                                const io::DirectoryLock* held);

// StorageFailed when the file cannot be read (missing, unreadable, not a
// regular file, not UTF-8; worded in store/file_errors.cpp) or
// KeystoreMalformed with the reader's message.
[[nodiscard]] tl::expected<SealedSigningKey, StoreError> load_keystore(const std::string& path);

// load_keystore, keeping the file's text as read: the bytes to put back when
// what replaced them turns out wrong.
struct LoadedKeystore {
    SealedSigningKey record;
    std::string text;
};
[[nodiscard]] tl::expected<LoadedKeystore, StoreError> load_keystore_with_text(
    const std::string& path);

// The recorded public key of either kind of keystore, no passphrase or PIN
// needed. KeystoreMalformed when verifying_key_hex does not decode to 32
// bytes that are a point (the words are keystore.cpp's).
[[nodiscard]] tl::expected<crypto::VerifyingKey, StoreError> keystore_verifying_key(
    const KeystoreHead& record);

// The signing key, checks in this order: salt_hex decodes (KeystoreMalformed);
// the KEK derives (any KDF refusal, whatever the parameters, is
// KeystoreUnsealFailed); the envelope opens at `now` under the signing-key
// context (any failure, a wrong passphrase included, is KeystoreUnsealFailed);
// the plaintext is 32 bytes (KeystoreMalformed); the recorded public key reads
// (keystore_verifying_key's error as is); it equals the unsealed key's
// (KeystoreMalformed). The words of each are keystore.cpp's. KEK and plaintext are wiped on
// every path, and so is a signing key that is not handed out.
[[nodiscard]] tl::expected<crypto::SigningKey, StoreError> unseal_signing_key(
    const SealedSigningKey& record, std::span<const std::uint8_t> passphrase,
    const contracts::Timestamp& now);

}  // namespace zdz::store
