// The module _zolvin: its binding table, in registration order. Arrays come
// as integer addresses and counts as plain integers, positionally, in the
// module's documented order (directions y first); each entry turns them into
// the kernel's types and calls it.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "address.hpp"
#include "coverage.hpp"
#include "polygon.hpp"
#include "triangles.hpp"

namespace py = pybind11;
using u64 = std::uint64_t;
using zolvin::array_at;

namespace {

const double* doubles(u64 address) { return array_at<const double>(address); }

zolvin::PixelArrays pixel_arrays(u64 x, u64 y, u64 u, u64 v, u64 dxdu, u64 dxdv, u64 dydu,
                                 u64 dydv, u64 n) {
    return {doubles(x),    doubles(y),    doubles(u),    doubles(v),
            doubles(dxdu), doubles(dxdv), doubles(dydu), doubles(dydv), n};
}

void pixel_frac_shared(double x0, double y0, double dir_y, double dir_x, u64 x, u64 y, u64 u,
                       u64 v, u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n) {
    zolvin::pixel_frac(zolvin::Line{x0, y0, dir_x, dir_y},
                       pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n), array_at<double>(out));
}

void pixel_frac_lines(u64 x0, u64 y0, u64 dir_y, u64 dir_x, u64 x, u64 y, u64 u, u64 v,
                      u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n) {
    zolvin::pixel_frac(zolvin::LineArrays{doubles(x0), doubles(y0), doubles(dir_x), doubles(dir_y)},
                       pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n), array_at<double>(out));
}

void enclosed_circle(u64 u, u64 v, u64 x, u64 y, double cx, double cy, double radius, u64 dxdu,
                     u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n) {
    zolvin::enclosed_circle(pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n),
                            zolvin::Circle{cx, cy, radius}, array_at<double>(out));
}

void enclosed_strut(u64 u, u64 v, u64 x, u64 y, double diameter, double x1, double y1,
                    double dir_y1, double dir_x1, double x2, double y2, double dir_y2,
                    double dir_x2, u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n) {
    const zolvin::Strut strut{diameter, {x1, y1, dir_x1, dir_y1}, {x2, y2, dir_x2, dir_y2}};
    zolvin::enclosed_strut(pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n), strut,
                           array_at<double>(out));
}

}  // namespace

PYBIND11_MODULE(_zolvin, m) {
    m.def("poly_grid_contains", &zolvin::poly_grid_contains);
    // Shared-line form first: the dispatcher tries overloads in this order.
    m.def("pixel_frac", &pixel_frac_shared);
    m.def("pixel_frac", &pixel_frac_lines);
    m.def("enclosed_circle", &enclosed_circle);
    m.def("enclosed_strut", &enclosed_strut);
    m.def("clip_triangles_to_circle", &zolvin::clip_triangles_to_circle);
    m.def("clip_triangles_to_strut", &zolvin::clip_triangles_to_strut);
    m.def("accumulate_triangles", &zolvin::accumulate_triangles);
    m.def("clip_area", &zolvin::clip_area);
}
