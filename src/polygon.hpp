// Even-odd masks of a polygon over a grid of points: the scan rule and the
// rule at every point.
#pragma once

#include "geometry.hpp"

namespace zolvin {

// Writes mask[r * nx + c] = 1 when the grid point (x[c], y[r]) is inside the
// polygon by an even-odd scan of row r, else 0. Every byte of the ny x nx
// mask is written; with ny == 0 none. The grid's x is expected ascending.
// Throws std::bad_alloc if the crossing list cannot grow; rows before the
// failing one keep their values.
void poly_grid_contains(const Polygon& polygon, const PointGrid& grid, unsigned char* mask);

// Writes mask[r * nx + c] = 1 when the grid point (x[c], y[r]) lies
// inside the polygon by the even-odd rule, counting every crossing of row r
// at or left of the point; else 0. Of an edge, the row counts when
// min(P.y, Q.y) <= y < max(P.y, Q.y). So a point is marked as the point moved
// right by an infinitesimal and up by a far smaller one would be: points on
// left and bottom edges are in, on right and top edges out, and of polygons
// that tile the plane every point is marked by exactly one.
//
// Exact: near a crossing the decision is the sign of an orientation
// determinant, evaluated exactly, so every point is classified as with
// real numbers when all coordinates are zero or of magnitude in
// [2^-450, 2^450]. A column's value depends only on its own x, so columns
// may come in any order, but an ascending run is filled in spans and the
// rest is tested point by point. Every byte of the ny x nx mask is written.
// Throws std::bad_alloc if the crossing list cannot grow; rows before the
// failing one keep their values.
void poly_grid_points(const Polygon& polygon, const PointGrid& grid, unsigned char* mask);

}  // namespace zolvin
