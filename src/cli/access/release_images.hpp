#pragma once

// A release as its build lists it: the `<sha256>  <filename>` hash manifest
// that lies beside the images, read as import-hashes reads it, each image with
// the name of its manifest. sign-release and verify-release both start here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "cli/command.hpp"
#include "cli/progress_display.hpp"
#include "io/measure.hpp"
#include "trust/image.hpp"

namespace zdz::cli {

struct ReleaseImage {
    // As the hash manifest lists it.
    std::string file_name;
    // The image file: the listed name in the folder of the hash manifest.
    std::string path;
    // NAME.manifest.json: the image's name with its last extension replaced.
    std::string manifest_name;
    trust::ImageMeasurement listed;
    // Both known once the entry passed check_release_entries.
    std::optional<trust::ImagePlatform> platform;
    std::optional<trust::ImageKind> kind;
};

// The entries of the hash manifest at `hashes_path`, those of `platform` when
// one is given: "cannot read FILE: ...", "no sha256 entries recognised in
// FILE", "no entry of FILE is for platform P".
[[nodiscard]] tl::expected<std::vector<ReleaseImage>, CommandError> read_release_list(
    const std::string& hashes_path, const std::optional<std::string>& platform);

// What is wrong with one image of a release, for the one line that names
// every such image.
struct ImageProblem {
    std::string file_name;
    std::string problem;
};

// The entries a manifest cannot be made or found for: a name that would
// leave the folder or that names no file, no platform or an invalid one, no
// kind, a manifest name that another entry maps to too.
std::vector<ImageProblem> check_release_entries(std::vector<ReleaseImage>& images);

// The images measured together on every core, each with the algorithm of its
// listed digest; started at once, so that the caller can do other work until
// it asks for the results. Their progress is shown when `show_progress`
// (progress_wanted) and they add up to a large measurement.
class ReleaseMeasurement {
public:
    ReleaseMeasurement(const std::vector<ReleaseImage>& images, bool show_progress);

    std::uint64_t total_bytes() const { return batch_.total_bytes(); }

    // Every image that could not be opened, read, or does not measure to its
    // listed digest; waits for all, and clears the progress line.
    std::vector<ImageProblem> mismatches(const std::vector<ReleaseImage>& images);

    // The bytes each image measured, in the order given, once mismatches()
    // found none.
    const std::vector<std::uint64_t>& bytes_measured() const { return bytes_; }

private:
    io::MeasurementBatch batch_;
    // After the batch: destroyed first, it stops drawing before the batch
    // stops measuring.
    ProgressDisplay display_;
    std::vector<std::uint64_t> bytes_;
};

// The rows of a release report, each cell padded to the widest of its column
// (the last cell left as it is), each row indented by two spaces and ended
// with a newline. Cells are shown terminal-safe.
std::string release_rows(const std::vector<std::vector<std::string>>& rows);

// Seconds with two decimals, for the summary line of a report.
std::string seconds_text(double seconds);

// "N of M images SUMMARY: NAME: PROBLEM; NAME: PROBLEM; ... and K more": the
// first few problems of a refused release in one line.
std::string describe_problems(std::string_view summary, std::size_t total,
                              const std::vector<ImageProblem>& problems);

}  // namespace zdz::cli
