#include <array>
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "document_error.hpp"
#include "envelope/envelope.hpp"
#include "store/registry_file.hpp"

namespace {

const zdz::crypto::SigningKey& fuzz_key() {
    static const std::array<std::uint8_t, zdz::crypto::kSeedBytes> seed{5};
    static const auto key = zdz::crypto::SigningKey::from_seed(seed);
    return key;
}

const zdz::envelope::EnvelopeContext& registry_context() {
    static const zdz::envelope::EnvelopeContext context{std::string(zdz::store::kRegistryContext)};
    return context;
}

}  // namespace

// The registry store file: an envelope that reads is written as a file that
// reads back to the same payload and the same bytes; any payload that reads
// can be signed and then verifies; and a history that replays, saved as a
// snapshot and replayed again, gives the same registry.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    const auto envelope =
        zdz::envelope::read_signed_envelope_json<zdz::store::RegistrySnapshotBody>(text);
    if (!envelope) {
        ZDZ_FUZZ_CHECK(zdz::fuzz::placed_in(envelope.error(), text));
        return 0;
    }
    const auto written = zdz::envelope::write_envelope_json(*envelope);
    const auto again =
        zdz::envelope::read_signed_envelope_json<zdz::store::RegistrySnapshotBody>(written);
    ZDZ_FUZZ_CHECK(again.has_value());
    ZDZ_FUZZ_CHECK(again->payload == envelope->payload);
    ZDZ_FUZZ_CHECK(zdz::envelope::write_envelope_json(*again) == written);
    ZDZ_FUZZ_CHECK(again->signing_bytes() == envelope->signing_bytes());

    const auto& key = fuzz_key();
    (void)envelope->verify(key.verifying_key(), envelope->created_at, registry_context());
    const auto resigned =
        zdz::envelope::sign_envelope(key, envelope->key_id, envelope->created_at, std::nullopt,
                                     registry_context(), envelope->payload);
    ZDZ_FUZZ_CHECK(resigned.has_value());
    const auto reread = zdz::envelope::read_signed_envelope_json<zdz::store::RegistrySnapshotBody>(
        zdz::envelope::write_envelope_json(*resigned));
    ZDZ_FUZZ_CHECK(reread.has_value());
    const auto verified =
        reread->verify(key.verifying_key(), envelope->created_at, registry_context());
    ZDZ_FUZZ_CHECK(verified && *verified == envelope->payload);

    const auto rebuilt = zdz::store::rebuild_registry(envelope->payload);
    if (!rebuilt) {
        (void)rebuilt.error().display();
        return 0;
    }
    const auto snapshot = zdz::store::snapshot_registry(*rebuilt, envelope->payload.exported_at);
    const auto replayed = zdz::store::rebuild_registry(snapshot);
    ZDZ_FUZZ_CHECK(replayed && *replayed == *rebuilt);
    ZDZ_FUZZ_CHECK(zdz::store::snapshot_registry(*replayed, snapshot.exported_at) == snapshot);
    return 0;
}
