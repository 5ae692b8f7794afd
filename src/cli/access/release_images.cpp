#include "cli/access/release_images.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <thread>
#include <utility>

#include "encoding/text.hpp"
#include "io/file.hpp"
#include "trust/hash_manifest.hpp"

namespace zdz::cli {
namespace {

constexpr std::size_t kReadChunkBytes = std::size_t{1} << 20;
// How many problems the refusal line names before it counts the rest.
constexpr std::size_t kProblemsNamed = 8;
constexpr std::string_view kManifestSuffix = ".manifest.json";

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string manifest_name_of(std::string_view file_name) {
    const auto dot = file_name.rfind('.');
    const auto stem =
        dot == std::string_view::npos || dot == 0 ? file_name : file_name.substr(0, dot);
    return std::string(stem) + std::string(kManifestSuffix);
}

unsigned worker_count() {
    return std::max(1U, std::thread::hardware_concurrency());
}

std::vector<io::ImageRequest> requests_of(const std::vector<ReleaseImage>& images) {
    std::vector<io::ImageRequest> requests;
    requests.reserve(images.size());
    for (const auto& image : images) {
        requests.push_back({image.path, image.listed.hash.algorithm});
    }
    return requests;
}

}  // namespace

tl::expected<std::vector<ReleaseImage>, CommandError> read_release_list(
    const std::string& hashes_path, const std::optional<std::string>& platform) {
    const std::string folder = folder_of(hashes_path);
    std::size_t entries = 0;
    std::vector<ReleaseImage> images;
    trust::HashManifestStream manifest([&](const trust::HashManifestLine& line) {
        ++entries;
        if (platform && line.platform != *platform) {
            return;
        }
        ReleaseImage image;
        image.file_name = std::string(line.file_name);
        image.path = folder + image.file_name;
        image.manifest_name = manifest_name_of(line.file_name);
        image.listed = line.measurement;
        if (auto parsed = trust::ImagePlatform::parse(line.platform)) {
            image.platform = std::move(*parsed);
        }
        image.kind = line.kind;
        images.push_back(std::move(image));
    });
    const auto read =
        io::stream_file_text(hashes_path, kReadChunkBytes,
                             [&manifest](std::string_view piece) { manifest.feed(piece); });
    if (!read) {
        return tl::unexpected(fail("cannot read " + hashes_path + ": " + read.error().display()));
    }
    manifest.finish();
    if (entries == 0) {
        return tl::unexpected(fail("no sha256 entries recognised in " + hashes_path));
    }
    if (images.empty()) {
        return tl::unexpected(fail("no entry of " + hashes_path + " is for platform " +
                                   encoding::quoted_form(platform.value_or(std::string()))));
    }
    return images;
}

std::vector<ImageProblem> check_release_entries(std::vector<ReleaseImage>& images) {
    std::vector<ImageProblem> problems;
    std::map<std::string, std::size_t> manifest_names;
    for (const auto& image : images) {
        ++manifest_names[image.manifest_name];
    }
    for (auto& image : images) {
        const auto refuse = [&](std::string problem) {
            problems.push_back({image.file_name, std::move(problem)});
        };
        const std::string_view name = image.file_name;
        if (name.find('/') != std::string_view::npos || name == "." || name == "..") {
            refuse("the name leaves the folder of the hash manifest");
        } else if (image.platform == std::nullopt) {
            refuse(name.starts_with('-') || name.find('-') == std::string_view::npos
                       ? "no platform in its name"
                       : "no valid platform in its name");
        } else if (!image.kind) {
            refuse("no image kind in its name (expected " + trust::image_kind_choices() + ")");
        } else if (manifest_names[image.manifest_name] > 1) {
            refuse("its manifest name " + image.manifest_name + " is another image's too");
        }
    }
    return problems;
}

ReleaseMeasurement::ReleaseMeasurement(const std::vector<ReleaseImage>& images, bool show_progress)
    : batch_(requests_of(images), worker_count()),
      display_(batch_.progress(), batch_.total_bytes(), batch_.size(), show_progress) {}

std::vector<ImageProblem> ReleaseMeasurement::mismatches(const std::vector<ReleaseImage>& images) {
    std::vector<ImageProblem> problems;
    const auto results = batch_.results();
    display_.stop();
    bytes_.assign(images.size(), 0);
    for (std::size_t i = 0; i < images.size(); ++i) {
        const auto& result = results[i];
        if (!result) {
            problems.push_back(
                {images[i].file_name, "cannot read it: " + result.error().display()});
        } else if (result->hash != images[i].listed.hash) {
            problems.push_back({images[i].file_name, "it measures " + result->hash.to_string() +
                                                         ", the hash manifest lists " +
                                                         images[i].listed.to_string()});
        } else {
            bytes_[i] = result->bytes;
        }
    }
    return problems;
}

std::string release_rows(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    std::vector<std::vector<std::string>> shown;
    for (const auto& row : rows) {
        auto& cells = shown.emplace_back();
        for (std::size_t i = 0; i < row.size(); ++i) {
            cells.push_back(encoding::terminal_safe(row[i]));
            if (widths.size() <= i) {
                widths.push_back(0);
            }
            widths[i] = std::max(widths[i], cells.back().size());
        }
    }
    std::string text;
    for (auto& cells : shown) {
        text += " ";
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i + 1 < cells.size()) {
                cells[i].resize(widths[i], ' ');
            }
            text += " " + cells[i];
            if (i + 1 < cells.size()) {
                text += " ";
            }
        }
        text += "\n";
    }
    return text;
}

std::string seconds_text(double seconds) {
    std::array<char, 32> text{};
    const auto [end, error] =
        std::to_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed, 2);
    return error == std::errc() ? std::string(text.data(), end) : std::string("?");
}

std::string describe_problems(std::string_view summary, std::size_t total,
                              const std::vector<ImageProblem>& problems) {
    std::string line = std::to_string(problems.size()) + " of " + std::to_string(total) +
                       " images " + std::string(summary) + ": ";
    const std::size_t named = std::min(problems.size(), kProblemsNamed);
    for (std::size_t i = 0; i < named; ++i) {
        if (i > 0) {
            line += "; ";
        }
        encoding::append_terminal_safe(line, problems[i].file_name);
        line += ": " + problems[i].problem;
    }
    if (problems.size() > named) {
        line += "; and " + std::to_string(problems.size() - named) + " more";
    }
    return line;
}

}  // namespace zdz::cli
