#include "cli/json_report.hpp"

#include "cli/markup.hpp"
#include "encoding/text.hpp"
#include "json/writer.hpp"

namespace zdz::cli {
namespace {

constexpr JsonMemberDoc kVerifyMembers[] = {
    {"trust_file", "The trust file the manifest was checked against, as given"},
    {"signed_by", "The principal of the trusted signer whose key verified the manifest"},
    {"manifest_id", "The manifest's identifier"},
    {"platform", "The platform the image is for"},
    {"kind", kImageKindsInCode},
    {"measurement", "The image measurement, `algorithm:hex`"},
    {"security_version", "The security (rollback) version, a number"},
    {"issued_at", "When the manifest was signed"},
    {"expires_at", "When the manifest expires, or null"},
    {"signing_key_id", "The key identifier the manifest names"},
    {"verified_at", "The time the manifest was checked at"},
    {"image_file", "The image file check, or null without `--image-file`"},
    {"image_file.path", "The image file, as given"},
    {"image_file.bytes_measured", "How many bytes of it were measured"},
    {"image_file.matches", "`true`: its measurement is the manifest's (a mismatch is an error)"},
};

constexpr JsonMemberDoc kShowStoreMembers[] = {
    {"platforms",
     "One object per platform, in store order; with `--platform` only that "
     "one"},
    {"platforms[].platform", "The platform"},
    {"platforms[].current", "The current known-good image, or null"},
    {"platforms[].current.measurement", "Its measurement"},
    {"platforms[].current.security_version", "Its security version, a number"},
    {"platforms[].current.promoted_at", "When it was promoted"},
    {"platforms[].current.withdrawn", "`true` when it was withdrawn: no install is authorized"},
    {"platforms[].rollback_floor", "The rollback floor, a number"},
    {"platforms[].promotion_count", "The number of promotions"},
    {"platforms[].withdrawn_count", "The number of withdrawn measurements"},
    {"platforms[].history", "With `--platform` only: every promotion, oldest first"},
    {"platforms[].history[].measurement", "The promoted measurement"},
    {"platforms[].history[].security_version", "Its security version, a number"},
    {"platforms[].history[].promoted_at", "When it was promoted"},
    {"platforms[].history[].withdrawn", "Whether the measurement is withdrawn"},
    {"platforms[].withdrawn_measurements", "With `--platform` only: the withdrawn measurements"},
};

}  // namespace

std::span<const JsonMemberDoc> verify_json_members() {
    return kVerifyMembers;
}
std::span<const JsonMemberDoc> show_store_json_members() {
    return kShowStoreMembers;
}

std::string json_report_text(const json::JsonValue& document) {
    return json::to_pretty_json(document, json::Layout::Report) + "\n";
}

tl::expected<void, CommandError> check_json_path(std::string_view what, const std::string& path) {
    if (encoding::is_valid_utf8(path)) {
        return {};
    }
    return tl::unexpected(fail("cannot write the report as JSON: the " + std::string(what) +
                               " path " + encoding::quoted_form(path) + " is not valid UTF-8"));
}

}  // namespace zdz::cli
