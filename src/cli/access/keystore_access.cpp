#include "cli/access/keystore_access.hpp"

#include <utility>

#include "cli/access/passphrase.hpp"

namespace zdz::cli {

tl::expected<store::SealedSigningKey, CommandError> load_keystore_file(const std::string& path,
                                                                       std::string_view what) {
    return store::load_keystore(path).map_error([&](const trust::TrustError& e) {
        return fail("cannot load " + std::string(what) + " " + path + ": " + e.display());
    });
}

tl::expected<crypto::VerifyingKey, CommandError> recorded_public_key(
    const store::SealedSigningKey& record, std::string_view what) {
    return store::keystore_verifying_key(record).map_error([&](const trust::TrustError& e) {
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

tl::expected<UnsealedKeystore, CommandError> unseal_keystore_file(const std::string& path,
                                                                  const std::string& passphrase_env,
                                                                  const contracts::Timestamp& now) {
    auto record = load_keystore_file(path);
    if (!record) {
        return tl::unexpected(std::move(record.error()));
    }
    auto passphrase = read_passphrase_env(passphrase_env);
    if (!passphrase) {
        return tl::unexpected(std::move(passphrase.error()));
    }
    auto key = unseal_with(*record, *passphrase, now);
    if (!key) {
        return tl::unexpected(std::move(key.error()));
    }
    return UnsealedKeystore{std::move(*record), std::move(*key)};
}

}  // namespace zdz::cli
