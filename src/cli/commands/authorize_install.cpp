#include <optional>
#include <string>
#include <utility>

#include "cli/access/image_check.hpp"
#include "cli/access/store_access.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/error_kind.hpp"
#include "cli/json_report.hpp"
#include "cli/progress_display.hpp"
#include "cli/report.hpp"
#include "encoding/try.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

std::string authorized_report(const AuthorizeInstall& cmd, const trust::ImagePlatform& platform,
                              const MeasuredCandidate& candidate,
                              const trust::PromotionRecord& authorized,
                              const trust::KnownGoodStore& registry,
                              const std::optional<CheckpointReport>& checkpoint) {
    std::string report =
        "[ok] install authorized\n"
        "  platform:          " +
        platform.text() + "\n" + "  measurement:       " + authorized.measurement.to_string() +
        "\n" + "  security_version:  " + trust::security_version_text(authorized.security_version) +
        "\n" +
        "  rollback floor:    " + trust::security_version_text(registry.rollback_floor(platform)) +
        "\n";
    if (candidate.bytes_measured) {
        report +=
            "  image file:        " +
            measured_file_text(cmd.candidate.image_file.value_or(""), *candidate.bytes_measured) +
            "\n";
    }
    return report + checkpoint_line(checkpoint, 21);
}

json::JsonValue authorized_json(const AuthorizeInstall& cmd, const trust::ImagePlatform& platform,
                                const MeasuredCandidate& candidate,
                                const trust::PromotionRecord& authorized,
                                const trust::KnownGoodStore& registry,
                                const std::optional<CheckpointReport>& checkpoint) {
    using json::JsonValue;
    auto document = json_success();
    document.add("store", JsonValue::string(cmd.store));
    document.add("platform", JsonValue::string(platform.text()));
    document.add("measurement", JsonValue::string(authorized.measurement.to_string()));
    document.add("security_version", JsonValue::uint64(authorized.security_version));
    document.add("rollback_floor", JsonValue::uint64(registry.rollback_floor(platform)));
    document.add("image_file", candidate.bytes_measured
                                   ? measured_file_json(cmd.candidate.image_file.value_or(""),
                                                        *candidate.bytes_measured)
                                   : JsonValue());
    if (checkpoint) {
        document.add("checkpoint", checkpoint_json(*checkpoint));
    }
    return document;
}

}  // namespace

CommandResult run_authorize_install(const AuthorizeInstall& cmd, std::ostream& out) {
    ZDZ_RETURN_IF_ERROR(check_json_paths(
        cmd.report.format, {{"store", cmd.store}, {"image file", cmd.candidate.image_file}}));
    ZDZ_TRY(const auto loaded, read_store(cmd.store, cmd.key));
    const auto* registry = &loaded.registry;
    ZDZ_TRY(const auto request, parse_candidate_request(cmd.platform, cmd.candidate));
    // An older copy of the store, or a fork of it, is refused before any
    // install is judged by it.
    ZDZ_TRY(const auto checkpoint, accept_checkpoint(cmd.checkpoint, loaded.standing));
    const auto& platform = request.platform;
    std::optional<io::ImageDigests> file;
    if (cmd.candidate.image_file) {
        ZDZ_TRY(auto measured,
                measure_candidate_file(*cmd.candidate.image_file, progress_wanted(cmd.report)));
        file = measured;
    }
    const auto candidate = candidate_on(request.measurement, file, *registry, platform);
    // The bytes of a file are refused when withdrawn under any algorithm.
    const auto authorized = file ? registry->authorize_image(platform, candidate.digests)
                                 : registry->authorize_install(platform, candidate.measurement);
    if (!authorized) {
        std::string message = "install refused: " + authorized.error().display();
        // The refused measurement was computed here: show it.
        if (candidate.bytes_measured) {
            message += " (image file " + cmd.candidate.image_file.value_or("") + " measures " +
                       candidate.measurement.to_string() + ")";
        }
        return tl::unexpected(fail(std::move(message), kind_of(authorized.error())));
    }
    out << (cmd.report.format == OutputFormat::Json
                ? json_report_text(
                      authorized_json(cmd, platform, candidate, *authorized, *registry, checkpoint))
                : authorized_report(cmd, platform, candidate, *authorized, *registry, checkpoint));
    return {};
}

}  // namespace zdz::cli
