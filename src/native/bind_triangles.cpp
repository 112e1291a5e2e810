// Triangle lists in zolvin._native: a list is an array of n x 6 doubles
// (x0, y0, x1, y1, x2, y2 per triangle). Accumulation splits the grid's rows
// over threads, clipping splits the list.
#include <algorithm>
#include <limits>

#include "../parallel.hpp"
#include "../triangles.hpp"
#include "native.hpp"

namespace zolvin::native {

namespace {

// Triangle counts per kernel call stay within int32.
constexpr u64 kMaxCall = std::numeric_limits<std::int32_t>::max();

// The number of triangles in a list.
u64 triangle_count(const Doubles& triangles) {
    const auto size = static_cast<u64>(triangles.size());
    if (size % kTriangleDoubles != 0) {
        throw py::value_error("triangles must hold 6 numbers per triangle, not " +
                              std::to_string(size) + " numbers");
    }
    return size / kTriangleDoubles;
}

// Triangles first .. first + count - 1 of the list at xy.
TriangleList triangle_part(const double* xy, u64 first, u64 count) {
    return {xy + kTriangleDoubles * first, static_cast<std::int32_t>(count)};
}

double clip_area(const Doubles& triangle, std::int32_t ix, std::int32_t iy) {
    expect_size(triangle, kTriangleDoubles, "triangle");
    const double* tri = triangle.data();
    py::gil_scoped_release unlocked;
    return zolvin::clip_area(tri, ix, iy);
}

// ---- Accumulation ------------------------------------------------------------

// The grid rows row_begin .. row_end - 1, stored from band on, are cut into
// contiguous parts, one per thread; every part sees every triangle in order,
// so each cell gets the same additions in the same order as in one call over
// the whole grid.
constexpr u64 kChunkTriangles = 256;

void accumulate_rows(const double* tris, const double* values, const double* weights,
                     double* band, u64 n_triangles, std::int32_t grid_size,
                     std::int32_t row_begin, std::int32_t row_end, u64 n_threads) {
    if (grid_size <= 0 || row_end <= row_begin) return;
    const u64 n = static_cast<u64>(grid_size);
    split_range(static_cast<u64>(row_end - row_begin), n_threads, [&](u64 r0, u64 r1) {
        // Triangles in chunks, in order (the same additions in the same order
        // as one call): a Ctrl-C waits for one chunk at most.
        for (u64 t = 0; t < n_triangles; t += kChunkTriangles) {
            check_stop();
            const u64 m = std::min(kChunkTriangles, n_triangles - t);
            const auto first = static_cast<std::int32_t>(row_begin + r0);
            const auto end = static_cast<std::int32_t>(row_begin + r1);
            accumulate_triangles_rows(triangle_part(tris, t, m), values + t, weights + t,
                                      band + r0 * n, grid_size, first, end);
        }
    });
}

void accumulate_triangles_band(const Doubles& triangles, const Doubles& values,
                               const Doubles& weights, Doubles& band, std::int32_t grid_size,
                               std::int32_t row_begin, std::int32_t row_end, u64 n_threads) {
    const u64 n = triangle_count(triangles);
    expect_size(values, n, "values");
    expect_size(weights, n, "weights");
    if (grid_size > 0 && row_end > row_begin) {
        expect_size(band, static_cast<u64>(row_end - row_begin) * static_cast<u64>(grid_size),
                    "band");
    }
    const double *t = triangles.data(), *v = values.data(), *w = weights.data();
    double* out = band.mutable_data();
    unlocked([&] { accumulate_rows(t, v, w, out, n, grid_size, row_begin, row_end, n_threads); });
}

void accumulate_triangles(const Doubles& triangles, const Doubles& values,
                          const Doubles& weights, Doubles& grid, std::int32_t grid_size,
                          u64 n_threads) {
    accumulate_triangles_band(triangles, values, weights, grid, grid_size, 0, grid_size,
                              n_threads);
}

// ---- Clipping ----------------------------------------------------------------

// The list of n_triangles is cut into up to n_threads contiguous parts. Part
// k (input triangles start .. end - 1) writes its output from triangle
// room * start of out and stores (start, written, dropped, clipped) at
// counts[4k .. 4k + 3]. clip(start, end, out, counters) clips one part.
template <class Clip>
void clip_parts(u64 n_triangles, int room, Doubles& out, Int64s& counts, u64 n_threads,
                const Clip& clip) {
    if (n_triangles > kMaxCall) {
        throw py::value_error("at most 2**31 - 1 triangles may be clipped in one call");
    }
    const u64 parts = std::max<u64>(1, std::min(n_threads, n_triangles));
    const u64 stride = static_cast<u64>(kTriangleDoubles) * static_cast<u64>(room);
    if (static_cast<u64>(out.size()) < stride * n_triangles) {
        throw py::value_error("out must hold " + std::to_string(room) +
                              " triangles per input triangle");
    }
    if (static_cast<u64>(counts.size()) < 4 * parts) {
        throw py::value_error("counts must hold 4 numbers per part");
    }
    double* pieces = out.mutable_data();
    std::int64_t* c = counts.mutable_data();
    py::gil_scoped_release unlocked;
    split_range(parts, parts, [&](u64 first, u64 last) {
        for (u64 k = first; k < last; ++k) {
            const u64 b = part_start(n_triangles, parts, k);
            const u64 e = part_start(n_triangles, parts, k + 1);
            std::int32_t dropped = 0, clipped = 0;
            const std::int32_t written =
                clip(b, e, pieces + stride * b, ClipCounters{&dropped, &clipped});
            c[4 * k] = static_cast<std::int64_t>(b);
            c[4 * k + 1] = written;
            c[4 * k + 2] = dropped;
            c[4 * k + 3] = clipped;
        }
    });
}

void clip_triangles_to_circle(const Doubles& triangles, double cx, double cy, double radius,
                              bool keep_inside, double margin, Doubles& out, Int64s& counts,
                              u64 n_threads) {
    const Circle circle{cx, cy, radius};
    const double* tris = triangles.data();
    clip_parts(triangle_count(triangles), kCirclePieces, out, counts, n_threads,
               [&](u64 b, u64 e, double* o, ClipCounters counters) {
                   return zolvin::clip_triangles_to_circle(triangle_part(tris, b, e - b), circle,
                                                           keep_inside, margin, o, counters);
               });
}

void clip_triangles_to_strut(const Doubles& triangles, double x1, double y1, double dir_x1,
                             double dir_y1, double x2, double y2, double dir_x2, double dir_y2,
                             double cx, double cy, double length, double margin, Doubles& out,
                             Int64s& counts, u64 n_threads) {
    const CappedStrut strut{Line{x1, y1, dir_x1, dir_y1}, Line{x2, y2, dir_x2, dir_y2}, cx, cy,
                            length};
    const double* tris = triangles.data();
    clip_parts(triangle_count(triangles), kStrutPieces, out, counts, n_threads,
               [&](u64 b, u64 e, double* o, ClipCounters counters) {
                   return zolvin::clip_triangles_to_strut(triangle_part(tris, b, e - b), strut,
                                                          margin, o, counters);
               });
}

}  // namespace

void bind_triangles(py::module_& m) {
    m.def("clip_area", &clip_area, "Area of the triangle inside the unit pixel centred on (ix, iy).",
          py::arg("triangle").noconvert(), py::arg("ix"), py::arg("iy"));
    m.def("accumulate_triangles", &accumulate_triangles,
          "Adds value / weight times each triangle's overlap area to a grid centred on 0.",
          py::arg("triangles").noconvert(), py::arg("values").noconvert(),
          py::arg("weights").noconvert(), py::arg("grid").noconvert(), py::arg("grid_size"),
          py::arg("n_threads"));
    m.def("accumulate_triangles_band", &accumulate_triangles_band,
          "accumulate_triangles for grid rows row_begin .. row_end - 1, stored in band.",
          py::arg("triangles").noconvert(), py::arg("values").noconvert(),
          py::arg("weights").noconvert(), py::arg("band").noconvert(), py::arg("grid_size"),
          py::arg("row_begin"), py::arg("row_end"), py::arg("n_threads"));
    m.def("clip_triangles_to_circle", &clip_triangles_to_circle,
          "Cuts the triangles to a circle; each part's (start, written, dropped, clipped) "
          "to counts.",
          py::arg("triangles").noconvert(), py::arg("cx"), py::arg("cy"), py::arg("radius"),
          py::arg("keep_inside"), py::arg("margin"), py::arg("out").noconvert(),
          py::arg("counts").noconvert(), py::arg("n_threads"));
    m.def("clip_triangles_to_strut", &clip_triangles_to_strut,
          "Cuts a strut out of the triangles; each part's (start, written, dropped, clipped) "
          "to counts.",
          py::arg("triangles").noconvert(), py::arg("x1"), py::arg("y1"), py::arg("dir_x1"),
          py::arg("dir_y1"), py::arg("x2"), py::arg("y2"), py::arg("dir_x2"), py::arg("dir_y2"),
          py::arg("cx"), py::arg("cy"), py::arg("length"), py::arg("margin"),
          py::arg("out").noconvert(), py::arg("counts").noconvert(), py::arg("n_threads"));
}

}  // namespace zolvin::native
