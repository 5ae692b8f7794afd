#pragma once

#include <string_view>
#include <tl/expected.hpp>

#include "contracts/errors.hpp"

namespace zdz::crypto {

// The one start-up of libsodium, made once however often this is called. The
// program makes it before anything else and stops when it fails; the
// functions of this layer make it too, so that a library user needs no
// start-up step, and those that can fail report its failure
// (CryptoUnavailable). It fails only where libsodium cannot set itself up.
[[nodiscard]] tl::expected<void, contracts::ContractError> start_sodium();

// start_sodium for a function that has no failure to report (a key drawn at
// random, a file name): after a failed start-up libsodium still runs its
// portable code and its random source sets itself up on first use, and the
// program has stopped already.
void start_sodium_best_effort();

inline const unsigned char* as_uchar(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace zdz::crypto
