#include "trust/image.hpp"

namespace zdz::trust {

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
