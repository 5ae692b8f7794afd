#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/time.hpp"

namespace zdz::trust {

// The bounds an allowed_signers options field puts on when a key's signatures
// count; either may be absent.
struct ValidityWindow {
    std::optional<contracts::Timestamp> valid_after;
    std::optional<contracts::Timestamp> valid_before;
};

// Reads the field that stands between the principal and the key type.
// nullopt when the field is not a window options field: some comma-separated
// option in it is not named valid-after or valid-before (cert-authority,
// namespaces=..., a misspelling), so the caller reads it as a key type and
// refuses it as before options were read at all. Otherwise the window, or the
// reason it is refused: a value that is not a quoted TIME, a TIME that is not
// YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS followed by "Z", a date or time
// that does not exist, an option given twice, or valid-after not strictly
// before valid-before.
[[nodiscard]] std::optional<tl::expected<ValidityWindow, std::string>> read_window_options(
    std::string_view field);

}  // namespace zdz::trust
