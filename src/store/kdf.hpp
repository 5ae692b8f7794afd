#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/errors.hpp"
#include "crypto/secret.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"

namespace zdz::store {

inline constexpr std::string_view kArgon2idName = "argon2id";

// What key generation writes into a new keystore.
inline constexpr std::uint32_t kDefaultMemoryCostKib = 131072;  // 128 MiB
inline constexpr std::uint32_t kDefaultTimeCost = 3;
inline constexpr std::uint32_t kDefaultParallelism = 4;

// Enforced on every derivation, so a keystore edited to weaker or absurd
// costs is refused on unsealing as well as on sealing.
inline constexpr std::uint32_t kMinMemoryCostKib = 8192;     // 8 MiB
inline constexpr std::uint32_t kMaxMemoryCostKib = 1048576;  // 1 GiB
inline constexpr std::uint32_t kMaxTimeCost = 16;
inline constexpr std::uint32_t kMaxParallelism = 16;
inline constexpr std::size_t kMinSaltBytes = 16;

inline constexpr std::size_t kKekBytes = 32;

inline constexpr std::string_view kKdfParamsRecordName = "KdfParams";

// Argon2id parameters as a keystore file carries them, fields in file order.
struct KdfParams {
    std::string algorithm;
    std::uint32_t m_cost_kib = 0;
    std::uint32_t t_cost = 0;
    std::uint32_t parallelism = 0;

    static KdfParams keygen_default();

    friend bool operator==(const KdfParams&, const KdfParams&) = default;
};

// Exactly the four members, each once; the costs must fit in u32. The
// algorithm text is taken as it is: derive_kek judges it.
constexpr auto describe(json::Type<KdfParams>) {
    return json::record<KdfParams>(
        kKdfParamsRecordName, json::required("algorithm", &KdfParams::algorithm, json::plain_text),
        json::required("m_cost_kib", &KdfParams::m_cost_kib, json::u32),
        json::required("t_cost", &KdfParams::t_cost, json::u32),
        json::required("parallelism", &KdfParams::parallelism, json::u32));
}

// The record alone as a document: pretty JSON, two-space indentation, no
// final newline; and read back strictly, the error placed in the text.
std::string write_kdf_params_json(const KdfParams& params);
[[nodiscard]] tl::expected<KdfParams, json::DocumentError> read_kdf_params_json(
    std::string_view text);

// The checks derive_kek makes of the parameters, in its order, without the
// salt: whether a keystore with these costs can be unsealed at all.
[[nodiscard]] tl::expected<void, contracts::ContractError> check_kdf_params(
    const KdfParams& params);

// Derives the 32-byte key-encryption key with Argon2id (version 0x13). The
// parameters are checked first, in a fixed order, and the first refusal is
// returned; a failure inside Argon2 itself is ContractError::encryption().
[[nodiscard]] tl::expected<crypto::Secret, contracts::ContractError> derive_kek(
    std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt,
    const KdfParams& params);

}  // namespace zdz::store
