#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trust/image.hpp"

namespace zdz::trust {

// One recognised line of a `<sha256>  <filename>` hash manifest.
struct HashManifestEntry {
    std::string file_name;
    std::optional<std::string> platform;
    ImageMeasurement measurement;
    std::optional<ImageKind> kind;

    friend bool operator==(const HashManifestEntry&, const HashManifestEntry&) = default;
};

// A longer line is never usable: no file name comes near it, and a manifest
// read in pieces need not hold more of one line than this.
inline constexpr std::size_t kMaxHashManifestLineBytes = std::size_t{64} << 10;

// Lenient: lines it cannot use are skipped; the caller decides what an empty
// result means. Expects valid UTF-8.
std::vector<HashManifestEntry> parse_hash_manifest(std::string_view text);

// One recognised line as views into the manifest text: the same fields as
// HashManifestEntry, for callers that go through manifests of millions of
// lines without copying every name.
struct HashManifestLine {
    std::string_view file_name;
    std::string_view platform;    // always present here; empty when the name starts with '-'
    std::string_view digest_hex;  // the 64 hex digits as written, either case
    ImageMeasurement measurement;
    std::optional<ImageKind> kind;
};

using HashManifestVisit = std::function<void(const HashManifestLine&)>;

// Calls `visit` once per recognised line, in line order; the same lines and
// fields as parse_hash_manifest.
void for_each_hash_manifest_line(std::string_view text, const HashManifestVisit& visit);

// The same for a manifest handed over in pieces of any size, as a file is
// read in chunks: a line split between pieces is put back together, and one
// that grows past kMaxHashManifestLineBytes is let go.
class HashManifestStream {
public:
    explicit HashManifestStream(HashManifestVisit visit) : visit_(std::move(visit)) {}

    void feed(std::string_view piece);
    // The last line, when the text does not end with a newline.
    void finish();

private:
    // Adds to the unfinished line, or gives it up once it is too long.
    void keep(std::string_view more);
    void end_line();

    HashManifestVisit visit_;
    std::string partial_;
    bool overlong_ = false;
};

}  // namespace zdz::trust
