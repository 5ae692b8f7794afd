#include <algorithm>
#include <string>
#include <utility>

#include "cli/access/clock.hpp"
#include "cli/access/store_access.hpp"
#include "cli/access/store_key.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "io/file.hpp"
#include "store/audit_log.hpp"

namespace zdz::cli {
namespace {

using json::JsonValue;
using Standing = store::AuditedLine::Standing;

// The longest command name, "refresh-store", and two spaces.
constexpr std::size_t kCommandColumn = 15;

std::string joined(const std::vector<contracts::ContentHash>& hashes) {
    std::string text;
    for (const auto& hash : hashes) {
        text += (text.empty() ? "" : ", ") + hash.to_string();
    }
    return text;
}

// What a save changed, in a few words.
std::string change_text(const store::AuditEntry& entry) {
    std::string text = entry.platform ? entry.platform->text() : std::string();
    const auto add = [&](const std::string& part) { text += (text.empty() ? "" : "  ") + part; };
    if (entry.measurement) {
        add(entry.measurement->to_string());
    }
    if (entry.security_version) {
        add(trust::security_version_text(*entry.security_version));
    }
    if (entry.manifest_id) {
        add("manifest " + entry.manifest_id->to_string());
    }
    if (entry.signers && !entry.signers->empty()) {
        add("signed by " + joined(*entry.signers));
    }
    if (entry.withdrawn) {
        std::string withdrawn;
        for (const auto& measurement : *entry.withdrawn) {
            withdrawn += (withdrawn.empty() ? "" : ", ") + measurement.to_string();
        }
        add("withdrew " + withdrawn);
    }
    if (entry.min_signers) {
        add("min signers " + std::to_string(*entry.min_signers));
    }
    if (entry.previous_key_id) {
        add("key " + entry.previous_key_id->to_string() + " -> " + entry.key_id.to_string());
    }
    if (entry.expires_at) {
        add("expires " + entry.expires_at->to_string());
    }
    return text;
}

std::string standing_text(Standing standing) {
    switch (standing) {
        case Standing::Committed:
            break;
        case Standing::Superseded:
            return "superseded";
        case Standing::Pending:
            return "pending";
    }
    return "committed";
}

// Where the log begins: on a new store, or on one saved before it kept a log.
std::string beginning_text(const store::AuditReport& report) {
    const auto& first = report.lines.front().entry;
    if (first.previous_hash && first.sequence == 1) {
        return "sequence 1, on a store saved before stores kept a log (" +
               first.previous_hash->to_string() + ")";
    }
    if (first.previous_hash) {
        return "sequence " + std::to_string(first.sequence) + ", on a store whose saves 1 to " +
               std::to_string(first.sequence - 1) + " are not in this log (" +
               first.previous_hash->to_string() + ")";
    }
    return "sequence " + std::to_string(first.sequence) + " (a new store)";
}

std::string store_line(const AuditStore& cmd, const store::StoreStanding& standing) {
    return "  store:          " + cmd.store + ", sequence " + std::to_string(standing.sequence) +
           ", " + standing.hash.to_string() + "\n";
}

std::string history_text(const AuditStore& cmd, const std::string& log_path,
                         const store::StoreStanding& standing, const store::AuditReport& report) {
    std::size_t saves = 0;
    std::size_t width = 1;
    for (const auto& line : report.lines) {
        saves += line.standing == Standing::Committed ? 1 : 0;
        width = std::max(width, std::to_string(line.entry.sequence).size());
    }
    std::string text = "[ok] audit log verified: " + log_path + "\n";
    text += store_line(cmd, standing);
    text += "  log begins at:  " + beginning_text(report) + "\n";
    text += "  saves logged:   " + std::to_string(saves) + "\n";
    text += "history (oldest first):\n";
    for (const auto& line : report.lines) {
        const auto& entry = line.entry;
        auto sequence = std::to_string(entry.sequence);
        sequence.insert(0, width - sequence.size(), ' ');
        auto command = entry.command;
        command.resize(std::max(kCommandColumn, command.size() + 2), ' ');
        text += "  ";
        text += sequence;
        text += "  ";
        text += entry.time.to_string();
        text += "  ";
        text += command;
        text += change_text(entry);
        text += "\n";
        if (line.standing == Standing::Superseded) {
            text += "  " + std::string(width, ' ') + "  (line " + std::to_string(line.line_number) +
                    ": this save never took effect; the next line supersedes it)\n";
        } else if (line.standing == Standing::Pending) {
            text += "  " + std::string(width, ' ') + "  (line " + std::to_string(line.line_number) +
                    ": this save never took effect; the next save supersedes it)\n";
        }
    }
    if (report.torn_tail) {
        text +=
            "note: the log ends in an incomplete line that an interrupted save left; the next "
            "save removes it\n";
    }
    return text;
}

JsonValue history_json(const AuditStore& cmd, const std::string& log_path,
                       const store::StoreStanding& standing, const store::AuditReport& report) {
    auto document = json_success();
    document.add("store", JsonValue::string(cmd.store));
    document.add("log", JsonValue::string(log_path));
    document.add("sequence", JsonValue::uint64(standing.sequence));
    document.add("store_hash", JsonValue::string(standing.hash.to_string()));
    // A store without a log begins one at its next save.
    document.add("begins_on_unlogged_store",
                 JsonValue::boolean(report.lines.empty() ||
                                    report.lines.front().entry.previous_hash.has_value()));
    auto saves = JsonValue::array();
    for (const auto& line : report.lines) {
        const auto& entry = line.entry;
        auto save = JsonValue::object();
        save.add("line", JsonValue::uint64(line.line_number));
        save.add("sequence", JsonValue::uint64(entry.sequence));
        save.add("time", JsonValue::string(entry.time.to_string()));
        save.add("command", JsonValue::string(entry.command));
        save.add("standing", JsonValue::string(standing_text(line.standing)));
        save.add("store_hash", JsonValue::string(entry.store_hash.to_string()));
        save.add("key_id", JsonValue::string(entry.key_id.to_string()));
        save.add("change", JsonValue::string(change_text(entry)));
        saves.push(std::move(save));
    }
    document.add("saves", std::move(saves));
    document.add("torn_tail", JsonValue::boolean(report.torn_tail));
    return document;
}

}  // namespace

CommandResult run_audit_store(const AuditStore& cmd, std::ostream& out) {
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"store", cmd.store}}));
    ZDZ_TRY(const auto key, store_verifying_key(cmd.key));
    ZDZ_TRY(const auto now, read_clock());
    // The history of an expired store can be audited all the same.
    ZDZ_TRY(const auto loaded, load_existing_store(cmd.store, key, now, store::ExpiredStore::Read));
    const auto& standing = loaded.standing;
    const auto log_path = store::audit_log_path(cmd.store);
    if (!io::destination_exists(log_path)) {
        // Only a store written before stores kept a log has none: its next
        // save begins it.
        if (standing.sequence == 0) {
            out << (cmd.format == OutputFormat::Json
                        ? json_report_text(history_json(cmd, log_path, standing, {}))
                        : "[ok] no save of " + cmd.store + " is logged yet\n" +
                              store_line(cmd, standing) + "  log begins at:  its next save, in " +
                              log_path + "\n");
            return {};
        }
        return tl::unexpected(refuse("audit log " + log_path + " is missing: store " + cmd.store +
                                     " is at sequence " + std::to_string(standing.sequence)));
    }
    const auto text = io::read_file_text(log_path, io::Accept::RegularFile);
    if (!text) {
        return tl::unexpected(
            fail("cannot read audit log " + log_path + ": " + text.error().display()));
    }
    const auto report = store::audit_log_text(*text, key, standing);
    if (!report) {
        const auto& broken = report.error();
        return tl::unexpected(
            refuse("audit log " + log_path +
                   (broken.line_number == 0 ? std::string(": ")
                                            : " line " + std::to_string(broken.line_number) + " ") +
                   broken.reason));
    }
    out << (cmd.format == OutputFormat::Json
                ? json_report_text(history_json(cmd, log_path, standing, *report))
                : history_text(cmd, log_path, standing, *report));
    return {};
}

}  // namespace zdz::cli
