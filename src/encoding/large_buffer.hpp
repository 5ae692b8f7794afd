#pragma once

#include <cstddef>
#include <string>

namespace zdz::encoding {

// Buffers of this size and more are backed by huge pages where the kernel
// offers them on request.
inline constexpr std::size_t kLargeBufferBytes = std::size_t{4} << 20;

// Reserves room for `bytes` bytes in `buffer`. A large buffer's fresh memory
// is asked for in huge pages: a registry of 100,000 promotions is tens of
// megabytes of text, and taking it 4 KiB page fault by page fault costs more
// than reading or hashing it. Only a hint: where huge pages are off or
// exhausted, the memory is ordinary.
void reserve_large(std::string& buffer, std::size_t bytes);

}  // namespace zdz::encoding
