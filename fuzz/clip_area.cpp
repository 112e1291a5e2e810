// clip_area and one clipping pass: areas never negative, within rounding of
// [0, 1] for tame input; a pass writes at most 2n vertices and nothing else,
// keeps a polygon wholly inside unchanged, and its vertices' test coordinates
// lie on the kept side (or on the line, up to rounding).
#include "fuzz.hpp"
#include "triangles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    double tri[zolvin::kTriangleDoubles];
    for (double& c : tri) c = in.coord();
    // Pixels near the triangle mostly, anywhere now and then.
    const bool near = in.byte() < 200;
    const auto index = [&](double c) {
        if (near && std::isfinite(c) && std::fabs(c) < 1e4) {
            return static_cast<std::int32_t>(std::floor(c + 0.5)) + static_cast<std::int32_t>(in.range(-2, 2));
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(in.word()));
    };
    const std::int32_t ix = index(tri[0]), iy = index(tri[1]);
    const double a = zolvin::clip_area(tri, ix, iy);
    FUZZ_REQUIRE(!(a < 0), ix, iy);
    if (in.tame && std::abs(static_cast<long>(ix)) <= 10000 && std::abs(static_cast<long>(iy)) <= 10000) {
        FUZZ_REQUIRE(std::isfinite(a) && a <= 1 + 1e-9, ix, iy);
    }

    // One pass over a polygon of 3 to 16 vertices.
    const int n = static_cast<int>(in.range(3, 16));
    std::vector<double> poly(2 * static_cast<std::size_t>(n));
    for (double& c : poly) c = in.coord();
    const int axis = static_cast<int>(in.range(-1, 2)), side = static_cast<int>(in.range(-1, 2));
    const double edge = in.coord();
    fuzz::Guarded<double> out(4 * static_cast<std::size_t>(n), fuzz::unwritten());
    const int k = zolvin::sh_clip_edge_cpp(poly.data(), n, out.data(), axis, edge, side);
    FUZZ_REQUIRE(k >= 0 && k <= 2 * n, k, n);
    FUZZ_REQUIRE(out.intact());
    const int a_of = axis == 0 ? 0 : 1;
    const auto kept = [&](double v) { return side == 1 ? v >= edge : v <= edge; };
    bool all_inside = true;
    for (int i = 0; i < n; ++i) all_inside = all_inside && kept(poly[2 * i + a_of]);
    if (all_inside) {
        FUZZ_REQUIRE(k == n && fuzz::same_bits(out.data(), poly.data(), 2 * static_cast<std::size_t>(n)), k, n);
    }
    if (in.tame) {
        for (int i = 0; i < k; ++i) {
            const double v = out.data()[2 * i + a_of];
            FUZZ_REQUIRE(kept(v) || std::fabs(v - edge) <= 1e-9, i, k);
        }
    }
    return 0;
}
