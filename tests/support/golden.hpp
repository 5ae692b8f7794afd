#pragma once

// The golden files under tests/data/golden: a trust file, two image files,
// two manifests, a keystore and a registry store, all made from fixed seeds,
// and forged copies of them. golden_files() makes every one of them again
// through the project's own code, so that a test can compare the checked-in
// bytes with what the code writes today; ZDZ_REGENERATE_GOLDEN=1 makes that
// test write them instead (see tests/data/README.md).

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"

namespace zdz::test::golden {

// The instant every manifest was signed and every promotion and withdrawal
// made: a command run with its clock frozen here writes the same records.
inline constexpr std::string_view kSignedAt = "2025-03-02T10:00:00Z";
// kSignedAt as `faketime -f` takes it (local time; run with TZ=UTC). An
// absolute time without '@' stops the clock there: with "@..." it would run
// on, and a slow key derivation would sign a second later.
inline constexpr std::string_view kSignedAtFaketime = "2025-03-02 10:00:00";
inline constexpr std::string_view kKeystoreCreatedAt = "2025-03-01T09:00:00Z";

inline constexpr std::string_view kOperator = "release-operator@golden.example";
inline constexpr std::string_view kOtherSigner = "build-bot@golden.example";
inline constexpr std::string_view kKeyId = "0b7a4c1e-5d2f-4a83-9c61-2e8f5a7d3b90";
inline constexpr std::string_view kPlatform = "vask";

// The keystore's key: it signs both manifests and the registry store.
crypto::SigningKey operator_key();
// Listed in the trust file before the operator; signs nothing.
crypto::SigningKey other_signer_key();
// Signs the forged store in place of the operator.
crypto::SigningKey intruder_key();

// Names relative to the golden folder, with their exact bytes, in the order
// they are made. Forged copies are under "forged/".
std::vector<std::pair<std::string, std::string>> golden_files();

// tests/data/golden in the source tree.
std::string golden_dir();

// The checked-in bytes of one golden file (throws when it cannot be read).
std::string read_golden(const std::string& name);

}  // namespace zdz::test::golden
