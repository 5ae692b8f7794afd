#include <cstdint>
#include <optional>
#include <string>

#include "cli/access/clock.hpp"
#include "cli/access/image_check.hpp"
#include "cli/access/manifest_check.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/progress_display.hpp"
#include "contracts/time.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "json/value.hpp"
#include "trust/manifest.hpp"

namespace zdz::cli {
namespace {

json::JsonValue verified_json(const CheckedManifest& checked, std::uint32_t min_signers,
                              const std::optional<std::string>& image_file,
                              std::uint64_t bytes_measured) {
    using json::JsonValue;
    const auto& body = checked.manifest.body;
    auto document = json_success();
    document.add("trust_file", JsonValue::string(checked.signers_path));
    document.add("signed_by", JsonValue::string(checked.signer_principal));
    if (reports_signers(checked, min_signers)) {
        document.add("signers", signers_json(checked));
        document.add("min_signers", JsonValue::uint64(min_signers));
    }
    add_image_json(document, body);
    document.add("issued_at", JsonValue::string(body.issued_at.to_string()));
    document.add("expires_at",
                 body.expires_at ? JsonValue::string(body.expires_at->to_string()) : JsonValue());
    document.add("signing_key_id", JsonValue::string(body.signing_key_id.to_string()));
    document.add("verified_at", JsonValue::string(checked.manifest.verified_at.to_string()));
    if (image_file) {
        auto image = JsonValue::object();
        image.add("path", JsonValue::string(*image_file));
        image.add("bytes_measured", JsonValue::uint64(bytes_measured));
        image.add("matches", JsonValue::boolean(true));
        document.add("image_file", std::move(image));
    } else {
        document.add("image_file", JsonValue());
    }
    return document;
}

}  // namespace

CommandResult run_verify(const Verify& cmd, std::ostream& out) {
    // The paths a JSON report repeats are checked before any work.
    if (cmd.report.format == OutputFormat::Json) {
        ZDZ_RETURN_IF_ERROR(
            check_json_path("trust file", cmd.signers_file.value_or(kDefaultSignersFile)));
        if (cmd.image_file) {
            ZDZ_RETURN_IF_ERROR(check_json_path("image file", *cmd.image_file));
        }
    }
    ZDZ_TRY(const auto now, read_clock());
    const auto min_signers = cmd.min_signers.value_or(1);
    ZDZ_TRY(const auto checked,
            check_manifest_file(cmd.manifest, cmd.signers_file, now, min_signers));
    const auto& body = checked.manifest.body;
    // Only a manifest that verified says what the image must measure.
    std::uint64_t bytes_measured = 0;
    if (cmd.image_file) {
        ZDZ_TRY(const auto matched,
                check_image_file(*cmd.image_file, body.measurement, progress_wanted(cmd.report)));
        bytes_measured = matched;
    }
    if (cmd.report.format == OutputFormat::Json) {
        out << json_report_text(
            verified_json(checked, min_signers, cmd.image_file, bytes_measured));
        return {};
    }
    out << "[ok] manifest verified\n"
        << "  trust file:        " << checked.signers_path << "\n"
        << "  signed by:         " << encoding::terminal_safe(checked.signer_principal) << "\n"
        << (reports_signers(checked, min_signers) ? approval_lines(checked, min_signers, 19)
                                                  : std::string())
        << "  platform:          " << body.platform.text() << "\n"
        << "  measurement:       " << body.measurement.to_string() << "\n"
        << "  security_version:  " << trust::security_version_text(body.security_version) << "\n";
    if (cmd.image_file) {
        out << "  image file:        " << *cmd.image_file << " (" << bytes_measured
            << " bytes measured, matches)\n";
    }
    return {};
}

}  // namespace zdz::cli
