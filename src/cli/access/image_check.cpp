#include "cli/access/image_check.hpp"

#include <utility>

#include "cli/progress_display.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"

namespace zdz::cli {

CommandError cannot_read_image(const std::string& path, const io::IoError& error) {
    return fail("cannot read image file " + path + ": " + error.display());
}

namespace {

[[nodiscard]] tl::expected<io::FileMeasurement, CommandError> measure(
    const std::string& path, contracts::HashAlgorithm algorithm, bool show_progress) {
    // Streamed: memory stays flat for an image of any size.
    ShownMeasurement measurement(path, algorithm, show_progress);
    return measurement.result().map_error(
        [&](const io::IoError& error) { return cannot_read_image(path, error); });
}

}  // namespace

tl::expected<trust::ImageMeasurement, CommandError> parse_candidate_measurement(
    const std::string& text) {
    const auto hash = contracts::ContentHash::parse(text);
    if (!hash) {
        return tl::unexpected(fail("invalid measurement " + encoding::quoted_form(text) + ": " +
                                   hash.error().display()));
    }
    return trust::ImageMeasurement{*hash};
}

tl::expected<CandidateRequest, CommandError> parse_candidate_request(
    const std::string& platform, const CandidateImage& candidate) {
    auto parsed_platform = trust::ImagePlatform::parse(platform);
    if (!parsed_platform) {
        return tl::unexpected(fail(parsed_platform.error().display()));
    }
    CandidateRequest request{std::move(*parsed_platform), std::nullopt};
    if (candidate.measurement) {
        ZDZ_TRY(auto measurement, parse_candidate_measurement(*candidate.measurement));
        request.measurement = measurement;
    }
    return request;
}

tl::expected<io::ImageDigests, CommandError> measure_candidate_file(const std::string& path,
                                                                    bool show_progress) {
    ShownMeasurement measurement(path, show_progress);
    return measurement.digests().map_error(
        [&](const io::IoError& error) { return cannot_read_image(path, error); });
}

MeasuredCandidate candidate_on(const std::optional<trust::ImageMeasurement>& parsed,
                               const std::optional<io::ImageDigests>& file,
                               const trust::KnownGoodStore& registry,
                               const trust::ImagePlatform& platform) {
    if (parsed || !file) {
        return MeasuredCandidate{parsed.value_or(trust::ImageMeasurement{}), std::nullopt, {}};
    }
    return MeasuredCandidate{{file->under(registry.candidate_algorithm(platform))},
                             file->bytes,
                             {{file->sha256}, {file->blake3}}};
}

tl::expected<std::uint64_t, CommandError> check_image_file(const std::string& path,
                                                           const trust::ImageMeasurement& expected,
                                                           bool show_progress) {
    ZDZ_TRY(const auto measured, measure(path, expected.hash.algorithm, show_progress));
    // ContentHash equality reads every byte without stopping early.
    if (!(measured.hash == expected.hash)) {
        return tl::unexpected(
            refuse("image file " + path + " does not match the manifest: it measures " +
                   measured.hash.to_string() + ", the manifest says " + expected.to_string()));
    }
    return measured.bytes;
}

}  // namespace zdz::cli
