#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/access/store_access.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "encoding/try.hpp"
#include "json/value.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

using json::JsonValue;

using PlatformEntry = std::pair<const trust::ImagePlatform*, const trust::PlatformState*>;

bool is_withdrawn(const trust::PlatformState& state, const trust::ImageMeasurement& measurement) {
    return state.withdrawn.contains(measurement);
}

JsonValue promotion_json(const trust::PlatformState& state, const trust::PromotionRecord& record) {
    auto object = JsonValue::object();
    object.add("measurement", JsonValue::string(record.measurement.to_string()));
    object.add("security_version", JsonValue::uint64(record.security_version));
    object.add("promoted_at", JsonValue::string(record.promoted_at.to_string()));
    object.add("withdrawn", JsonValue::boolean(is_withdrawn(state, record.measurement)));
    return object;
}

JsonValue platform_json(const PlatformEntry& entry, bool detailed) {
    const auto& [platform, state] = entry;
    auto object = JsonValue::object();
    object.add("platform", JsonValue::string(platform->text()));
    object.add("current", state->current ? promotion_json(*state, *state->current) : JsonValue());
    // Where images of more than one kind are current (an install and an
    // update image of one release), each of them.
    if (state->current_images.size() > 1) {
        auto images = JsonValue::array();
        for (const auto& image : state->current_images) {
            auto shown = promotion_json(*state, image);
            shown.add("kind", image.kind ? JsonValue::string(
                                               std::string(trust::image_kind_text(*image.kind)))
                                         : JsonValue());
            images.push(std::move(shown));
        }
        object.add("current_images", std::move(images));
    }
    object.add("rollback_floor", JsonValue::uint64(state->rollback_floor));
    object.add("promotion_count", JsonValue::uint64(state->history.size()));
    object.add("withdrawn_count", JsonValue::uint64(state->withdrawn.size()));
    // Shown only where a policy was set: 1 is what every platform needs.
    if (state->min_signers != 1) {
        object.add("min_signers", JsonValue::uint64(state->min_signers));
    }
    if (detailed) {
        auto history = JsonValue::array();
        for (const auto& record : state->history) {
            history.push(promotion_json(*state, record));
        }
        object.add("history", std::move(history));
        auto withdrawn = JsonValue::array();
        for (const auto& measurement : state->withdrawn) {
            withdrawn.push(JsonValue::string(measurement.to_string()));
        }
        object.add("withdrawn_measurements", std::move(withdrawn));
    }
    return object;
}

// "MEASUREMENT[  KIND][ (withdrawn)]".
std::string image_text(const trust::PlatformState& state, const trust::PromotionRecord& image,
                       bool with_kind) {
    std::string text = image.measurement.to_string();
    if (with_kind) {
        text += "  ";
        text += image.kind ? trust::image_kind_text(*image.kind) : "kind unknown";
    }
    return text + (is_withdrawn(state, image.measurement) ? " (withdrawn)" : "");
}

// One line per current image; with more than one, each says its kind.
std::string current_lines(const trust::PlatformState& state) {
    constexpr std::string_view kLabel = "  current image:     ";
    if (!state.current) {
        return std::string(kLabel) + "none\n";
    }
    if (state.current_images.size() <= 1) {
        return std::string(kLabel) + image_text(state, *state.current, false) + "\n";
    }
    std::string lines;
    for (const auto& image : state.current_images) {
        lines += std::string(kLabel) + image_text(state, image, true) + "\n";
    }
    return lines;
}

void append_summary(std::string& report, const PlatformEntry& entry) {
    const auto& [platform, state] = entry;
    report += "  platform:          " + platform->text() + "\n";
    report += current_lines(*state);
    report += "  rollback floor:    " + trust::security_version_text(state->rollback_floor) + "\n";
    report += "  promotions:        " + std::to_string(state->history.size()) + "\n";
    report += "  withdrawn:         " + std::to_string(state->withdrawn.size()) + "\n";
    if (state->min_signers != 1) {
        report += "  min signers:       " + std::to_string(state->min_signers) + "\n";
    }
}

void append_details(std::string& report, const trust::PlatformState& state) {
    report += "history (oldest first):\n";
    for (const auto& record : state.history) {
        report += "  " + record.measurement.to_string() + "  " +
                  trust::security_version_text(record.security_version) + "  " +
                  record.promoted_at.to_string() +
                  (is_withdrawn(state, record.measurement) ? "  withdrawn" : "") + "\n";
    }
    if (state.history.empty()) {
        report += "  none\n";
    }
    report += "withdrawn measurements:\n";
    for (const auto& measurement : state.withdrawn) {
        report += "  " + measurement.to_string() + "\n";
    }
    if (state.withdrawn.empty()) {
        report += "  none\n";
    }
}

}  // namespace

CommandResult run_show_store(const ShowStore& cmd, std::ostream& out) {
    ZDZ_TRY(const auto loaded, read_store(cmd.store, cmd.key));
    const auto* registry = &loaded.registry;
    const auto& standing = loaded.standing;
    std::vector<PlatformEntry> shown;
    if (cmd.platform) {
        const auto platform = trust::ImagePlatform::parse(*cmd.platform);
        if (!platform) {
            return tl::unexpected(fail(platform.error().display()));
        }
        // A mistyped platform is an error, not an empty report.
        const auto it = registry->platforms().find(*platform);
        if (it == registry->platforms().end()) {
            return tl::unexpected(
                fail("platform " + platform->text() + " is not in store " + cmd.store));
        }
        shown.emplace_back(&it->first, &it->second);
    } else {
        for (const auto& [platform, state] : registry->platforms()) {
            shown.emplace_back(&platform, &state);
        }
    }

    ZDZ_TRY(const auto checkpoint, accept_checkpoint(cmd.checkpoint, standing));
    const bool detailed = cmd.platform.has_value();
    if (cmd.format == OutputFormat::Json) {
        auto platforms = JsonValue::array();
        for (const auto& entry : shown) {
            platforms.push(platform_json(entry, detailed));
        }
        auto document = json_success();
        document.add("sequence", JsonValue::uint64(standing.sequence));
        document.add("store_hash", JsonValue::string(standing.hash.to_string()));
        if (standing.expires_at) {
            document.add("expires_at", JsonValue::string(standing.expires_at->to_string()));
        }
        if (checkpoint) {
            document.add("checkpoint", checkpoint_json(*checkpoint));
        }
        document.add("platforms", std::move(platforms));
        out << json_report_text(document);
        return {};
    }

    std::string report = "[ok] store verified: " + cmd.store + "\n";
    report += "  sequence:          " + std::to_string(standing.sequence) + "\n";
    report += "  store hash:        " + standing.hash.to_string() + "\n";
    if (standing.expires_at) {
        report += "  expires at:        " + standing.expires_at->to_string() + "\n";
    }
    report += checkpoint_line(checkpoint, 21);
    if (detailed) {
        append_summary(report, shown.front());
        append_details(report, *shown.front().second);
    } else {
        report += "  platforms:         " + std::to_string(shown.size()) + "\n";
        for (const auto& entry : shown) {
            report += "\n";
            append_summary(report, entry);
        }
    }
    out << report;
    return {};
}

}  // namespace zdz::cli
