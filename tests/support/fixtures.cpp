#include "support/fixtures.hpp"

#include <array>
#include <stdexcept>

#include "crypto/digest.hpp"
#include "store/keystore.hpp"
#include "trust/manifest.hpp"

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

std::string signed_manifest_json(const crypto::SigningKey& key,
                                 std::optional<contracts::Timestamp> expires) {
    const trust::ImageManifestBody body{contracts::Uuid::new_v4(),
                                        *trust::ImagePlatform::parse("vask"),
                                        trust::ImageKind::Install,
                                        {crypto::measure_sha256(std::string_view("image"))},
                                        3,
                                        contracts::Uuid::new_v4(),
                                        now(),
                                        expires};
    return trust::write_manifest_json(*trust::sign_manifest(body, key));
}

}  // namespace zdz::test
