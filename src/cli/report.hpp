#pragma once

// Report lines that several commands print; each command's own lines are in
// its unit under commands/.

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/ed25519.hpp"
#include "store/kdf.hpp"

namespace zdz::cli {

// The KDF costs of a keystore for show-key and change-passphrase, in the form
// keygen reports them: "argon2id, 128 MiB, t=3, p=4". A memory cost that is
// not a whole number of MiB (only an edited keystore has one) is given in KiB
// rather than rounded down, and the algorithm as the file names it.
std::string kdf_text(const store::KdfParams& kdf);

// The close of keygen's report, which show-key ends with too: an empty line,
// the heading, and the allowed_signers line of `key` for `principal`, indented
// by two spaces. Every line ends in a newline; the trust-file line is the last.
std::string allowed_signers_block(std::string_view principal, const crypto::VerifyingKey& key);

// The report line of a measured file, after its label: "IMG (N bytes measured)".
std::string measured_file_text(const std::string& path, std::uint64_t bytes);

}  // namespace zdz::cli
