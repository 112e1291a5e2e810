// poly_grid_contains and poly_grid_points: every byte of the ny x nx mask
// written with 0 or 1 and no byte outside it; with ny == 0 nothing written;
// and the whole grid equal to the rows one call each. The point rule also
// gives each column the same value filled in spans (ascending columns) as
// tested one by one (the columns reversed).
#include <algorithm>

#include "fuzz.hpp"
#include "polygon.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    const std::size_t n = static_cast<std::size_t>(in.range(0, 24));
    const std::size_t nx = static_cast<std::size_t>(in.range(0, 16));
    const std::size_t ny = static_cast<std::size_t>(in.range(0, 9));
    std::vector<double> gx(nx), gy(ny), px(n), py(n);
    // Ascending columns mostly, as the kernel expects; any order now and then.
    const bool ascending = in.byte() < 224;
    for (double& x : gx) {
        x = in.coord();
        if (ascending && std::isnan(x)) x = 0.0;
    }
    if (ascending) std::sort(gx.begin(), gx.end());
    for (double& y : gy) y = in.coord();
    // Vertices often on grid rows and columns, where the rules are strictest.
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t how = in.byte();
        px[i] = how % 4 == 0 && nx > 0 ? gx[in.range(0, static_cast<long>(nx) - 1)] : in.coord();
        py[i] = how / 4 % 4 == 0 && ny > 0 ? gy[in.range(0, static_cast<long>(ny) - 1)] : in.coord();
    }

    const unsigned char fill = 0xab;
    fuzz::Guarded<unsigned char> mask(nx * ny, fill);
    const zolvin::Polygon polygon{px.data(), py.data(), n};
    zolvin::poly_grid_contains(polygon, zolvin::PointGrid{gx.data(), gy.data(), nx, ny},
                               mask.data());
    FUZZ_REQUIRE(mask.intact());
    for (std::size_t i = 0; i < nx * ny; ++i) FUZZ_REQUIRE(mask.data()[i] <= 1, static_cast<long>(i));

    for (std::size_t r = 0; r < ny; ++r) {
        fuzz::Guarded<unsigned char> row(nx, fill);
        zolvin::poly_grid_contains(polygon, zolvin::PointGrid{gx.data(), &gy[r], nx, 1},
                                   row.data());
        FUZZ_REQUIRE(row.intact());
        FUZZ_REQUIRE(nx == 0 || std::memcmp(row.data(), mask.data() + r * nx, nx) == 0, static_cast<long>(r));
    }
    // No rows: not even the polygon's vertices are needed.
    zolvin::poly_grid_contains(zolvin::Polygon{nullptr, nullptr, n},
                               zolvin::PointGrid{nullptr, nullptr, nx, 0}, nullptr);

    fuzz::Guarded<unsigned char> points(nx * ny, fill);
    zolvin::poly_grid_points(polygon, zolvin::PointGrid{gx.data(), gy.data(), nx, ny},
                             points.data());
    FUZZ_REQUIRE(points.intact());
    for (std::size_t i = 0; i < nx * ny; ++i) FUZZ_REQUIRE(points.data()[i] <= 1, static_cast<long>(i));
    std::vector<double> reversed(gx.rbegin(), gx.rend());
    for (std::size_t r = 0; r < ny; ++r) {
        fuzz::Guarded<unsigned char> row(nx, fill);
        zolvin::poly_grid_points(polygon, zolvin::PointGrid{reversed.data(), &gy[r], nx, 1},
                                 row.data());
        FUZZ_REQUIRE(row.intact());
        for (std::size_t c = 0; c < nx; ++c) {
            FUZZ_REQUIRE(row.data()[nx - 1 - c] == points.data()[r * nx + c], static_cast<long>(c));
        }
    }
    zolvin::poly_grid_points(zolvin::Polygon{nullptr, nullptr, n},
                             zolvin::PointGrid{nullptr, nullptr, nx, 0}, nullptr);
    return 0;
}
