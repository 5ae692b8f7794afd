#include "store/kdf.hpp"

#include <argon2.h>
#include <sys/mman.h>

#include <limits>
#include <string>
#include <utility>

#include "encoding/text.hpp"
#include "encoding/try.hpp"

namespace zdz::store {
namespace {

using contracts::ContractError;

// The floor and ceiling as check_params words them.
static_assert(kMinMemoryCostKib == 8 * 1024, "the memory floor's message names 8 MiB");
static_assert(kMaxMemoryCostKib == 1024 * 1024, "the memory ceiling's message names 1 GiB");

// The parameters refused, for the reason `why`.
tl::unexpected<ContractError> invalid_params(std::string why) {
    return tl::unexpected(
        ContractError::invalid(ContractError::Subject::KdfParams, std::move(why)));
}

// The order decides which fault is reported when a record has several.
[[nodiscard]] tl::expected<void, ContractError> check_params(std::size_t salt_size,
                                                             const KdfParams& params) {
    if (params.algorithm != kArgon2idName) {
        return tl::unexpected(ContractError::unsupported_algorithm(
            encoding::terminal_safe_excerpt(params.algorithm, encoding::kMessageExcerptChars)));
    }
    if (params.m_cost_kib < kMinMemoryCostKib) {
        return invalid_params("argon2id memory cost below the safe floor (8 MiB)");
    }
    if (params.t_cost == 0 || params.parallelism == 0) {
        return invalid_params("argon2id iteration or parallelism cost below the floor");
    }
    if (params.m_cost_kib > kMaxMemoryCostKib) {
        return invalid_params("argon2id memory cost above the safe ceiling (1 GiB)");
    }
    if (params.t_cost > kMaxTimeCost || params.parallelism > kMaxParallelism) {
        return invalid_params("argon2id iteration or parallelism cost above the safe ceiling");
    }
    if (salt_size < kMinSaltBytes) {
        return invalid_params("kdf salt must be at least " + std::to_string(kMinSaltBytes) +
                              " bytes, got " + std::to_string(salt_size));
    }
    return {};
}

// Argon2 takes non-const pointers, but without ARGON2_FLAG_CLEAR_PASSWORD or
// ARGON2_FLAG_CLEAR_SECRET it only reads through them.
// Argon2id's memory (128 MiB at keygen's costs) taken straight from the
// kernel in huge pages where it offers them: filled in 4 KiB pages it costs
// 32,768 page faults, a sixth of the derivation on this kind of machine.
// libargon2 wipes the memory before handing it back.
int allocate_argon2_memory(std::uint8_t** memory, std::size_t bytes) {
    void* mapped =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        *memory = nullptr;
        return ARGON2_MEMORY_ALLOCATION_ERROR;
    }
    // Only a hint: ordinary pages where it is declined.
    (void)::madvise(mapped, bytes, MADV_HUGEPAGE);
    // Derived from the passphrase: never in a core dump.
    (void)::madvise(mapped, bytes, MADV_DONTDUMP);
    *memory = static_cast<std::uint8_t*>(mapped);
    return ARGON2_OK;
}

void free_argon2_memory(std::uint8_t* memory, std::size_t bytes) {
    if (memory != nullptr) {
        (void)::munmap(memory, bytes);
    }
}

std::uint8_t* input_pointer(std::span<const std::uint8_t> bytes) {
    return const_cast<std::uint8_t*>(bytes.data());
}

}  // namespace

KdfParams KdfParams::keygen_default() {
    return KdfParams{std::string(kArgon2idName), kDefaultMemoryCostKib, kDefaultTimeCost,
                     kDefaultParallelism};
}

std::string write_kdf_params_json(const KdfParams& params) {
    return json::write_record_file(params);
}

tl::expected<KdfParams, json::DocumentError> read_kdf_params_json(std::string_view text) {
    return json::read_record<KdfParams>(text);
}

tl::expected<void, ContractError> check_kdf_params(const KdfParams& params) {
    return check_params(kMinSaltBytes, params);
}

tl::expected<crypto::Secret, ContractError> derive_kek(std::span<const std::uint8_t> passphrase,
                                                       std::span<const std::uint8_t> salt,
                                                       const KdfParams& params) {
    ZDZ_RETURN_IF_ERROR(check_params(salt.size(), params));
    constexpr auto kLengthLimit = std::numeric_limits<std::uint32_t>::max();
    if (passphrase.size() > kLengthLimit || salt.size() > kLengthLimit) {
        return tl::unexpected(ContractError::encryption());
    }

    crypto::Secret kek(kKekBytes);
    argon2_context context{};
    context.out = kek.data();
    context.outlen = static_cast<std::uint32_t>(kek.size());
    context.pwd = input_pointer(passphrase);
    context.pwdlen = static_cast<std::uint32_t>(passphrase.size());
    context.salt = input_pointer(salt);
    context.saltlen = static_cast<std::uint32_t>(salt.size());
    context.t_cost = params.t_cost;
    context.m_cost = params.m_cost_kib;
    context.lanes = params.parallelism;
    // One thread per lane: the lanes are independent within each segment.
    context.threads = params.parallelism;
    context.version = ARGON2_VERSION_13;
    context.flags = ARGON2_DEFAULT_FLAGS;
    context.allocate_cbk = allocate_argon2_memory;
    context.free_cbk = free_argon2_memory;

    if (argon2_ctx(&context, Argon2_id) != ARGON2_OK) {
        kek.wipe();
        return tl::unexpected(ContractError::encryption());
    }
    return kek;
}

}  // namespace zdz::store
