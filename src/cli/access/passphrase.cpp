#include "cli/access/passphrase.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "cli/access/clock.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"

namespace zdz::cli {

tl::expected<crypto::Secret, CommandError> read_passphrase_env(const std::string& name) {
    const char* value =
        name.empty() || name.find('=') != std::string::npos ? nullptr : std::getenv(name.c_str());
    if (value == nullptr || !encoding::is_valid_utf8(std::string_view(value, std::strlen(value)))) {
        return tl::unexpected(fail("environment variable " + name +
                                   " is not set (pass the passphrase via an env var, "
                                   "not a CLI flag)"));
    }
    if (*value == '\0') {
        return tl::unexpected(fail("environment variable " + name + " is set but empty"));
    }
    return crypto::Secret(std::string_view(value, std::strlen(value)));
}

tl::expected<PassphraseAndClock, CommandError> read_passphrase_then_clock(const std::string& name) {
    ZDZ_TRY(auto passphrase, read_passphrase_env(name));
    ZDZ_TRY(const auto now, read_clock());
    return PassphraseAndClock{std::move(passphrase), now};
}

}  // namespace zdz::cli
