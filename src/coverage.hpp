// Fraction of sheared pixels covered by a half-plane, a circle or a strut.
#pragma once

#include <cstdint>

namespace zolvin {

// Fraction of the pixel (centre x, y in the plane; u, v in pixel coordinates;
// Jacobian dxdu, dxdv, dydu, dydv) on the inner side of the line through
// (x0, y0) with direction (dir_x, dir_y): the side right of the direction.
double pixel_frac_1(double x0, double y0, double dir_y, double dir_x,
                    double x, double y, double u, double v,
                    double dxdu, double dxdv, double dydu, double dydv);

// One shared line for all n pixels.
void pixel_frac(double x0, double y0, double dir_y, double dir_x,
                std::uint64_t x, std::uint64_t y, std::uint64_t u, std::uint64_t v,
                std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                std::uint64_t out, std::uint64_t n);

// One line per pixel: x0, y0, dir_y, dir_x are arrays too.
void pixel_frac(std::uint64_t x0, std::uint64_t y0, std::uint64_t dir_y, std::uint64_t dir_x,
                std::uint64_t x, std::uint64_t y, std::uint64_t u, std::uint64_t v,
                std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                std::uint64_t out, std::uint64_t n);

// Largest singular value of the pixel Jacobian.
double pixel_scale(double dxdu, double dxdv, double dydu, double dydv);

}  // namespace zolvin
