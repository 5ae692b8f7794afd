#pragma once

#include <string_view>

namespace zdz::crypto {

// Initialises libsodium once. Every unit that draws random bytes or uses a
// primitive calls this first, so library users need no start-up step; a
// machine without a usable random source aborts, as libsodium itself would.
void ensure_sodium();

inline const unsigned char* as_uchar(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace zdz::crypto
