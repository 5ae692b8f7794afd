// Build-time generator of the manual page and the shell completions; CMake
// runs it, it is never installed.
#include <fstream>
#include <iostream>
#include <string>

#include "cli/command.hpp"
#include "cli/docgen/docgen.hpp"

namespace {

bool write_text(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        std::cerr << "zdz_docgen: cannot write " << path << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: zdz_docgen OUTPUT_DIR\n";
        return 2;
    }
    const auto unclassified = zdz::cli::unclassified_options();
    if (!unclassified.empty()) {
        for (const auto& option : unclassified) {
            std::cerr << "zdz_docgen: no shell completion decided for " << option
                      << " (other commands take its value as another kind)\n";
        }
        return 1;
    }
    const std::string dir = argv[1];
    const std::string program = zdz::cli::kProgramName;
    const bool ok = write_text(dir + "/" + program + ".1", zdz::cli::man_page()) &&
                    write_text(dir + "/" + program + ".bash", zdz::cli::bash_completion()) &&
                    write_text(dir + "/_" + program, zdz::cli::zsh_completion());
    return ok ? 0 : 1;
}
