// Triangles against unit pixels, grids, circles and struts.
#pragma once

#include <cstdint>

namespace zolvin {

// ---- Overlap of triangles with unit pixels ----

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
