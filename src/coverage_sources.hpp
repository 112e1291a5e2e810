// Pixel and line sources of the coverage drivers.
//
// Every batch is one driver per kernel over a pixel source, walked row by row
// in spans of columns. An array source is a single row of n pixels read from
// the caller's arrays; a grid source is a window of a regular grid whose
// centres are generated from the origin and the Jacobian as they are needed.
// Both hand the rules the same values, so a grid's results equal those of the
// same pixels given as arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "geometry.hpp"
#include "lanes.hpp"

namespace zolvin::detail {

// Four pixels side by side.
struct Pixel4 {
    lanes x, y, u, v, dxdu, dxdv, dydu, dydv;
};

inline std::uint64_t bits(double value) {
    std::uint64_t b;
    std::memcpy(&b, &value, sizeof b);
    return b;
}

// Whether the m (> 0) Jacobians of a block are all bitwise equal to the first.
inline bool shared_jacobian(const double* j00, const double* j01, const double* j10,
                            const double* j11, std::size_t m) {
    const std::uint64_t a = bits(j00[0]), b = bits(j01[0]), c = bits(j10[0]), d = bits(j11[0]);
    std::uint64_t diff = 0;
    for (std::size_t k = 0; k < m; ++k) {
        diff |= (bits(j00[k]) ^ a) | (bits(j01[k]) ^ b) | (bits(j10[k]) ^ c) | (bits(j11[k]) ^ d);
    }
    return diff == 0;
}

// The array form as one row of n pixels.
struct ArrayPixels {
    PixelArrays a;

    std::uint64_t rows() const { return 1; }
    std::uint64_t cols() const { return a.n; }
    // Results go through a block buffer: out may be one of the arrays.
    static constexpr bool in_place = false;
    // Calls f(k, x, y) with the centre of column c + k of row r, for k < m.
    template <class F>
    ZOLVIN_INLINE void for_centres(std::uint64_t, std::uint64_t c, std::size_t m, F f) const {
        const double* xc = a.x + c;
        const double* yc = a.y + c;
        for (std::size_t k = 0; k < m; ++k) f(k, xc[k], yc[k]);
    }
    // Whether the m Jacobians from column c on are one; if so j receives it.
    bool shared(std::uint64_t, std::uint64_t c, std::size_t m, double j[4]) const {
        if (!shared_jacobian(a.dxdu + c, a.dxdv + c, a.dydu + c, a.dydv + c, m)) return false;
        j[0] = a.dxdu[c], j[1] = a.dxdv[c], j[2] = a.dydu[c], j[3] = a.dydv[c];
        return true;
    }
    Pixel at(std::uint64_t, std::uint64_t c) const {
        return {a.x[c], a.y[c], a.u[c], a.v[c], a.dxdu[c], a.dxdv[c], a.dydu[c], a.dydv[c]};
    }
    Pixel4 at4(std::uint64_t, std::uint64_t c) const {
        return {load4(a.x + c),    load4(a.y + c),    load4(a.u + c),    load4(a.v + c),
                load4(a.dxdu + c), load4(a.dxdv + c), load4(a.dydu + c), load4(a.dydv + c)};
    }
};

// A window of a regular grid. u + k is u's successor k: indices stay below 2^53.
struct GridPixels {
    GridWindow g;

    std::uint64_t rows() const { return g.rows; }
    std::uint64_t cols() const { return g.cols; }
    double u_of(std::uint64_t c) const { return static_cast<double>(g.col0 + c); }
    double v_of(std::uint64_t r) const { return static_cast<double>(g.row0 + r); }
    static constexpr bool in_place = true;
    template <class F>
    ZOLVIN_INLINE void for_centres(std::uint64_t r, std::uint64_t c, std::size_t m, F f) const {
        const double v = v_of(r), u0 = u_of(c);
        const double xv = g.dxdv * v, yv = g.dydv * v;
        for (std::size_t k = 0; k < m; ++k) {
            const double u = u0 + static_cast<double>(static_cast<int>(k));
            f(k, (g.x0 + g.dxdu * u) + xv, (g.y0 + g.dydu * u) + yv);
        }
    }
    bool shared(std::uint64_t, std::uint64_t, std::size_t, double j[4]) const {
        j[0] = g.dxdu, j[1] = g.dxdv, j[2] = g.dydu, j[3] = g.dydv;
        return true;
    }
    Pixel at(std::uint64_t r, std::uint64_t c) const {
        const double u = u_of(c), v = v_of(r);
        return {(g.x0 + g.dxdu * u) + g.dxdv * v, (g.y0 + g.dydu * u) + g.dydv * v, u, v,
                g.dxdu, g.dxdv, g.dydu, g.dydv};
    }
    Pixel4 at4(std::uint64_t r, std::uint64_t c) const {
        const lanes u = splat(u_of(c)) + lanes{0.0, 1.0, 2.0, 3.0};
        const lanes v = splat(v_of(r));
        return {(splat(g.x0) + splat(g.dxdu) * u) + splat(g.dxdv) * v,
                (splat(g.y0) + splat(g.dydu) * u) + splat(g.dydv) * v,
                u, v, splat(g.dxdu), splat(g.dxdv), splat(g.dydu), splat(g.dydv)};
    }
};

// Four lines side by side.
struct Line4 {
    lanes x, y, dir_x, dir_y;
};

// The lines of pixel_frac: one shared, or one per pixel from arrays.
struct SharedLine {
    Line line;
    Line at(std::uint64_t) const { return line; }
    Line4 at4(std::uint64_t) const {
        return {splat(line.x), splat(line.y), splat(line.dir_x), splat(line.dir_y)};
    }
};

struct PerPixelLines {
    LineArrays a;
    Line at(std::uint64_t c) const { return {a.x[c], a.y[c], a.dir_x[c], a.dir_y[c]}; }
    Line4 at4(std::uint64_t c) const {
        return {load4(a.x + c), load4(a.y + c), load4(a.dir_x + c), load4(a.dir_y + c)};
    }
};

}  // namespace zolvin::detail
