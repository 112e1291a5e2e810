// What the kernels take: pixel sources, lines, circles, struts and triangle
// lists. Coordinates are (x, y) pairs in the plane; a pixel's Jacobian
// [[dxdu, dxdv], [dydu, dydv]] maps a step in pixel coordinates (u, v) onto it.
// Pointers are the caller's arrays: the kernels check neither their sizes nor
// their lifetimes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zolvin {

// ---- Figures ----

// The line through (x, y) with direction (dir_x, dir_y). Its inner side is the
// one to the right of the direction (x right, y up).
struct Line {
    double x, y, dir_x, dir_y;
};

// One line per pixel: element i of each array belongs to pixel i.
struct LineArrays {
    const double *x, *y, *dir_x, *dir_y;
};

struct Circle {
    double cx, cy, radius;
};

// The coverage kernels' strut: the band on the inner side of edge1 and not on
// the inner side of edge2, within the disc of the given diameter around the
// midpoint of the two edge points.
struct Strut {
    double diameter;
    Line edge1, edge2;
};

// The clipper's strut: the band between edge1 and edge2, cut off across its
// axis at length / 2 either side of (cx, cy).
struct CappedStrut {
    Line edge1, edge2;
    double cx, cy, length;
};

// A polygon: vertices (x[i], y[i]) for i < n, the last joined to the first.
struct Polygon {
    const double *x, *y;
    std::uint64_t n;
};

// ---- Pixel sources ----

// One pixel: centre (x, y) in the plane and (u, v) in pixel coordinates.
struct Pixel {
    double x, y, u, v, dxdu, dxdv, dydu, dydv;
};

// The array form: n pixels, each quantity an array of n elements.
struct PixelArrays {
    const double *x, *y, *u, *v, *dxdu, *dxdv, *dydu, *dydv;
    std::uint64_t n;

    // The count pixels from element first on.
    PixelArrays slice(std::uint64_t first, std::uint64_t count) const {
        return {x + first,    y + first,    u + first,    v + first,
                dxdu + first, dxdv + first, dydu + first, dydv + first, count};
    }
};

// The grid-window form: a window of a regular grid. The pixel in row i,
// column j of the whole grid has u = j, v = i and its centre at
// x = (x0 + dxdu*u) + dxdv*v, y = (y0 + dydu*u) + dydv*v; all its pixels share
// the one Jacobian. The window holds rows row0 .. row0 + rows - 1 and columns
// col0 .. col0 + cols - 1, all indices below 2^53, and its results are written
// row-major to rows * cols elements. Each value equals the array form's for
// the same pixel, bit for bit.
struct GridWindow {
    double x0, y0, dxdu, dxdv, dydu, dydv;
    std::uint64_t row0, col0, rows, cols;
};

// The points (x[c], y[r]) of a grid, c < nx, r < ny; masks over it are
// row-major, ny x nx.
struct PointGrid {
    const double *x, *y;
    std::uint64_t nx, ny;
};

// ---- Triangle lists ----

// A triangle is six doubles, x0, y0, x1, y1, x2, y2; a list is triangles one
// after another.
inline constexpr int kTriangleDoubles = 6;
inline constexpr std::size_t kTriangleBytes = kTriangleDoubles * sizeof(double);

// The most triangles a clipper writes for one input triangle: outputs are
// sized by these.
inline constexpr int kCirclePieces = 4;
inline constexpr int kStrutPieces = 7;

struct TriangleList {
    const double* xy;
    std::int32_t n;

    const double* at(std::int64_t t) const { return xy + kTriangleDoubles * t; }
};

// The caller's int32 cells that a clipper adds its events to.
struct ClipCounters {
    std::int32_t* dropped;
    std::int32_t* clipped;
};

}  // namespace zolvin
