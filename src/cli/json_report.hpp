#pragma once

// Reports in JSON (`--format json`): one document on standard output, made for
// jq and CI. The member names are part of the interface; the tables below are
// what the manual page documents and what tests hold the output to.

#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "json/value.hpp"

namespace zdz::cli {

// One member of a JSON report: its path ("image_file.path", "platforms[].current")
// and what it holds.
struct JsonMemberDoc {
    std::string_view path;
    std::string_view meaning;
};

std::span<const JsonMemberDoc> verify_json_members();
std::span<const JsonMemberDoc> show_store_json_members();

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
