// The conventions of the two Python modules' arguments, turned into the
// kernels' types: arrays come as plain integer addresses, and a line as its
// point and then its direction, y component first.
#pragma once

#include <cstdint>

#include "geometry.hpp"

namespace zolvin::binding {

using u64 = std::uint64_t;

// The caller owns the array and vouches for its element type, size and lifetime.
template <class T>
inline T* array_at(u64 address) {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

inline const double* doubles(u64 address) { return array_at<const double>(address); }

inline PixelArrays pixel_arrays(u64 x, u64 y, u64 u, u64 v, u64 dxdu, u64 dxdv, u64 dydu,
                                u64 dydv, u64 n) {
    return {doubles(x),    doubles(y),    doubles(u),    doubles(v),
            doubles(dxdu), doubles(dxdv), doubles(dydu), doubles(dydv), n};
}

inline Line line(double x, double y, double dir_y, double dir_x) { return {x, y, dir_x, dir_y}; }

inline LineArrays line_arrays(u64 x, u64 y, u64 dir_y, u64 dir_x) {
    return {doubles(x), doubles(y), doubles(dir_x), doubles(dir_y)};
}

inline Strut strut(double diameter, double x1, double y1, double dir_y1, double dir_x1, double x2,
                   double y2, double dir_y2, double dir_x2) {
    return {diameter, line(x1, y1, dir_y1, dir_x1), line(x2, y2, dir_y2, dir_x2)};
}

inline CappedStrut capped_strut(double x1, double y1, double dir_y1, double dir_x1, double x2,
                                double y2, double dir_y2, double dir_x2, double cx, double cy,
                                double length) {
    return {line(x1, y1, dir_y1, dir_x1), line(x2, y2, dir_y2, dir_x2), cx, cy, length};
}

}  // namespace zolvin::binding
