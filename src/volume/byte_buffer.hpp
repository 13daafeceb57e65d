#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace fat12img {

// Elements of a vector that grows without a given value start uninitialised: a buffer that
// a read or a copy fills at once is then touched once, not zeroed first. Growth with an
// explicit value (resize(n, 0)) still writes it.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() noexcept = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>& /*other*/) noexcept {}

    template <typename U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

// Whole sectors, chains and files in memory.
using ByteBuffer = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

}  // namespace fat12img
