#include "trust/hash_manifest.hpp"

#include "contracts/text.hpp"

namespace zdz::trust {
namespace {

constexpr std::size_t kSha256HexDigits = 64;

bool is_hex_token(std::string_view token) {
    if (token.size() != kSha256HexDigits) {
        return false;
    }
    for (const char c : token) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) {
            return false;
        }
    }
    return true;
}

std::optional<HashManifestEntry> parse_line(std::string_view line) {
    line = contracts::trim_unicode_whitespace(line);
    if (line.empty()) {
        return std::nullopt;
    }
    // Split once at the first white-space character.
    std::size_t pos = 0;
    std::optional<contracts::Utf8Char> separator;
    while (pos < line.size()) {
        const auto c = contracts::decode_utf8_at(line, pos);
        if (!c) {
            ++pos;
            continue;
        }
        if (contracts::is_unicode_whitespace(c->code_point)) {
            separator = c;
            break;
        }
        pos += c->length;
    }
    if (!separator) {
        return std::nullopt;
    }
    const auto token = line.substr(0, pos);
    const auto name = contracts::trim_unicode_whitespace(line.substr(pos + separator->length));
    if (!is_hex_token(token)) {
        return std::nullopt;
    }
    auto hash = contracts::ContentHash::parse("sha256:" + std::string(token));
    if (!hash) {
        return std::nullopt;
    }
    HashManifestEntry entry;
    entry.file_name = std::string(name);
    entry.measurement = ImageMeasurement{*hash};
    if (name.find("ota_update") != std::string_view::npos) {
        entry.kind = ImageKind::OtaUpdate;
    } else if (name.find("install") != std::string_view::npos) {
        entry.kind = ImageKind::Install;
    }
    entry.platform = std::string(name.substr(0, name.find('-')));
    return entry;
}

}  // namespace

std::vector<HashManifestEntry> parse_hash_manifest(std::string_view text) {
    std::vector<HashManifestEntry> entries;
    for (const auto line : contracts::split_lines(text)) {
        if (auto entry = parse_line(line)) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

}  // namespace zdz::trust
