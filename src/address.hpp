// Arrays cross the Python boundary as plain integer addresses.
#pragma once

#include <cstdint>

namespace zolvin {

// The caller owns the array and vouches for its element type, size and lifetime.
template <class T>
inline T* array_at(std::uint64_t address) {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

}  // namespace zolvin
