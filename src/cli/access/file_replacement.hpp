#pragma once

// How commands word a replacement of a file that did not go through, or went
// through without being durable: the one place that says "may not be
// durable".

#include <string>
#include <string_view>

#include "cli/command.hpp"
#include "store/replacement.hpp"

namespace zdz::cli {

// "NOUN written to PATH but it may not be durable: DETAIL": the file was
// replaced, but flushing its folder failed. Repeating the command would
// repeat a change that is already in place.
CommandError not_durable(std::string_view noun, const std::string& path, std::string_view detail);

// replace_confirmed (change-passphrase's keystore, rekey-store's registry
// store):

// "failed to write NOUN to PATH: ...; the previous NOUN is unchanged", "the
// NOUN written to PATH did not read back as written (...); the previous NOUN
// was put back" (or "..., and the previous NOUN could not be put back: ..."),
// or "NOUN written to PATH but it may not be durable: ...".
CommandError replacement_failure(std::string_view noun, const std::string& path,
                                 const store::ReplacementError& error);

}  // namespace zdz::cli
