#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/grammar/definition.hpp"

namespace zdz::cli {

// The reference documents a package installs: the manual page zeduzaredoz(1)
// and the bash and zsh completion scripts. They are rendered from the same
// command definition tables as --help, at build time, so none can drift from
// the parser.

// What shells offer as an option's value follows from its value kind
// (grammar/definition.hpp): file names for a Path, the names of exported
// environment variables for an EnvironmentName, the image kind words, the
// option's own choices, nothing for Text.

// The value kind of the options named `option_id`, or nullopt when no command
// takes such an option or commands take it with different kinds.
std::optional<ValueKind> value_completion(std::string_view option_id);

// "COMMAND --option" of each option whose name other commands take with
// another kind of value. Shells complete by option name, so such an option
// has no one completion: the generator refuses to run then.
std::vector<std::string> unclassified_options();

// roff source of the manual page, section 1.
std::string man_page();

// One command line of the manual page's EXAMPLES section.
struct ManPageExample {
    // Word by word, program name first, so that a test can parse it against
    // the definition and run it.
    std::vector<std::string> words;
    // Where its standard output goes: nowhere but the terminal when empty,
    // else this file, appended to (`>>`) or replaced (`>`).
    std::string output_file = {};
    bool append = false;
};

// The EXAMPLES section: one sequence that runs as written, in an empty folder
// holding the image file vask-install-2026072900.img, with the passphrases in
// the environment variables of man_page_example_environment().
std::vector<ManPageExample> man_page_examples();

// The environment variables the examples read their passphrases from.
std::vector<std::string> man_page_example_environment();

// Installed as share/bash-completion/completions/zeduzaredoz.
std::string bash_completion();

// Installed as _zeduzaredoz in a directory on zsh's fpath.
std::string zsh_completion();

}  // namespace zdz::cli
