#include "crypto/sodium.hpp"

#include <sodium.h>

namespace zdz::crypto {

tl::expected<void, contracts::ContractError> start_sodium() {
    static const bool started = sodium_init() >= 0;
    if (!started) {
        return tl::unexpected(contracts::ContractError::crypto_unavailable());
    }
    return {};
}

void start_sodium_best_effort() {
    static_cast<void>(start_sodium());
}

}  // namespace zdz::crypto
