#include "support/fixtures.hpp"

#include <sodium.h>

#include <array>
#include <stdexcept>

#include "crypto/digest.hpp"
#include "encoding/hex.hpp"
#include "store/keystore.hpp"

namespace zdz::test {

std::string write_test_keystore(const std::string& path) {
    const std::string_view passphrase(kPassphrase);
    const auto record = store::seal_signing_key(
        std::span(reinterpret_cast<const std::uint8_t*>(passphrase.data()), passphrase.size()),
        now(), store::KdfParams{"argon2id", 8192, 1, 1});
    if (!record || !store::save_keystore(*record, path)) {
        throw std::runtime_error("cannot write test keystore " + path);
    }
    return record->verifying_key_hex;
}

contracts::Timestamp now() {
    const auto clock = contracts::Timestamp::read_system_clock();
    if (!clock) {
        throw std::runtime_error(clock.error().display());
    }
    return *clock;
}

crypto::SigningKey fixed_key(std::uint8_t fill) {
    std::array<std::uint8_t, crypto::kSeedBytes> seed{};
    seed.fill(fill);
    return crypto::SigningKey::from_seed(seed);
}

std::string install_manifest_json(const crypto::SigningKey& key, std::string_view platform,
                                  trust::SecurityVersion version,
                                  const trust::ImageMeasurement& measurement,
                                  std::optional<contracts::Timestamp> expires) {
    const trust::ImageManifestBody body{contracts::Uuid::new_v4(),
                                        *trust::ImagePlatform::parse(platform),
                                        trust::ImageKind::Install,
                                        measurement,
                                        version,
                                        contracts::Uuid::new_v4(),
                                        now(),
                                        expires};
    return trust::write_manifest_json(*trust::sign_manifest(body, key));
}

bool sodium_verifies_manifest(const std::string& manifest_text, const std::string& public_hex) {
    const auto manifest = trust::read_manifest_json(manifest_text);
    if (!manifest) {
        return false;
    }
    const auto bytes = trust::manifest_signing_bytes(manifest->body);
    const auto key = encoding::hex_decode(public_hex);
    if (!bytes || !key || key->size() != crypto_sign_PUBLICKEYBYTES) {
        return false;
    }
    return crypto_sign_verify_detached(manifest->signature.bytes().data(),
                                       reinterpret_cast<const unsigned char*>(bytes->data()),
                                       bytes->size(), key->data()) == 0;
}

std::vector<std::string> sign_args(const std::string& keystore, const std::string& image,
                                   const std::string& version, const std::string& out,
                                   const std::string& kind, const std::string& passphrase_var) {
    return {"sign",         "--keystore",   keystore, "--passphrase-env",
            passphrase_var, "--image-file", image,    "--platform",
            "vask",         "--kind",       kind,     "--security-version",
            version,        "--out",        out};
}

std::vector<std::string> promote_args(const std::string& manifest, const std::string& signers,
                                      const std::string& store, const std::string& keystore,
                                      const std::string& passphrase_var) {
    return {"promote", "--manifest", manifest, "--signers-file",   signers,       "--store",
            store,     "--keystore", keystore, "--passphrase-env", passphrase_var};
}

std::vector<std::string> authorize_args(const std::string& store, const std::string& keystore,
                                        const std::string& image) {
    return {"authorize-install", "--store", store,          "--keystore", keystore,
            "--platform",        "vask",    "--image-file", image};
}

std::vector<std::string> withdraw_args(const std::string& store, const std::string& keystore,
                                       const std::string& image,
                                       const std::string& passphrase_var) {
    return {"withdraw",     "--store",    store,  "--keystore",   keystore, "--passphrase-env",
            passphrase_var, "--platform", "vask", "--image-file", image};
}

std::string signed_manifest_json(const crypto::SigningKey& key,
                                 std::optional<contracts::Timestamp> expires) {
    return install_manifest_json(key, "vask", 3,
                                 {crypto::measure_sha256(std::string_view("image"))}, expires);
}

}  // namespace zdz::test
