// Even-odd masks of a polygon over a grid of points in zolvin._native: the
// mask's rows split over threads, each part with its own crossing list.
#include <algorithm>

#include "../parallel.hpp"
#include "../polygon.hpp"
#include "native.hpp"

namespace zolvin::native {

namespace {

using MaskKernel = void (*)(const Polygon&, const PointGrid&, unsigned char*);

// mask: uint8, grid_y.size() x grid_x.size(), row-major.
void over_mask_rows(const Doubles& poly_x, const Doubles& poly_y, const Doubles& grid_x,
                    const Doubles& grid_y, Bytes& mask, u64 n_threads, MaskKernel kernel) {
    const auto n = static_cast<u64>(poly_x.size());
    const auto nx = static_cast<u64>(grid_x.size()), ny = static_cast<u64>(grid_y.size());
    expect_size(poly_y, n, "poly_y");
    expect_size(mask, nx * ny, "mask");
    const Polygon polygon{poly_x.data(), poly_y.data(), n};
    const double *gx = grid_x.data(), *gy = grid_y.data();
    unsigned char* out = mask.mutable_data();
    // Rows in chunks of about a million points: a Ctrl-C waits for one at most.
    const u64 chunk_rows = std::max<u64>(1, (u64{1} << 20) / std::max<u64>(1, nx));
    unlocked([&] {
        split_range(ny, n_threads, [&](u64 b, u64 e) {
            in_chunks(b, e, chunk_rows, [&](u64 cb, u64 ce) {
                kernel(polygon, PointGrid{gx, gy + cb, nx, ce - cb}, out + cb * nx);
            });
        });
    });
}

void poly_grid_contains(const Doubles& poly_x, const Doubles& poly_y, const Doubles& grid_x,
                        const Doubles& grid_y, Bytes& mask, u64 n_threads) {
    over_mask_rows(poly_x, poly_y, grid_x, grid_y, mask, n_threads, zolvin::poly_grid_contains);
}

void poly_grid_points(const Doubles& poly_x, const Doubles& poly_y, const Doubles& grid_x,
                      const Doubles& grid_y, Bytes& mask, u64 n_threads) {
    over_mask_rows(poly_x, poly_y, grid_x, grid_y, mask, n_threads, zolvin::poly_grid_points);
}

}  // namespace

void bind_masks(py::module_& m) {
    m.def("poly_grid_contains", &poly_grid_contains,
          "Even-odd mask (uint8, ny x nx) of a polygon over a grid of points, by the scan rule.",
          py::arg("poly_x").noconvert(), py::arg("poly_y").noconvert(),
          py::arg("grid_x").noconvert(), py::arg("grid_y").noconvert(),
          py::arg("mask").noconvert(), py::arg("n_threads"));
    m.def("poly_grid_points", &poly_grid_points,
          "Mask (uint8, ny x nx) of the grid points inside a polygon by the even-odd rule.",
          py::arg("poly_x").noconvert(), py::arg("poly_y").noconvert(),
          py::arg("grid_x").noconvert(), py::arg("grid_y").noconvert(),
          py::arg("mask").noconvert(), py::arg("n_threads"));
}

}  // namespace zolvin::native
