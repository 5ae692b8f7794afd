#include <optional>
#include <string>
#include <utility>

#include "cli/access/clock.hpp"
#include "cli/access/image_check.hpp"
#include "cli/access/keystore_access.hpp"
#include "cli/access/manifest_check.hpp"
#include "cli/access/manifest_output.hpp"
#include "cli/access/passphrase.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/directory_lock.hpp"
#include "io/file.hpp"
#include "trust/approvals.hpp"
#include "trust/manifest.hpp"

namespace zdz::cli {
namespace {

// The approver's key and the first entry of the trust file that trusts it
// for the manifest (null: none does).
struct Approver {
    std::string fingerprint;
    const trust::TrustedSigner* entry = nullptr;
};

Approver approver_of(const CheckedManifest& checked, const crypto::VerifyingKey& key) {
    Approver approver{crypto::key_fingerprint(key).to_string(), nullptr};
    for (const auto& signer : checked.trust_file) {
        if (signer.key == key && signer.valid_at(checked.manifest.body.issued_at)) {
            approver.entry = &signer;
            break;
        }
    }
    return approver;
}

std::string approved_report(const Approve& cmd, const CheckedManifest& checked,
                            const Approver& approver, std::size_t signatures) {
    const auto& body = checked.manifest.body;
    std::string report =
        "[ok] manifest approved: " + cmd.manifest + "\n" +
        "  trust file:        " + checked.signers_path + "\n" +
        "  platform:          " + body.platform.text() + "\n" +
        "  kind:              " + std::string(trust::image_kind_text(body.image_kind)) + "\n" +
        "  measurement:       " + body.measurement.to_string() + "\n" +
        "  security_version:  " + trust::security_version_text(body.security_version) + "\n";
    if (cmd.image_file) {
        report += "  image file:        " + *cmd.image_file + " (matches)\n";
    }
    report += "  signed by:         " + encoding::terminal_safe(checked.signer_principal) + "\n";
    for (std::size_t i = 1; i < checked.signers.size(); ++i) {
        report +=
            "  approved by:       " + encoding::terminal_safe(checked.signers[i].principal) + "\n";
    }
    report += "  approved now by:   " + encoding::terminal_safe(approver.entry->principal) + " (" +
              approver.fingerprint + ")\n" + "  signatures:        " + std::to_string(signatures) +
              " trusted\n";
    return report;
}

json::JsonValue approved_json(const Approve& cmd, const CheckedManifest& checked,
                              const Approver& approver, std::size_t signatures) {
    using json::JsonValue;
    const auto& body = checked.manifest.body;
    auto document = json_success();
    document.add("manifest", JsonValue::string(cmd.manifest));
    document.add("trust_file", JsonValue::string(checked.signers_path));
    add_image_json(document, body);
    document.add("signers", signers_json(checked));
    auto added = JsonValue::object();
    added.add("principal", JsonValue::string(approver.entry->principal));
    added.add("fingerprint", JsonValue::string(approver.fingerprint));
    document.add("approved_by", std::move(added));
    document.add("trusted_signatures", JsonValue::uint64(signatures));
    return document;
}

// The approved manifest written over the one that was verified, under the
// lock of its folder, and only if nobody replaced it in the meantime (a
// second approver working on the same file): an approval is never lost.
[[nodiscard]] tl::expected<void, CommandError> replace_approved(
    const Approve& cmd, const CheckedManifest& checked,
    const trust::UnverifiedImageManifest& approved) {
    const auto lock = io::DirectoryLock::acquire(cmd.manifest);
    if (!lock) {
        return tl::unexpected(fail_io("cannot write " + cmd.manifest + ": " + lock.error().reason));
    }
    const auto now_there = io::read_file_text(cmd.manifest);
    if (!now_there || *now_there != checked.text) {
        return tl::unexpected(fail("manifest " + cmd.manifest +
                                   " changed while it was being approved; nothing written: run "
                                   "approve again on the manifest as it is now"));
    }
    return write_manifest_file(cmd.manifest, approved);
}

}  // namespace

CommandResult run_approve(const Approve& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(
        cmd.format, {{"manifest", cmd.manifest}, {"trust file", cmd.signers_file}}));
    if (cmd.image_file) {
        ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"image file", *cmd.image_file}}));
    }
    ZDZ_TRY(const auto now, read_clock());
    // What is approved is checked as verify checks it, before the keystore
    // is touched.
    ZDZ_TRY(const auto checked, check_manifest_file(cmd.manifest, cmd.signers_file, now));
    if (cmd.image_file) {
        ZDZ_RETURN_IF_ERROR(check_image_file(*cmd.image_file, checked.manifest.body.measurement,
                                             /*show_progress=*/false));
    }
    ZDZ_TRY(auto keystore, load_keystore_file(cmd.keystore));
    ZDZ_TRY(const auto public_key, recorded_public_key(keystore));
    // Before the passphrase is read: a second signature by the same key
    // would pass for a second person.
    if (trust::has_signed(checked.as_read, public_key)) {
        return tl::unexpected(fail("manifest " + cmd.manifest + " is signed by the key of " +
                                   cmd.keystore + " already (" +
                                   crypto::key_fingerprint(public_key).to_string() +
                                   "): an approval must come from another key"));
    }
    // An approval the trust file would not count is refused, not written:
    // the approver holds another key or checked against another file.
    const auto approver = approver_of(checked, public_key);
    if (approver.entry == nullptr) {
        return tl::unexpected(fail("the key of " + cmd.keystore + " (" + approver.fingerprint +
                                   ") is not trusted by " + checked.signers_path +
                                   " for a manifest issued at " +
                                   checked.manifest.body.issued_at.to_string() +
                                   ": its approval would count for nothing"));
    }
    ZDZ_TRY(auto secret, read_passphrase_env(cmd.passphrase_env));
    ZDZ_TRY(const auto key, open_signer(keystore, secret, now));
    const auto approved = trust::approve_manifest(checked.as_read, *key);
    if (!approved) {
        return tl::unexpected(fail_io("signing failed: " + approved.error().display()));
    }
    ZDZ_RETURN_IF_ERROR(replace_approved(cmd, checked, *approved));
    const auto signatures = checked.signers.size() + 1;
    out << (cmd.format == OutputFormat::Json
                ? json_report_text(approved_json(cmd, checked, approver, signatures))
                : approved_report(cmd, checked, approver, signatures));
    return {};
}

}  // namespace zdz::cli
