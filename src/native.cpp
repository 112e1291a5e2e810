// zolvin._native: the kernels by address, as _zolvin binds them, but with the
// interpreter's lock released around the work and the work split over
// n_threads threads. The zolvin package validates every array before it
// calls in here; nothing below checks an address or a size.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "binding.hpp"
#include "coverage.hpp"
#include "parallel.hpp"
#include "polygon.hpp"
#include "triangles.hpp"

namespace py = pybind11;
using u64 = std::uint64_t;
namespace arg = zolvin::binding;

namespace {

// Pixels [0, px.n) cut into up to n_threads contiguous ranges, each written
// by kernel(range's pixels, range's out) on a thread of its own.
template <class Kernel>
void over_pixels(const zolvin::PixelArrays& px, double* out, u64 n_threads,
                 const Kernel& kernel) {
    zolvin::split_range(px.n, n_threads,
                        [&](u64 b, u64 e) { kernel(px.slice(b, e - b), out + b, b); });
}

void pixel_frac_shared(double x0, double y0, double dir_y, double dir_x, u64 x, u64 y, u64 u,
                       u64 v, u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n,
                       u64 n_threads) {
    const zolvin::Line line = arg::line(x0, y0, dir_y, dir_x);
    over_pixels(arg::pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                arg::array_at<double>(out), n_threads,
                [&](const zolvin::PixelArrays& px, double* res, u64) {
                    zolvin::pixel_frac(line, px, res);
                });
}

void pixel_frac_lines(u64 x0, u64 y0, u64 dir_y, u64 dir_x, u64 x, u64 y, u64 u, u64 v,
                      u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n, u64 n_threads) {
    const zolvin::LineArrays lines = arg::line_arrays(x0, y0, dir_y, dir_x);
    over_pixels(arg::pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                arg::array_at<double>(out), n_threads,
                [&](const zolvin::PixelArrays& px, double* res, u64 b) {
                    const zolvin::LineArrays part{lines.x + b, lines.y + b, lines.dir_x + b,
                                                  lines.dir_y + b};
                    zolvin::pixel_frac(part, px, res);
                });
}

void enclosed_circle(u64 u, u64 v, u64 x, u64 y, double cx, double cy, double radius, u64 dxdu,
                     u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n, u64 n_threads) {
    const zolvin::Circle circle{cx, cy, radius};
    over_pixels(arg::pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                arg::array_at<double>(out), n_threads,
                [&](const zolvin::PixelArrays& px, double* res, u64) {
                    zolvin::enclosed_circle(px, circle, res);
                });
}

void enclosed_strut(u64 u, u64 v, u64 x, u64 y, double diameter, double x1, double y1,
                    double dir_y1, double dir_x1, double x2, double y2, double dir_y2,
                    double dir_x2, u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n,
                    u64 n_threads) {
    const zolvin::Strut strut =
        arg::strut(diameter, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2);
    over_pixels(arg::pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                arg::array_at<double>(out), n_threads,
                [&](const zolvin::PixelArrays& px, double* res, u64) {
                    zolvin::enclosed_strut(px, strut, res);
                });
}

// Triangle counts per kernel call stay within int32.
constexpr u64 kMaxCall = std::numeric_limits<std::int32_t>::max();

double clip_area(u64 tri, std::int32_t ix, std::int32_t iy) {
    return zolvin::clip_area(arg::doubles(tri), ix, iy);
}

// Triangles first .. first + count - 1 of the list at address triangles.
zolvin::TriangleList triangle_part(u64 triangles, u64 first, u64 count) {
    return {arg::doubles(triangles) + zolvin::kTriangleDoubles * first,
            static_cast<std::int32_t>(count)};
}

// The grid rows row_begin .. row_end - 1, stored from the address band on, are
// cut into contiguous bands, one per thread; every band sees every triangle in
// order, so each cell gets the same additions in the same order as in one call
// over the whole grid.
void accumulate_triangles_band(u64 triangles, u64 values, u64 weights, u64 band,
                               u64 n_triangles, std::int32_t grid_size, std::int32_t row_begin,
                               std::int32_t row_end, u64 n_threads) {
    if (grid_size <= 0 || row_end <= row_begin) return;
    const u64 n = static_cast<u64>(grid_size);
    zolvin::split_range(static_cast<u64>(row_end - row_begin), n_threads, [&](u64 r0, u64 r1) {
        for (u64 t = 0; t < n_triangles; t += kMaxCall) {
            const u64 m = std::min(kMaxCall, n_triangles - t);
            const auto first = static_cast<std::int32_t>(row_begin + r0);
            const auto end = static_cast<std::int32_t>(row_begin + r1);
            zolvin::accumulate_triangles_rows(
                triangle_part(triangles, t, m), arg::doubles(values) + t, arg::doubles(weights) + t,
                arg::array_at<double>(band) + r0 * n, grid_size, first, end);
        }
    });
}

void accumulate_triangles(u64 triangles, u64 values, u64 weights, u64 grid, u64 n_triangles,
                          std::int32_t grid_size, u64 n_threads) {
    accumulate_triangles_band(triangles, values, weights, grid, n_triangles, grid_size, 0,
                              grid_size, n_threads);
}

// The triangle list is cut into up to n_threads contiguous parts. Part k
// (input triangles start .. end - 1) writes its output from triangle
// room * start of out and stores (start, written, dropped, clipped) at
// counts[4k .. 4k + 3]. Every part is at most n_triangles <= kMaxCall long.
// clip(start, end, out, counters) clips one part.
template <class Clip>
void clip_parts(u64 n_triangles, int room, u64 out, u64 counts, u64 n_threads, const Clip& clip) {
    const u64 parts = std::max<u64>(1, std::min(n_threads, n_triangles));
    double* pieces = arg::array_at<double>(out);
    std::int64_t* c = arg::array_at<std::int64_t>(counts);
    const u64 stride = static_cast<u64>(zolvin::kTriangleDoubles) * static_cast<u64>(room);
    zolvin::split_range(parts, parts, [&](u64 first, u64 last) {
        for (u64 k = first; k < last; ++k) {
            const u64 b = zolvin::part_start(n_triangles, parts, k);
            const u64 e = zolvin::part_start(n_triangles, parts, k + 1);
            std::int32_t dropped = 0, clipped = 0;
            const std::int32_t written =
                clip(b, e, pieces + stride * b, zolvin::ClipCounters{&dropped, &clipped});
            c[4 * k] = static_cast<std::int64_t>(b);
            c[4 * k + 1] = written;
            c[4 * k + 2] = dropped;
            c[4 * k + 3] = clipped;
        }
    });
}

void clip_triangles_to_circle(u64 triangles, u64 n_triangles, double cx, double cy, double radius,
                              std::int32_t keep_inside, double margin, u64 out, u64 counts,
                              u64 n_threads) {
    const zolvin::Circle circle{cx, cy, radius};
    clip_parts(n_triangles, zolvin::kCirclePieces, out, counts, n_threads,
               [&](u64 b, u64 e, double* o, zolvin::ClipCounters counters) {
                   return zolvin::clip_triangles_to_circle(triangle_part(triangles, b, e - b),
                                                           circle, keep_inside != 0, margin, o,
                                                           counters);
               });
}

void clip_triangles_to_strut(u64 triangles, u64 n_triangles, double x1, double y1, double dir_y1,
                             double dir_x1, double x2, double y2, double dir_y2, double dir_x2,
                             double cx, double cy, double length, double margin, u64 out,
                             u64 counts, u64 n_threads) {
    const zolvin::CappedStrut strut =
        arg::capped_strut(x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2, cx, cy, length);
    clip_parts(n_triangles, zolvin::kStrutPieces, out, counts, n_threads,
               [&](u64 b, u64 e, double* o, zolvin::ClipCounters counters) {
                   return zolvin::clip_triangles_to_strut(triangle_part(triangles, b, e - b),
                                                          strut, margin, o, counters);
               });
}

// Rows of a mask, split over threads; each part keeps its own crossing list.
// kernel is one of the polygon mask kernels.
template <class Kernel>
void over_mask_rows(u64 poly_x, u64 poly_y, u64 n_vertices, u64 grid_x, u64 grid_y, u64 mask,
                    u64 nx, u64 ny, u64 n_threads, const Kernel& kernel) {
    const zolvin::Polygon polygon{arg::doubles(poly_x), arg::doubles(poly_y), n_vertices};
    unsigned char* out = arg::array_at<unsigned char>(mask);
    zolvin::split_range(ny, n_threads, [&](u64 b, u64 e) {
        kernel(polygon,
               zolvin::PointGrid{arg::doubles(grid_x), arg::doubles(grid_y) + b, nx, e - b},
               out + b * nx);
    });
}

void poly_grid_contains(u64 poly_x, u64 poly_y, u64 n_vertices, u64 grid_x, u64 grid_y, u64 mask,
                        u64 nx, u64 ny, u64 n_threads) {
    over_mask_rows(poly_x, poly_y, n_vertices, grid_x, grid_y, mask, nx, ny, n_threads,
                   zolvin::poly_grid_contains);
}

void poly_grid_points(u64 poly_x, u64 poly_y, u64 n_vertices, u64 grid_x, u64 grid_y, u64 mask,
                      u64 nx, u64 ny, u64 n_threads) {
    over_mask_rows(poly_x, poly_y, n_vertices, grid_x, grid_y, mask, nx, ny, n_threads,
                   zolvin::poly_grid_points);
}

}  // namespace

