// zolvin._native: the kernels by address, as _zolvin binds them, but with the
// interpreter's lock released around the work and the work split over
// n_threads threads. The zolvin package validates every array before it
// calls in here; nothing below checks an address or a size.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "coverage.hpp"
#include "parallel.hpp"

namespace py = pybind11;
using u64 = std::uint64_t;

namespace {

// Address of element `first` of a float64 array.
constexpr u64 at(u64 address, u64 first) { return address + first * sizeof(double); }

void pixel_frac_shared(double x0, double y0, double dir_y, double dir_x, u64 x, u64 y, u64 u,
                       u64 v, u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n,
                       u64 n_threads) {
    zolvin::split_range(n, n_threads, [&](u64 b, u64 e) {
        zolvin::pixel_frac(x0, y0, dir_y, dir_x, at(x, b), at(y, b), at(u, b), at(v, b),
                           at(dxdu, b), at(dxdv, b), at(dydu, b), at(dydv, b), at(out, b), e - b);
    });
}

void pixel_frac_lines(u64 x0, u64 y0, u64 dir_y, u64 dir_x, u64 x, u64 y, u64 u, u64 v,
                      u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n, u64 n_threads) {
    zolvin::split_range(n, n_threads, [&](u64 b, u64 e) {
        zolvin::pixel_frac(at(x0, b), at(y0, b), at(dir_y, b), at(dir_x, b), at(x, b), at(y, b),
                           at(u, b), at(v, b), at(dxdu, b), at(dxdv, b), at(dydu, b),
                           at(dydv, b), at(out, b), e - b);
    });
}

void enclosed_circle(u64 u, u64 v, u64 x, u64 y, double cx, double cy, double radius, u64 dxdu,
                     u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n, u64 n_threads) {
    zolvin::split_range(n, n_threads, [&](u64 b, u64 e) {
        zolvin::enclosed_circle(at(u, b), at(v, b), at(x, b), at(y, b), cx, cy, radius,
                                at(dxdu, b), at(dxdv, b), at(dydu, b), at(dydv, b), at(out, b),
                                e - b);
    });
}

void enclosed_strut(u64 u, u64 v, u64 x, u64 y, double diameter, double x1, double y1,
                    double dir_y1, double dir_x1, double x2, double y2, double dir_y2,
                    double dir_x2, u64 dxdu, u64 dxdv, u64 dydu, u64 dydv, u64 out, u64 n,
                    u64 n_threads) {
    zolvin::split_range(n, n_threads, [&](u64 b, u64 e) {
        zolvin::enclosed_strut(at(u, b), at(v, b), at(x, b), at(y, b), diameter, x1, y1, dir_y1,
                               dir_x1, x2, y2, dir_y2, dir_x2, at(dxdu, b), at(dxdv, b),
                               at(dydu, b), at(dydv, b), at(out, b), e - b);
    });
}

}  // namespace

void bind_grid(py::module_& m);  // native_grid.cpp

PYBIND11_MODULE(_native, m, py::mod_gil_not_used()) {
    // Arguments are converted under the lock; only the work runs without it.
    const auto unlocked = py::call_guard<py::gil_scoped_release>();
    m.def("pixel_frac_shared", &pixel_frac_shared, unlocked);
    m.def("pixel_frac_lines", &pixel_frac_lines, unlocked);
    m.def("enclosed_circle", &enclosed_circle, unlocked);
    m.def("enclosed_strut", &enclosed_strut, unlocked);
    bind_grid(m);
}
