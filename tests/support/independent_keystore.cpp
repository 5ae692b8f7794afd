#include "support/independent_keystore.hpp"

#include <argon2.h>
#include <sodium.h>

#include <array>
#include <vector>

#include "encoding/hex.hpp"
#include "io/file.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"

namespace zdz::test {
namespace {

using json::JsonValue;

const JsonValue& member(const JsonValue& object, std::string_view name) {
    static const JsonValue null;
    for (const auto& m : object.members()) {
        if (m.key == name) {
            return m.value;
        }
    }
    return null;
}

std::vector<std::uint8_t> byte_array(const JsonValue& array) {
    std::vector<std::uint8_t> out;
    for (const auto& item : array.items()) {
        out.push_back(static_cast<std::uint8_t>(item.as_uint64()));
    }
    return out;
}

std::uint32_t u32(const JsonValue& value) {
    return static_cast<std::uint32_t>(value.as_uint64());
}

}  // namespace

std::string public_key_by_libraries(const std::string& keystore_path, std::string_view passphrase) {
    const auto text = io::read_file_text(keystore_path);
    if (!text) {
        return "error: cannot read keystore";
    }
    const auto file = json::read_json(*text);
    if (!file) {
        return "error: " + file.error().display();
    }
    const auto& kdf = member(*file, "kdf");
    const auto& envelope = member(*file, "envelope");
    const auto& salt_hex = member(*file, "salt_hex").as_string();
    std::vector<std::uint8_t> salt(salt_hex.size() / 2);
    if (sodium_hex2bin(salt.data(), salt.size(), salt_hex.data(), salt_hex.size(), nullptr, nullptr,
                       nullptr) != 0) {
        return "error: salt_hex";
    }
    std::array<std::uint8_t, 32> kek{};
    if (argon2id_hash_raw(u32(member(kdf, "t_cost")), u32(member(kdf, "m_cost_kib")),
                          u32(member(kdf, "parallelism")), passphrase.data(), passphrase.size(),
                          salt.data(), salt.size(), kek.data(), kek.size()) != ARGON2_OK) {
        return "error: argon2id";
    }
    const auto field = [&](std::string_view name) { return member(envelope, name).as_string(); };
    const std::string header = R"({"algorithm":")" + field("algorithm") +
                               R"(","associated_data":["tarnelos:signing-key:v1"],"created_at":")" +
                               field("created_at") + R"(","envelope_id":")" + field("envelope_id") +
                               R"(","expires_at":null,"format_version":1,"key_id":")" +
                               field("key_id") + R"("})";
    const auto nonce = byte_array(member(envelope, "nonce"));
    const auto ciphertext = byte_array(member(envelope, "ciphertext"));
    std::array<std::uint8_t, 32> seed{};
    if (nonce.size() != crypto_aead_xchacha20poly1305_ietf_NPUBBYTES ||
        ciphertext.size() != seed.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES ||
        crypto_aead_xchacha20poly1305_ietf_decrypt(
            seed.data(), nullptr, nullptr, ciphertext.data(), ciphertext.size(),
            reinterpret_cast<const unsigned char*>(header.data()), header.size(), nonce.data(),
            kek.data()) != 0) {
        sodium_memzero(kek.data(), kek.size());
        return "error: the envelope does not open";
    }
    sodium_memzero(kek.data(), kek.size());
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key{};
    std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secret_key{};
    crypto_sign_seed_keypair(public_key.data(), secret_key.data(), seed.data());
    sodium_memzero(secret_key.data(), secret_key.size());
    sodium_memzero(seed.data(), seed.size());
    return encoding::hex_encode(public_key);
}

}  // namespace zdz::test
