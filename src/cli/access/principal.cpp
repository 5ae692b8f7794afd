#include "cli/access/principal.hpp"

#include "encoding/text.hpp"

namespace zdz::cli {
namespace {

bool is_valid_principal(std::string_view principal) {
    if (principal.empty() || principal.front() == '#' || !encoding::is_valid_utf8(principal)) {
        return false;
    }
    for (std::size_t pos = 0; pos < principal.size();) {
        const auto c = encoding::decode_utf8_at(principal, pos);
        if (encoding::is_unicode_whitespace(c->code_point) ||
            encoding::is_terminal_unsafe(c->code_point)) {
            return false;
        }
        pos += c->length;
    }
    return true;
}

}  // namespace

tl::expected<std::string, CommandError> checked_principal(
    const std::optional<std::string>& principal) {
    std::string chosen = principal.value_or(kDefaultPrincipal);
    if (!is_valid_principal(chosen)) {
        return tl::unexpected(fail("invalid principal " + encoding::quoted_form(chosen) +
                                   ": it must be one word without white space or control "
                                   "characters, not starting with '#'"));
    }
    return chosen;
}

}  // namespace zdz::cli
