#include "trust/image.hpp"

namespace zdz::trust {

tl::expected<ImagePlatform, contracts::ContractError> ImagePlatform::parse(std::string_view text) {
    return contracts::Slug::parse(text).map(
        [](contracts::Slug slug) { return ImagePlatform(std::move(slug)); });
}

std::string_view image_kind_text(ImageKind kind) {
    return kind == ImageKind::Install ? "install" : "ota_update";
}

std::optional<ImageKind> parse_image_kind(std::string_view text) {
    if (text == "install") {
        return ImageKind::Install;
    }
    if (text == "ota_update") {
        return ImageKind::OtaUpdate;
    }
    return std::nullopt;
}

}  // namespace zdz::trust
