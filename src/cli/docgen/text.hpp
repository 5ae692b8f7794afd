#pragma once

// What the manual page and the completion scripts share. For the docgen
// units only.

#include <array>
#include <string>
#include <string_view>

#include "cli/docgen/docgen.hpp"
#include "cli/grammar/definition.hpp"

namespace zdz::cli::docgen_detail {

inline constexpr std::string_view kGeneratedNotice =
    "Generated from the command definition by zdz_docgen; edit src/cli/definition.cpp instead.";

// The image kind words, space-separated, in declaration order.
std::string image_kind_words();

// An option's fixed choices, space-separated.
std::string choice_words(const OptionDef& option);

}  // namespace zdz::cli::docgen_detail
