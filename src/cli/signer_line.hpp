#pragma once

#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "crypto/ed25519.hpp"

namespace zdz::cli {

// The principal of a printed trust-file line, as keygen and show-key take it:
// --principal if given, else the default operator principal. It becomes the
// first field of the line, so it must be one field: no white space, no
// control characters (C0, DEL, and C1, whose U+009B a terminal takes as the
// start of an escape sequence), and not a comment. Refused with "invalid
// principal ...".
[[nodiscard]] tl::expected<std::string, CommandError> checked_principal(
    const std::optional<std::string>& principal);

// The close of keygen's report, which show-key ends with too: an empty line,
// the heading, and the allowed_signers line of `key` for `principal`, indented
// by two spaces. Every line ends in a newline; the trust-file line is the last.
std::string allowed_signers_block(std::string_view principal, const crypto::VerifyingKey& key);

}  // namespace zdz::cli
