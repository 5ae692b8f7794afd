#include "crypto/sodium.hpp"

#include <sodium.h>

#include <cstdlib>

namespace zdz::crypto {

void ensure_sodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready) {
        std::abort();
    }
}

}  // namespace zdz::crypto
