// The grid forms of the coverage kernels in zolvin._native: the pixels of a
// window of a regular grid are generated on the fly, with the interpreter's
// lock released and the rows split over n_threads threads. The zolvin package
// validates the grid and the output array before it calls in here.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>

#include "binding.hpp"
#include "coverage.hpp"
#include "parallel.hpp"

namespace py = pybind11;
using u64 = std::uint64_t;
namespace arg = zolvin::binding;

namespace {

// Rows go to the threads in bands dealt out in turn, so that a figure over
// one part of the grid (a strut in one quadrant) still keeps every thread
// busy. A band spans at least 2 MiB of output: threads that wrote to the same
// huge page would wait on each other's first touch of it.
constexpr u64 kBandBytes = u64{1} << 21;

u64 band_rows(u64 cols) {
    const u64 row_bytes = std::max<u64>(1, cols) * sizeof(double);
    return std::max<u64>(1, kBandBytes / row_bytes + (kBandBytes % row_bytes != 0 ? 1 : 0));
}

zolvin::GridWindow window(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                          double dxdu, double dxdv, double dydu, double dydv) {
    return {x0, y0, dxdu, dxdv, dydu, dydv, row0, col0, rows, cols};
}

// Calls kernel(band, out) for every band of rows of g, over up to n_threads threads.
template <class Kernel>
void over_bands(const zolvin::GridWindow& g, double* out, u64 n_threads, const Kernel& kernel) {
    // An empty window has nothing to write, however many rows (or columns) it claims.
    if (g.rows == 0 || g.cols == 0) return;
    const u64 size = band_rows(g.cols);
    const u64 bands = g.rows / size + (g.rows % size != 0 ? 1 : 0);
    const u64 workers = std::max<u64>(1, std::min(n_threads, bands));
    zolvin::split_range(workers, workers, [&](u64 first, u64 last) {
        for (u64 k = first; k < last; ++k) {
            for (u64 b = k; b < bands; b += workers) {
                zolvin::GridWindow band = g;
                band.row0 = g.row0 + b * size;
                band.rows = std::min(size, g.rows - b * size);
                kernel(band, out + b * size * g.cols);
            }
        }
    });
}

void grid_pixel_frac(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0, double dxdu,
                     double dxdv, double dydu, double dydv, double line_x, double line_y,
                     double dir_y, double dir_x, u64 out, u64 n_threads) {
    const zolvin::Line line = arg::line(line_x, line_y, dir_y, dir_x);
    const auto g = window(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    over_bands(g, arg::array_at<double>(out), n_threads,
               [&](const zolvin::GridWindow& band, double* res) {
                   zolvin::grid_pixel_frac(band, line, res);
               });
}

void grid_enclosed_circle(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                          double dxdu, double dxdv, double dydu, double dydv, double cx,
                          double cy, double radius, u64 out, bool zeroed, u64 n_threads) {
    const zolvin::Circle circle{cx, cy, radius};
    const auto g = window(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    over_bands(g, arg::array_at<double>(out), n_threads,
               [&](const zolvin::GridWindow& band, double* res) {
                   zolvin::grid_enclosed_circle(band, circle, res, zeroed);
               });
}

void grid_enclosed_strut(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                         double dxdu, double dxdv, double dydu, double dydv, double diameter,
                         double x1, double y1, double dir_y1, double dir_x1, double x2,
                         double y2, double dir_y2, double dir_x2, u64 out, bool zeroed,
                         u64 n_threads) {
    const zolvin::Strut strut =
        arg::strut(diameter, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2);
    const auto g = window(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    over_bands(g, arg::array_at<double>(out), n_threads,
               [&](const zolvin::GridWindow& band, double* res) {
                   zolvin::grid_enclosed_strut(band, strut, res, zeroed);
               });
}

}  // namespace

void bind_grid(py::module_& m) {
    // Arguments are converted under the lock; only the work runs without it.
    const auto unlocked = py::call_guard<py::gil_scoped_release>();
    m.def("grid_pixel_frac", &grid_pixel_frac, unlocked,
          "Fraction of each pixel of a grid window on the inner side of one line.",
          py::arg("rows"), py::arg("cols"), py::arg("row0"), py::arg("col0"), py::arg("x0"),
          py::arg("y0"), py::arg("dxdu"), py::arg("dxdv"), py::arg("dydu"), py::arg("dydv"),
          py::arg("line_x"), py::arg("line_y"), py::arg("dir_y"), py::arg("dir_x"),
          py::arg("out"), py::arg("n_threads"));
    m.def("grid_enclosed_circle", &grid_enclosed_circle, unlocked,
          "Fraction of each pixel of a grid window inside a circle.", py::arg("rows"),
          py::arg("cols"), py::arg("row0"), py::arg("col0"), py::arg("x0"), py::arg("y0"),
          py::arg("dxdu"), py::arg("dxdv"), py::arg("dydu"), py::arg("dydv"), py::arg("cx"),
          py::arg("cy"), py::arg("radius"), py::arg("out"), py::arg("zeroed"),
          py::arg("n_threads"));
    m.def("grid_enclosed_strut", &grid_enclosed_strut, unlocked,
          "Coverage of each pixel of a grid window by a strut.", py::arg("rows"),
          py::arg("cols"), py::arg("row0"), py::arg("col0"), py::arg("x0"), py::arg("y0"),
          py::arg("dxdu"), py::arg("dxdv"), py::arg("dydu"), py::arg("dydv"),
          py::arg("diameter"), py::arg("x1"), py::arg("y1"), py::arg("dir_y1"),
          py::arg("dir_x1"), py::arg("x2"), py::arg("y2"), py::arg("dir_y2"), py::arg("dir_x2"),
          py::arg("out"), py::arg("zeroed"), py::arg("n_threads"));
}
