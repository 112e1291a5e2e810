// clip_triangles_to_strut: at most 7 triangles per input triangle, nothing
// written outside them, counters moved by at most one per triangle, finite
// output for tame input with an axis, and the batch equal to the triangles
// one at a time.
#include "fuzz.hpp"
#include "triangles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    const int n = static_cast<int>(in.range(0, 12));
    std::vector<double> tris(zolvin::kTriangleDoubles * static_cast<std::size_t>(n));
    for (double& c : tris) c = in.coord();
    // Each edge as point, then direction y first.
    double s[12];
    for (double& v : s) v = in.coord();
    const zolvin::CappedStrut strut{{s[0], s[1], s[3], s[2]}, {s[4], s[5], s[7], s[6]}, s[8],
                                    s[9], s[10]};
    const double margin = s[11];
    const std::int32_t start = static_cast<std::int32_t>(in.range(-50, 50));

    constexpr int kRoom = zolvin::kTriangleDoubles * zolvin::kStrutPieces;
    fuzz::Guarded<double> out(kRoom * static_cast<std::size_t>(n), fuzz::unwritten());
    fuzz::Guarded<std::int32_t> counters(2, start);
    const auto clip = [&](const double* t, int count, double* o, std::int32_t* c) {
        return zolvin::clip_triangles_to_strut(zolvin::TriangleList{t, count}, strut, margin, o,
                                               zolvin::ClipCounters{c, c + 1});
    };
    const std::int32_t written = clip(tris.data(), n, out.data(), counters.data());
    FUZZ_REQUIRE(written >= 0 && written <= zolvin::kStrutPieces * n, written, n);
    FUZZ_REQUIRE(out.intact() && counters.intact());
    const long dropped = counters.data()[0] - start, clipped = counters.data()[1] - start;
    FUZZ_REQUIRE(dropped >= 0 && clipped >= 0 && dropped + clipped <= n, dropped, clipped);
    // The caps need an axis: directions that (nearly) cancel have none.
    const double hx = (strut.edge1.dir_x + strut.edge2.dir_x) * 0.5;
    const double hy = (strut.edge1.dir_y + strut.edge2.dir_y) * 0.5;
    if (in.tame && std::sqrt(hx * hx + hy * hy) > 1e-6) {
        for (int i = 0; i < zolvin::kTriangleDoubles * written; ++i) {
            FUZZ_REQUIRE(std::isfinite(out.data()[i]), i);
        }
    }

    std::vector<double> joined;
    std::int32_t one_counters[2] = {start, start};
    for (int t = 0; t < n; ++t) {
        double piece[kRoom];
        const double* tri = &tris[zolvin::kTriangleDoubles * static_cast<std::size_t>(t)];
        const std::int32_t k = clip(tri, 1, piece, one_counters);
        FUZZ_REQUIRE(k >= 0 && k <= zolvin::kStrutPieces, k);
        joined.insert(joined.end(), piece, piece + zolvin::kTriangleDoubles * k);
    }
    FUZZ_REQUIRE(joined.size() == zolvin::kTriangleDoubles * static_cast<std::size_t>(written),
                 static_cast<long>(joined.size()), written);
    FUZZ_REQUIRE(fuzz::same_bits(joined.data(), out.data(), joined.size()));
    FUZZ_REQUIRE(one_counters[0] == counters.data()[0] && one_counters[1] == counters.data()[1]);
    return 0;
}
