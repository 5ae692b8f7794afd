#include "cli/docgen/docgen.hpp"

#include <utility>

#include "cli/docgen/text.hpp"
#include "cli/grammar/definition.hpp"
#include "trust/image.hpp"

namespace zdz::cli {
namespace docgen_detail {

std::string image_kind_words() {
    std::string words;
    for (const auto& entry : trust::kImageKindTexts) {
        if (!words.empty()) {
            words += ' ';
        }
        words += entry.first;
    }
    return words;
}

std::string choice_words(const OptionDef& option) {
    return joined_choices(option, " ");
}

}  // namespace docgen_detail

std::optional<ValueKind> value_completion(std::string_view option_id) {
    std::optional<ValueKind> kind;
    for (const auto& sub : subcommand_defs()) {
        for (const auto& option : sub.options) {
            if (option.id != option_id) {
                continue;
            }
            if (kind && *kind != option.value) {
                return std::nullopt;
            }
            kind = option.value;
        }
    }
    return kind;
}

std::vector<std::string> unclassified_options() {
    std::vector<std::string> ids;
    for (const auto& sub : subcommand_defs()) {
        for (const auto& option : sub.options) {
            if (!value_completion(option.id)) {
                ids.emplace_back(std::string(sub.name) + " " + std::string(option.long_name()));
            }
        }
    }
    return ids;
}

}  // namespace zdz::cli
