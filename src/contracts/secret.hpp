#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zdz::contracts {

// A byte buffer for secret material: move-only, wiped with sodium_memzero when
// it is destroyed or reassigned. Its capacity is fixed at construction so the
// bytes never move to a fresh allocation that would leave an unwiped copy behind.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::size_t size) : bytes_(size) {}
    Secret(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
    explicit Secret(std::string_view text)
        : bytes_(reinterpret_cast<const std::uint8_t*>(text.data()),
                 reinterpret_cast<const std::uint8_t*>(text.data()) + text.size()) {}

    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    Secret& operator=(Secret&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
            other.bytes_.clear();
        }
        return *this;
    }
    ~Secret() { wipe(); }

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::span<const std::uint8_t> bytes() const { return bytes_; }
    std::span<std::uint8_t> bytes() { return bytes_; }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
    }

    void wipe() {
        if (!bytes_.empty()) {
            sodium_memzero(bytes_.data(), bytes_.size());
        }
    }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace zdz::contracts
