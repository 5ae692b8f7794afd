#include "trust/signers.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>

#include "crypto/digest.hpp"
#include "encoding/base64.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/file.hpp"
#include "trust/signer_window.hpp"

namespace zdz::trust {
namespace {

constexpr std::string_view kKeyType = "ssh-ed25519";
constexpr char kCommentMarker = '#';
constexpr std::size_t kFieldsRead = 4;

// SSH wire form of an Ed25519 public key: length-prefixed algorithm name, then
// the length-prefixed 32 key bytes.
constexpr std::array<std::uint8_t, 4> kAlgorithmLength = {0, 0, 0, 11};
constexpr std::array<std::uint8_t, 4> kKeyLength = {0, 0, 0, 32};
constexpr std::size_t kAlgorithmHeaderBytes = kAlgorithmLength.size() + kKeyType.size();
constexpr std::size_t kKeyOffset = kAlgorithmHeaderBytes + kKeyLength.size();
constexpr std::size_t kBlobBytes = kKeyOffset + crypto::kPublicKeyBytes;
static_assert(kBlobBytes == 51);

std::array<std::uint8_t, kAlgorithmHeaderBytes> algorithm_header() {
    std::array<std::uint8_t, kAlgorithmHeaderBytes> header{};
    std::copy(kAlgorithmLength.begin(), kAlgorithmLength.end(), header.begin());
    std::copy(kKeyType.begin(), kKeyType.end(), header.begin() + kAlgorithmLength.size());
    return header;
}

// Length in bytes of the white-space character at `pos`, or 0 when the byte
// there starts anything else (bytes that are not UTF-8 count as field text).
std::size_t whitespace_length(std::string_view text, std::size_t pos) {
    const auto c = encoding::decode_utf8_at(text, pos);
    return c && encoding::is_unicode_whitespace(c->code_point) ? c->length : 0;
}

// The first `kFieldsRead` fields of a trimmed line, split at runs of white
// space; missing fields stay empty.
std::array<std::string_view, kFieldsRead> leading_fields(std::string_view line) {
    std::array<std::string_view, kFieldsRead> fields{};
    std::size_t pos = 0;
    for (auto& field : fields) {
        while (pos < line.size()) {
            const auto skip = whitespace_length(line, pos);
            if (skip == 0) {
                break;
            }
            pos += skip;
        }
        const auto start = pos;
        while (pos < line.size() && whitespace_length(line, pos) == 0) {
            ++pos;
        }
        field = line.substr(start, pos - start);
    }
    return fields;
}

// Checks the key blob and returns the key it holds, or the reason it is refused.
[[nodiscard]] tl::expected<crypto::VerifyingKey, std::string> key_from_material(
    std::string_view material) {
    auto blob = encoding::base64_decode(material);
    if (!blob) {
        return tl::unexpected("key material is not valid base64: " + blob.error().display());
    }
    if (blob->size() != kBlobBytes) {
        return tl::unexpected("ssh-ed25519 key blob must be " + std::to_string(kBlobBytes) +
                              " bytes, got " + std::to_string(blob->size()));
    }
    const auto header = algorithm_header();
    if (!std::equal(header.begin(), header.end(), blob->begin())) {
        return tl::unexpected(std::string("ssh-ed25519 key blob has the wrong algorithm header"));
    }
    if (!std::equal(kKeyLength.begin(), kKeyLength.end(), blob->begin() + kAlgorithmHeaderBytes)) {
        return tl::unexpected(std::string("ssh-ed25519 key blob has the wrong key-length header"));
    }
    auto key = crypto::VerifyingKey::from_bytes(std::span(*blob).subspan(kKeyOffset));
    if (!key) {
        return tl::unexpected("invalid ed25519 public key: " + key.error().display());
    }
    return *key;
}

// Which lines an entry may be.
enum class EntryForms {
    AllowedSigners,  // "{principal} [window options] ssh-ed25519 {material}"
    // Those, and "ssh-ed25519 {material} [comment]" without a principal.
    AllowedSignersOrOpenSsh,
};

// nullopt for a blank or comment line; otherwise the signer or the reason.
std::optional<tl::expected<TrustedSigner, std::string>> parse_line(std::string_view line,
                                                                   EntryForms forms) {
    // A carriage return inside a line sends a terminal back to its start, so
    // that the text after it hides the key before it: the line would show one
    // signer and trust another. Only the one right before the line feed is
    // a line ending (dropped by the line reader).
    if (line.find('\r') != std::string_view::npos) {
        return tl::unexpected(std::string(
            "carriage return inside the line (a terminal would show another line than the one "
            "trusted)"));
    }
    line = encoding::trim_unicode_whitespace(line);
    if (line.empty() || line.front() == kCommentMarker) {
        return std::nullopt;
    }
    const auto [first, second, third, fourth] = leading_fields(line);
    if (forms == EntryForms::AllowedSignersOrOpenSsh && first == kKeyType && second != kKeyType) {
        if (second.empty()) {
            return tl::unexpected(std::string("missing key material field"));
        }
        ZDZ_TRY(auto key, key_from_material(second));
        return TrustedSigner{std::string(), key};
    }
    const auto principal = first;
    auto key_type = second;
    auto material = third;
    ValidityWindow window;
    if (forms == EntryForms::AllowedSigners && key_type != kKeyType) {
        if (auto options = read_window_options(second)) {
            if (!*options) {
                return tl::unexpected(std::move(options->error()));
            }
            window = **options;
            key_type = third;
            material = fourth;
        }
    }
    if (key_type.empty()) {
        return tl::unexpected(std::string("missing key type field"));
    }
    if (key_type != kKeyType) {
        return tl::unexpected("unsupported key type " +
                              encoding::quoted_excerpt(key_type, encoding::kMessageExcerptChars) +
                              " (only ssh-ed25519 is trusted)");
    }
    if (material.empty()) {
        return tl::unexpected(std::string("missing key material field"));
    }
    ZDZ_TRY(auto key, key_from_material(material));
    return TrustedSigner{std::string(principal), key, window.valid_after, window.valid_before};
}

tl::expected<std::vector<TrustedSigner>, TrustError> parse_entries(std::string_view text,
                                                                   EntryForms forms) {
    try {
        std::vector<TrustedSigner> signers;
        std::uint64_t line_number = 0;
        // Line by line as split_lines splits them, without a list of them all:
        // a file of empty lines must not cost many times its size.
        encoding::LineReader lines(text);
        while (const auto line = lines.next()) {
            ++line_number;  // every physical line counts, blank and comment lines too
            auto parsed = parse_line(*line, forms);
            if (!parsed) {
                continue;
            }
            if (!*parsed) {
                return tl::unexpected(
                    TrustError::trust_store_entry_invalid(line_number, std::move(parsed->error())));
            }
            signers.push_back(std::move(**parsed));
        }
        if (signers.empty()) {
            return tl::unexpected(TrustError::trust_store_entry_invalid(
                0, "no trusted signer entries found in file"));
        }
        return signers;
    } catch (const std::bad_alloc&) {
        return tl::unexpected(TrustError::trust_file_unreadable("cannot read the trust file: " +
                                                                contracts::os_error_text(ENOMEM)));
    }
}

std::array<std::uint8_t, kBlobBytes> key_blob(const crypto::VerifyingKey& key) {
    std::array<std::uint8_t, kBlobBytes> blob{};
    const auto header = algorithm_header();
    auto out = std::copy(header.begin(), header.end(), blob.begin());
    out = std::copy(kKeyLength.begin(), kKeyLength.end(), out);
    std::copy(key.bytes().begin(), key.bytes().end(), out);
    return blob;
}

}  // namespace

tl::expected<std::vector<TrustedSigner>, TrustError> parse_allowed_signers(std::string_view text) {
    return parse_entries(text, EntryForms::AllowedSigners);
}

tl::expected<std::vector<TrustedSigner>, TrustError> parse_public_keys(std::string_view text) {
    return parse_entries(text, EntryForms::AllowedSignersOrOpenSsh);
}

std::string format_allowed_signers_line(std::string_view principal,
                                        const crypto::VerifyingKey& key) {
    std::string line(principal);
    line += ' ';
    line += kKeyType;
    line += ' ';
    line += encoding::base64_encode(key_blob(key));
    return line;
}

std::string openssh_fingerprint(const crypto::VerifyingKey& key) {
    const auto blob = key_blob(key);
    const auto digest = crypto::measure_sha256(std::span<const std::uint8_t>(blob)).digest;
    std::string text = encoding::base64_encode(digest);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    return "SHA256:" + text;
}

}  // namespace zdz::trust
