// Triangles against unit pixels, grids, circles and struts. Triangle lists
// and their stride are described in geometry.hpp.
#pragma once

#include <cstdint>

#include "geometry.hpp"

namespace zolvin {

// ---- Overlap of triangles with unit pixels (triangles_area.cpp) ----

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

// clip_area_cpp of a copy of the triangle at tri.
double clip_area(const double* tri, std::int32_t ix, std::int32_t iy);

// Adds values[t] / weights[t] times the overlap area of triangle t to every
// pixel of the grid_size x grid_size row-major grid centred on the origin.
void accumulate_triangles(TriangleList triangles, const double* values, const double* weights,
                          double* grid, std::int32_t grid_size);

// accumulate_triangles restricted to the grid rows row_begin .. row_end - 1,
// stored from band on (row row_begin first, grid_size columns a row): each of
// those cells receives the same additions in the same order, so bands that
// together cover the grid give the whole call's grid bit for bit.
void accumulate_triangles_rows(TriangleList triangles, const double* values,
                               const double* weights, double* band, std::int32_t grid_size,
                               std::int32_t row_begin, std::int32_t row_end);

// ---- Clipping triangle lists to a circle or a strut (triangles_clip.cpp) ----
// Each writes its pieces from the start of out, as a triangle list, and
// returns how many it wrote; the counters' cells (int32, wrapping at 2^31)
// count the input triangles dropped whole and those cut.

// The part of each triangle inside (keep_inside) or outside the circle, arcs
// replaced by chords, as at most kCirclePieces triangles per input triangle.
std::int32_t clip_triangles_to_circle(TriangleList triangles, const Circle& circle,
                                      bool keep_inside, double margin, double* out,
                                      ClipCounters counters);

// Each triangle minus the strut, as at most kStrutPieces triangles per input
// triangle.
std::int32_t clip_triangles_to_strut(TriangleList triangles, const CappedStrut& strut,
                                     double margin, double* out, ClipCounters counters);

}  // namespace zolvin
