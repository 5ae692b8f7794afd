#pragma once

// Whether this build runs under AddressSanitizer, whose runtime reserves far
// more address space than a tight limit allows and replaces mlock with a call
// that does nothing.

#if defined(__SANITIZE_ADDRESS__)
#define ZDZ_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZDZ_ADDRESS_SANITIZER 1
#endif
#endif

namespace zdz::test {

#ifdef ZDZ_ADDRESS_SANITIZER
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

}  // namespace zdz::test
