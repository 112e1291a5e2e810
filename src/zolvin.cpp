// The module _zolvin: its binding table, in registration order. Arrays come
// as integer addresses and counts as plain integers, positionally, in the
// module's documented order (directions y first); each entry turns them into
// the kernel's types and calls it.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "binding.hpp"
#include "coverage.hpp"
#include "polygon.hpp"
#include "triangles.hpp"

namespace py = pybind11;
using u64 = std::uint64_t;
namespace arg = zolvin::binding;

namespace {

void poly_grid_contains(u64 poly_x, u64 poly_y, u64 n_vertices, u64 grid_x, u64 grid_y, u64 mask,
                        u64 nx, u64 ny) {
    zolvin::poly_grid_contains(
        zolvin::Polygon{arg::doubles(poly_x), arg::doubles(poly_y), n_vertices},
        zolvin::PointGrid{arg::doubles(grid_x), arg::doubles(grid_y), nx, ny},
        arg::array_at<unsigned char>(mask));
}

void pixel_frac_shared(double x0, double y0, double dir_y, double dir_x, u64 x, u64 y, u64 u,
                       u64 v, u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n) {
    zolvin::pixel_frac(arg::line(x0, y0, dir_y, dir_x),
                       arg::pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                       arg::array_at<double>(out));
}

void pixel_frac_lines(u64 x0, u64 y0, u64 dir_y, u64 dir_x, u64 x, u64 y, u64 u, u64 v,
                      u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n) {
    zolvin::pixel_frac(arg::line_arrays(x0, y0, dir_y, dir_x),
                       arg::pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                       arg::array_at<double>(out));
}

void enclosed_circle(u64 u, u64 v, u64 x, u64 y, double cx, double cy, double radius, u64 dxdu,
                     u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n) {
    zolvin::enclosed_circle(arg::pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                            zolvin::Circle{cx, cy, radius}, arg::array_at<double>(out));
}

void enclosed_strut(u64 u, u64 v, u64 x, u64 y, double diameter, double x1, double y1,
                    double dir_y1, double dir_x1, double x2, double y2, double dir_y2,
                    double dir_x2, u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n) {
    zolvin::enclosed_strut(arg::pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                           arg::strut(diameter, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2),
                           arg::array_at<double>(out));
}

std::int32_t clip_triangles_to_circle(u64 triangles, std::int32_t n_triangles, double cx,
                                      double cy, double radius, std::int32_t keep_inside,
                                      double margin, u64 out_triangles, u64 dropped_counter,
                                      u64 clipped_counter) {
    return zolvin::clip_triangles_to_circle(
        zolvin::TriangleList{arg::doubles(triangles), n_triangles}, zolvin::Circle{cx, cy, radius},
        keep_inside != 0, margin, arg::array_at<double>(out_triangles),
        zolvin::ClipCounters{arg::array_at<std::int32_t>(dropped_counter),
                             arg::array_at<std::int32_t>(clipped_counter)});
}

std::int32_t clip_triangles_to_strut(u64 triangles, std::int32_t n_triangles, double x1,
                                     double y1, double dir_y1, double dir_x1, double x2,
                                     double y2, double dir_y2, double dir_x2, double cx, double cy,
                                     double length, double margin, u64 out_triangles,
                                     u64 dropped_counter, u64 clipped_counter) {
    const zolvin::CappedStrut strut =
        arg::capped_strut(x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2, cx, cy, length);
    return zolvin::clip_triangles_to_strut(
        zolvin::TriangleList{arg::doubles(triangles), n_triangles}, strut, margin,
        arg::array_at<double>(out_triangles),
        zolvin::ClipCounters{arg::array_at<std::int32_t>(dropped_counter),
                             arg::array_at<std::int32_t>(clipped_counter)});
}

void accumulate_triangles(u64 triangles, u64 values, u64 weights, u64 grid,
                          std::int32_t n_triangles, std::int32_t grid_size) {
    zolvin::accumulate_triangles(zolvin::TriangleList{arg::doubles(triangles), n_triangles},
                                 arg::doubles(values), arg::doubles(weights),
                                 arg::array_at<double>(grid), grid_size);
}

double clip_area(u64 tri, std::int32_t ix, std::int32_t iy) {
    return zolvin::clip_area(arg::doubles(tri), ix, iy);
}

}  // namespace

PYBIND11_MODULE(_zolvin, m) {
    m.def("poly_grid_contains", &poly_grid_contains);
    // Shared-line form first: the dispatcher tries overloads in this order.
    m.def("pixel_frac", &pixel_frac_shared);
    m.def("pixel_frac", &pixel_frac_lines);
    m.def("enclosed_circle", &enclosed_circle);
    m.def("enclosed_strut", &enclosed_strut);
    m.def("clip_triangles_to_circle", &clip_triangles_to_circle);
    m.def("clip_triangles_to_strut", &clip_triangles_to_strut);
    m.def("accumulate_triangles", &accumulate_triangles);
    m.def("clip_area", &clip_area);
}
