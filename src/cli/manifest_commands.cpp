#include "cli/manifest_commands.hpp"

#include "contracts/fs.hpp"
#include "contracts/signing.hpp"
#include "contracts/time.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {
namespace {

CommandError fail(std::string message) { return CommandError{std::move(message)}; }

}  // namespace

tl::expected<std::vector<trust::TrustedSigner>, CommandError> load_signers(
    const std::string& path) {
    const auto text = contracts::read_file_text(path);
    if (!text) {
        return tl::unexpected(
            fail("cannot read signers file " + path + ": " + text.error().display()));
    }
    auto signers = trust::parse_allowed_signers(*text);
    if (!signers) {
        return tl::unexpected(fail(signers.error().display()));
    }
    return std::move(*signers);
}

tl::expected<trust::UnverifiedImageManifest, CommandError> load_manifest(const std::string& path) {
    const auto text = contracts::read_file_text(path);
    if (!text) {
        return tl::unexpected(fail("cannot read manifest " + path + ": " + text.error().display()));
    }
    auto manifest = trust::read_manifest_json(*text);
    if (!manifest) {
        return tl::unexpected(fail("manifest " + path + " is malformed: " + manifest.error()));
    }
    return std::move(*manifest);
}

CommandResult run_keygen(const Keygen&, std::ostream&) {
    return tl::unexpected(CommandError{"the keygen command is not available yet"});
}

CommandResult run_import_signers(const ImportSigners& cmd, std::ostream& out) {
    const auto text = contracts::read_file_text(cmd.file);
    if (!text) {
        return tl::unexpected(fail("cannot read " + cmd.file + ": " + text.error().display()));
    }
    const auto signers = trust::parse_allowed_signers(*text);
    if (!signers) {
        return tl::unexpected(fail(signers.error().display()));
    }
    std::string report;
    for (const auto& signer : *signers) {
        report += signer.principal + "  fingerprint=" +
                  contracts::key_fingerprint(signer.key).to_string() + "\n";
    }
    out << report;
    return {};
}

CommandResult run_sign(const Sign&, std::ostream&) {
    return tl::unexpected(CommandError{"the sign command is not available yet"});
}

CommandResult run_verify(const Verify& cmd, std::ostream& out) {
    const auto manifest = load_manifest(cmd.manifest);
    if (!manifest) {
        return tl::unexpected(manifest.error());
    }
    const auto signers_path = cmd.signers_file.value_or(kDefaultSignersFile);
    const auto signers = load_signers(signers_path);
    if (!signers) {
        return tl::unexpected(signers.error());
    }
    const auto now = contracts::Timestamp::now();
    const auto verified = trust::verify_manifest_against_signers(*manifest, *signers, now);
    if (!verified) {
        return tl::unexpected(fail("manifest refused against trust file " + signers_path + ": " +
                                   verified.error().display()));
    }
    const auto& body = verified->manifest.body;
    out << "[ok] manifest verified\n"
        << "  trust file:        " << signers_path << "\n"
        << "  signed by:         " << verified->signer->principal << "\n"
        << "  platform:          " << body.platform.text() << "\n"
        << "  measurement:       " << body.measurement.to_string() << "\n"
        << "  security_version:  " << trust::security_version_text(body.security_version)
        << "\n";
    return {};
}

}  // namespace zdz::cli
