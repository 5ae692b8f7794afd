#include "store/keystore.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "crypto/secret.hpp"
#include "crypto/sodium.hpp"
#include "encoding/hex.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "io/file.hpp"
#include "json/record.hpp"
#include "store/file_errors.hpp"

namespace zdz::store {
namespace {

constexpr std::string_view kVerifyingKeyHexMember = "verifying_key_hex";
constexpr std::string_view kSaltHexMember = "salt_hex";

constexpr std::string_view kMemberPrefixSeparator = ": ";
static_assert(crypto::kPublicKeyBytes == 32 && crypto::kSeedBytes == 32,
              "the key-length messages name 32 bytes");
constexpr std::string_view kKeyNotThirtyTwoBytes = "verifying_key_hex is not 32 bytes";
constexpr std::string_view kUnsealedWrongLength = "unsealed key is not 32 bytes";
constexpr std::string_view kUnsealedMismatch =
    "unsealed key does not match the keystore's recorded public key";
constexpr std::string_view kNotUtf8 = "keystore text is not valid UTF-8";

envelope::EnvelopeContext signing_key_context() {
    return {std::string(kSigningKeyContext)};
}

StoreError malformed_member(std::string_view member, const std::string& detail) {
    return StoreError::keystore_malformed(std::string(member) +
                                          std::string(kMemberPrefixSeparator) + detail);
}

}  // namespace

void HexTextCodec::write(json::JsonWriter& out, const std::string& value) const {
    const auto bytes = encoding::hex_decode(value);
    out.text(bytes ? encoding::hex_encode(*bytes) : value);
}

std::string write_keystore_json(const SealedSigningKey& record) {
    return json::write_record_file(record);
}

tl::expected<SealedSigningKey, json::DocumentError> read_keystore_json(std::string_view text) {
    return json::read_record<SealedSigningKey>(text);
}

namespace {

// Seals `key`'s seed under the KEK derived from `passphrase` and `salt`, as
// the key `key_id` created at `created_at` (no expiry; context
// [kSigningKeyContext]). A KDF or sealing failure is KeystoreUnsealFailed.
// The seed is encrypted straight from the signing key's own wiping buffer: no
// other copy of it is made, and the KEK is wiped on every path.
tl::expected<SealedSigningKey, StoreError> seal_key(
    const crypto::SigningKey& key, const contracts::Uuid& key_id,
    const contracts::Timestamp& created_at, std::span<const std::uint8_t> passphrase,
    const KdfParams& params, std::span<const std::uint8_t> salt, const envelope::SealDraws& draws) {
    if (!crypto::start_sodium()) {
        return tl::unexpected(StoreError::keystore_unseal_failed());
    }
    auto envelope = [&]() -> tl::expected<envelope::EncryptedEnvelope, StoreError> {
        const auto kek = derive_kek(passphrase, salt, params);
        if (!kek) {
            return tl::unexpected(StoreError::keystore_unseal_failed());
        }
        auto sealed = envelope::seal_envelope_with(draws, kek->bytes(), key_id, created_at,
                                                   std::nullopt, signing_key_context(), key.seed());
        if (!sealed) {
            return tl::unexpected(StoreError::keystore_unseal_failed());
        }
        return std::move(*sealed);
    }();
    if (!envelope) {
        return tl::unexpected(envelope.error());
    }
    KeystoreHead head{kKeystoreFormatVersion, key_id, key.verifying_key().to_hex(), created_at};
    return SealedSigningKey{std::move(head), params, encoding::hex_encode(salt),
                            std::move(*envelope)};
}

}  // namespace

KeystoreDraws KeystoreDraws::random() {
    crypto::start_sodium_best_effort();
    KeystoreDraws draws{contracts::Uuid::new_v4(), {}, envelope::SealDraws::random()};
    randombytes_buf(draws.salt.data(), draws.salt.size());
    return draws;
}

tl::expected<SealedSigningKey, StoreError> seal_signing_key_with(
    const KeystoreDraws& draws, const crypto::SigningKey& key,
    std::span<const std::uint8_t> passphrase, const contracts::Timestamp& created_at,
    const KdfParams& params) {
    return seal_key(key, draws.key_id, created_at, passphrase, params, draws.salt, draws.envelope);
}

tl::expected<SealedSigningKey, StoreError> seal_signing_key(
    std::span<const std::uint8_t> passphrase, const contracts::Timestamp& created_at,
    const KdfParams& params) {
    return seal_signing_key_with(KeystoreDraws::random(), crypto::SigningKey::generate(),
                                 passphrase, created_at, params);
}

tl::expected<SealedSigningKey, StoreError> seal_signing_key(
    std::span<const std::uint8_t> passphrase, const contracts::Timestamp& created_at) {
    return seal_signing_key(passphrase, created_at, KdfParams::keygen_default());
}

namespace {

// The key is the one the record names: its public key equals the recorded
// verifying_key_hex, compared in constant time.
[[nodiscard]] tl::expected<void, StoreError> check_recorded_key(const SealedSigningKey& record,
                                                                const crypto::SigningKey& key) {
    ZDZ_TRY(const auto recorded, keystore_verifying_key(record));
    const auto& own = key.verifying_key().bytes();
    if (sodium_memcmp(own.data(), recorded.bytes().data(), own.size()) != 0) {
        return tl::unexpected(StoreError::keystore_malformed(std::string(kUnsealedMismatch)));
    }
    return {};
}

}  // namespace

tl::expected<SealedSigningKey, StoreError> reseal_signing_key(
    const SealedSigningKey& record, const crypto::SigningKey& key,
    std::span<const std::uint8_t> passphrase, const KdfParams& params) {
    ZDZ_RETURN_IF_ERROR(check_recorded_key(record, key));
    // Fresh salt, envelope id and nonce under the record's identity: the same
    // key, only its lock changes.
    const auto draws = KeystoreDraws::random();
    return seal_key(key, record.key_id, record.created_at, passphrase, params, draws.salt,
                    draws.envelope);
}

tl::expected<void, StoreError> save_keystore(const SealedSigningKey& record,
                                             const std::string& path,
                                             const io::DirectoryLock* held) {
    return save_keystore_text(write_keystore_json(record), path, held);
}

tl::expected<void, StoreError> save_keystore_text(const std::string& text, const std::string& path,
                                                  const io::DirectoryLock* held) {
    if (!encoding::is_valid_utf8(text)) {
        return tl::unexpected(StoreError::keystore_malformed(std::string(kNotUtf8)));
    }
    return io::write_file_atomically(path, text,
                                     {io::FileMode::OwnerOnly, io::TempName::Beside, held})
        .map_error(StoreError::from_write_error);
}

namespace {

[[nodiscard]] tl::expected<SealedSigningKey, StoreError> load_keystore_file(
    const std::string& path, std::string* text_out = nullptr) {
    // A keystore is only ever a regular file: anything else is refused before
    // a byte is read.
    auto text = io::read_file_text(path, io::Accept::RegularFile);
    if (!text) {
        return tl::unexpected(cannot_read(path, text.error().display()));
    }
    auto record = read_keystore_json(*text);
    if (!record) {
        return tl::unexpected(StoreError::keystore_malformed(record.error().display()));
    }
    if (text_out != nullptr) {
        *text_out = std::move(*text);
    }
    return std::move(*record);
}

}  // namespace

tl::expected<SealedSigningKey, StoreError> load_keystore(const std::string& path) {
    try {
        return load_keystore_file(path);
    } catch (const std::bad_alloc&) {
        return tl::unexpected(cannot_read(path, contracts::os_error_text(ENOMEM)));
    }
}

tl::expected<LoadedKeystore, StoreError> load_keystore_with_text(const std::string& path) {
    try {
        std::string text;
        ZDZ_TRY(auto record, load_keystore_file(path, &text));
        return LoadedKeystore{std::move(record), std::move(text)};
    } catch (const std::bad_alloc&) {
        return tl::unexpected(cannot_read(path, contracts::os_error_text(ENOMEM)));
    }
}

tl::expected<crypto::VerifyingKey, StoreError> keystore_verifying_key(const KeystoreHead& record) {
    const auto bytes = encoding::hex_decode(record.verifying_key_hex);
    if (!bytes) {
        return tl::unexpected(malformed_member(kVerifyingKeyHexMember, bytes.error().display()));
    }
    if (bytes->size() != crypto::kPublicKeyBytes) {
        return tl::unexpected(StoreError::keystore_malformed(std::string(kKeyNotThirtyTwoBytes)));
    }
    auto key = crypto::VerifyingKey::from_bytes(*bytes);
    if (!key) {
        return tl::unexpected(StoreError::keystore_malformed(key.error().display()));
    }
    return *key;
}

tl::expected<crypto::SigningKey, StoreError> unseal_signing_key(
    const SealedSigningKey& record, std::span<const std::uint8_t> passphrase,
    const contracts::Timestamp& now) {
    const auto salt = encoding::hex_decode(record.salt_hex);
    if (!salt) {
        return tl::unexpected(malformed_member(kSaltHexMember, salt.error().display()));
    }

    auto plaintext = [&]() -> tl::expected<crypto::Secret, StoreError> {
        // Wiped when this block is left, on every path.
        const auto kek = derive_kek(passphrase, *salt, record.kdf);
        if (!kek) {
            return tl::unexpected(StoreError::keystore_unseal_failed());
        }
        auto opened = record.envelope.open(kek->bytes(), now, signing_key_context());
        if (!opened) {
            return tl::unexpected(StoreError::keystore_unseal_failed());
        }
        return std::move(*opened);
    }();
    if (!plaintext) {
        return tl::unexpected(plaintext.error());
    }
    if (plaintext->size() != crypto::kSeedBytes) {
        return tl::unexpected(StoreError::keystore_malformed(std::string(kUnsealedWrongLength)));
    }
    auto key = crypto::SigningKey::from_seed(
        std::span<const std::uint8_t, crypto::kSeedBytes>(plaintext->data(), crypto::kSeedBytes));
    plaintext->wipe();

    // On the failures below `key` goes out of scope and its buffers wipe
    // themselves.
    ZDZ_RETURN_IF_ERROR(check_recorded_key(record, key));
    return key;
}

}  // namespace zdz::store
