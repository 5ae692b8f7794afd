#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "contracts/content_hash.hpp"
#include "encoding/hex.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto hash = zdz::contracts::ContentHash::parse(text)) {
        const auto printed = hash->to_string();
        const auto again = zdz::contracts::ContentHash::parse(printed);
        if (!again || !(*again == *hash) || printed.size() != 71) {
            std::abort();
        }
    } else {
        (void)hash.error().display();
    }
    if (const auto bytes = zdz::encoding::hex_decode(text)) {
        if (zdz::encoding::hex_decode(zdz::encoding::hex_encode(*bytes)) != bytes) {
            std::abort();
        }
    }
    return 0;
}
