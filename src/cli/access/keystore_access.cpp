#include "cli/access/keystore_access.hpp"

#include <utility>
#include <variant>

#include "cli/access/passphrase.hpp"
#include "encoding/try.hpp"

namespace zdz::cli {

tl::expected<store::AnyKeystore, CommandError> load_keystore_file(const std::string& path,
                                                                  std::string_view what) {
    return store::load_any_keystore(path).map_error([&](const store::StoreError& e) {
        return fail("cannot load " + std::string(what) + " " + path + ": " + e.display());
    });
}

tl::expected<crypto::VerifyingKey, CommandError> recorded_public_key(
    const store::AnyKeystore& keystore, std::string_view what) {
    return store::keystore_verifying_key(store::keystore_head(keystore))
        .map_error([&](const store::StoreError& e) {
            return fail("cannot read public key from " + std::string(what) + ": " + e.display());
        });
}

tl::expected<crypto::SigningKey, CommandError> unseal_with(const store::SealedSigningKey& record,
                                                           crypto::Secret& passphrase,
                                                           const contracts::Timestamp& now,
                                                           std::string_view what) {
    auto key = store::unseal_signing_key(record, passphrase.bytes(), now);
    passphrase.wipe();
    if (!key) {
        return tl::unexpected(
            fail("cannot unseal " + std::string(what) + ": " + key.error().display()));
    }
    return std::move(*key);
}

tl::expected<std::unique_ptr<crypto::Signer>, CommandError> open_signer(
    const store::AnyKeystore& keystore, crypto::Secret& secret, const contracts::Timestamp& now,
    std::string_view what) {
    if (const auto* sealed = std::get_if<store::SealedSigningKey>(&keystore)) {
        ZDZ_TRY(auto key, unseal_with(*sealed, secret, now, what));
        return std::make_unique<crypto::SigningKey>(std::move(key));
    }
    const auto expected = recorded_public_key(keystore, what);
    if (!expected) {
        secret.wipe();
        return tl::unexpected(expected.error());
    }
    auto signer =
        store::open_token_signer(std::get<store::TokenKeystore>(keystore), *expected, secret);
    secret.wipe();
    if (!signer) {
        return tl::unexpected(
            fail("cannot use the token of " + std::string(what) + ": " + signer.error().display()));
    }
    return std::move(*signer);
}

tl::expected<UnsealedKeystore, CommandError> unseal_keystore_file(const std::string& path,
                                                                  const std::string& passphrase_env,
                                                                  const contracts::Timestamp& now) {
    ZDZ_TRY(auto record, load_keystore_file(path));
    ZDZ_TRY(auto passphrase, read_passphrase_env(passphrase_env));
    ZDZ_TRY(auto key, open_signer(record, passphrase, now));
    return UnsealedKeystore{std::move(record), std::move(key)};
}

}  // namespace zdz::cli
