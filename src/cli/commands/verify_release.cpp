#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cli/access/clock.hpp"
#include "cli/access/manifest_check.hpp"
#include "cli/access/release_images.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "trust/manifest.hpp"

namespace zdz::cli {
namespace {

struct VerifiedImage {
    const ReleaseImage* image = nullptr;
    CheckedManifest checked;
    std::string manifest_path;
    std::uint64_t bytes_measured = 0;
};

// What the manifest of `image` says against what the hash manifest lists.
std::optional<std::string> disagreement(const ReleaseImage& image,
                                        const trust::ImageManifestBody& body) {
    if (body.measurement != image.listed) {
        return "its manifest names " + body.measurement.to_string() + ", the hash manifest lists " +
               image.listed.to_string();
    }
    if (body.platform != *image.platform) {
        return "its manifest is for platform " + body.platform.text() + ", its name for " +
               image.platform->text();
    }
    if (body.image_kind != *image.kind) {
        return "its manifest is for kind " + std::string(trust::image_kind_text(body.image_kind)) +
               ", its name for " + std::string(trust::image_kind_text(*image.kind));
    }
    return std::nullopt;
}

json::JsonValue verified_json(const VerifyRelease& cmd, const std::vector<VerifiedImage>& images,
                              std::uint64_t total_bytes) {
    using json::JsonValue;
    auto document = json_success();
    document.add("hashes", JsonValue::string(cmd.hashes));
    document.add("manifests_dir", JsonValue::string(cmd.manifests_dir));
    document.add("trust_file", JsonValue::string(images.front().checked.signers_path));
    auto entries = JsonValue::array();
    for (const auto& entry : images) {
        const auto& body = entry.checked.manifest.body;
        auto image = JsonValue::object();
        image.add("image_file", JsonValue::string(entry.image->path));
        image.add("manifest", JsonValue::string(entry.manifest_path));
        image.add("platform", JsonValue::string(body.platform.text()));
        image.add("kind", JsonValue::string(std::string(trust::image_kind_text(body.image_kind))));
        image.add("measurement", JsonValue::string(body.measurement.to_string()));
        image.add("security_version", JsonValue::uint64(body.security_version));
        image.add("signed_by", JsonValue::string(entry.checked.signer_principal));
        image.add("bytes_measured", JsonValue::uint64(entry.bytes_measured));
        entries.push(std::move(image));
    }
    document.add("images", std::move(entries));
    document.add("bytes_measured", JsonValue::uint64(total_bytes));
    return document;
}

std::string verified_report(const std::vector<VerifiedImage>& images, std::uint64_t total_bytes,
                            double seconds) {
    std::string report = "[ok] release verified: " + std::to_string(images.size()) +
                         " images against " + images.front().checked.signers_path + "\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto& entry : images) {
        const auto& body = entry.checked.manifest.body;
        rows.push_back({entry.image->file_name, body.platform.text(),
                        std::string(trust::image_kind_text(body.image_kind)),
                        "sv" + std::to_string(body.security_version), body.measurement.to_string(),
                        "signed by " + entry.checked.signer_principal});
    }
    report += release_rows(rows);
    report += "  images:           " + std::to_string(images.size()) + " (" +
              std::to_string(total_bytes) + " bytes measured in " + seconds_text(seconds) +
              " s, each matches its manifest)\n";
    return report;
}

}  // namespace

CommandResult run_verify_release(const VerifyRelease& cmd, std::ostream& out) {
    ZDZ_RETURN_IF_ERROR(
        check_json_paths(cmd.report.format,
                         {{"hash manifest", cmd.hashes}, {"manifest folder", cmd.manifests_dir}}));
    ZDZ_TRY(const auto now, read_clock());
    ZDZ_TRY(auto images, read_release_list(cmd.hashes, std::nullopt));
    const auto started = std::chrono::steady_clock::now();
    // The images are read on every core while their manifests are checked
    // here.
    ReleaseMeasurement measurement(images, progress_wanted(cmd.report));
    std::map<std::string, std::string> failed;
    for (auto& problem : check_release_entries(images)) {
        failed.emplace(problem.file_name, std::move(problem.problem));
    }
    std::vector<VerifiedImage> verified;
    for (const auto& image : images) {
        if (failed.contains(image.file_name)) {
            continue;
        }
        const auto path = cmd.manifests_dir + "/" + image.manifest_name;
        auto checked =
            check_manifest_file(path, cmd.signers_file, now, cmd.min_signers.value_or(1));
        if (!checked) {
            failed.emplace(image.file_name, checked.error().message);
            continue;
        }
        if (auto differs = disagreement(image, checked->manifest.body)) {
            failed.emplace(image.file_name, std::move(*differs));
            continue;
        }
        verified.push_back({&image, std::move(*checked), path, 0});
    }
    for (auto& problem : measurement.mismatches(images)) {
        failed.emplace(problem.file_name, std::move(problem.problem));
    }
    if (!failed.empty()) {
        // In the order the hash manifest lists them.
        std::vector<ImageProblem> problems;
        for (const auto& image : images) {
            if (const auto it = failed.find(image.file_name); it != failed.end()) {
                problems.push_back({image.file_name, it->second});
            }
        }
        return tl::unexpected(
            fail("release not verified: " + describe_problems("fail", images.size(), problems),
                 ErrorKind::Refused));
    }
    for (auto& entry : verified) {
        entry.bytes_measured =
            measurement.bytes_measured()[static_cast<std::size_t>(entry.image - images.data())];
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    out << (cmd.report.format == OutputFormat::Json
                ? json_report_text(verified_json(cmd, verified, measurement.total_bytes()))
                : verified_report(verified, measurement.total_bytes(), seconds));
    return {};
}

}  // namespace zdz::cli
