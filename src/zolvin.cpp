// The module _zolvin: its binding table, in registration order.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "coverage.hpp"
#include "polygon.hpp"
#include "triangles.hpp"

namespace py = pybind11;
using u64 = std::uint64_t;

PYBIND11_MODULE(_zolvin, m) {
    m.def("poly_grid_contains", &zolvin::poly_grid_contains);
    // Shared-line form first: the dispatcher tries overloads in this order.
    m.def("pixel_frac", py::overload_cast<double, double, double, double, u64, u64, u64, u64,
                                          u64, u64, u64, u64, u64, u64>(&zolvin::pixel_frac));
    m.def("pixel_frac", py::overload_cast<u64, u64, u64, u64, u64, u64, u64, u64,
                                          u64, u64, u64, u64, u64, u64>(&zolvin::pixel_frac));
    m.def("enclosed_circle", &zolvin::enclosed_circle);
    m.def("enclosed_strut", &zolvin::enclosed_strut);
    m.def("clip_triangles_to_circle", &zolvin::clip_triangles_to_circle);
    m.def("clip_triangles_to_strut", &zolvin::clip_triangles_to_strut);
    m.def("accumulate_triangles", &zolvin::accumulate_triangles);
    m.def("clip_area", &zolvin::clip_area);
}
