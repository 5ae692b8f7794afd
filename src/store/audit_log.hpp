#pragma once

// The audit log beside a registry store ("store.json" -> "store.log"): one
// line per save of the store, appended before the store is renamed into
// place, each a JSON object signed with the store's key and holding the
// SHA-256 of the line before it. No line can be changed, removed or put in
// another order without the chain or a signature breaking.
//
// A line whose store never took its place (the save failed or was killed
// between the append and the rename) is followed by the line of the next
// save with the same sequence: it is superseded, never committed. Only the
// last line of the log can be pending: a save whose rename has not happened.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "contracts/content_hash.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "envelope/envelope.hpp"
#include "json/fields.hpp"
#include "json/record.hpp"
#include "store/errors.hpp"
#include "store/registry_file.hpp"
#include "trust/image.hpp"

namespace zdz::store {

inline constexpr std::string_view kAuditEntryRecordName = "AuditEntry";

// The public keys of a rekey line, as 64 hex digits.
[[nodiscard]] tl::expected<crypto::VerifyingKey, std::string> parse_public_key_hex(
    std::string_view text);
std::string public_key_hex(const crypto::VerifyingKey& key);
inline constexpr auto public_key_codec = json::validated(&parse_public_key_hex, &public_key_hex);

// One line: one save, what it changed and where it stands in the chain.
struct AuditEntry {
    std::uint64_t sequence = 0;
    contracts::Timestamp time;
    // "promote", "withdraw", "rekey-store", "set-policy", "refresh-store".
    std::string command;
    contracts::ContentHash store_hash;
    // The hash of the store this save replaced; absent for a new store.
    std::optional<contracts::ContentHash> previous_hash = std::nullopt;
    // The key the new store (and this line) is signed with.
    contracts::Uuid key_id;
    // The new store's expiry, when it has one.
    std::optional<contracts::Timestamp> expires_at = std::nullopt;

    // What the save changed; the members a command has no use for stay
    // absent. promote: the image, its security version, the manifest and the
    // fingerprints of the keys that signed it; withdraw: every measurement
    // withdrawn; set-policy: the new minimum of signers; rekey-store: the
    // key the store was signed with before (so that the lines before are
    // checked with the key of their time) and the new public key.
    std::optional<trust::ImagePlatform> platform = std::nullopt;
    std::optional<trust::ImageMeasurement> measurement = std::nullopt;
    std::optional<std::uint32_t> security_version = std::nullopt;
    std::optional<contracts::Uuid> manifest_id = std::nullopt;
    std::optional<std::vector<contracts::ContentHash>> signers = std::nullopt;
    std::optional<std::vector<trust::ImageMeasurement>> withdrawn = std::nullopt;
    std::optional<std::uint32_t> min_signers = std::nullopt;
    std::optional<contracts::Uuid> previous_key_id = std::nullopt;
    std::optional<crypto::VerifyingKey> previous_public_key = std::nullopt;
    std::optional<crypto::VerifyingKey> public_key = std::nullopt;

