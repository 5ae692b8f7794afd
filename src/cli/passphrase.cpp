#include "cli/passphrase.hpp"

#include <cstdlib>
#include <cstring>

#include "encoding/text.hpp"

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

}  // namespace zdz::cli
