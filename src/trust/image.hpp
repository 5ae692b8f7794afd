#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <utility>

#include "contracts/content_hash.hpp"
#include "contracts/errors.hpp"
#include "contracts/ids.hpp"
#include "json/fields.hpp"

namespace zdz::trust {

// A platform or device codename. It is a slug under another name, so a refused
// text reads "invalid Slug identifier: " + the reason.
class ImagePlatform {
public:
    [[nodiscard]] static tl::expected<ImagePlatform, contracts::ContractError> parse(
        std::string_view text);

    const std::string& text() const { return slug_.text(); }
    std::string to_string() const { return slug_.text(); }
    // "ImagePlatform(" + text + ")".
    std::string debug() const { return "ImagePlatform(" + slug_.text() + ")"; }

    friend bool operator==(const ImagePlatform&, const ImagePlatform&) = default;
    // Byte order of the text: the order the known-good store iterates in.
    friend auto operator<=>(const ImagePlatform&, const ImagePlatform&) = default;

private:
    explicit ImagePlatform(contracts::Slug slug) : slug_(std::move(slug)) {}

    contracts::Slug slug_;
};

// A full install image or an over-the-air update, in that order.
enum class ImageKind { Install, OtaUpdate };

// The one place the kinds' texts are spelled, in declaration order.
inline constexpr std::array<std::pair<std::string_view, ImageKind>, 2> kImageKindTexts{{
    {"install", ImageKind::Install},
    {"ota_update", ImageKind::OtaUpdate},
}};

constexpr std::string_view image_kind_text(ImageKind kind) {
    for (const auto& [text, each] : kImageKindTexts) {
        if (each == kind) {
            return text;
        }
    }
    return {};
}
// Exactly one of the texts of kImageKindTexts; nothing else is accepted.
std::optional<ImageKind> parse_image_kind(std::string_view text);
// The texts as a refusal lists them: "\"install\" or \"ota_update\"".
std::string image_kind_choices();

// The measurement of an image: a content hash (images are measured with SHA-256).
struct ImageMeasurement {
    contracts::ContentHash hash;

    // A content hash's text; refused as ContentHash::parse refuses it.
    [[nodiscard]] static tl::expected<ImageMeasurement, contracts::ContractError> parse(
        std::string_view text) {
        return contracts::ContentHash::parse(text).map(
            [](const contracts::ContentHash& digest) { return ImageMeasurement{digest}; });
    }

    std::string to_string() const { return hash.to_string(); }
    std::string debug() const { return "ImageMeasurement(" + hash.to_string() + ")"; }

    friend bool operator==(const ImageMeasurement&, const ImageMeasurement&) = default;
};

// The rollback version an image asserts; shown as "sv" + decimal.
using SecurityVersion = std::uint32_t;

inline std::string security_version_text(SecurityVersion v) {
    return "sv" + std::to_string(v);
}

// The codecs of record members that hold these types (json/record.hpp).
inline constexpr auto platform_codec =
    json::validated(&ImagePlatform::parse, &json::to_text<ImagePlatform>);
inline constexpr auto measurement_codec =
    json::validated(&ImageMeasurement::parse, &json::to_text<ImageMeasurement>);
inline constexpr auto image_kind_codec = json::variant(kImageKindTexts);

}  // namespace zdz::trust
