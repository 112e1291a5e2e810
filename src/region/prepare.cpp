#include "prepare.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "../parallel.hpp"
#include "cell_frame.hpp"

namespace zolvin::region {

namespace {

using u64 = std::uint64_t;

// ---- Reach -------------------------------------------------------------------

void check_reach(double value) {
    if (!(std::fabs(value) <= kReach))
        throw std::domain_error("the region reaches beyond 1e150 pixels from the grid");
}

// ---- Pieces ------------------------------------------------------------------

void add_segment(Boundary& B, Point a, Point b, std::int32_t leaf, int orientation,
                 std::int32_t count) {
    for (double t : {a.u, a.v, b.u, b.v}) check_reach(t);
    if (a.u == b.u && a.v == b.v) return;
    // Lower end first, so that a shared edge traversed both ways is stored,
    // clipped and integrated with the same numbers.
    const bool flip = b.v < a.v || (b.v == a.v && b.u < a.u);
    const Point lo = flip ? b : a, hi = flip ? a : b;
    Piece p{};
    p.u0 = lo.u, p.v0 = lo.v, p.u1 = hi.u, p.v1 = hi.v;
    p.vlo = lo.v, p.vhi = hi.v;
    p.ulo = std::min(lo.u, hi.u), p.uhi = std::max(lo.u, hi.u);
    p.ellipse = -1;
    p.leaf = leaf;
    // Traversal goes from a to b: rightward raises the winding above it,
    // downward counts +1 for a leftward ray (counter-clockwise is +1).
    const bool rightward = b.u > a.u, downward = b.v < a.v;
    p.up = (rightward ? count : -count) * orientation;
    p.ray = (downward ? count : -count) * orientation;
    p.id = static_cast<std::int32_t>(B.pieces.size());
    B.pieces.push_back(p);
}

// Parameters in (lo, hi) where u or v of the ellipse is extreme.
void extrema(const Ellipse& e, double lo, double hi, std::vector<double>& out) {
    for (double base : {std::atan2(e.b, e.a), std::atan2(e.d, e.c)}) {
        double t = base + std::ceil((lo - base) / kPi) * kPi;
        for (; t < hi; t += kPi) {
            if (t > lo) out.push_back(t);
        }
    }
    std::sort(out.begin(), out.end());
}

// The arc's parameter range [lo, hi], cut at the extrema of u and v.
void cut_points(const Ellipse& e, double lo, double hi, std::vector<double>& cuts) {
    cuts.clear();
    cuts.push_back(lo);
    extrema(e, lo, hi, cuts);
    cuts.push_back(hi);
    std::sort(cuts.begin() + 1, cuts.end() - 1);
}

// The piece of ellipse `index` over [t0, t1] between the points p0 and p1,
// traversed in the direction dir (+1: growing t).
Piece arc_piece(const Boundary& B, std::int32_t index, double t0, double t1, Point p0, Point p1,
                double dir, std::int32_t leaf, std::int32_t count) {
    const Ellipse& e = B.ellipses[index];
    Piece p{};
    p.u0 = p0.u, p.v0 = p0.v, p.u1 = p1.u, p.v1 = p1.v;
    p.t0 = t0, p.t1 = t1;
    p.vlo = std::min(p0.v, p1.v), p.vhi = std::max(p0.v, p1.v);
    p.ulo = std::min(p0.u, p1.u), p.uhi = std::max(p0.u, p1.u);
    p.ellipse = index;
    p.leaf = leaf;
    // Direction of travel along the piece, from the ellipse's derivative at
    // the middle (the ends may sit on extrema).
    const double tm = (t0 + t1) * 0.5;
    const double du = (-e.a * std::sin(tm) + e.b * std::cos(tm)) * dir;
    const double dv = (-e.c * std::sin(tm) + e.d * std::cos(tm)) * dir;
    p.up = du > 0 ? count : -count;
    p.ray = dv < 0 ? count : -count;
    p.id = static_cast<std::int32_t>(B.pieces.size());
    return p;
}

void add_arc(Boundary& B, const CellFrame& T, const Arc& arc, Point start, Point end,
             std::int32_t leaf, std::int32_t count, std::vector<double>& cuts) {
    const Point c = T.point(arc.cx, arc.cy);
    const Point m1 = T.vector(arc.a, arc.c), m2 = T.vector(arc.b, arc.d);
    Ellipse e{c.u, c.v, m1.u, m2.u, m1.v, m2.v, m1.u * m2.v - m2.u * m1.v};
    for (double t : {e.cu, e.cv, e.a, e.b, e.c, e.d, e.det}) check_reach(t);
    if (e.det == 0.0) return;
    const auto index = static_cast<std::int32_t>(B.ellipses.size());
    B.ellipses.push_back(e);
    const bool whole = std::fabs(arc.t1 - arc.t0) >= kTwoPi;
    const double dir = arc.t1 >= arc.t0 ? 1.0 : -1.0;
    const double ta = arc.t0, tb = whole ? arc.t0 + dir * kTwoPi : arc.t1;
    const double lo = std::min(ta, tb), hi = std::max(ta, tb);
    if (!(hi > lo)) return;
    cut_points(e, lo, hi, cuts);
    // The ends come from the plane points (joined to neighbouring pieces);
    // the cuts at the extrema from the ellipse itself.
    const Point at_lo = dir > 0 ? start : end, at_hi = dir > 0 ? end : start;
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        const double t0 = cuts[k], t1 = cuts[k + 1];
        if (!(t1 > t0)) continue;
        const Point p0 = k == 0 ? at_lo : at(e, t0);
        const Point p1 = k + 2 == cuts.size() ? at_hi : at(e, t1);
        B.pieces.push_back(arc_piece(B, index, t0, t1, p0, p1, dir, leaf, count * T.orientation));
    }
}

// How many times entry k occurs (0: a later copy of an earlier one).
std::int32_t count_of(const std::vector<std::int32_t>& counts, std::size_t k) {
    return counts.empty() ? 1 : counts[k];
}

void add_pieces(const Region& r, const ArcEnds& ends, const CellFrame& T, Boundary& B) {
    B.ellipses.clear();
    B.pieces.clear();
    for (std::size_t k = 0; k < r.segments.size(); ++k) {
        if ((k & 0xfff) == 0) check_stop();
        const std::int32_t count = count_of(ends.segment_count, k);
        if (count == 0) continue;
        const auto& s = r.segments[k];
        add_segment(B, T.point(s.x0, s.y0), T.point(s.x1, s.y1), r.segment_leaf[k],
                    T.orientation, count);
    }
    std::vector<double> cuts;
    for (std::size_t k = 0; k < r.arcs.size(); ++k) {
        if ((k & 0xfff) == 0) check_stop();
        const std::int32_t count = count_of(ends.arc_count, k);
        if (count == 0) continue;
        const auto& e = ends.ends[k];
        add_arc(B, T, r.arcs[k], T.point(e[0], e[1]), T.point(e[2], e[3]), r.arc_leaf[k], count,
                cuts);
    }
}

// ---- Row buckets -------------------------------------------------------------

// Rows of the window a piece's v-range meets in more than a point (a
// horizontal piece: the row it lies inside of), as [first, last).
std::pair<u64, u64> rows_of(const Piece& p, u64 row0, u64 rows) {
    const double lo = std::max(std::floor(p.vlo), static_cast<double>(row0) - 1.0);
    const double hi = std::min(std::ceil(p.vhi), static_cast<double>(row0 + rows) + 1.0);
    const double first = std::max(lo, static_cast<double>(row0));
    const double last = std::min(hi, static_cast<double>(row0 + rows));
    if (!(last > first)) return {0, 0};
    return {static_cast<u64>(first) - row0, static_cast<u64>(last) - row0};
}

// Whether a piece lies so far right of u that no clip point of it can round
// to u or below: the sweep decides the pieces near the window's right end by
// their clip points, so that a cell's bits never depend on where the window
// ends. Clip points are within a few ulps of the coordinates (and of the
// ellipse's size) of the piece.
bool right_of(const Boundary& B, const Piece& p, double u) {
    double size = std::fabs(p.ulo) + std::fabs(p.uhi);
    if (p.ellipse >= 0) {
        const Ellipse& e = B.ellipses[p.ellipse];
        size += std::fabs(e.cu) + std::fabs(e.a) + std::fabs(e.b);
    }
    return p.ulo - u > 1e-9 * size + 1e-300;
}

void bucket_rows(const GridWindow& w, Boundary& B) {
    B.row0 = w.row0;
    B.rows = w.rows;
    B.ulo = static_cast<double>(w.col0);
    B.uhi = static_cast<double>(w.col0 + w.cols);
    B.row_start.assign(w.rows + 1, 0);
    for (const auto& p : B.pieces) {
        if ((p.id & 0xfff) == 0) check_stop();
        if (right_of(B, p, B.uhi)) continue;  // no effect on the window
        const auto [a, b] = rows_of(p, w.row0, w.rows);
        for (u64 i = a; i < b; ++i) ++B.row_start[i + 1];
    }
    for (u64 i = 0; i < w.rows; ++i) B.row_start[i + 1] += B.row_start[i];
    B.row_pieces.resize(B.row_start[w.rows]);
    std::vector<u64> fill(B.row_start.begin(), B.row_start.end() - 1);
    for (const auto& p : B.pieces) {
        if ((p.id & 0xfff) == 0) check_stop();
        if (right_of(B, p, B.uhi)) continue;
        const auto [a, b] = rows_of(p, w.row0, w.rows);
        for (u64 i = a; i < b; ++i) B.row_pieces[fill[i]++] = p.id;
    }
}

// ---- Arc ends in the plane ---------------------------------------------------

// The plane point where an arc starts or ends: a segment end (of any leaf) or
// an earlier arc end within 1e-9 of the arc's size is taken instead. Size is
// measured in the ellipse's own units (the offset mapped back onto the unit
// circle), so that a thin ellipse's end is never moved across its width:
// moved ends bound the pieces, and an end moved far off the rim would leave
// a piece whose curve runs outside its own range.
struct Joiner {
    std::vector<std::array<double, 2>> ends;  // sorted by x
    explicit Joiner(const Region& r) {
        ends.reserve(2 * r.segments.size());
        for (const auto& s : r.segments) {
            ends.push_back({s.x0, s.y0});
            ends.push_back({s.x1, s.y1});
        }
        std::sort(ends.begin(), ends.end());
    }
    std::array<double, 2> join(const Arc& a, double x, double y) {
        // The matrix scaled to its largest entry, so that neither its
        // determinant nor the offsets overflow; a NaN distance joins nothing.
        const double s = std::max({std::fabs(a.a), std::fabs(a.b), std::fabs(a.c), std::fabs(a.d)});
        const double ma = a.a / s, mb = a.b / s, mc = a.c / s, md = a.d / s;
        const double det = ma * md - mb * mc;
        auto distance = [&](const std::array<double, 2>& q) {
            const double dx = (q[0] - x) / s, dy = (q[1] - y) / s;
            return std::max(std::fabs((md * dx - mb * dy) / det),
                            std::fabs((ma * dy - mc * dx) / det));
        };
        // An end within 1e-9 on the unit circle lies within 1e-9 (|a| + |b|)
        // in x.
        const double reach = 1e-9 * (std::fabs(a.a) + std::fabs(a.b));
        auto it = std::lower_bound(ends.begin(), ends.end(), std::array<double, 2>{x - reach, -INFINITY});
        std::array<double, 2> best{x, y};
        double best_d = INFINITY;
        for (; it != ends.end() && (*it)[0] <= x + reach; ++it) {
            const double d = distance(*it);
            if (d <= 1e-9 && d < best_d) best = *it, best_d = d;
        }
        if (best_d == INFINITY) {
            ends.insert(std::upper_bound(ends.begin(), ends.end(), best), best);
        }
        return best;
    }
};

// ---- Copies ------------------------------------------------------------------

// The bits of a record's numbers and its leaf, compared as a whole: copies
// are entries equal to the last bit (so that they give equal pieces in every
// frame).
template <std::size_t N>
struct Key {
    std::array<std::uint64_t, N + 1> bits;
    auto operator<=>(const Key&) const = default;
};

template <std::size_t N>
Key<N> key_of(const std::array<double, N>& numbers, std::int32_t leaf) {
    Key<N> k{};
    for (std::size_t i = 0; i < N; ++i) k.bits[i] = std::bit_cast<std::uint64_t>(numbers[i]);
    k.bits[N] = static_cast<std::uint32_t>(leaf);
    return k;
}

template <std::size_t N>
std::uint64_t hash_of(const Key<N>& key) {
    std::uint64_t h = 0x9e3779b97f4a7c15u;
    for (const std::uint64_t b : key.bits) {
        h ^= b + 0x9e3779b97f4a7c15u + (h << 6) + (h >> 2);
        h ^= h >> 31;
        h *= 0xbf58476d1ce4e5b9u;
    }
    return h ^ (h >> 29);
}

// counts[k]: the number of entries equal to entry k when k is the first of
// them, else 0; empty when no entry has a copy. One pass over a hash table
// (regions are prepared once per window, and most have no copies).
template <std::size_t N>
std::vector<std::int32_t> copies(const std::vector<Key<N>>& keys) {
    const std::size_t n = keys.size();
    std::vector<std::int32_t> counts;
    if (n < 2) return counts;
    const std::size_t mask = std::bit_ceil(2 * n) - 1;
    std::vector<std::int32_t> first(mask + 1, -1);  // the first entry of each key seen
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t at = hash_of(keys[k]) & mask;
        while (first[at] >= 0 && !(keys[first[at]] == keys[k])) at = (at + 1) & mask;
        if (first[at] < 0) {
            first[at] = static_cast<std::int32_t>(k);
            continue;
        }
        if (counts.empty()) counts.assign(n, 1);
        ++counts[first[at]];
        counts[k] = 0;
    }
    return counts;
}

}  // namespace

