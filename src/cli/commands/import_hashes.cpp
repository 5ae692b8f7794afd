#include <algorithm>
#include <string>
#include <utility>

#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/file.hpp"
#include "trust/hash_manifest.hpp"

namespace zdz::cli {
namespace {

// Report lines are gathered into chunks of this size before each write, so a
// manifest of millions of lines costs neither one write per line nor a copy
// of the whole report in memory.
constexpr std::size_t kReportChunkBytes = std::size_t{1} << 20;
constexpr std::size_t kReadChunkBytes = std::size_t{1} << 20;
constexpr std::string_view kAbsent = "?";

void append_lower(std::string& out, std::string_view hex) {
    for (const char c : hex) {
        out += (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    }
}

}  // namespace

namespace {

// The JSON form: every entry is held until the whole manifest has been read,
// so that a failure part way through is still one document, not half of one.
CommandResult import_hashes_json(const ImportHashes& cmd, std::ostream& out) {
    using json::JsonValue;
    auto entries = JsonValue::array();
    trust::HashManifestStream manifest([&](const trust::HashManifestLine& e) {
        std::string measurement = "sha256:";
        append_lower(measurement, e.digest_hex);
        auto entry = JsonValue::object();
        entry.add("file_name", JsonValue::string(std::string(e.file_name)));
        entry.add("platform", JsonValue::string(std::string(e.platform)));
        entry.add("kind", e.kind ? JsonValue::string(std::string(trust::image_kind_text(*e.kind)))
                                 : JsonValue());
        entry.add("measurement", JsonValue::string(std::move(measurement)));
        entries.push(std::move(entry));
    });
    const auto read = io::stream_file_text(
        cmd.file, kReadChunkBytes, [&manifest](std::string_view piece) { manifest.feed(piece); });
    if (!read) {
        return tl::unexpected(fail("cannot read " + cmd.file + ": " + read.error().display()));
    }
    manifest.finish();
    if (entries.items().empty()) {
        return tl::unexpected(fail("no sha256 entries recognised in " + cmd.file));
    }
    auto document = json_success();
    document.add("file", JsonValue::string(cmd.file));
    document.add("entries", std::move(entries));
    out << json_report_text(document);
    return {};
}

}  // namespace

CommandResult run_import_hashes(const ImportHashes& cmd, std::ostream& out) {
    if (cmd.format == OutputFormat::Json) {
        ZDZ_RETURN_IF_ERROR(check_json_path("hash manifest", cmd.file));
        return import_hashes_json(cmd, out);
    }
    // The manifest is streamed in chunks (after a first pass has checked that
    // it is UTF-8 text), and lines are printed as they are recognised: parsing
    // cannot fail, and the first line printed is also the proof that the list
    // is not empty. Memory stays flat for manifests of millions of lines.
    bool any = false;
    std::string report;
    report.reserve(kReportChunkBytes);
    trust::HashManifestStream manifest([&](const trust::HashManifestLine& e) {
        any = true;
        // The name and the platform taken from it are the file's own text:
        // shown with their control characters escaped.
        encoding::append_terminal_safe(report, e.file_name);
        report += "  platform=";
        encoding::append_terminal_safe(report, e.platform);
        report += "  kind=";
        report += e.kind ? trust::image_kind_text(*e.kind) : kAbsent;
        report += "  measurement=sha256:";
        // The digits as written, in lower case: the text form of the measurement.
        append_lower(report, e.digest_hex);
        report += '\n';
        if (report.size() >= kReportChunkBytes) {
            out.write(report.data(), static_cast<std::streamsize>(report.size()));
            report.clear();
        }
    });
    const auto read = io::stream_file_text(
        cmd.file, kReadChunkBytes, [&manifest](std::string_view piece) { manifest.feed(piece); });
    if (!read) {
        return tl::unexpected(fail("cannot read " + cmd.file + ": " + read.error().display()));
    }
    manifest.finish();
    if (!any) {
        return tl::unexpected(fail("no sha256 entries recognised in " + cmd.file));
    }
    out.write(report.data(), static_cast<std::streamsize>(report.size()));
    return {};
}

}  // namespace zdz::cli
