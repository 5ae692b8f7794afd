#pragma once

#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "cli/command.hpp"

namespace zdz::cli {

// The principal of a printed trust-file line, as keygen and show-key take it:
// --principal if given, else the default operator principal. It becomes the
// first field of the line, so it must be one field: no white space, no
// control characters (C0, DEL, and C1, whose U+009B a terminal takes as the
// start of an escape sequence), and not a comment. Refused with "invalid
// principal ...".
[[nodiscard]] tl::expected<std::string, CommandError> checked_principal(
    const std::optional<std::string>& principal);

}  // namespace zdz::cli
