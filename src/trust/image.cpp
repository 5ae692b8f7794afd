#include "trust/image.hpp"

namespace zdz::trust {

tl::expected<ImagePlatform, contracts::ContractError> ImagePlatform::parse(std::string_view text) {
    return contracts::Slug::parse(text).map(
        [](contracts::Slug slug) { return ImagePlatform(std::move(slug)); });
}

std::optional<ImageKind> parse_image_kind(std::string_view text) {
    for (const auto& [each_text, kind] : kImageKindTexts) {
        if (each_text == text) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string image_kind_choices() {
    std::string choices;
    for (const auto& [text, kind] : kImageKindTexts) {
        if (!choices.empty()) {
            choices += " or ";
        }
        choices += '"';
        choices += text;
        choices += '"';
    }
    return choices;
}

}  // namespace zdz::trust
