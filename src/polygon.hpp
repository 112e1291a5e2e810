// Even-odd mask of a polygon over a grid of points.
#pragma once

#include <cstdint>

namespace zolvin {

// Writes mask[r * nx + c] = 1 when the point (grid_x[c], grid_y[r]) is inside
// the polygon (poly_x[i], poly_y[i]), i < n_vertices, by an even-odd scan of
// row r, else 0. Every byte of the ny x nx mask is written; with ny == 0 none.
// grid_x is expected ascending. Throws std::bad_alloc if the crossing list
// cannot grow; rows before the failing one keep their values.
void poly_grid_contains(std::uint64_t poly_x, std::uint64_t poly_y, std::uint64_t n_vertices,
                        std::uint64_t grid_x, std::uint64_t grid_y, std::uint64_t mask,
                        std::uint64_t nx, std::uint64_t ny);

}  // namespace zolvin
