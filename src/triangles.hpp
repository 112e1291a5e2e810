// Triangles against unit pixels, grids, circles and struts.
#pragma once

#include <cstdint>

namespace zolvin {

// ---- Overlap of triangles with unit pixels ----

// One clipping pass: keep the part of the polygon poly (n_in interleaved x, y
// vertices) in the closed half-plane coordinate >= edge_pos (side 1) or
// <= edge_pos (any other side), where the coordinate is x for axis 0 and y
// otherwise. Writes to out, which must not overlap poly and must hold 2 * n_in
// vertices; returns the vertex count.
int sh_clip_edge_cpp(const double* poly, std::int32_t n_in, double* out,
                     std::int32_t axis, double edge_pos, std::int32_t side);

// Area of triangle tri (x0, y0, x1, y1, x2, y2) inside the unit pixel centred
// on (ix, iy).
double clip_area_cpp(const double* tri, std::int32_t ix, std::int32_t iy);

// clip_area_cpp of the triangle at address tri_addr.
double clip_area(std::uint64_t tri_addr, std::int32_t ix, std::int32_t iy);

// Adds values[t] / weights[t] times the overlap area of triangle t to every
// pixel of the grid_size x grid_size row-major grid centred on the origin.
void accumulate_triangles(std::uint64_t triangles, std::uint64_t values, std::uint64_t weights,
                          std::uint64_t grid, std::int32_t n_triangles, std::int32_t grid_size);

// accumulate_triangles restricted to the grid rows row_begin .. row_end - 1,
// stored from the address band on (row row_begin first, grid_size columns a
// row): each of those cells receives the same additions in the same order, so
// bands that together cover the grid give the whole call's grid bit for bit.
void accumulate_triangles_rows(std::uint64_t triangles, std::uint64_t values,
                               std::uint64_t weights, std::uint64_t band,
                               std::int32_t n_triangles, std::int32_t grid_size,
                               std::int32_t row_begin, std::int32_t row_end);

// ---- Clipping triangle lists to a circle or a strut ----

// Writes the part of each triangle inside (keep_inside != 0) or outside the
// circle, arcs replaced by chords, as at most 4 triangles per input triangle.
// Returns the number of triangles written from the start of out_triangles.
std::int32_t clip_triangles_to_circle(std::uint64_t triangles, std::int32_t n_triangles,
                                      double cx, double cy, double radius,
                                      std::int32_t keep_inside, double margin,
                                      std::uint64_t out_triangles,
                                      std::uint64_t dropped_counter,
                                      std::uint64_t clipped_counter);

// Writes each triangle minus the strut as at most 7 triangles per input
// triangle. Returns the number of triangles written from the start of
// out_triangles.
std::int32_t clip_triangles_to_strut(std::uint64_t triangles, std::int32_t n_triangles,
                                     double x1, double y1, double dir_y1, double dir_x1,
                                     double x2, double y2, double dir_y2, double dir_x2,
                                     double cx, double cy, double length, double margin,
                                     std::uint64_t out_triangles,
                                     std::uint64_t dropped_counter,
                                     std::uint64_t clipped_counter);

}  // namespace zolvin
