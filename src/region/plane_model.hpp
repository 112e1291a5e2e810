// Pixels of a sky image placed on the tangent plane by plain arithmetic: a
// TAN projection's linear matrix, its SIP polynomials and their derivatives,
// and for a tangent point other than the reference point a projective map.
// The operations and their order are the package's NumPy model's
// (zolvin.pixels.wcs), one rounding each, so that a pixel's centre and
// Jacobian are the same bits here, there, and in any window of the image.
//
// Per pixel (column c, row r, both 0-based):
//   ox = (c + 1) - crpix0,  oy = (r + 1) - crpix1
//   with SIP: u = (c + 1) - sip0, v = (r + 1) - sip1; f, g and their
//     derivatives, each sum c[p][q] u^p v^q by Horner's rule in v for each
//     power of u (once per row), then in u; ox += f, oy += g;
//     S = (1 + f_u, f_v, g_u, 1 + g_v); J = K S (else J = K)
//   (x, y) = K (ox, oy)
//   projective map h: w = h20 x + h21 y + h22 (must be > 0), the new x, y
//     and the map's derivatives chained with J.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "pixel_cover.hpp"

namespace zolvin::region {

// One row of pixels evaluated by a PlaneModel, and its scratch.
struct PlaneRow {
    std::vector<double> x, y, dxdu, dxdv, dydu, dydv;
    std::vector<double> u, oy, poly[6];
    PixelShape at(std::int64_t q) const {
        const auto k = static_cast<std::size_t>(q);
        return {x[k], y[k], dxdu[k], dxdv[k], dydu[k], dydv[k]};
    }
    // Room for m pixels (and the SIP polynomials' values).
    void reserve(std::size_t m, bool sip);

private:
    std::size_t size_ = 0;
};

class PlaneModel {
public:
    // Coefficients rows[p][q] of u^p v^q, trailing zeros trimmed (an empty
    // row is 0), as the package holds them.
    using Poly = std::vector<std::vector<double>>;
    static constexpr std::size_t kMaxRows = 64;  // powers of u per polynomial
    struct Sip {
        double crpix0, crpix1;
        std::array<Poly, 6> polys;  // f, f_u, f_v, g, g_u, g_v
    };

    PlaneModel(double crpix0, double crpix1, const std::array<double, 4>& k,
               std::optional<Sip> sip, std::optional<std::array<double, 9>> h)
        : crpix0_(crpix0), crpix1_(crpix1), k_(k), sip_(std::move(sip)), h_(h) {}

    // Pixels (row, col0 .. col0 + n - 1) into out; false when one of them
    // lies 90 degrees or more from the tangent point or has no position
    // (w not > 0; only with a projective map).
    bool row(std::int64_t row, std::int64_t col0, std::int64_t n, PlaneRow& out) const;

private:
    void sip_terms(std::int64_t row, std::int64_t n, PlaneRow& out) const;

    double crpix0_, crpix1_;
    std::array<double, 4> k_;
    std::optional<Sip> sip_;
    std::optional<std::array<double, 9>> h_;
};

}  // namespace zolvin::region
