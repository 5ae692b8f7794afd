#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "cli/access/keystore_access.hpp"
#include "cli/access/manifest_output.hpp"
#include "cli/access/release_images.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "contracts/errors.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "store/token_keystore.hpp"
#include "trust/manifest.hpp"

namespace zdz::cli {
namespace {

constexpr std::string_view kRefused = "release refused, nothing written: ";

// The folder the manifests go into: it must be one, and no manifest may land
// on an input of the command.
[[nodiscard]] tl::expected<void, CommandError> check_out_dir(
    const SignRelease& cmd, const std::vector<ReleaseImage>& images) {
    std::error_code error;
    if (!std::filesystem::is_directory(cmd.out_dir, error)) {
        return tl::unexpected(fail(
            "cannot write manifests into " + cmd.out_dir + ": " +
            (error ? contracts::os_error_text(error.value()) : std::string("not a directory"))));
    }
    for (const auto& image : images) {
        const auto path = cmd.out_dir + "/" + image.manifest_name;
        for (const auto* input : {&cmd.keystore, &cmd.hashes, &image.path}) {
            if (io::is_same_file(path, *input)) {
                return tl::unexpected(fail("cannot write " + path + ": same file as " + *input));
            }
        }
    }
    return {};
}

struct SignedImage {
    const ReleaseImage* image = nullptr;
    trust::UnverifiedImageManifest manifest;
    std::string path;
    std::uint64_t bytes_measured = 0;
};

// Each written manifest's name, then each one not written: what a write that
// failed part way leaves.
std::string written_account(const std::vector<SignedImage>& signed_images, std::size_t written) {
    std::string account = "; written:";
    for (std::size_t i = 0; i < signed_images.size(); ++i) {
        if (i == written) {
            account += written == 0 ? " none; not written:" : "; not written:";
        }
        account += (i == 0 || i == written ? " " : ", ") + signed_images[i].image->manifest_name;
    }
    return account;
}

json::JsonValue release_json(const SignRelease& cmd, const std::vector<SignedImage>& signed_images,
                             std::uint64_t total_bytes, double seconds) {
    using json::JsonValue;
    auto document = json_success();
    document.add("hashes", JsonValue::string(cmd.hashes));
    document.add("out_dir", JsonValue::string(cmd.out_dir));
    auto manifests = JsonValue::array();
    for (const auto& entry : signed_images) {
        const auto& body = entry.manifest.body;
        auto manifest = JsonValue::object();
        manifest.add("manifest", JsonValue::string(entry.path));
        manifest.add("image_file", JsonValue::string(entry.image->path));
        manifest.add("manifest_id", JsonValue::string(body.manifest_id.to_string()));
        manifest.add("platform", JsonValue::string(body.platform.text()));
        manifest.add("kind",
                     JsonValue::string(std::string(trust::image_kind_text(body.image_kind))));
        manifest.add("measurement", JsonValue::string(body.measurement.to_string()));
        manifest.add("bytes_measured", JsonValue::uint64(entry.bytes_measured));
        manifests.push(std::move(manifest));
    }
    document.add("manifests", std::move(manifests));
    const auto& first = signed_images.front().manifest.body;
    document.add("security_version", JsonValue::uint64(first.security_version));
    document.add("signing_key_id", JsonValue::string(first.signing_key_id.to_string()));
    document.add("bytes_measured", JsonValue::uint64(total_bytes));
    document.add("seconds", JsonValue::floating(seconds));
    return document;
}

std::string release_report(const SignRelease& cmd, const std::vector<SignedImage>& signed_images,
                           std::uint64_t total_bytes, double seconds) {
    std::string report = "[ok] signed " + std::to_string(signed_images.size()) +
                         " manifests into " + cmd.out_dir + "\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto& entry : signed_images) {
        const auto& body = entry.manifest.body;
        rows.push_back({entry.image->manifest_name, body.platform.text(),
                        std::string(trust::image_kind_text(body.image_kind)),
                        body.measurement.to_string()});
    }
    report += release_rows(rows);
    const auto& first = signed_images.front().manifest.body;
    report += "  images:           " + std::to_string(signed_images.size()) + " (" +
              std::to_string(total_bytes) + " bytes measured in " + seconds_text(seconds) +
              " s)\n" + "  security_version: sv" + std::to_string(first.security_version) + "\n" +
              "  signing_key_id:   " + first.signing_key_id.to_string() + "\n";
    if (first.expires_at) {
        report += "  expires_at:       " + first.expires_at->to_string() + "\n";
    }
    return report;
}

}  // namespace

CommandResult run_sign_release(const SignRelease& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(
        cmd.report.format, {{"hash manifest", cmd.hashes}, {"manifest folder", cmd.out_dir}}));
    ZDZ_TRY(const auto expires_at, parse_expiry(cmd.expires_at));
    ZDZ_TRY(auto images, read_release_list(cmd.hashes, cmd.platform));
    if (const auto problems = check_release_entries(images); !problems.empty()) {
        return tl::unexpected(fail(std::string(kRefused) +
                                   describe_problems("cannot be signed", images.size(), problems)));
    }
    ZDZ_RETURN_IF_ERROR(check_out_dir(cmd, images));
    ZDZ_TRY(auto input, read_signing_inputs(cmd.keystore, cmd.passphrase_env, expires_at));
    const auto& keystore = input.keystore;
    const auto now = input.now;

    const auto started = std::chrono::steady_clock::now();
    ReleaseMeasurement measurement(images, progress_wanted(cmd.report));
    // A sealed key is unsealed while the images are read, as sign does; a
    // token's key is opened once they all matched, so that its lock is held
    // only for the signing.
    std::unique_ptr<crypto::Signer> key;
    const bool in_token = std::holds_alternative<store::TokenKeystore>(keystore);
    if (!in_token) {
        ZDZ_TRY(auto unsealed, open_signer(keystore, input.secret, now));
        key = std::move(unsealed);
    }
    if (const auto problems = measurement.mismatches(images); !problems.empty()) {
        input.secret.wipe();
        return tl::unexpected(
            fail(std::string(kRefused) +
                 describe_problems("do not match the hash manifest", images.size(), problems)));
    }
    if (in_token) {
        ZDZ_TRY(auto opened, open_signer(keystore, input.secret, now));
        key = std::move(opened);
    }

    // Every manifest is signed before the first is written.
    std::vector<SignedImage> signed_images;
    signed_images.reserve(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const auto& image = (images)[i];
        const trust::ImageManifestBody body{contracts::Uuid::new_v4(),
                                            *image.platform,
                                            *image.kind,
                                            image.listed,
                                            cmd.security_version,
                                            store::keystore_head(keystore).key_id,
                                            now,
                                            expires_at};
        auto manifest = trust::sign_manifest(body, *key);
        if (!manifest) {
            return tl::unexpected(
                fail_io(std::string(kRefused) + "signing failed: " + manifest.error().display()));
        }
        signed_images.push_back({&image, std::move(*manifest),
                                 cmd.out_dir + "/" + image.manifest_name,
                                 measurement.bytes_measured()[i]});
    }
    for (std::size_t i = 0; i < signed_images.size(); ++i) {
        if (auto written = write_manifest_file(signed_images[i].path, signed_images[i].manifest);
            !written) {
            auto error = std::move(written.error());
            error.message += written_account(signed_images, i);
            return tl::unexpected(std::move(error));
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    out << (cmd.report.format == OutputFormat::Json
                ? json_report_text(
                      release_json(cmd, signed_images, measurement.total_bytes(), seconds))
                : release_report(cmd, signed_images, measurement.total_bytes(), seconds));
    return {};
}

}  // namespace zdz::cli
