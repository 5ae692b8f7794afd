#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/hash.hpp"

namespace zdz::trust {

// A full install image or an over-the-air update, in that order.
enum class ImageKind { Install, OtaUpdate };

std::string_view image_kind_text(ImageKind kind);
// Exactly "install" or "ota_update"; nothing else is accepted.
std::optional<ImageKind> parse_image_kind(std::string_view text);

// The measurement of an image: a content hash (images are measured with SHA-256).
struct ImageMeasurement {
    contracts::ContentHash hash;

    std::string to_string() const { return hash.to_string(); }
    std::string debug() const { return "ImageMeasurement(" + hash.to_string() + ")"; }

    friend bool operator==(const ImageMeasurement&, const ImageMeasurement&) = default;
};

// The rollback version an image asserts; shown as "sv" + decimal.
using SecurityVersion = std::uint32_t;

inline std::string security_version_text(SecurityVersion v) { return "sv" + std::to_string(v); }

}  // namespace zdz::trust
