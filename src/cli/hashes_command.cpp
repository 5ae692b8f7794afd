#include "cli/hashes_command.hpp"

#include "contracts/fs.hpp"
#include "trust/hash_manifest.hpp"

namespace zdz::cli {

CommandResult run_import_hashes(const ImportHashes& cmd, std::ostream& out) {
    const auto text = contracts::read_file_text(cmd.file);
    if (!text) {
        return tl::unexpected(
            CommandError{"cannot read " + cmd.file + ": " + text.error().display()});
    }
    const auto entries = trust::parse_hash_manifest(*text);
    if (entries.empty()) {
        return tl::unexpected(CommandError{"no sha256 entries recognised in " + cmd.file});
    }
    std::string report;
    for (const auto& e : entries) {
        report += e.file_name;
        report += "  platform=";
        report += e.platform ? *e.platform : "?";
        report += "  kind=";
        report += e.kind ? trust::image_kind_text(*e.kind) : "?";
        report += "  measurement=";
        report += e.measurement.to_string();
        report += '\n';
    }
    out << report;
    return {};
}

}  // namespace zdz::cli
