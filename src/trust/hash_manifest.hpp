#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trust/image.hpp"

namespace zdz::trust {

// One recognised line of a `<sha256>  <filename>` hash manifest.
struct HashManifestEntry {
    std::string file_name;
    std::optional<std::string> platform;
    ImageMeasurement measurement;
    std::optional<ImageKind> kind;

    friend bool operator==(const HashManifestEntry&, const HashManifestEntry&) = default;
};

// Lenient: lines it cannot use are skipped; the caller decides what an empty
// result means. Expects valid UTF-8.
std::vector<HashManifestEntry> parse_hash_manifest(std::string_view text);

}  // namespace zdz::trust
