#include <string>

#include "cli/commands/handlers.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/text.hpp"
#include "io/file.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {

CommandResult run_import_signers(const ImportSigners& cmd, std::ostream& out) {
    const auto text = io::read_file_text(cmd.file);
    if (!text) {
        return tl::unexpected(fail("cannot read " + cmd.file + ": " + text.error().display()));
    }
    const auto signers = trust::parse_allowed_signers(*text);
    if (!signers) {
        return tl::unexpected(fail(signers.error().display()));
    }
    std::string report;
    for (const auto& signer : *signers) {
        report += encoding::terminal_safe(signer.principal) +
                  "  fingerprint=" + crypto::key_fingerprint(signer.key).to_string() + "\n";
    }
    out << report;
    return {};
}

}  // namespace zdz::cli
