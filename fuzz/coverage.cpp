// The coverage kernels over a grid window: the grid form, the array form of
// the same pixels and the one-pixel rule agree for every pixel (NaNs count as
// one value), whether out was zeroed beforehand or not; nothing is written
// outside the output.
#include "coverage.hpp"
#include "fuzz.hpp"

using fuzz::u64;

namespace {

bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || fuzz::bits(a) == fuzz::bits(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    zolvin::GridWindow g{};
    g.x0 = in.coord(), g.y0 = in.coord();
    g.dxdu = in.coord(), g.dxdv = in.coord(), g.dydu = in.coord(), g.dydv = in.coord();
    // Mostly small indices; up to 2^52 now and then.
    const bool far = in.byte() >= 240;
    g.row0 = far ? (in.word() & ((1ull << 52) - 1)) : static_cast<u64>(in.range(0, 2000));
    g.col0 = far ? (in.word() & ((1ull << 52) - 1)) : static_cast<u64>(in.range(0, 2000));
    g.rows = static_cast<u64>(in.range(0, 5));
    g.cols = static_cast<u64>(in.byte() < 32 ? in.range(0, 600) : in.range(0, 40));
    const int kind = static_cast<int>(in.range(0, 2));
    double f[9];
    for (double& value : f) value = in.coord();
    const bool zeroed = (in.byte() & 1) != 0;

    // The same pixels as arrays, centres formed as the grid forms them.
    const std::size_t n = g.rows * g.cols;
    std::vector<double> u(n), v(n), x(n), y(n), j00(n, g.dxdu), j01(n, g.dxdv), j10(n, g.dydu),
        j11(n, g.dydv);
    for (std::size_t r = 0; r < g.rows; ++r) {
        for (std::size_t c = 0; c < g.cols; ++c) {
            const std::size_t i = r * g.cols + c;
            u[i] = static_cast<double>(g.col0 + c);
            v[i] = static_cast<double>(g.row0 + r);
            x[i] = (g.x0 + g.dxdu * u[i]) + g.dxdv * v[i];
            y[i] = (g.y0 + g.dydu * u[i]) + g.dydv * v[i];
        }
    }
    fuzz::Guarded<double> grid(n, zeroed ? 0.0 : fuzz::unwritten());
    fuzz::Guarded<double> arrays(n, fuzz::unwritten());
    const zolvin::PixelArrays px{x.data(),   y.data(),   u.data(),   v.data(),  j00.data(),
                                 j01.data(), j10.data(), j11.data(), n};
    // The figures from the same numbers: a line, a circle, a strut.
    const zolvin::Line line{f[0], f[1], f[3], f[2]};
    const zolvin::Circle circle{f[0], f[1], f[2]};
    const zolvin::Strut strut{f[0], {f[1], f[2], f[4], f[3]}, {f[5], f[6], f[8], f[7]}};
    if (kind == 0) {
        zolvin::grid_pixel_frac(g, line, grid.data());
        zolvin::pixel_frac(line, px, arrays.data());
    } else if (kind == 1) {
        zolvin::grid_enclosed_circle(g, circle, grid.data(), zeroed);
        zolvin::enclosed_circle(px, circle, arrays.data());
    } else {
        zolvin::grid_enclosed_strut(g, strut, grid.data(), zeroed);
        zolvin::enclosed_strut(px, strut, arrays.data());
    }
    FUZZ_REQUIRE(grid.intact() && arrays.intact());
    for (std::size_t i = 0; i < n; ++i) {
        const zolvin::Pixel p{x[i], y[i], u[i], v[i], g.dxdu, g.dxdv, g.dydu, g.dydv};
        double one;
        if (kind == 0) {
            one = zolvin::pixel_frac_1(line, p);
        } else if (kind == 1) {
            one = zolvin::enclosed_circle_1(circle, p);
        } else {
            one = zolvin::enclosed_strut_1(strut, p);
        }
        FUZZ_REQUIRE(same(arrays.data()[i], one), static_cast<long>(i), kind);
        FUZZ_REQUIRE(same(grid.data()[i], one), static_cast<long>(i), kind);
    }
    return 0;
}
