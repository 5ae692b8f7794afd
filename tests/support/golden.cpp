#include "support/golden.hpp"

#include <array>
#include <numeric>
#include <stdexcept>

#include "crypto/digest.hpp"
#include "envelope/envelope.hpp"
#include "io/file.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "trust/manifest.hpp"
#include "trust/registry.hpp"
#include "trust/signers.hpp"

namespace zdz::test::golden {
namespace {

using contracts::Timestamp;
using contracts::Uuid;
using trust::ImageManifestBody;
using trust::UnverifiedImageManifest;

// One image and its manifest at a security version.
struct Release {
    std::string_view image;
    std::string_view manifest_id;
    trust::SecurityVersion security_version;
};
constexpr Release kSv2{"golden image of vask, security version 2\n",
                       "3c9d2e71-8a4b-4f06-b5c2-7e1a9d0f4b62", 2};
constexpr Release kSv3{"golden image of vask, security version 3\n",
                       "a41f6b28-0d93-4c7e-8e25-5b3c7f9a1d04", 3};

// The ids of the two envelopes, which the commands draw at random.
constexpr std::string_view kKeystoreEnvelopeId = "5e8a0c37-f1b6-4d29-a3e4-9c7b2d5f8e13";
constexpr std::string_view kStoreEnvelopeId = "c62d9f14-7b3e-4a58-90d1-3f6e8b2a5c79";

Uuid uuid(std::string_view text) {
    return *Uuid::parse(text);
}

Timestamp time(std::string_view text) {
    return *Timestamp::parse(text);
}

template <class T, class E>
T must(tl::expected<T, E> value, std::string_view what) {
    if (!value) {
        throw std::runtime_error("cannot make golden " + std::string(what));
    }
    return std::move(*value);
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

UnverifiedImageManifest signed_manifest(const Release& release) {
    const ImageManifestBody body{uuid(release.manifest_id), *trust::ImagePlatform::parse(kPlatform),
                                 trust::ImageKind::Install, {crypto::measure_sha256(release.image)},
                                 release.security_version,  uuid(kKeyId),
                                 time(kSignedAt),           std::nullopt};
    return must(trust::sign_manifest(body, operator_key()), "manifest");
}

// The keystore sealed at the Argon2id floor (8 MiB, one pass, one lane), so
// that tests unseal it quickly; salt bytes 0..31, nonce bytes 0xA0..0xB7.
store::SealedSigningKey keystore() {
    store::KeystoreDraws draws{uuid(kKeyId), {}, {uuid(kKeystoreEnvelopeId), {}}};
    std::iota(draws.salt.begin(), draws.salt.end(), std::uint8_t{0});
    std::iota(draws.envelope.nonce.begin(), draws.envelope.nonce.end(), std::uint8_t{0xA0});
    return must(store::seal_signing_key_with(draws, operator_key(), bytes_of(kPassphrase),
                                             time(kKeystoreCreatedAt),
                                             store::KdfParams{"argon2id", 8192, 1, 1}),
                "keystore");
}

// What promoting the sv2 and then the sv3 manifest and withdrawing the sv2
// image leaves, all at kSignedAt.
trust::KnownGoodStore registry(const UnverifiedImageManifest& sv2,
                               const UnverifiedImageManifest& sv3) {
    trust::KnownGoodStore registry;
    for (const auto* manifest : {&sv2, &sv3}) {
        must(registry.promote({manifest->body, time(kSignedAt)}), "promotion");
    }
    registry.withdraw(sv2.body.platform, sv2.body.measurement);
    return registry;
}

std::string store_text(const trust::KnownGoodStore& registry, const crypto::SigningKey& key) {
    return must(store::registry_store_text(registry, key, uuid(kKeyId), time(kSignedAt),
                                           uuid(kStoreEnvelopeId)),
                "store");
}

std::string trust_file() {
    return "# Keys trusted to sign image manifests.\n" +
           trust::format_allowed_signers_line(kOtherSigner, other_signer_key().verifying_key()) +
           "\n" + trust::format_allowed_signers_line(kOperator, operator_key().verifying_key()) +
           "\n";
}

// The sv3 manifest with the last hex digit of its measurement changed.
std::string manifest_with_changed_digit(UnverifiedImageManifest manifest) {
    auto text = manifest.body.measurement.to_string();
    text.back() = text.back() == '0' ? '1' : '0';
    manifest.body.measurement = {*contracts::ContentHash::parse(text)};
    return trust::write_manifest_json(manifest);
}

// The store as the operator signed it, but with the withdrawn list emptied:
// an image brought back without the key.
std::string store_with_withdrawal_removed(const std::string& text) {
    auto envelope = must(envelope::read_signed_envelope_json<store::RegistrySnapshotBody>(text),
                         "store envelope");
    for (auto& platform : envelope.payload.platforms) {
        platform.revoked.clear();
    }
    return envelope::write_envelope_json(envelope);
}

// The registry as a store written before promotions had a kind holds it.
std::string store_without_kinds(const trust::KnownGoodStore& registry) {
    auto body = store::snapshot_registry(registry, time(kSignedAt));
    for (auto& platform : body.platforms) {
        for (auto& promotion : platform.history) {
            promotion.image_kind.reset();
        }
    }
    return store_text(must(store::rebuild_registry(body), "registry"), operator_key());
}

// The keystore with its envelope's created_at, part of the authenticated
// header, one second later.
std::string keystore_with_edited_header(store::SealedSigningKey record) {
    record.envelope.created_at =
        *Timestamp::from_unix_seconds(record.envelope.created_at.seconds_since_epoch() + 1);
    return store::write_keystore_json(record);
}

}  // namespace

crypto::SigningKey operator_key() {
    return fixed_key(0x11);
}

crypto::SigningKey other_signer_key() {
    return fixed_key(0x22);
}

crypto::SigningKey intruder_key() {
    return fixed_key(0x33);
}

std::vector<std::pair<std::string, std::string>> golden_files() {
    const auto sv2 = signed_manifest(kSv2);
    const auto sv3 = signed_manifest(kSv3);
    const auto sealed = keystore();
    const auto known_good = registry(sv2, sv3);
    const auto store = store_text(known_good, operator_key());
    return {
        {"allowed_signers", trust_file()},
        {"release-operator.pub",
         trust::format_allowed_signers_line(kOperator, operator_key().verifying_key()) + "\n"},
        {"image-sv2.img", std::string(kSv2.image)},
        {"image-sv3.img", std::string(kSv3.image)},
        {"manifest-sv2.json", trust::write_manifest_json(sv2)},
        {"manifest-sv3.json", trust::write_manifest_json(sv3)},
        {"keystore.json", store::write_keystore_json(sealed)},
        {"store.json", store},
        {"store-without-kinds.json", store_without_kinds(known_good)},
        {"forged/manifest-changed-digit.json", manifest_with_changed_digit(sv3)},
        {"forged/manifest-swapped-signature.json",
         trust::write_manifest_json({sv3.body, sv2.signature, {}})},
        {"forged/store-resigned-by-other-key.json", store_text(known_good, intruder_key())},
        {"forged/store-withdrawal-removed.json", store_with_withdrawal_removed(store)},
        {"forged/keystore-header-edited.json", keystore_with_edited_header(sealed)},
    };
}

std::string golden_dir() {
    return source_dir() + "/tests/data/golden";
}

std::string read_golden(const std::string& name) {
    const auto text = io::read_file_bytes(golden_dir() + "/" + name);
    if (!text) {
        throw std::runtime_error("cannot read golden file " + name + ": " + text.error().display());
    }
    return *text;
}

}  // namespace zdz::test::golden
