#include <array>
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "envelope/envelope.hpp"
#include "json/record.hpp"
#include "json/writer.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"

namespace {

constexpr std::array<std::uint8_t, zdz::envelope::kEnvelopeKeyBytes> kFuzzKek{9};

// The keystore file, with its kdf and envelope members read by their own
// record readers: a record that reads is written as a file that reads back and
// writes the same bytes again, and what the commands do next with it (take the
// public key, open the envelope) comes out the same for both.
void keystore_round_trip(std::string_view text) {
    const auto round_trip = zdz::fuzz::file_round_trip(
        text, [](std::string_view t) { return zdz::store::read_keystore_json(t); },
        [](const zdz::store::SealedSigningKey& record) {
            return zdz::store::write_keystore_json(record);
        });
    if (!round_trip) {
        return;
    }
    const auto& record = round_trip->read;
    const auto& again = round_trip->again;
    ZDZ_FUZZ_CHECK(again.kdf == record.kdf);
    ZDZ_FUZZ_CHECK(again.key_id == record.key_id && again.created_at == record.created_at);

    const auto key = zdz::store::keystore_verifying_key(record);
    const auto key_again = zdz::store::keystore_verifying_key(again);
    ZDZ_FUZZ_CHECK(key.has_value() == key_again.has_value());
    if (key) {
        ZDZ_FUZZ_CHECK(*key == *key_again);
    } else {
        ZDZ_FUZZ_CHECK(key.error().display() == key_again.error().display());
    }
}

void envelope_round_trip(std::string_view text) {
    const auto round_trip = zdz::fuzz::file_round_trip(
        text, [](std::string_view t) { return zdz::envelope::read_encrypted_envelope_json(t); },
        [](const auto& envelope) { return zdz::envelope::write_envelope_json(envelope); }, false);
    if (!round_trip) {
        return;
    }
    const auto& envelope = round_trip->read;
    const auto& again = round_trip->again;
    ZDZ_FUZZ_CHECK(again.header_bytes() == envelope.header_bytes());
    const auto opened = envelope.open(kFuzzKek, envelope.created_at, envelope.associated_data);
    const auto opened_again = again.open(kFuzzKek, again.created_at, again.associated_data);
    ZDZ_FUZZ_CHECK(opened.has_value() == opened_again.has_value());
}

void kdf_round_trip(std::string_view text) {
    const auto params = zdz::store::read_kdf_params_json(text);
    if (!params) {
        return;
    }
    const auto written = zdz::store::write_kdf_params_json(*params);
    const auto again = zdz::store::read_kdf_params_json(written);
    ZDZ_FUZZ_CHECK(again && *again == *params);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    keystore_round_trip(text);
    envelope_round_trip(text);
    kdf_round_trip(text);
    return 0;
}
