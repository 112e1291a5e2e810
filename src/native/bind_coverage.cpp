// Lines, circles and struts over pixels in zolvin._native: the array form
// split into contiguous ranges of pixels, the grid form into bands of rows.
#include <algorithm>

#include "../coverage.hpp"
#include "../parallel.hpp"
#include "native.hpp"

namespace zolvin::native {

namespace {

// Pixels a Ctrl-C waits for at most: a chunk of the array form.
constexpr u64 kChunkPixels = u64{1} << 16;

// Pixels [0, px.n) cut into up to n_threads contiguous ranges, each written
// chunk by chunk by kernel(chunk's pixels, chunk's out, chunk's first pixel)
// on a thread of its own, without the interpreter's lock.
template <class Kernel>
void over_pixels(const PixelArrays& px, double* out, u64 n_threads, const Kernel& kernel) {
    unlocked([&] {
        split_range(px.n, n_threads, [&](u64 b, u64 e) {
            in_chunks(b, e, kChunkPixels,
                      [&](u64 cb, u64 ce) { kernel(px.slice(cb, ce - cb), out + cb, cb); });
        });
    });
}

// A band of rows spans at least 2 MiB of output: threads that wrote to the
// same huge page would wait on each other's first touch of it.
constexpr u64 kBandBytes = u64{1} << 21;

u64 band_rows(u64 cols) {
    const u64 row_bytes = std::max<u64>(1, cols) * sizeof(double);
    return std::max<u64>(1, kBandBytes / row_bytes + (kBandBytes % row_bytes != 0 ? 1 : 0));
}

// Calls kernel(band, band's out) for bands of the window's rows dealt out
// over up to n_threads threads, without the interpreter's lock.
template <class Kernel>
void over_bands(const GridWindow& g, double* out, u64 n_threads, const Kernel& kernel) {
    // An empty window has nothing to write, however many rows (or columns) it claims.
    if (g.rows == 0 || g.cols == 0) return;
    unlocked([&] {
        deal_bands(g.rows, band_rows(g.cols), n_threads, [&](NoScratch&, u64 r0, u64 r1) {
            GridWindow band = g;
            band.row0 = g.row0 + r0;
            band.rows = r1 - r0;
            kernel(band, out + r0 * g.cols);
        });
    });
}

Strut strut(double diameter, double x1, double y1, double dir_x1, double dir_y1, double x2,
            double y2, double dir_x2, double dir_y2) {
    return {diameter, Line{x1, y1, dir_x1, dir_y1}, Line{x2, y2, dir_x2, dir_y2}};
}

// ---- The array form ----------------------------------------------------------

void pixel_frac_shared(const Doubles& x, const Doubles& y, const Doubles& u, const Doubles& v,
                       const Doubles& dxdu, const Doubles& dxdv, const Doubles& dydu,
                       const Doubles& dydv, double line_x, double line_y, double dir_x,
                       double dir_y, Doubles& out, u64 n_threads) {
    const PixelArrays px = pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, out.size());
    const Line line{line_x, line_y, dir_x, dir_y};
    double* res = out.mutable_data();
    over_pixels(px, res, n_threads, [&](const PixelArrays& part, double* o, u64) {
        pixel_frac(line, part, o);
    });
}

void pixel_frac_lines(const Doubles& x, const Doubles& y, const Doubles& u, const Doubles& v,
                      const Doubles& dxdu, const Doubles& dxdv, const Doubles& dydu,
                      const Doubles& dydv, const Doubles& line_x, const Doubles& line_y,
                      const Doubles& dir_x, const Doubles& dir_y, Doubles& out, u64 n_threads) {
    const u64 n = out.size();
    const PixelArrays px = pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, n);
    expect_size(line_x, n, "line_x");
    expect_size(line_y, n, "line_y");
    expect_size(dir_x, n, "dir_x");
    expect_size(dir_y, n, "dir_y");
    const LineArrays lines{line_x.data(), line_y.data(), dir_x.data(), dir_y.data()};
    double* res = out.mutable_data();
    over_pixels(px, res, n_threads, [&](const PixelArrays& part, double* o, u64 b) {
        pixel_frac(LineArrays{lines.x + b, lines.y + b, lines.dir_x + b, lines.dir_y + b}, part, o);
    });
}

void enclosed_circle(const Doubles& x, const Doubles& y, const Doubles& u, const Doubles& v,
                     const Doubles& dxdu, const Doubles& dxdv, const Doubles& dydu,
                     const Doubles& dydv, double cx, double cy, double radius, Doubles& out,
                     u64 n_threads) {
    const PixelArrays px = pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, out.size());
    const Circle circle{cx, cy, radius};
    double* res = out.mutable_data();
    over_pixels(px, res, n_threads, [&](const PixelArrays& part, double* o, u64) {
        zolvin::enclosed_circle(part, circle, o);
    });
}

