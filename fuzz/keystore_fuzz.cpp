#include <array>
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "document_error.hpp"
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
    const auto record = zdz::store::read_keystore_json(text);
    if (!record) {
        ZDZ_FUZZ_CHECK(zdz::fuzz::placed_in(record.error(), text));
        return;
    }
    const auto written = zdz::store::write_keystore_json(*record);
    const auto again = zdz::store::read_keystore_json(written);
    ZDZ_FUZZ_CHECK(again.has_value());
    ZDZ_FUZZ_CHECK(zdz::store::write_keystore_json(*again) == written);
    ZDZ_FUZZ_CHECK(again->kdf == record->kdf);
    ZDZ_FUZZ_CHECK(again->key_id == record->key_id && again->created_at == record->created_at);

    const auto key = zdz::store::keystore_verifying_key(*record);
    const auto key_again = zdz::store::keystore_verifying_key(*again);
    ZDZ_FUZZ_CHECK(key.has_value() == key_again.has_value());
    if (key) {
        ZDZ_FUZZ_CHECK(*key == *key_again);
    } else {
        ZDZ_FUZZ_CHECK(key.error().display() == key_again.error().display());
    }
}

void envelope_round_trip(std::string_view text) {
    const auto envelope = zdz::envelope::read_encrypted_envelope_json(text);
    if (!envelope) {
        return;
    }
    const auto written = zdz::envelope::write_envelope_json(*envelope);
    const auto again = zdz::envelope::read_encrypted_envelope_json(written);
    ZDZ_FUZZ_CHECK(again.has_value());
    ZDZ_FUZZ_CHECK(zdz::envelope::write_envelope_json(*again) == written);
    ZDZ_FUZZ_CHECK(again->header_bytes() == envelope->header_bytes());
    const auto opened = envelope->open(kFuzzKek, envelope->created_at, envelope->associated_data);
    const auto opened_again = again->open(kFuzzKek, again->created_at, again->associated_data);
    ZDZ_FUZZ_CHECK(opened.has_value() == opened_again.has_value());
}

void kdf_round_trip(std::string_view text) {
    const auto params = zdz::json::read_json_record(text, zdz::store::KdfParams::from_json);
    if (!params) {
        return;
    }
    const auto written = zdz::json::to_pretty_json(params->to_json());
    const auto again = zdz::json::read_json_record(written, zdz::store::KdfParams::from_json);
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
