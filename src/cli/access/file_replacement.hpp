#pragma once

// How commands word a replacement that did not go through
// (store::replace_confirmed): change-passphrase's keystore, rekey-store's
// registry store.

#include <string>
#include <string_view>

#include "cli/command.hpp"
#include "store/replacement.hpp"

namespace zdz::cli {

// "failed to write NOUN to PATH: ...; the previous NOUN is unchanged", "the
// NOUN written to PATH did not read back as written (...); the previous NOUN
// was put back" (or "..., and the previous NOUN could not be put back: ..."),
// or "NOUN written to PATH but it may not be durable: ...".
CommandError replacement_failure(std::string_view noun, const std::string& path,
                                 const store::ReplacementError& error);

}  // namespace zdz::cli