void enclosed_strut(const Doubles& x, const Doubles& y, const Doubles& u, const Doubles& v,
                    const Doubles& dxdu, const Doubles& dxdv, const Doubles& dydu,
                    const Doubles& dydv, double diameter, double x1, double y1, double dir_x1,
                    double dir_y1, double x2, double y2, double dir_x2, double dir_y2,
                    Doubles& out, u64 n_threads) {
    const PixelArrays px = pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, out.size());
    const Strut s = strut(diameter, x1, y1, dir_x1, dir_y1, x2, y2, dir_x2, dir_y2);
    double* res = out.mutable_data();
    over_pixels(px, res, n_threads, [&](const PixelArrays& part, double* o, u64) {
        zolvin::enclosed_strut(part, s, o);
    });
}

// ---- The grid form -----------------------------------------------------------

// The output of a window: rows x cols elements, written in place.
double* window_out(Doubles& out, u64 rows, u64 cols) {
    expect_size(out, rows * cols, "out");
    return out.mutable_data();
}

void grid_pixel_frac(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0, double dxdu,
                     double dxdv, double dydu, double dydv, double line_x, double line_y,
                     double dir_x, double dir_y, Doubles& out, u64 n_threads) {
    const GridWindow g = grid_window(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    const Line line{line_x, line_y, dir_x, dir_y};
    double* res = window_out(out, rows, cols);
    over_bands(g, res, n_threads,
               [&](const GridWindow& band, double* o) { zolvin::grid_pixel_frac(band, line, o); });
}

void grid_enclosed_circle(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                          double dxdu, double dxdv, double dydu, double dydv, double cx,
                          double cy, double radius, Doubles& out, bool zeroed, u64 n_threads) {
    const GridWindow g = grid_window(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    const Circle circle{cx, cy, radius};
    double* res = window_out(out, rows, cols);
    over_bands(g, res, n_threads, [&](const GridWindow& band, double* o) {
        zolvin::grid_enclosed_circle(band, circle, o, zeroed);
    });
}

void grid_enclosed_strut(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                         double dxdu, double dxdv, double dydu, double dydv, double diameter,
                         double x1, double y1, double dir_x1, double dir_y1, double x2,
                         double y2, double dir_x2, double dir_y2, Doubles& out, bool zeroed,
                         u64 n_threads) {
    const GridWindow g = grid_window(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    const Strut s = strut(diameter, x1, y1, dir_x1, dir_y1, x2, y2, dir_x2, dir_y2);
    double* res = window_out(out, rows, cols);
    over_bands(g, res, n_threads, [&](const GridWindow& band, double* o) {
        zolvin::grid_enclosed_strut(band, s, o, zeroed);
    });
}

}  // namespace

void bind_coverage(py::module_& m) {
    def_pixels(m, "pixel_frac_shared", &pixel_frac_shared,
               "Fraction of each pixel on the inner side of one shared line.", py::arg("line_x"),
               py::arg("line_y"), py::arg("dir_x"), py::arg("dir_y"),
               py::arg("out").noconvert(), py::arg("n_threads"));
    def_pixels(m, "pixel_frac_lines", &pixel_frac_lines,
               "Fraction of each pixel on the inner side of its own line.",
               py::arg("line_x").noconvert(), py::arg("line_y").noconvert(),
               py::arg("dir_x").noconvert(), py::arg("dir_y").noconvert(),
               py::arg("out").noconvert(), py::arg("n_threads"));
    def_pixels(m, "enclosed_circle", &enclosed_circle, "Fraction of each pixel inside a circle.",
               py::arg("cx"), py::arg("cy"), py::arg("radius"), py::arg("out").noconvert(),
               py::arg("n_threads"));
    def_pixels(m, "enclosed_strut", &enclosed_strut, "Coverage of each pixel by a strut.",
               py::arg("diameter"), py::arg("x1"), py::arg("y1"), py::arg("dir_x1"),
               py::arg("dir_y1"), py::arg("x2"), py::arg("y2"), py::arg("dir_x2"),
               py::arg("dir_y2"), py::arg("out").noconvert(), py::arg("n_threads"));
    def_grid(m, "grid_pixel_frac", &grid_pixel_frac,
             "Fraction of each pixel of a grid window on the inner side of one line.",
             py::arg("line_x"), py::arg("line_y"), py::arg("dir_x"), py::arg("dir_y"),
             py::arg("out").noconvert(), py::arg("n_threads"));
    def_grid(m, "grid_enclosed_circle", &grid_enclosed_circle,
             "Fraction of each pixel of a grid window inside a circle.", py::arg("cx"),
             py::arg("cy"), py::arg("radius"), py::arg("out").noconvert(), py::arg("zeroed"),
             py::arg("n_threads"));
    def_grid(m, "grid_enclosed_strut", &grid_enclosed_strut,
             "Coverage of each pixel of a grid window by a strut.", py::arg("diameter"),
             py::arg("x1"), py::arg("y1"), py::arg("dir_x1"), py::arg("dir_y1"), py::arg("x2"),
             py::arg("y2"), py::arg("dir_x2"), py::arg("dir_y2"), py::arg("out").noconvert(),
             py::arg("zeroed"), py::arg("n_threads"));
}

}  // namespace zolvin::native
