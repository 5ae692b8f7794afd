#include "crypto/secret.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>

namespace zdz::crypto {
namespace {

// How many live secrets lie on each locked page, keyed by the page's address.
// libsodium's sodium_mlock/sodium_munlock work on whole pages without counting,
// and sodium_munlock would also zero the rest of the page, which belongs to
// other objects; hence the pages are locked and counted here.
struct PageHolders {
    std::mutex mutex;
    std::map<std::uintptr_t, std::size_t> holders;
};

// Never destroyed, so that a secret released during static destruction still
// finds it.
PageHolders& page_holders() {
    static auto* holders = new PageHolders;
    return *holders;
}

std::uintptr_t page_size() {
    static const auto size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

template <class Visit>
void for_each_page(const std::uint8_t* data, std::size_t size, Visit visit) {
    const std::uintptr_t page = page_size();
    const auto first = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(data) + size - 1) & ~(page - 1);
    for (std::uintptr_t p = first;; p += page) {
        visit(p, page);
        if (p == last) {
            break;
        }
    }
}

}  // namespace

void lock_secret_pages(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        return;
    }
    auto& pages = page_holders();
    const std::lock_guard guard(pages.mutex);
    for_each_page(data, size, [&](std::uintptr_t page, std::uintptr_t length) {
        if (pages.holders[page]++ == 0) {
            // mlock and madvise take whole pages: the address is the page's
            // number, worked out from the secret's, turned back into a pointer.
            // NOLINTNEXTLINE(performance-no-int-to-ptr)
            auto* address = reinterpret_cast<void*>(page);
            // Refusals (RLIMIT_MEMLOCK, no privilege) leave the page unlocked
            // and the secret usable. Excluding the page from core dumps covers
            // a crash in a process that did not turn core files off.
            (void)::mlock(address, length);
            (void)::madvise(address, length, MADV_DONTDUMP);
        }
    });
}

void release_secret_pages(std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        return;
    }
    sodium_memzero(data, size);
    auto& pages = page_holders();
    const std::lock_guard guard(pages.mutex);
    for_each_page(data, size, [&](std::uintptr_t page, std::uintptr_t length) {
        const auto held = pages.holders.find(page);
        if (held == pages.holders.end() || --held->second > 0) {
            return;
        }
        pages.holders.erase(held);
        // NOLINTNEXTLINE(performance-no-int-to-ptr): a page address, as above.
        auto* address = reinterpret_cast<void*>(page);
        (void)::madvise(address, length, MADV_DODUMP);
        (void)::munlock(address, length);
    });
}

}  // namespace zdz::crypto
