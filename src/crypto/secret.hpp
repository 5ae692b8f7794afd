#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zdz::crypto {

// Keeps the memory pages under [data, data + size) resident, so that secret
// bytes are not written to swap, for as long as at least one secret lies on
// them. Pages are counted per secret: two small secrets often share a page,
// and the first one released must not unlock the page under the other. Where
// the system refuses to lock (a memory-lock limit, no privilege) the bytes
// stay usable and unlocked: locking is a hardening, never a reason to fail.
void lock_secret_pages(const std::uint8_t* data, std::size_t size);

// Wipes [data, data + size) and gives up this secret's hold on its pages.
void release_secret_pages(std::uint8_t* data, std::size_t size);

// A byte buffer for secret material: move-only, its pages locked in memory
// while it holds them, wiped with sodium_memzero when it is destroyed or
// reassigned. Its capacity is fixed at construction so the bytes never move to
// a fresh allocation that would leave an unwiped, unlocked copy behind.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::size_t size) : bytes_(size) { lock(); }
    Secret(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) { lock(); }
    explicit Secret(std::string_view text)
        : bytes_(reinterpret_cast<const std::uint8_t*>(text.data()),
                 reinterpret_cast<const std::uint8_t*>(text.data()) + text.size()) {
        lock();
    }

    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    // The buffer changes hands with its lock; nothing is copied.
    Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    Secret& operator=(Secret&& other) noexcept {
        if (this != &other) {
            release();
            bytes_ = std::move(other.bytes_);
            other.bytes_.clear();
        }
        return *this;
    }
    ~Secret() { release(); }

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::span<const std::uint8_t> bytes() const { return bytes_; }
    std::span<std::uint8_t> bytes() { return bytes_; }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
    }

    // Zeroes the bytes now; the buffer keeps its size and its lock.
    void wipe() {
        if (!bytes_.empty()) {
            sodium_memzero(bytes_.data(), bytes_.size());
        }
    }

private:
    void lock() {
        if (!bytes_.empty()) {
            lock_secret_pages(bytes_.data(), bytes_.size());
        }
    }
    void release() {
        if (!bytes_.empty()) {
            release_secret_pages(bytes_.data(), bytes_.size());
        }
    }

    std::vector<std::uint8_t> bytes_;
};

}  // namespace zdz::crypto
