#include "encoding/large_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace zdz::encoding {
namespace {

constexpr std::uintptr_t kHugePageBytes = std::uintptr_t{2} << 20;

}  // namespace

void reserve_large(std::string& buffer, std::size_t bytes) {
    if (bytes <= buffer.capacity()) {
        return;
    }
    buffer.reserve(bytes);
    if (bytes < kLargeBufferBytes) {
        return;
    }
    // Only whole huge pages inside the buffer: the advice must not reach
    // memory the allocator handed to anyone else.
    char* const data = buffer.data();
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    const std::uintptr_t last = (begin + buffer.capacity()) & ~(kHugePageBytes - 1);
    if (first < last) {
        // Ignored on failure: the memory is then ordinary, which is correct.
        (void)::madvise(data + (first - begin), last - first, MADV_HUGEPAGE);
    }
}

}  // namespace zdz::encoding
