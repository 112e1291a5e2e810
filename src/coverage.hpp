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

// Fraction of one pixel inside the circle (cx, cy, radius): 1 or 0 when the
// pixel is more than its scale away from the rim, else the fraction on the
// circle's side of the tangent at the rim point nearest the pixel centre.
double enclosed_circle_1(double u, double v, double x, double y,
                         double cx, double cy, double radius,
                         double dxdu, double dxdv, double dydu, double dydv);

void enclosed_circle(std::uint64_t u, std::uint64_t v, std::uint64_t x, std::uint64_t y,
                     double cx, double cy, double radius,
                     std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                     std::uint64_t out, std::uint64_t n);

// Coverage of one pixel by the band on the inner side of edge 1 and not on
// the inner side of edge 2, cut off (by the pixel centre) at the disc of the
// given diameter around the midpoint of the two edge points. Near an edge it
// is edge 1's fraction minus edge 2's, unclamped.
double enclosed_strut_1(double u, double v, double x, double y, double diameter,
                        double x1, double y1, double dir_y1, double dir_x1,
                        double x2, double y2, double dir_y2, double dir_x2,
                        double dxdu, double dxdv, double dydu, double dydv);

void enclosed_strut(std::uint64_t u, std::uint64_t v, std::uint64_t x, std::uint64_t y,
                    double diameter, double x1, double y1, double dir_y1, double dir_x1,
                    double x2, double y2, double dir_y2, double dir_x2,
                    std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                    std::uint64_t out, std::uint64_t n);

// A window of a regular grid. The pixel in row i, column j of the whole grid
// has u = j, v = i and its centre at x = (x0 + dxdu*u) + dxdv*v,
// y = (y0 + dydu*u) + dydv*v; all its pixels share the one Jacobian. The
// window holds rows row0 .. row0 + rows - 1 and columns col0 .. col0 + cols - 1,
// all indices below 2^53, and its results are written row-major to rows * cols
// elements. Each value equals the array form's for the same pixel, bit for bit.
struct GridWindow {
    double x0, y0, dxdu, dxdv, dydu, dydv;
    std::uint64_t row0, col0, rows, cols;
};

// pixel_frac of one shared line over a grid window.
void grid_pixel_frac(const GridWindow& g, double x0, double y0, double dir_y, double dir_x,
                     double* out);

// enclosed_circle and enclosed_strut over a grid window. With `zeroed`, out
// already holds +0.0 everywhere, and pixels that the rule provably sets to 0
// (by their distance from the figure) are not written.
void grid_enclosed_circle(const GridWindow& g, double cx, double cy, double radius,
                          double* out, bool zeroed);

void grid_enclosed_strut(const GridWindow& g, double diameter, double x1, double y1,
                         double dir_y1, double dir_x1, double x2, double y2, double dir_y2,
                         double dir_x2, double* out, bool zeroed);

}  // namespace zolvin