    // SHA-256 of the line before, without its newline; absent on the first
    // line.
    std::optional<contracts::ContentHash> previous_line = std::nullopt;
    crypto::Signature signature{};
};

constexpr auto describe(json::Type<AuditEntry>) {
    using R = AuditEntry;
    return json::record<R>(
        kAuditEntryRecordName, json::required("sequence", &R::sequence, json::u64),
        json::required("time", &R::time, json::timestamp),
        json::required("command", &R::command, json::plain_text),
        json::required("store_hash", &R::store_hash, json::content_hash),
        json::optional("previous_hash", &R::previous_hash, json::content_hash),
        json::required("key_id", &R::key_id, json::uuid),
        json::optional("expires_at", &R::expires_at, json::timestamp),
        json::optional("platform", &R::platform, trust::platform_codec),
        json::optional("measurement", &R::measurement, trust::measurement_codec),
        json::optional("security_version", &R::security_version, json::u32),
        json::optional("manifest_id", &R::manifest_id, json::uuid),
        json::optional("signers", &R::signers, json::sequence(json::content_hash)),
        json::optional("withdrawn", &R::withdrawn, json::sequence(trust::measurement_codec)),
        json::optional("min_signers", &R::min_signers, json::u32),
        json::optional("previous_key_id", &R::previous_key_id, json::uuid),
        json::optional("previous_public_key", &R::previous_public_key, public_key_codec),
        json::optional("public_key", &R::public_key, public_key_codec),
        json::optional("previous_line", &R::previous_line, json::content_hash),
        json::required("signature", &R::signature, envelope::signature_codec).not_signed());
}

// The log of the store at `store_path`.
std::string audit_log_path(const std::string& store_path);

// The line of `entry` signed with `key`, without its newline: the canonical
// bytes of every member but the signature (what the signature covers), with
// the signature added as the last member.
[[nodiscard]] tl::expected<std::string, StoreError> signed_audit_line(const AuditEntry& entry,
                                                                      const crypto::Signer& key);

// The SHA-256 of a line as the next line links to it.
contracts::ContentHash audit_line_hash(std::string_view line);

// The next save's entry as its place in the log decides it. Reads only the
// end of the log (its last line): appending costs the same however long the
// log is. `loaded` is the store the save replaces (nullopt: none yet).
struct LogTail {
    // The log's last complete line, parsed, and its hash.
    std::optional<AuditEntry> last;
    std::optional<contracts::ContentHash> last_hash;
    // Bytes after the last newline: what an interrupted append left, cut off
    // before the next line is appended.
    std::uint64_t complete_bytes = 0;
    bool torn = false;
    bool exists = false;
};

[[nodiscard]] tl::expected<LogTail, StoreError> read_log_tail(const std::string& log_path);

// The sequence and link to the line before of the save that follows
// `loaded` in a log ending as `tail` does (no log: one begins). StorageFailed,
// worded for the store, when they do not agree: the store is not the one the
// log's last line saved (an older copy put back, or another store).
struct NextLine {
    std::uint64_t sequence = 1;
    std::optional<contracts::ContentHash> previous_line;
};
[[nodiscard]] tl::expected<NextLine, StoreError> next_log_line(
    const std::string& store_path, const std::optional<StoreStanding>& loaded, const LogTail& tail);

// Appends `line` and a newline to the log, cutting off a torn end first, and
// flushes the log (and, for a new log, its folder) to stable storage before
// returning: the store may then be renamed into place. StorageFailed with
// the OS error.
[[nodiscard]] tl::expected<void, StoreError> append_audit_line(const std::string& log_path,
                                                               const LogTail& tail,
                                                               std::string_view line);

// ---- auditing a whole log ---------------------------------------------------

// One line of the log as audited.
struct AuditedLine {
    std::uint64_t line_number = 0;
    AuditEntry entry;
    enum class Standing { Committed, Superseded, Pending };
    Standing standing = Standing::Committed;
};

struct AuditReport {
    std::vector<AuditedLine> lines;
    // Whether the log ends in bytes an interrupted append left.
    bool torn_tail = false;
};

// Where a log breaks: the number of the line (0: the log as a whole) and why.
struct AuditBreak {
    std::uint64_t line_number = 0;
    std::string reason;
};

// Checks every line of `text` against the store `store` stands as, signed
// with `key` (the store's key now): each line parses, links to the line
// before, has the sequence that follows, chains its store hashes, and is
// signed with the store's key of its time (the lines before a rekey with the
// key it replaced); a superseded line is vouched for by the line after it,
// which links to it. The last committed line must be the store. The first
// break found is returned.
[[nodiscard]] tl::expected<AuditReport, AuditBreak> audit_log_text(std::string_view text,
                                                                   const crypto::VerifyingKey& key,
                                                                   const StoreStanding& store);

}  // namespace zdz::store
