// The region kernel on regions the package would pass (finite coordinates,
// leaves in range, a program that leaves one value; sometimes said to be
// simple, truly or not, which a grid accumulates) over any grid window:
// every cell of the window written with a value in [0, 1] and nothing
// outside it, or std::domain_error before anything is written; each row
// alone, and each run of columns alone, gives the same bits as the whole
// window. Over pixels, every value lies in [0, 1], or std::domain_error
// comes before anything is written.
#include <algorithm>
#include <stdexcept>

#include "fuzz.hpp"
#include "region/region.hpp"

namespace {

namespace R = zolvin::region;

struct Parts {
    std::vector<R::Segment> segments;
    std::vector<std::int32_t> segment_leaf;
    std::vector<R::Arc> arcs;
    std::vector<std::int32_t> arc_leaf;
    std::vector<R::Rule> rules;
    std::vector<std::int32_t> program;
    bool simple = false;  // the promise, kept or not: a broken one must not crash

    R::Region view() const {
        return {segments, segment_leaf, arcs, arc_leaf, rules, program, simple};
    }
};

// A coordinate as the package passes them: finite.
double finite(fuzz::Input& in) {
    const double x = in.coord();
    return std::isfinite(x) ? x : 0.0;
}

// A postfix program over the leaves that leaves one value, or none at all.
std::vector<std::int32_t> program(fuzz::Input& in, int leaves) {
    std::vector<std::int32_t> ops;
    if (in.byte() < 64) return ops;
    int depth = 0;
    const long steps = in.range(1, 12);
    for (long k = 0; k < steps || depth != 1; ++k) {
        const std::uint8_t what = in.byte();
        if (depth >= 2 && (what < 96 || k >= steps)) {
            ops.push_back(static_cast<std::int32_t>(in.range(R::op_xor, R::op_or)));
            --depth;
        } else if (depth >= 1 && what < 128 && k < steps) {
            ops.push_back(R::op_not);
        } else {
            ops.push_back(static_cast<std::int32_t>(in.range(0, leaves - 1)));
            ++depth;
        }
    }
    return ops;
}

Parts region(fuzz::Input& in) {
    Parts r;
    const int leaves = static_cast<int>(in.range(1, 5));
    for (int k = 0; k < leaves; ++k) r.rules.push_back(static_cast<R::Rule>(in.range(0, 2)));
    for (long k = in.range(0, 10); k > 0; --k) {
        const double x0 = finite(in), y0 = finite(in);
        // Often joined to the previous segment, as rings are.
        const bool chain = !r.segments.empty() && in.byte() < 128;
        const R::Segment s{chain ? r.segments.back().x1 : x0, chain ? r.segments.back().y1 : y0,
                           finite(in), finite(in)};
        r.segments.push_back(s);
        r.segment_leaf.push_back(static_cast<std::int32_t>(in.range(0, leaves - 1)));
    }
    for (long k = in.range(0, 2); k > 0; --k) {
        R::Arc a{finite(in), finite(in), finite(in), finite(in), finite(in), finite(in), 0, 0};
        a.t0 = static_cast<double>(in.range(-800, 800)) / 128.0;
        a.t1 = a.t0 + static_cast<double>(in.range(-804, 804)) / 128.0;
        if (!(a.a * a.d - a.b * a.c != 0.0)) a.a = 1, a.b = 0, a.c = 0, a.d = 1;
        r.arcs.push_back(a);
        r.arc_leaf.push_back(static_cast<std::int32_t>(in.range(0, leaves - 1)));
    }
    r.program = program(in, leaves);
    r.simple = r.program.empty() && in.byte() < 96;
    return r;
}

// The window's results, or false when the kernel refused the window (then
// nothing may have been written).
bool cover(const Parts& r, const zolvin::GridWindow& w, fuzz::Guarded<double>& out) {
    try {
        R::grid_coverage(r.view(), w, out.data(), 1);
    } catch (const std::domain_error&) {
        for (std::size_t i = 0; i < out.size(); ++i) {
            FUZZ_REQUIRE(fuzz::bits(out.data()[i]) == fuzz::bits(fuzz::unwritten()));
        }
        return false;
    }
    FUZZ_REQUIRE(out.intact());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double v = out.data()[i];
        FUZZ_REQUIRE(v >= 0.0 && v <= 1.0, static_cast<long>(i));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    const Parts r = region(in);
    zolvin::GridWindow w{finite(in), finite(in), in.coord(), in.coord(), in.coord(), in.coord(),
                         static_cast<fuzz::u64>(in.range(0, 1 << 20)),
                         static_cast<fuzz::u64>(in.range(0, 1 << 20)),
                         static_cast<fuzz::u64>(in.range(0, 4)),
                         static_cast<fuzz::u64>(in.range(0, 8))};
    fuzz::Guarded<double> whole(w.rows * w.cols, fuzz::unwritten());
    if (!cover(r, w, whole)) return 0;

    for (fuzz::u64 i = 0; i < w.rows; ++i) {
        zolvin::GridWindow row = w;
        row.row0 = w.row0 + i, row.rows = 1;
        fuzz::Guarded<double> one(w.cols, fuzz::unwritten());
        FUZZ_REQUIRE(cover(r, row, one));
        FUZZ_REQUIRE(fuzz::same_bits(one.data(), whole.data() + i * w.cols, w.cols),
                     static_cast<long>(i));
    }
    // The window cut into two runs of columns: where a window ends must not
    // change any of its cells.
    for (fuzz::u64 k = 1; k < w.cols; ++k) {
        for (const bool left : {true, false}) {
            zolvin::GridWindow part = w;
            part.col0 = left ? w.col0 : w.col0 + k, part.cols = left ? k : w.cols - k;
            fuzz::Guarded<double> got(w.rows * part.cols, fuzz::unwritten());
            FUZZ_REQUIRE(cover(r, part, got));
            for (fuzz::u64 i = 0; i < w.rows; ++i) {
                FUZZ_REQUIRE(fuzz::same_bits(got.data() + i * part.cols,
                                             whole.data() + i * w.cols + (left ? 0 : k),
                                             part.cols),
                             static_cast<long>(k));
            }
        }
    }
    // A few pixels with the window's Jacobian: each sweeps the boundary in a
    // frame of its own, as a whole row costs.
    const fuzz::u64 n = std::min<fuzz::u64>(4, w.rows * w.cols);
    std::vector<double> x(n), y(n), jac[4];
    for (auto& j : jac) j.assign(n, 0.0);
    for (fuzz::u64 k = 0; k < n; ++k) {
        x[k] = finite(in), y[k] = finite(in);
        jac[0][k] = w.dxdu, jac[1][k] = w.dxdv, jac[2][k] = w.dydu, jac[3][k] = w.dydv;
    }
    fuzz::Guarded<double> px(n, fuzz::unwritten());
    bool refused = false;
    try {
        R::pixels_coverage(r.view(),
                           zolvin::PixelArrays{x.data(), y.data(), nullptr, nullptr, jac[0].data(),
                                               jac[1].data(), jac[2].data(), jac[3].data(), n},
                           px.data(), 1);
    } catch (const std::domain_error&) {
        refused = true;
    }
    FUZZ_REQUIRE(px.intact());
    for (fuzz::u64 k = 0; k < n; ++k) {
        const double v = px.data()[k];
        FUZZ_REQUIRE(refused ? fuzz::bits(v) == fuzz::bits(fuzz::unwritten())
                             : v >= 0.0 && v <= 1.0,
                     static_cast<long>(k));
    }
    return 0;
}
