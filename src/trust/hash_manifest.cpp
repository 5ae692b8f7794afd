#include "trust/hash_manifest.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "contracts/content_hash.hpp"
#include "encoding/hex.hpp"
#include "encoding/text.hpp"

namespace zdz::trust {
namespace {

constexpr std::size_t kSha256HexDigits = 64;
constexpr unsigned char kFirstNonAscii = 0x80;
constexpr std::string_view kUpdateWord = image_kind_text(ImageKind::OtaUpdate);
constexpr std::string_view kInstallWord = image_kind_text(ImageKind::Install);

bool is_ascii_whitespace(char c) {
    return (c >= '\t' && c <= '\r') || c == ' ';
}

bool is_ascii(char c) {
    return static_cast<unsigned char>(c) < kFirstNonAscii;
}

// Manifests are ASCII in practice: strip ASCII white space with plain byte
// tests, and decode UTF-8 only where a non-ASCII byte sits at an end.
std::string_view trim(std::string_view text) {
    while (!text.empty() && is_ascii_whitespace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_ascii_whitespace(text.back())) {
        text.remove_suffix(1);
    }
    if (!text.empty() && (!is_ascii(text.front()) || !is_ascii(text.back()))) {
        return encoding::trim_unicode_whitespace(text);
    }
    return text;
}

// Length of the white-space character at `pos`, or 0 if there is none.
std::size_t whitespace_length_at(std::string_view text, std::size_t pos) {
    if (is_ascii(text[pos])) {
        return is_ascii_whitespace(text[pos]) ? 1 : 0;
    }
    const auto c = encoding::decode_utf8_at(text, pos);
    return c && encoding::is_unicode_whitespace(c->code_point) ? c->length : 0;
}

std::optional<HashManifestLine> parse_line(std::string_view line) {
    line = trim(line);
    // The digest is everything before the first white space and must be 64
    // hex digits, so a usable line is exactly that: 64 hex digits, then white
    // space, then the name (which the trim has made non-empty).
    if (line.size() <= kSha256HexDigits) {
        return std::nullopt;
    }
    contracts::Digest digest{};
    for (std::size_t i = 0; i < kSha256HexDigits; i += 2) {
        const int high = encoding::hex_digit_value(line[i]);
        const int low = encoding::hex_digit_value(line[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[i / 2] = static_cast<std::uint8_t>((high << 4) | low);
    }
    const auto separator = whitespace_length_at(line, kSha256HexDigits);
    if (separator == 0) {
        return std::nullopt;
    }
    HashManifestLine entry;
    entry.digest_hex = line.substr(0, kSha256HexDigits);
    entry.measurement =
        ImageMeasurement{contracts::ContentHash{contracts::HashAlgorithm::Sha256, digest}};
    entry.file_name = trim(line.substr(kSha256HexDigits + separator));
    if (entry.file_name.find(kUpdateWord) != std::string_view::npos) {
        entry.kind = ImageKind::OtaUpdate;
    } else if (entry.file_name.find(kInstallWord) != std::string_view::npos) {
        entry.kind = ImageKind::Install;
    }
    entry.platform = entry.file_name.substr(0, entry.file_name.find('-'));
    return entry;
}

}  // namespace

void for_each_hash_manifest_line(std::string_view text, const HashManifestVisit& visit) {
    // Lines end at '\n'; a '\r' before it is white space and goes with the trim.
    const char* const end = text.data() + text.size();
    const char* start = text.data();
    while (start < end) {
        const auto* newline = static_cast<const char*>(
            std::memchr(start, '\n', static_cast<std::size_t>(end - start)));
        const char* const stop = newline != nullptr ? newline : end;
        const auto length = static_cast<std::size_t>(stop - start);
        if (length <= kMaxHashManifestLineBytes) {
            if (const auto entry = parse_line({start, length})) {
                visit(*entry);
            }
        }
        start = stop + 1;
    }
}

void HashManifestStream::keep(std::string_view more) {
    if (overlong_) {
        return;
    }
    if (more.size() > kMaxHashManifestLineBytes - partial_.size()) {
        overlong_ = true;
        std::string().swap(partial_);
        return;
    }
    partial_.append(more);
}

void HashManifestStream::end_line() {
    if (!overlong_) {
        for_each_hash_manifest_line(partial_, visit_);
    }
    partial_.clear();
    overlong_ = false;
}

void HashManifestStream::feed(std::string_view piece) {
    const auto last = piece.rfind('\n');
    if (last == std::string_view::npos) {
        keep(piece);
        return;
    }
    auto complete = piece.substr(0, last + 1);
    if (!partial_.empty() || overlong_) {
        const auto first = complete.find('\n');
        keep(complete.substr(0, first));
        end_line();
        complete.remove_prefix(first + 1);
    }
    for_each_hash_manifest_line(complete, visit_);
    keep(piece.substr(last + 1));
}

void HashManifestStream::finish() {
    end_line();
}

std::vector<HashManifestEntry> parse_hash_manifest(std::string_view text) {
    std::vector<HashManifestEntry> entries;
    for_each_hash_manifest_line(text, [&entries](const HashManifestLine& line) {
        entries.push_back(HashManifestEntry{std::string(line.file_name), std::string(line.platform),
                                            line.measurement, line.kind});
    });
    return entries;
}

}  // namespace zdz::trust