void bind_grid(py::module_& m);    // native_grid.cpp
void bind_region(py::module_& m);  // native_region.cpp

PYBIND11_MODULE(_native, m, py::mod_gil_not_used()) {
    // Arguments are converted under the lock; only the work runs without it.
    const auto unlocked = py::call_guard<py::gil_scoped_release>();
    m.def("pixel_frac_shared", &pixel_frac_shared, unlocked,
          "Fraction of each pixel on the inner side of one shared line.", py::arg("x0"),
          py::arg("y0"), py::arg("dir_y"), py::arg("dir_x"), py::arg("x"), py::arg("y"),
          py::arg("u"), py::arg("v"), py::arg("dxdu"), py::arg("dxdv"), py::arg("dydu"),
          py::arg("dydv"), py::arg("out"), py::arg("n"), py::arg("n_threads"));
    m.def("pixel_frac_lines", &pixel_frac_lines, unlocked,
          "Fraction of each pixel on the inner side of its own line.", py::arg("x0"),
          py::arg("y0"), py::arg("dir_y"), py::arg("dir_x"), py::arg("x"), py::arg("y"),
          py::arg("u"), py::arg("v"), py::arg("dxdu"), py::arg("dxdv"), py::arg("dydu"),
          py::arg("dydv"), py::arg("out"), py::arg("n"), py::arg("n_threads"));
    m.def("enclosed_circle", &enclosed_circle, unlocked,
          "Fraction of each pixel inside a circle.", py::arg("u"), py::arg("v"), py::arg("x"),
          py::arg("y"), py::arg("cx"), py::arg("cy"), py::arg("radius"), py::arg("dxdu"),
          py::arg("dxdv"), py::arg("dydu"), py::arg("dydv"), py::arg("out"), py::arg("n"),
          py::arg("n_threads"));
    m.def("enclosed_strut", &enclosed_strut, unlocked, "Coverage of each pixel by a strut.",
          py::arg("u"), py::arg("v"), py::arg("x"), py::arg("y"), py::arg("diameter"),
          py::arg("x1"), py::arg("y1"), py::arg("dir_y1"), py::arg("dir_x1"), py::arg("x2"),
          py::arg("y2"), py::arg("dir_y2"), py::arg("dir_x2"), py::arg("dxdu"), py::arg("dxdv"),
          py::arg("dydu"), py::arg("dydv"), py::arg("out"), py::arg("n"), py::arg("n_threads"));
    m.def("clip_area", &clip_area, unlocked,
          "Area of the triangle at tri inside the unit pixel centred on (ix, iy).",
          py::arg("tri"), py::arg("ix"), py::arg("iy"));
    m.def("accumulate_triangles", &accumulate_triangles, unlocked,
          "Adds value / weight times each triangle's overlap area to a grid centred on 0.",
          py::arg("triangles"), py::arg("values"), py::arg("weights"), py::arg("grid"),
          py::arg("n_triangles"), py::arg("grid_size"), py::arg("n_threads"));
    m.def("accumulate_triangles_band", &accumulate_triangles_band, unlocked,
          "accumulate_triangles for grid rows row_begin .. row_end - 1, stored at band.",
          py::arg("triangles"), py::arg("values"), py::arg("weights"), py::arg("band"),
          py::arg("n_triangles"), py::arg("grid_size"), py::arg("row_begin"),
          py::arg("row_end"), py::arg("n_threads"));
    m.def("clip_triangles_to_circle", &clip_triangles_to_circle, unlocked,
          "Cuts the triangles to a circle; each part's (start, written, dropped, clipped) "
          "to counts.",
          py::arg("triangles"), py::arg("n_triangles"), py::arg("cx"), py::arg("cy"),
          py::arg("radius"), py::arg("keep_inside"), py::arg("margin"), py::arg("out"),
          py::arg("counts"), py::arg("n_threads"));
    m.def("clip_triangles_to_strut", &clip_triangles_to_strut, unlocked,
          "Cuts a strut out of the triangles; each part's (start, written, dropped, clipped) "
          "to counts.",
          py::arg("triangles"), py::arg("n_triangles"), py::arg("x1"), py::arg("y1"),
          py::arg("dir_y1"), py::arg("dir_x1"), py::arg("x2"), py::arg("y2"), py::arg("dir_y2"),
          py::arg("dir_x2"), py::arg("cx"), py::arg("cy"), py::arg("length"), py::arg("margin"),
          py::arg("out"), py::arg("counts"), py::arg("n_threads"));
    m.def("poly_grid_contains", &poly_grid_contains, unlocked,
          "Even-odd mask (uint8, ny x nx) of a polygon over a grid of points.",
          py::arg("poly_x"), py::arg("poly_y"), py::arg("n_vertices"), py::arg("grid_x"),
          py::arg("grid_y"), py::arg("mask"), py::arg("nx"), py::arg("ny"),
          py::arg("n_threads"));
    m.def("poly_grid_points", &poly_grid_points, unlocked,
          "Mask (uint8, ny x nx) of the grid points inside a polygon by the even-odd rule.",
          py::arg("poly_x"), py::arg("poly_y"), py::arg("n_vertices"), py::arg("grid_x"),
          py::arg("grid_y"), py::arg("mask"), py::arg("nx"), py::arg("ny"),
          py::arg("n_threads"));
    // The list format, for the package to size and walk its buffers by.
    m.attr("TRIANGLE_BYTES") = zolvin::kTriangleBytes;
    m.attr("CIRCLE_PIECES") = zolvin::kCirclePieces;
    m.attr("STRUT_PIECES") = zolvin::kStrutPieces;
    bind_grid(m);
    bind_region(m);
}
