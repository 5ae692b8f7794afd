#include "store/token_keystore.hpp"

#include <new>
#include <utility>

#include "encoding/try.hpp"
#include "io/file.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"
#include "json/value.hpp"
#include "store/file_errors.hpp"

namespace zdz::store {
namespace {

// Signs through the token's session, and hands out only what verifies with
// the keystore's public key.
class TokenKeySigner final : public crypto::Signer {
public:
    TokenKeySigner(token::TokenSigner session, token::TokenUri uri, crypto::VerifyingKey expected)
        : session_(std::move(session)), uri_(std::move(uri)), expected_(expected) {}

    const crypto::VerifyingKey& verifying_key() const override { return expected_; }

    tl::expected<crypto::Signature, contracts::ContractError> sign(
        std::string_view message) const override {
        auto signed_by = session_.sign(message);
        if (!signed_by) {
            return tl::unexpected(
                contracts::ContractError::signing_failed(signed_by.error().display()));
        }
        if (auto checked = token::check_signature(uri_, expected_, message, *signed_by); !checked) {
            return tl::unexpected(
                contracts::ContractError::signing_failed(checked.error().display()));
        }
        return signed_by->signature;
    }

private:
    token::TokenSigner session_;
    token::TokenUri uri_;
    crypto::VerifyingKey expected_;
};

// Whether the document is a token keystore: an object with the URI member at
// its top level. Anything else, broken JSON included, is left to the sealed
// keystore's reader to accept or word.
bool names_a_token(std::string_view text) {
    const auto document = json::read_json(text);
    if (!document || !document->is_object()) {
        return false;
    }
    for (const auto& member : document->members()) {
        if (member.key == kTokenUriMember) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string write_token_keystore_json(const TokenKeystore& record) {
    return json::write_record_file(record);
}

tl::expected<TokenKeystore, json::DocumentError> read_token_keystore_json(std::string_view text) {
    return json::read_record<TokenKeystore>(text);
}

TokenKeystore token_keystore_for(const token::TokenKey& key, const token::TokenUri& uri,
                                 const contracts::Timestamp& created_at) {
    return TokenKeystore{{kTokenKeystoreFormatVersion, contracts::Uuid::new_v4(),
                          key.public_key.to_hex(), created_at},
                         uri.text()};
}

tl::expected<void, StoreError> save_token_keystore(const TokenKeystore& record,
                                                   const std::string& path,
                                                   const io::DirectoryLock* held) {
    return save_keystore_text(write_token_keystore_json(record), path, held);
}

tl::expected<AnyKeystore, StoreError> load_any_keystore(const std::string& path) {
    try {
        auto text = io::read_file_text(path, io::Accept::RegularFile);
        if (!text) {
            return tl::unexpected(cannot_read(path, text.error().display()));
        }
        if (names_a_token(*text)) {
            auto record = read_token_keystore_json(*text);
            if (!record) {
                return tl::unexpected(StoreError::keystore_malformed(record.error().display()));
            }
            return AnyKeystore(std::move(*record));
        }
        auto record = read_keystore_json(*text);
        if (!record) {
            return tl::unexpected(StoreError::keystore_malformed(record.error().display()));
        }
        return AnyKeystore(std::move(*record));
    } catch (const std::bad_alloc&) {
        return tl::unexpected(cannot_read(path, contracts::os_error_text(ENOMEM)));
    }
}

const KeystoreHead& keystore_head(const AnyKeystore& keystore) {
    return std::visit([](const KeystoreHead& head) -> const KeystoreHead& { return head; },
                      keystore);
}

tl::expected<std::unique_ptr<crypto::Signer>, token::TokenError> open_token_signer(
    const TokenKeystore& record, const crypto::VerifyingKey& expected, const crypto::Secret& pin) {
    ZDZ_TRY(auto uri, token::TokenUri::parse(record.pkcs11_uri));
    ZDZ_TRY(auto session, token::TokenSigner::open(uri, pin));
    if (session.public_key() != expected) {
        return tl::unexpected(token::TokenError::unexpected_key(
            uri.label(), crypto::key_fingerprint(session.public_key()).to_string(),
            crypto::key_fingerprint(expected).to_string()));
    }
    return std::make_unique<TokenKeySigner>(std::move(session), std::move(uri), expected);
}

}  // namespace zdz::store
