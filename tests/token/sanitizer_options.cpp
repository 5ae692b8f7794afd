// How the sanitizer build runs the token tests. SoftHSM2 2.6.1 leaks an
// OpenSSL ASN1 string in each EdDSA C_Sign. Its own frames have no names once
// the module is unloaded, and OpenSSL's have no frame pointers, so the leak
// is known by the one function of ours that calls C_Sign (it allocates
// nothing itself), which only the slow unwinder reaches: it costs little in
// these few tests, and the suppression holds for this binary alone.

#include "support/sanitizers.hpp"

#ifdef ZDZ_ADDRESS_SANITIZER
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:zdz::token::sign_with\n";
}
#endif
