#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zdz::cli {

// The reference documents a package installs: the manual page zeduzaredoz(1)
// and the bash and zsh completion scripts. They are rendered from the same
// command definition tables as --help, at build time, so none can drift from
// the parser.

// What a shell offers as an option's value.
enum class ValueCompletion {
    Path,             // file names
    EnvironmentName,  // names of exported environment variables
    ImageKind,        // the image kind words
    Choices,          // the option's own choices
    Text,             // nothing to offer: free text typed by the operator
};

// The completion of an option id, or nullopt for an id that no table entry
// classifies yet (the generator refuses to run then).
std::optional<ValueCompletion> value_completion(std::string_view option_id);

// Option ids of the definition that value_completion does not classify.
std::vector<std::string> unclassified_options();

// roff source of the manual page, section 1.
std::string man_page();

// The command lines of the manual page's EXAMPLES section, word by word and
// program name first, so that a test can parse each against the definition.
std::vector<std::vector<std::string>> man_page_examples();

// Installed as share/bash-completion/completions/zeduzaredoz.
std::string bash_completion();

// Installed as _zeduzaredoz in a directory on zsh's fpath.
std::string zsh_completion();

}  // namespace zdz::cli
