#include <string>
#include <utility>

#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/file.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {

CommandResult run_import_signers(const ImportSigners& cmd, std::ostream& out) {
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"trust file", cmd.file}}));
    const auto text = io::read_file_text(cmd.file);
    if (!text) {
        return tl::unexpected(fail("cannot read " + cmd.file + ": " + text.error().display()));
    }
    const auto signers = trust::parse_allowed_signers(*text);
    if (!signers) {
        return tl::unexpected(fail(signers.error().display()));
    }
    if (cmd.format == OutputFormat::Json) {
        using json::JsonValue;
        auto list = JsonValue::array();
        for (const auto& signer : *signers) {
            auto entry = JsonValue::object();
            entry.add("principal", JsonValue::string(signer.principal));
            entry.add("fingerprint",
                      JsonValue::string(crypto::key_fingerprint(signer.key).to_string()));
            if (signer.valid_after) {
                entry.add("valid_after", JsonValue::string(signer.valid_after->to_string()));
            }
            if (signer.valid_before) {
                entry.add("valid_before", JsonValue::string(signer.valid_before->to_string()));
            }
            list.push(std::move(entry));
        }
        auto document = json_success();
        document.add("file", JsonValue::string(cmd.file));
        document.add("signers", std::move(list));
        out << json_report_text(document);
        return {};
    }
    std::string report;
    for (const auto& signer : *signers) {
        report += encoding::terminal_safe(signer.principal) +
                  "  fingerprint=" + crypto::key_fingerprint(signer.key).to_string();
        if (signer.valid_after) {
            report += "  valid-after=" + signer.valid_after->to_string();
        }
        if (signer.valid_before) {
            report += "  valid-before=" + signer.valid_before->to_string();
        }
        report += "\n";
    }
    out << report;
    return {};
}

}  // namespace zdz::cli
