#include <cstddef>
#include <cstdint>
#include <span>

#include "check.hpp"
#include "encoding/base64.hpp"

// The decoder takes only the canonical padded form, so whatever it accepts is
// exactly what the encoder writes for the decoded bytes; and whatever the
// encoder writes, the decoder takes back.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    if (const auto decoded = zdz::encoding::base64_decode(text)) {
        ZDZ_FUZZ_CHECK(zdz::encoding::base64_encode(*decoded) == text);
    } else {
        ZDZ_FUZZ_CHECK(!decoded.error().display().empty());
    }
    const auto encoded = zdz::encoding::base64_encode(std::span(data, size));
    ZDZ_FUZZ_CHECK(encoded.size() % 4 == 0);
    const auto back = zdz::encoding::base64_decode(encoded);
    ZDZ_FUZZ_CHECK(back && back->size() == size && std::equal(back->begin(), back->end(), data));
    return 0;
}