void count_copies(const Region& r, ArcEnds& out) {
    std::vector<Key<4>> segs(r.segments.size());
    for (std::size_t k = 0; k < segs.size(); ++k) {
        const auto& s = r.segments[k];
        segs[k] = key_of<4>({s.x0, s.y0, s.x1, s.y1}, r.segment_leaf[k]);
    }
    out.segment_count = copies(segs);
    std::vector<Key<12>> arcs(r.arcs.size());
    for (std::size_t k = 0; k < arcs.size(); ++k) {
        const auto& a = r.arcs[k];
        const auto& e = out.ends[k];
        arcs[k] = key_of<12>({a.cx, a.cy, a.a, a.b, a.c, a.d, a.t0, a.t1, e[0], e[1], e[2], e[3]},
                             r.arc_leaf[k]);
    }
    out.arc_count = copies(arcs);
}

ArcEnds join_arc_ends(const Region& r) {
    ArcEnds out;
    if (r.arcs.empty()) return out;  // nothing to join: no sort of the segment ends
    out.ends.reserve(r.arcs.size());
    Joiner joiner(r);
    for (const auto& a : r.arcs) {
        auto eval = [&](double t) {
            const double c = std::cos(t), s = std::sin(t);
            return std::array<double, 2>{a.cx + a.a * c + a.b * s, a.cy + a.c * c + a.d * s};
        };
        const auto p0 = eval(a.t0);
        if (std::fabs(a.t1 - a.t0) >= kTwoPi) {
            // A whole ellipse closes on itself: moving its start onto another
            // piece's end would bend it off its rim.
            out.ends.push_back({p0[0], p0[1], p0[0], p0[1]});
            continue;
        }
        const auto s = joiner.join(a, p0[0], p0[1]);
        const auto p1 = eval(a.t1);
        const auto e = joiner.join(a, p1[0], p1[1]);
        out.ends.push_back({s[0], s[1], e[0], e[1]});
    }
    return out;
}

void check_frame(const Region& r, const GridWindow& window) {
    const CellFrame T(window);
    for (std::size_t k = 0; k < r.segments.size(); ++k) {
        if ((k & 0xfff) == 0) check_stop();
        const auto& s = r.segments[k];
        const Point a = T.point(s.x0, s.y0), b = T.point(s.x1, s.y1);
        for (double t : {a.u, a.v, b.u, b.v}) check_reach(t);
    }
    for (const Arc& arc : r.arcs) {
        const Point c = T.point(arc.cx, arc.cy);
        const Point m1 = T.vector(arc.a, arc.c), m2 = T.vector(arc.b, arc.d);
        const double det = m1.u * m2.v - m2.u * m1.v;
        for (double t : {c.u, c.v, m1.u, m2.u, m1.v, m2.v, det}) check_reach(t);
    }
}

void prepare(const Region& region, const ArcEnds& ends, const GridWindow& window,
             Boundary& out) {
    const CellFrame T(window);
    add_pieces(region, ends, T, out);
    bucket_rows(window, out);
}

}  // namespace zolvin::region
