// The region kernel's part of the digests: polygons with holes and a
// crossing star, discs, arcs closed by chords, an annulus, programs of every
// operator (more leaves than the program's table holds), over square,
// sheared, mirrored and turned grids and over pixels of their own shapes.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "digest.hpp"
#include "region/region.hpp"

namespace digest {

namespace {

namespace R = zolvin::region;

constexpr double kTwoPi = 6.283185307179586;

// A region under construction: pieces appended leaf by leaf.
struct RegionParts {
    std::vector<R::Segment> segments;
    std::vector<std::int32_t> segment_leaf;
    std::vector<R::Arc> arcs;
    std::vector<std::int32_t> arc_leaf;
    std::vector<R::Rule> rules;
    std::vector<std::int32_t> program;

    R::Region view() const {
        return {segments, segment_leaf, arcs, arc_leaf, rules, program};
    }
    std::int32_t leaf(R::Rule rule) {
        rules.push_back(rule);
        return static_cast<std::int32_t>(rules.size() - 1);
    }
    // The closed ring through the points, as given (orientation included).
    void ring(const std::vector<double>& xy, std::int32_t leaf) {
        const std::size_t n = xy.size() / 2;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = (i + 1) % n;
            segments.push_back({xy[2 * i], xy[2 * i + 1], xy[2 * j], xy[2 * j + 1]});
            segment_leaf.push_back(leaf);
        }
    }
};

// A ring of n points around (cx, cy) at radii between r0 and r1, turning
// counter-clockwise (or clockwise), at rational points of the circle.
std::vector<double> star(Random& rng, double cx, double cy, double r0, double r1, int n,
                         bool clockwise) {
    std::vector<double> xy;
    for (int i = 0; i < n; ++i) {
        const int k = clockwise ? n - 1 - i : i;
        const double t = (-1 + 2 * static_cast<double>(k % ((n + 1) / 2)) /
                                                   static_cast<double>((n + 1) / 2));
        const double side = k < (n + 1) / 2 ? 1.0 : -1.0;
        const double r = side * rng.uniform(r0, r1);
        xy.push_back(cx + r * (1 - t * t) / (1 + t * t));
        xy.push_back(cy + r * (2 * t) / (1 + t * t));
    }
    return xy;
}

// An ellipse with axes turned by a rational rotation, as an arc record.
R::Arc ellipse(Random& rng, double cx, double cy, double t0, double t1) {
    double c, s;
    turn(rng, c, s);
    const double ra = rng.uniform(0.4, 2.5);
    const double rb = rng.uniform(0.4, 2.5);
    return {cx, cy, ra * c, -rb * s, ra * s, rb * c, t0, t1};
}

// Square rings with square holes, and a crossing star by parity.
RegionParts polygons(Random& rng) {
    RegionParts r;
    const std::int32_t solid = r.leaf(R::Rule::positive);
    r.ring({-3, -3, 3, -3, 3, 3, -3, 3}, solid);
    r.ring({-1, -1, -1, 1.5, 1, 1.5, 1, -1}, solid);  // a hole
    r.ring({2.5, 2.5, 4.5, 2.5, 4.5, 4.5, 2.5, 4.5}, solid);
    const std::int32_t parity = r.leaf(R::Rule::evenodd);
    r.ring(star(rng, 0.5, -0.5, 0.5, 3.5, 11, false), parity);
    r.program = {solid, parity, R::op_xor};
    return r;
}

// Discs, an elliptic arc closed by its chord, an annulus by parity and a
// hole-punched square: arcs against arcs and against segments.
RegionParts round_shapes(Random& rng) {
    RegionParts r;
    const std::int32_t disc = r.leaf(R::Rule::nonzero);
    r.arcs.push_back(ellipse(rng, -0.5, 0.3, 0.0, kTwoPi));
    r.arc_leaf.push_back(disc);
    const std::int32_t cap = r.leaf(R::Rule::positive);
    const R::Arc a = ellipse(rng, 0.7, -0.4, 0.3, 3.9);
    r.arcs.push_back(a);
    r.arc_leaf.push_back(cap);
    // The chord back from the arc's end to its start.
    const double x1 = a.cx + a.a * std::cos(a.t1) + a.b * std::sin(a.t1);
    const double y1 = a.cy + a.c * std::cos(a.t1) + a.d * std::sin(a.t1);
    const double x0 = a.cx + a.a * std::cos(a.t0) + a.b * std::sin(a.t0);
    const double y0 = a.cy + a.c * std::cos(a.t0) + a.d * std::sin(a.t0);
    r.segments.push_back({x1, y1, x0, y0});
    r.segment_leaf.push_back(cap);
    const std::int32_t ring = r.leaf(R::Rule::evenodd);
    R::Arc outer = ellipse(rng, 0.2, 0.9, 0.0, kTwoPi);
    R::Arc inner = outer;
    for (double* k : {&inner.a, &inner.b, &inner.c, &inner.d}) *k *= 0.6;
    inner.t0 = 1.0, inner.t1 = 1.0 - kTwoPi;  // clockwise
    r.arcs.push_back(outer);
    r.arcs.push_back(inner);
    r.arc_leaf.insert(r.arc_leaf.end(), {ring, ring});
    const std::int32_t box = r.leaf(R::Rule::positive);
    r.ring({-2.2, -2.6, 2.4, -2.6, 2.4, 1.9, -2.2, 1.9}, box);
    r.program = {disc, cap, R::op_or, ring, R::op_xor, box, R::op_and, R::op_not};
    return r;
}

// More leaves than the program's table holds, and a program of every operator.
RegionParts many_leaves(Random& rng) {
    RegionParts r;
    for (int k = 0; k < 13; ++k) {
        const std::int32_t leaf = r.leaf(static_cast<R::Rule>(k % 3));
        const double cx = rng.uniform(-2.5, 2.5);
        const double cy = rng.uniform(-2.5, 2.5);
        if (k % 2 == 0) {
            r.arcs.push_back(ellipse(rng, cx, cy, 0.5, 0.5 + kTwoPi));
            r.arc_leaf.push_back(leaf);
        } else {
            r.ring(star(rng, cx, cy, 0.3, 1.8, 5 + k, k % 4 == 1), leaf);
        }
        if (k == 0) continue;
        r.program.insert(r.program.end(), {leaf, k % 5 == 4 ? R::op_not : R::op_or});
        if (k % 5 == 4) r.program.push_back(R::op_and);
        if (k % 5 == 3) r.program.back() = R::op_diff;
        if (k % 5 == 2) r.program.back() = R::op_xor;
    }
    r.program.insert(r.program.begin(), 0);
    return r;
}

// The region over grid windows (square, sheared, mirrored, turned, and one
// far into its grid) and over a batch of pixels.
void region_cases(Random& rng, Digest& d, const RegionParts& r) {
    for (int k = 0; k < 5; ++k) {
        double ca, sa;
        turn(rng, ca, sa);
        const double s = rng.uniform(0.08, 0.16);
        const double shear = k == 1 ? rng.uniform(-0.6, 0.6) : 0.0;
        const double mirror = k == 2 ? -1.0 : 1.0;
        zolvin::GridWindow f{-4.5, -4.5, s, 0, 0, s, 0, 0, 61, 67};
        if (k > 0) {
            f.dxdu = s * ca * mirror, f.dxdv = s * (shear * ca - sa);
            f.dydu = s * sa * mirror, f.dydv = s * (shear * sa + ca);
            f.row0 = k == 4 ? 400 : rng.below(8);
            f.col0 = k == 4 ? 350 : rng.below(8);
            f.rows = 50, f.cols = 50;
            // The window's middle near the plane's origin.
            const double um = static_cast<double>(f.col0) + 25.0;
            const double vm = static_cast<double>(f.row0) + 25.0;
            f.x0 = rng.uniform(-0.5, 0.5) - (f.dxdu * um + f.dxdv * vm);
            f.y0 = rng.uniform(-0.5, 0.5) - (f.dydu * um + f.dydv * vm);
        }
        std::vector<double> out(f.rows * f.cols);
        // Threads share the rows out; the bits stay.
        R::grid_coverage(r.view(), f, out.data(), k == 1 ? 3 : 1);
        d.add(out);
    }
    // Pixels with extreme centres and Jacobians are refused as a whole (the
    // refusal is part of the digest); ordinary ones are swept.
    for (const bool extremes : {true, false}) {
        const Pixels p = make_pixels(rng, 257, extremes);
        std::vector<double> out(p.n);
        try {
            R::pixels_coverage(r.view(), p.arrays(), out.data(), 1);
        } catch (const std::domain_error&) {
            out.assign(1, -1.0);
        }
        d.add(out);
    }
}

// Regions of segments alone, and the check for crossing segments.
}  // namespace

void region_segments(Random& rng, Digest& d) {
    region_cases(rng, d, polygons(rng));
    for (int k = 0; k < 20; ++k) {
        std::vector<R::Segment> segs;
        std::vector<std::int32_t> group;
        for (int i = 0; i < 40; ++i) {
            const double x0 = rng.uniform(-4, 4), y0 = rng.uniform(-4, 4);
            const double x1 = x0 + rng.uniform(-2, 2), y1 = y0 + rng.uniform(-2, 2);
            segs.push_back({x0, y0, x1, y1});
            group.push_back(static_cast<std::int32_t>(rng.below(4 + 4 * k)));
        }
        const auto [i, j] = R::find_crossing(segs, group);
        d.add_int(i);
        d.add_int(j);
    }
}

// Regions with elliptic arcs: these results go through libm.
void region_arcs(Random& rng, Digest& d) {
    region_cases(rng, d, round_shapes(rng));
    region_cases(rng, d, many_leaves(rng));
}

}  // namespace digest
