#pragma once

// Image files measured by the commands that check or name an image: verify
// against a manifest, authorize-install and withdraw for a candidate.

#include <cstdint>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "cli/command.hpp"
#include "contracts/content_hash.hpp"
#include "crypto/digest.hpp"
#include "io/measure.hpp"
#include "trust/image.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {

// A candidate image and, when it came from a file, how many bytes were read.
struct MeasuredCandidate {
    // As given, or the file's digest under the algorithm of the platform's
    // current image (candidate_algorithm): what the report shows.
    trust::ImageMeasurement measurement;
    std::optional<std::uint64_t> bytes_measured;
    // From a file: its digest under every algorithm, each of which a
    // withdrawal covers and an install check refuses when withdrawn. Empty
    // for a measurement given as text, which stands for itself alone.
    std::vector<trust::ImageMeasurement> digests;
};

// The --measurement text as a measurement: "invalid measurement "TEXT": ...".
[[nodiscard]] tl::expected<trust::ImageMeasurement, CommandError> parse_candidate_measurement(
    const std::string& text);

// What authorize-install and withdraw are asked about, checked before any
// other work on it: the platform, and the candidate's measurement when it was
// given as text (parse_candidate_measurement).
struct CandidateRequest {
    trust::ImagePlatform platform;
    std::optional<trust::ImageMeasurement> measurement;
};
[[nodiscard]] tl::expected<CandidateRequest, CommandError> parse_candidate_request(
    const std::string& platform, const CandidateImage& candidate);

// The candidate image file measured under every algorithm in one pass,
// before any lock is taken: "cannot read image file IMG: ...". Its progress
// is shown when `show_progress` (progress_wanted) and the image is large.
[[nodiscard]] tl::expected<io::ImageDigests, CommandError> measure_candidate_file(
    const std::string& path, bool show_progress);

// "cannot read image file IMG: ERROR": how an image that cannot be measured
// is refused ("not a regular file or block device" for a FIFO or a character
// device, known before any reading).
[[nodiscard]] CommandError cannot_read_image(const std::string& path, const io::IoError& error);

// The candidate on `platform` of `registry`: `parsed` when it was given as a
// measurement, else the file's digests.
MeasuredCandidate candidate_on(const std::optional<trust::ImageMeasurement>& parsed,
                               const std::optional<io::ImageDigests>& file,
                               const trust::KnownGoodStore& registry,
                               const trust::ImagePlatform& platform);

// Streams `path` through the algorithm of `expected` and compares the two in
// constant time. "cannot read image file IMG: ..." or "image file IMG does not
// match the manifest: it measures M1, the manifest says M2". The number of
// bytes read on a match. Progress as measure_candidate_file shows it.
[[nodiscard]] tl::expected<std::uint64_t, CommandError> check_image_file(
    const std::string& path, const trust::ImageMeasurement& expected, bool show_progress);

}  // namespace zdz::cli
