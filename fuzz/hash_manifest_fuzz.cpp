#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "contracts/content_hash.hpp"
#include "encoding/text.hpp"
#include "trust/hash_manifest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!zdz::encoding::is_valid_utf8(text)) {
        return 0;  // the command refuses such files before parsing
    }
    for (const auto& entry : zdz::trust::parse_hash_manifest(text)) {
        // Every entry prints and parses back to the same measurement.
        const auto again = zdz::contracts::ContentHash::parse(entry.measurement.to_string());
        if (!again || !(*again == entry.measurement.hash) || entry.file_name.empty()) {
            std::abort();
        }
    }
    return 0;
}
