#pragma once

// The texts of the command definition and of the JSON report members mark
// code with backticks and emphasis with asterisks: --help prints them as they
// are, the manual page turns the marks into font changes. Texts built here
// from the words of lower layers, so that those words are spelled once.

#include <array>
#include <cstddef>
#include <string_view>

#include "trust/image.hpp"

namespace zdz::cli {
namespace markup_detail {

constexpr std::string_view separator(std::size_t i, std::size_t count) {
    if (i == 0) {
        return "";
    }
    return i + 1 == count ? " or " : ", ";
}

constexpr std::size_t image_kinds_in_code_size() {
    std::size_t size = 0;
    for (std::size_t i = 0; i < trust::kImageKindTexts.size(); ++i) {
        size += separator(i, trust::kImageKindTexts.size()).size() +
                trust::kImageKindTexts[i].first.size() + 2;
    }
    return size;
}

constexpr auto image_kinds_in_code() {
    std::array<char, image_kinds_in_code_size()> text{};
    std::size_t at = 0;
    const auto put = [&](std::string_view part) {
        for (const char c : part) {
            text[at++] = c;
        }
    };
    for (std::size_t i = 0; i < trust::kImageKindTexts.size(); ++i) {
        put(separator(i, trust::kImageKindTexts.size()));
        put("`");
        put(trust::kImageKindTexts[i].first);
        put("`");
    }
    return text;
}

inline constexpr auto kImageKindsInCode = image_kinds_in_code();

}  // namespace markup_detail

// The image kinds of trust/image.hpp as code, in their order:
// "`install` or `ota_update`".
inline constexpr std::string_view kImageKindsInCode{markup_detail::kImageKindsInCode.data(),
                                                    markup_detail::kImageKindsInCode.size()};

}  // namespace zdz::cli
