// Fraction of sheared pixels covered by a half-plane, a circle or a strut,
// for one pixel, for the array form and for a grid window.
#pragma once

#include "geometry.hpp"

namespace zolvin {

// ---- One pixel ----

// Fraction of the pixel on the inner side of the line (right of its direction).
double pixel_frac_1(const Line& line, const Pixel& p);

// Fraction of the pixel inside the circle: 1 or 0 when the pixel is more than
// its scale away from the rim, else the fraction on the circle's side of the
// tangent at the rim point nearest the pixel centre.
double enclosed_circle_1(const Circle& circle, const Pixel& p);

// Coverage of the pixel by the strut, decided by the pixel centre at the
// disc. Near an edge it is edge 1's fraction minus edge 2's, unclamped.
double enclosed_strut_1(const Strut& strut, const Pixel& p);

// ---- The array form: px.n results to out ----
// out may be one of the input arrays: every pixel's result is written after
// its inputs were read.

// One line shared by all pixels.
void pixel_frac(const Line& line, const PixelArrays& px, double* out);

// One line per pixel.
void pixel_frac(const LineArrays& lines, const PixelArrays& px, double* out);

void enclosed_circle(const PixelArrays& px, const Circle& circle, double* out);

void enclosed_strut(const PixelArrays& px, const Strut& strut, double* out);

// ---- The grid-window form: g.rows * g.cols results to out ----
// With `zeroed`, out already holds +0.0 everywhere, and pixels that the rule
// provably sets to 0 (by their distance from the figure) are not written.

void grid_pixel_frac(const GridWindow& g, const Line& line, double* out);

void grid_enclosed_circle(const GridWindow& g, const Circle& circle, double* out, bool zeroed);

void grid_enclosed_strut(const GridWindow& g, const Strut& strut, double* out, bool zeroed);

}  // namespace zolvin
