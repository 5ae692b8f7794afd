#pragma once

#include <string>
#include <string_view>

namespace zdz::test {

// Opens a keystore file without the project's keystore code: the JSON is read
// as a plain tree, the KEK derived by libargon2, the associated data written
// out by hand and the envelope opened by libsodium. Returns the hex public key
// of the unsealed seed, or an error text starting with "error: ".
std::string public_key_by_libraries(const std::string& keystore_path, std::string_view passphrase);

}  // namespace zdz::test
