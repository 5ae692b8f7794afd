#include <array>
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "crypto/ed25519.hpp"
#include "document_error.hpp"
#include "trust/manifest.hpp"

namespace {

const zdz::crypto::SigningKey& fuzz_key() {
    static const std::array<std::uint8_t, zdz::crypto::kSeedBytes> seed{7};
    static const auto key = zdz::crypto::SigningKey::from_seed(seed);
    return key;
}

}  // namespace

// A manifest that reads is written back as a file that reads to the same body
// and signature, and writing is then a fixed point. Its signing bytes always
// exist (a manifest that reads can always be checked) and stay the same across
// the round trip, since they come from the typed body, not the file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    const auto manifest = zdz::trust::read_manifest_json(text);
    if (!manifest) {
        ZDZ_FUZZ_CHECK(zdz::fuzz::placed_in(manifest.error(), text));
        return 0;
    }
    const auto written = zdz::trust::write_manifest_json(*manifest);
    const auto again = zdz::trust::read_manifest_json(written);
    ZDZ_FUZZ_CHECK(again.has_value());
    ZDZ_FUZZ_CHECK(again->body == manifest->body);
    ZDZ_FUZZ_CHECK(again->signature == manifest->signature);
    ZDZ_FUZZ_CHECK(zdz::trust::write_manifest_json(*again) == written);

    const auto bytes = zdz::trust::manifest_signing_bytes(manifest->body);
    ZDZ_FUZZ_CHECK(bytes.has_value());
    ZDZ_FUZZ_CHECK(zdz::trust::manifest_signing_bytes(again->body) == bytes);

    // Signed again, the body verifies after its own file round trip.
    (void)zdz::trust::verify_manifest(*manifest, fuzz_key().verifying_key(),
                                      manifest->body.issued_at);
    const auto signed_again = zdz::trust::sign_manifest(manifest->body, fuzz_key());
    ZDZ_FUZZ_CHECK(signed_again.has_value());
    const auto reread =
        zdz::trust::read_manifest_json(zdz::trust::write_manifest_json(*signed_again));
    ZDZ_FUZZ_CHECK(reread.has_value());
    const auto& body = manifest->body;
    const auto verified =
        zdz::trust::verify_manifest(*reread, fuzz_key().verifying_key(), body.issued_at);
    const bool expired = body.expires_at && *body.expires_at < body.issued_at;
    ZDZ_FUZZ_CHECK(verified.has_value() != expired);
    return 0;
}
