// accumulate_triangles: nothing written outside the grid (nor in the last row
// and column of an even grid, nor anywhere for a negative size); the batch
// equal to one call per triangle and to any cut of the rows into bands; and,
// for a value of 1 per unit weight, every cell equal to the triangle's
// clip_area there, within rounding of [0, 1] for tame input.
#include <algorithm>

#include "fuzz.hpp"
#include "triangles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    const int n = static_cast<int>(in.range(0, 10));
    std::vector<double> tris(zolvin::kTriangleDoubles * static_cast<std::size_t>(n)), values(n),
        weights(n);
    for (double& c : tris) c = in.coord();
    for (int t = 0; t < n; ++t) {
        values[t] = in.coord();
        weights[t] = in.byte() < 128 ? 1.0 : in.coord();
    }
    // An empty grid (size 0) is outside the contract.
    int grid_size = static_cast<int>(in.range(-3, 14));
    if (grid_size == 0) grid_size = 1;
    const std::size_t cells = grid_size > 0 ? static_cast<std::size_t>(grid_size) * grid_size : 0;

    fuzz::Guarded<double> grid(cells, 0.0);
    const zolvin::TriangleList list{tris.data(), n};
    zolvin::accumulate_triangles(list, values.data(), weights.data(), grid.data(), grid_size);
    FUZZ_REQUIRE(grid.intact());
    if (grid_size > 0 && grid_size % 2 == 0) {
        for (int k = 0; k < grid_size; ++k) {
            const std::size_t last_row = static_cast<std::size_t>(grid_size - 1) * grid_size + k;
            const std::size_t last_col = static_cast<std::size_t>(k) * grid_size + grid_size - 1;
            FUZZ_REQUIRE(fuzz::bits(grid.data()[last_row]) == 0 && fuzz::bits(grid.data()[last_col]) == 0, k);
        }
    }

    // One triangle per call, in order.
    fuzz::Guarded<double> single(cells, 0.0);
    for (int t = 0; t < n; ++t) {
        zolvin::accumulate_triangles(zolvin::TriangleList{list.at(t), 1}, &values[t],
                                     &weights[t], single.data(), grid_size);
    }
    FUZZ_REQUIRE(fuzz::same_bits(single.data(), grid.data(), cells));

    // Bands of rows, cut where the input says.
    if (grid_size > 0) {
        fuzz::Guarded<double> banded(cells, 0.0);
        for (int row = 0; row < grid_size;) {
            const int end = std::min(grid_size, row + static_cast<int>(in.range(1, 5)));
            // The band is stored on its own: its first row at the pointer passed.
            zolvin::accumulate_triangles_rows(
                list, values.data(), weights.data(),
                banded.data() + static_cast<std::size_t>(row) * grid_size, grid_size, row, end);
            row = end;
        }
        FUZZ_REQUIRE(banded.intact());
        FUZZ_REQUIRE(fuzz::same_bits(banded.data(), grid.data(), cells));
    }

    // Value 1 at weight 1, triangle by triangle: the grid holds clip_area.
    if (grid_size > 0) {
        const int half = (grid_size - 1) / 2;
        const double one = 1.0;
        for (int t = 0; t < n; ++t) {
            fuzz::Guarded<double> areas(cells, 0.0);
            zolvin::accumulate_triangles(zolvin::TriangleList{list.at(t), 1}, &one, &one,
                                         areas.data(), grid_size);
            bool finite = true;
            const double* v = list.at(t);
            for (int i = 0; i < zolvin::kTriangleDoubles; ++i) {
                finite = finite && std::isfinite(v[i]);
            }
            if (!finite) continue;  // no pixels then, or inf - inf in the passes
            // Pixels beyond the bounding pixels stay 0, whatever rounding
            // makes of clip_area there.
            const double xlo = std::floor(std::min(std::min(v[0], v[2]), v[4]) + 0.5);
            const double xhi = std::floor(std::max(std::max(v[0], v[2]), v[4]) + 0.5);
            const double ylo = std::floor(std::min(std::min(v[1], v[3]), v[5]) + 0.5);
            const double yhi = std::floor(std::max(std::max(v[1], v[3]), v[5]) + 0.5);
            for (int iy = -half; iy <= half; ++iy) {
                for (int ix = -half; ix <= half; ++ix) {
                    const bool boxed = xlo <= ix && ix <= xhi && ylo <= iy && iy <= yhi;
                    const double a = boxed ? zolvin::clip_area_cpp(v, ix, iy) : 0.0;
                    const double cell = areas.data()[(iy + half) * grid_size + ix + half];
                    FUZZ_REQUIRE(fuzz::bits(cell) == fuzz::bits(a > 0 ? a : 0.0), ix, iy);
                    if (in.tame) FUZZ_REQUIRE(cell >= 0 && cell <= 1 + 1e-9, ix, iy);
                }
            }
        }
    }
    return 0;
}
