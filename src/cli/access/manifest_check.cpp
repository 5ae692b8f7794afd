#include "cli/access/manifest_check.hpp"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/error_kind.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/file.hpp"
#include "trust/approvals.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {
namespace {

[[nodiscard]] tl::expected<std::vector<trust::TrustedSigner>, CommandError> load_signers(
    const std::string& path) {
    const auto text = io::read_file_text(path);
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

[[nodiscard]] tl::expected<std::pair<trust::UnverifiedImageManifest, std::string>, CommandError>
load_manifest(const std::string& path) {
    auto text = io::read_file_text(path);
    if (!text) {
        return tl::unexpected(fail("cannot read manifest " + path + ": " + text.error().display()));
    }
    auto manifest = trust::read_manifest_json(*text);
    if (!manifest) {
        return tl::unexpected(
            fail("manifest " + path + " is malformed: " + manifest.error().display()));
    }
    return std::pair{std::move(*manifest), std::move(*text)};
}

std::string padded(std::string_view label, std::size_t width) {
    std::string line = "  ";
    line += label;
    line.resize(std::max(line.size(), width + 2), ' ');
    return line;
}

}  // namespace

tl::expected<CheckedManifest, CommandError> check_manifest_file(
    const std::string& manifest_path, const std::optional<std::string>& signers_file,
    const contracts::Timestamp& now, std::uint32_t min_signers) {
    ZDZ_TRY(auto manifest, load_manifest(manifest_path));
    auto& [as_read, text] = manifest;
    auto signers_path = signers_file.value_or(kDefaultSignersFile);
    ZDZ_TRY(auto signers, load_signers(signers_path));
    const auto refused = [&](const trust::TrustError& error) {
        return fail("manifest refused against trust file " + signers_path + ": " + error.display(),
                    kind_of(error));
    };
    auto verified = trust::verify_manifest_against_signers(as_read, signers, now);
    if (!verified) {
        return tl::unexpected(refused(verified.error()));
    }
    std::vector<trust::TrustedSigner> signed_by;
    for (const auto* signer : trust::trusted_signers_of(as_read, signers, *verified->signer)) {
        signed_by.push_back(*signer);
    }
    if (auto enough = trust::require_signers(signed_by.size(), min_signers); !enough) {
        return tl::unexpected(refused(enough.error()));
    }
    return CheckedManifest{
        std::move(signers_path), verified->signer->principal, std::move(verified->manifest),
        std::move(signed_by),    std::move(as_read),          std::move(text),
        std::move(signers)};
}

bool reports_signers(const CheckedManifest& checked, std::uint32_t min_signers) {
    return checked.signers.size() > 1 || min_signers > 1;
}

std::string approval_lines(const CheckedManifest& checked, std::uint32_t min_signers,
                           std::size_t width) {
    std::string lines;
    for (std::size_t i = 1; i < checked.signers.size(); ++i) {
        lines += padded("approved by:", width) +
                 encoding::terminal_safe(checked.signers[i].principal) + "\n";
    }
    return lines + padded("signatures:", width) + std::to_string(checked.signers.size()) +
           " trusted (" + std::to_string(min_signers) + " required)\n";
}

json::JsonValue signers_json(const CheckedManifest& checked) {
    using json::JsonValue;
    auto list = JsonValue::array();
    for (const auto& signer : checked.signers) {
        auto entry = JsonValue::object();
        entry.add("principal", JsonValue::string(signer.principal));
        entry.add("fingerprint",
                  JsonValue::string(crypto::key_fingerprint(signer.key).to_string()));
        list.push(std::move(entry));
    }
    return list;
}

}  // namespace zdz::cli
