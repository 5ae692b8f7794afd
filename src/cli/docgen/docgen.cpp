#include "cli/docgen/docgen.hpp"

#include <array>
#include <utility>

#include "cli/docgen/text.hpp"
#include "cli/grammar/definition.hpp"
#include "trust/image.hpp"

namespace zdz::cli {
namespace {

// Every option id must be listed here: an option added to the definition
// without deciding how shells complete its value stops the build.
constexpr std::pair<std::string_view, ValueCompletion> kValueCompletions[] = {
    {"out", ValueCompletion::Path},
    {"file", ValueCompletion::Path},
    {"keystore", ValueCompletion::Path},
    {"new_keystore", ValueCompletion::Path},
    {"public_key", ValueCompletion::Path},
    {"image_file", ValueCompletion::Path},
    {"manifest", ValueCompletion::Path},
    {"signers_file", ValueCompletion::Path},
    {"store", ValueCompletion::Path},
    {"sha256_file", ValueCompletion::Path},
    {"passphrase_env", ValueCompletion::EnvironmentName},
    {"new_passphrase_env", ValueCompletion::EnvironmentName},
    {"kind", ValueCompletion::ImageKind},
    {"principal", ValueCompletion::Text},
    {"platform", ValueCompletion::Text},
    {"security_version", ValueCompletion::Text},
    {"measurement", ValueCompletion::Text},
    {"expires_at", ValueCompletion::Text},
    {"format", ValueCompletion::Choices},
};

constexpr std::array kImageKinds = {trust::ImageKind::Install, trust::ImageKind::OtaUpdate};

}  // namespace

namespace docgen_detail {

std::string image_kind_words() {
    std::string words;
    for (const auto kind : kImageKinds) {
        if (!words.empty()) {
            words += ' ';
        }
        words += trust::image_kind_text(kind);
    }
    return words;
}

std::string choice_words(const OptionDef& option) {
    std::string words;
    for (const auto choice : option.choices) {
        words += words.empty() ? "" : " ";
        words += choice;
    }
    return words;
}

ValueCompletion completion_of(const OptionDef& option) {
    return value_completion(option.id).value_or(ValueCompletion::Text);
}

// The text up to the first sentence end, for the one-line lists of shells. A

}  // namespace docgen_detail

std::optional<ValueCompletion> value_completion(std::string_view option_id) {
    for (const auto& [id, completion] : kValueCompletions) {
        if (id == option_id) {
            return completion;
        }
    }
    return std::nullopt;
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
