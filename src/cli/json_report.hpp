#pragma once

// Reports in JSON (`--format json`): one document on standard output, made for
// jq and CI. The member names are part of the interface; the tables below are
// what the manual page documents and what tests hold the output to.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "contracts/ids.hpp"
#include "crypto/ed25519.hpp"
#include "json/value.hpp"
#include "store/kdf.hpp"
#include "trust/manifest.hpp"

namespace zdz::cli {

// One member of a JSON report: its path ("image_file.path", "platforms[].current")
// and what it holds.
struct JsonMemberDoc {
    // Which kind of keystore a member of keygen's and show-key's documents
    // comes with; every other member is in every document of its command.
    enum class Keystore { Either, Sealed, Token };

    std::string_view path;
    std::string_view meaning;
    Keystore only = Keystore::Either;
    // In some documents only, as `meaning` says when.
    bool conditional = false;
};

std::span<const JsonMemberDoc> verify_json_members();
std::span<const JsonMemberDoc> show_store_json_members();

// The document of one command's success, and its members.
struct JsonReportDoc {
    std::string_view command;
    std::span<const JsonMemberDoc> members;
};

// Every command's document, in the order --help lists the commands; every
// command but `demo` has one.
std::span<const JsonReportDoc> json_report_docs();

// The members of a failure's document.
std::span<const JsonMemberDoc> json_failure_members();

// The words of `error.kind`, and what each means.
std::span<const JsonMemberDoc> json_error_kinds();
std::string_view error_kind_word(ErrorKind kind);

// The start of a success document: an object whose first member is
// `"ok": true`, for the command to add its result members to.
json::JsonValue json_success();

// The start of the keystore reports (keygen, show-key, change-passphrase):
// json_success(), then the keystore file as given, its key id and its public
// key.
json::JsonValue keystore_json(const std::string& path, const contracts::Uuid& key_id,
                              const crypto::VerifyingKey& key);

// The `kdf` member of the keystore reports.
json::JsonValue kdf_json(const store::KdfParams& kdf);

// Adds the members that name a manifest's image, in the order every report
// gives them: manifest_id, platform, kind, measurement, security_version.
void add_image_json(json::JsonValue& document, const trust::ImageManifestBody& body);

// An image file and how many of its bytes were measured: {"path": PATH,
// "bytes_measured": N}.
json::JsonValue measured_file_json(const std::string& path, std::uint64_t bytes);

// The document of a failure, as printed: {"ok": false, "error": {"kind":
// KIND, "message": MESSAGE}}. MESSAGE is the text of the error line after
// "error: "; bytes of it that are not UTF-8 (a path given so) are written as
// \x{NN}, as terminal_safe writes them.
std::string json_failure_text(const CommandError& error);

// The paths a JSON report repeats, named for the refusal (see
// check_json_path), checked before any work when the format is JSON.
struct JsonPath {
    std::string_view what;
    std::optional<std::string> path;
};
[[nodiscard]] tl::expected<void, CommandError> check_json_paths(
    OutputFormat format, std::initializer_list<JsonPath> paths);

// The document as printed: the file layout (two-space indentation) and a final
// newline. DEL and the C1 controls inside strings are written as \u escapes
// too, like the C0 controls, so that no byte of the report is a terminal
// control; the document reads back the same.
std::string json_report_text(const json::JsonValue& document);

// A path that a JSON report repeats must be UTF-8, as every JSON string is:
// "cannot write the report as JSON: the WHAT path "PATH" is not valid UTF-8".
[[nodiscard]] tl::expected<void, CommandError> check_json_path(std::string_view what,
                                                               const std::string& path);

}  // namespace zdz::cli
