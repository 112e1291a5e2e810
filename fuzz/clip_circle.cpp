// clip_triangles_to_circle: at most 4 triangles per input triangle, nothing
// written outside them, counters moved by at most one per triangle, finite
// output for tame input, and the batch equal to the triangles one at a time.
#include "fuzz.hpp"
#include "triangles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    const int n = static_cast<int>(in.range(0, 12));
    std::vector<double> tris(zolvin::kTriangleDoubles * static_cast<std::size_t>(n));
    for (double& c : tris) c = in.coord();
    const double cx = in.coord(), cy = in.coord(), radius = in.coord(), margin = in.coord();
    const bool keep_inside = in.range(-1, 2) != 0;
    // Counters may start anywhere, next to the wrap too.
    const std::int32_t start = in.byte() < 32 ? INT32_MAX - static_cast<std::int32_t>(in.range(0, 12))
                                              : static_cast<std::int32_t>(in.range(-50, 50));

    constexpr int kRoom = zolvin::kTriangleDoubles * zolvin::kCirclePieces;
    fuzz::Guarded<double> out(kRoom * static_cast<std::size_t>(n), fuzz::unwritten());
    fuzz::Guarded<std::int32_t> counters(2, start);
    const zolvin::TriangleList list{tris.data(), n};
    const zolvin::Circle circle{cx, cy, radius};
    const std::int32_t written = zolvin::clip_triangles_to_circle(
        list, circle, keep_inside, margin, out.data(),
        zolvin::ClipCounters{counters.data(), counters.data() + 1});
    FUZZ_REQUIRE(written >= 0 && written <= zolvin::kCirclePieces * n, written, n);
    FUZZ_REQUIRE(out.intact() && counters.intact());
    const std::uint32_t dropped = static_cast<std::uint32_t>(counters.data()[0]) - static_cast<std::uint32_t>(start);
    const std::uint32_t clipped = static_cast<std::uint32_t>(counters.data()[1]) - static_cast<std::uint32_t>(start);
    FUZZ_REQUIRE(dropped + clipped <= static_cast<std::uint32_t>(n), dropped, clipped);
    if (in.tame) {
        for (int i = 0; i < zolvin::kTriangleDoubles * written; ++i) {
            FUZZ_REQUIRE(std::isfinite(out.data()[i]), i);
        }
    }

    // One triangle at a time gives the same list and the same counts.
    std::vector<double> joined;
    std::int32_t one_counters[2] = {start, start};
    for (int t = 0; t < n; ++t) {
        double piece[kRoom];
        const std::int32_t k = zolvin::clip_triangles_to_circle(
            zolvin::TriangleList{list.at(t), 1}, circle, keep_inside, margin, piece,
            zolvin::ClipCounters{&one_counters[0], &one_counters[1]});
        FUZZ_REQUIRE(k >= 0 && k <= zolvin::kCirclePieces, k);
        joined.insert(joined.end(), piece, piece + zolvin::kTriangleDoubles * k);
    }
    FUZZ_REQUIRE(joined.size() == zolvin::kTriangleDoubles * static_cast<std::size_t>(written),
                 static_cast<long>(joined.size()), written);
    FUZZ_REQUIRE(fuzz::same_bits(joined.data(), out.data(), joined.size()));
    FUZZ_REQUIRE(one_counters[0] == counters.data()[0] && one_counters[1] == counters.data()[1]);
    return 0;
}
