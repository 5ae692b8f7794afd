#include "store/audit_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "crypto/digest.hpp"
#include "encoding/hex.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "store/file_errors.hpp"

namespace zdz::store {
namespace {

constexpr std::string_view kLogExtension = "log";
constexpr std::string_view kSignatureMember = ",\"signature\":\"";
// The most of the log's end read to find its last line: far more than any
// line takes (a line with a dozen signers is under 2 KiB).
constexpr std::size_t kTailWindow = std::size_t{1} << 20;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

StoreError log_failure(const std::string& what, const std::string& path, int err) {
    return StoreError::storage_failed(what + " " + path + ": " + contracts::os_error_text(err));
}

// The size of the log open at `fd`, which must be a regular file: what fstat
// says through the descriptor read or written, not what the path names now.
// A failure is worded "WHAT PATH: ...".
tl::expected<std::uint64_t, StoreError> regular_log_size(const Descriptor& fd,
                                                         const std::string& path,
                                                         const std::string& what) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return tl::unexpected(log_failure(what, path, errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return tl::unexpected(
            StoreError::storage_failed(what + " " + path + ": not a regular file"));
    }
    return static_cast<std::uint64_t>(st.st_size);
}

std::string sequence_text(const std::optional<StoreStanding>& store) {
    return store ? std::to_string(store->sequence) + " (" + store->hash.to_string() + ")"
                 : std::string("absent");
}

}  // namespace

tl::expected<crypto::VerifyingKey, std::string> parse_public_key_hex(std::string_view text) {
    std::array<std::uint8_t, crypto::kPublicKeyBytes> bytes{};
    if (auto decoded = encoding::hex_decode_exact(text, bytes); !decoded) {
        return tl::unexpected(decoded.error().field_text("public key", "public key", "public key"));
    }
    return crypto::VerifyingKey::from_bytes(bytes).map_error(
        [](const contracts::ContractError& e) { return e.display(); });
}

std::string public_key_hex(const crypto::VerifyingKey& key) {
    return key.to_hex();
}

std::string audit_log_path(const std::string& store_path) {
    return io::sibling_path(store_path, kLogExtension);
}

tl::expected<std::string, StoreError> signed_audit_line(const AuditEntry& entry,
                                                        const crypto::Signer& key) {
    auto bytes = json::canonical_record(entry);
    if (!bytes) {
        return tl::unexpected(StoreError::registry_malformed("failed to write audit log line: " +
                                                             bytes.error().display()));
    }
    const auto signature = key.sign(*bytes);
    if (!signature) {
        return tl::unexpected(StoreError::registry_malformed("failed to sign audit log line: " +
                                                             signature.error().display()));
    }
    // The canonical bytes end with the object's closing brace: the signature
    // goes just before it, so the line is the signed bytes and one member.
    std::string line = std::move(*bytes);
    line.pop_back();
    line += kSignatureMember;
    line += signature->to_string();
    line += "\"}";
    return line;
}

contracts::ContentHash audit_line_hash(std::string_view line) {
    return crypto::measure_sha256(line);
}

// ---- appending ----------------------------------------------------------------

tl::expected<LogTail, StoreError> read_log_tail(const std::string& log_path) {
    LogTail tail;
    const int raw = ::open(log_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (raw < 0) {
        if (errno == ENOENT) {
            return tail;
        }
        return tl::unexpected(log_failure("cannot read", log_path, errno));
    }
    const Descriptor fd(raw);
    ZDZ_TRY(const auto log_size, regular_log_size(fd, log_path, "cannot read"));
    tail.exists = true;
    const std::uint64_t size = log_size;
    const auto window = static_cast<std::size_t>(std::min<std::uint64_t>(size, kTailWindow));
    std::string end(window, '\0');
    std::size_t got = 0;
    while (got < window) {
        const auto n = ::pread(fd.get(), end.data() + got, window - got,
                               static_cast<off_t>(size - window + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return tl::unexpected(log_failure("cannot read", log_path, n < 0 ? errno : EIO));
        }
        got += static_cast<std::size_t>(n);
    }
    const auto last_newline = end.rfind('\n');
    tail.torn = last_newline == std::string::npos ? !end.empty() : last_newline + 1 != end.size();
    if (last_newline == std::string::npos) {
        if (size > window) {
            return tl::unexpected(StoreError::storage_failed(
                "cannot read " + log_path + ": its last line is longer than 1 MiB"));
        }
        return tail;
    }
    tail.complete_bytes = size - window + last_newline + 1;
    const auto before = last_newline == 0 ? std::string::npos : end.rfind('\n', last_newline - 1);
    if (before == std::string::npos && size > window) {
        return tl::unexpected(StoreError::storage_failed("cannot read " + log_path +
                                                         ": its last line is longer than 1 MiB"));
    }
    const auto start = before == std::string::npos ? 0 : before + 1;
    const std::string_view line(end.data() + start, last_newline - start);
    auto entry = json::read_record<AuditEntry>(line);
    if (!entry) {
        return tl::unexpected(StoreError::storage_failed(
            "audit log " + log_path +
            " ends in a line that does not read: " + entry.error().display()));
    }
    tail.last = std::move(*entry);
    tail.last_hash = audit_line_hash(line);
    return tail;
}

tl::expected<NextLine, StoreError> next_log_line(const std::string& store_path,
                                                 const std::optional<StoreStanding>& loaded,
                                                 const LogTail& tail) {
    const auto log_path = audit_log_path(store_path);
    if (!tail.last) {
        // No log yet: a new store, one written before stores kept a log, or
        // one whose log was not kept with it (a copy). The log begins here,
        // linked to the store it follows; audit-store says where it begins.
        return NextLine{loaded ? loaded->sequence + 1 : 1, std::nullopt};
    }
    const auto& last = *tail.last;
    const std::uint64_t sequence = loaded ? loaded->sequence : 0;
    const auto loaded_hash =
        loaded ? std::optional<contracts::ContentHash>(loaded->hash) : std::nullopt;
    // The log's last save is the store: the next one follows it.
    if (loaded && last.sequence == sequence && last.store_hash == loaded->hash) {
        return NextLine{sequence + 1, tail.last_hash};
    }
    // The log's last save never took the store's place: this one, with the
    // same sequence, supersedes it.
    if (last.sequence == sequence + 1 && last.previous_hash == loaded_hash) {
        return NextLine{sequence + 1, tail.last_hash};
    }
    return tl::unexpected(StoreError::storage_failed(
        "store " + store_path + " is not the store its audit log " + log_path +
        " last recorded: the log's last save is sequence " + std::to_string(last.sequence) + " (" +
        last.store_hash.to_string() + "), the store is " + sequence_text(loaded) +
        "; run audit-store to see the history"));
}

tl::expected<void, StoreError> append_audit_line(const std::string& log_path, const LogTail& tail,
                                                 std::string_view line) {
    constexpr mode_t kLogMode = 0666;
    const int raw =
        ::open(log_path.c_str(),
               O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_APPEND, kLogMode);
    if (raw < 0) {
        return tl::unexpected(log_failure("cannot write", log_path, errno));
    }
    const Descriptor fd(raw);
    ZDZ_TRY(const auto size, regular_log_size(fd, log_path, "cannot write"));
    // What an interrupted append left after the last newline is cut off:
    // the line that follows starts on a line of its own.
    if (size != tail.complete_bytes &&
        ::ftruncate(fd.get(), static_cast<off_t>(tail.complete_bytes)) != 0) {
        return tl::unexpected(log_failure("cannot write", log_path, errno));
    }
    std::string bytes(line);
    bytes += '\n';
    std::string_view rest(bytes);
    while (!rest.empty()) {
        const auto n = ::write(fd.get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return tl::unexpected(log_failure("cannot write", log_path, n < 0 ? errno : EIO));
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(fd.get()) != 0) {
        return tl::unexpected(log_failure("cannot flush", log_path, errno));
    }
    if (!tail.exists) {
        // A new log's name must be as durable as its line before the store
        // that it records is renamed into place.
        if (const int err = io::sync_directory_of(log_path); err != 0) {
            return tl::unexpected(log_failure("cannot flush the folder of", log_path, err));
        }
    }
    return {};
}

// ---- auditing -------------------------------------------------------------------

namespace {

using Standing = AuditedLine::Standing;

AuditBreak broken(std::uint64_t line, std::string reason) {
    return AuditBreak{line, std::move(reason)};
}

// The lines of the text with their numbers; the bytes after the last
// newline are not a line.
struct LogLines {
    std::vector<std::string_view> lines;
    bool torn = false;
};

LogLines split_lines(std::string_view text) {
    LogLines out;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        if (newline == std::string_view::npos) {
            out.torn = true;
            break;
        }
        out.lines.push_back(text.substr(0, newline));
        text.remove_prefix(newline + 1);
    }
    return out;
}

std::string hash_or_none(const std::optional<contracts::ContentHash>& hash) {
    return hash ? hash->to_string() : std::string("none");
}

}  // namespace

tl::expected<AuditReport, AuditBreak> audit_log_text(std::string_view text,
                                                     const crypto::VerifyingKey& key,
                                                     const StoreStanding& store) {
    const auto split = split_lines(text);
    AuditReport report;
    report.torn_tail = split.torn;
    const auto& lines = split.lines;
    if (lines.empty()) {
        return tl::unexpected(broken(0, "the log holds no line"));
    }

    // Parsed, each linked to the one before.
    std::vector<contracts::ContentHash> hashes;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto number = i + 1;
        auto entry = json::read_record<AuditEntry>(lines[i]);
        if (!entry) {
            return tl::unexpected(broken(number, "does not read: " + entry.error().display()));
        }
        const auto expected_link =
            i == 0 ? std::nullopt : std::optional<contracts::ContentHash>(hashes.back());
        if (entry->previous_line != expected_link) {
            return tl::unexpected(
                broken(number, i == 0 ? "links to a line before it that the log does not hold"
                                      : "does not link to line " + std::to_string(i) +
                                            " (a line was changed, removed or moved)"));
        }
        hashes.push_back(audit_line_hash(lines[i]));
        report.lines.push_back({number, std::move(*entry), Standing::Committed});
    }

    // Which saves took effect: a line followed by one of the same sequence
    // was superseded; a last line one past the store never took its place.
    auto& audited = report.lines;
    for (std::size_t i = 0; i + 1 < audited.size(); ++i) {
        if (audited[i + 1].entry.sequence == audited[i].entry.sequence) {
            audited[i].standing = Standing::Superseded;
        }
    }
    auto& last = audited.back();
    if (last.entry.sequence == store.sequence + 1 &&
        last.entry.previous_hash == std::optional(store.hash) &&
        !(last.entry.store_hash == store.hash)) {
        last.standing = Standing::Pending;
    }

    // Sequences and store hashes, first to last.
    const AuditedLine* previous = nullptr;
    for (const auto& line : audited) {
        const auto& entry = line.entry;
        if (previous == nullptr) {
            // A log may begin at any save: the first of a new store (1, no
            // store before it), or the next of a store that had no log.
            if (entry.sequence != 1 && !entry.previous_hash) {
                return tl::unexpected(
                    broken(line.line_number, "is sequence " + std::to_string(entry.sequence) +
                                                 " but names no store before it"));
            }
        } else if (entry.sequence != previous->entry.sequence + 1) {
            return tl::unexpected(
                broken(line.line_number, "is sequence " + std::to_string(entry.sequence) +
                                             " after sequence " +
                                             std::to_string(previous->entry.sequence)));
        }
        const auto expected_previous =
            previous == nullptr ? entry.previous_hash
                                : std::optional<contracts::ContentHash>(previous->entry.store_hash);
        if (entry.previous_hash != expected_previous) {
            return tl::unexpected(broken(line.line_number, "replaces store " +
                                                               hash_or_none(entry.previous_hash) +
                                                               ", but the save before it wrote " +
                                                               hash_or_none(expected_previous)));
        }
        if (line.standing == Standing::Committed) {
            previous = &line;
        }
    }

    // Signatures, last to first: the store's key now, then before each rekey
    // the key it replaced. A superseded line is vouched for by the line
    // after it, which links to it; a pending rekey is signed with the key it
    // would have moved to.
    crypto::VerifyingKey current = key;
    for (auto line = audited.rbegin(); line != audited.rend(); ++line) {
        const auto& entry = line->entry;
        if (line->standing == Standing::Superseded) {
            continue;
        }
        const bool rekey = entry.previous_public_key.has_value();
        const auto& signer = line->standing == Standing::Pending && rekey && entry.public_key
                                 ? *entry.public_key
                                 : current;
        const auto bytes = json::canonical_record(entry);
        if (!bytes || !crypto::verify_bytes(signer, *bytes, entry.signature)) {
            return tl::unexpected(
                broken(line->line_number, "is not signed with the store's key of its time"));
        }
        if (rekey && line->standing == Standing::Committed) {
            current = *entry.previous_public_key;
        }
    }

    // The last save that took effect is the store.
    const auto committed = std::find_if(audited.rbegin(), audited.rend(), [](const auto& line) {
        return line.standing == Standing::Committed;
    });
    if (committed == audited.rend()) {
        return tl::unexpected(broken(0, "no save in the log took effect"));
    }
    if (committed->entry.sequence != store.sequence ||
        !(committed->entry.store_hash == store.hash)) {
        return tl::unexpected(
            broken(committed->line_number,
                   "saved sequence " + std::to_string(committed->entry.sequence) + " (" +
                       committed->entry.store_hash.to_string() + "), but the store is sequence " +
                       std::to_string(store.sequence) + " (" + store.hash.to_string() + ")"));
    }
    return report;
}

}  // namespace zdz::store
