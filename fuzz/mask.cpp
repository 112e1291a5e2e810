// poly_grid_contains: every byte of the ny x nx mask written with 0 or 1 and
// no byte outside it; with ny == 0 nothing written; and the whole grid equal
// to the rows one call each.
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
    return 0;
}
