// Exact coverage of pixels by a region bounded by segments and elliptic arcs.
//
// Why a strip sweep: the region is a boolean program over leaves, each filled
// by a winding rule, so the coverage of a pixel cannot be accumulated piece by
// piece as signed areas (that only works for one nonzero fill). Instead every
// row of pixels is a strip [i, i+1] in the grid's cell frame, where pixel
// (i, j) is the unit cell [j, j+1] x [i, i+1]. Inside the strip the boundary
// pieces are monotone curves; cut the strip at every piece end, every column
// boundary a piece passes and every crossing of two pieces, and between two
// cuts (a slab) the pieces are stacked in a fixed order. Walking up a slab
// each piece changes its leaf's winding by one, so every band between two
// pieces has known memberships, and the program says whether it is inside.
// The band's area is the difference of the two pieces' integrals over the
// slab (trapezoids for segments, closed form for arcs).
//
// This gives the exact area for any program and any fill rule, and:
// - a row depends only on the global boundary (every clip point is computed
//   from a piece's own data, never from a neighbouring row), so threads and
//   windows give the same bits;
// - the winding just above a strip's bottom line is the signed count of the
//   pieces that start or end on that line to the left (integers, exact);
// - coincident edges of two shapes (a tiling, a cut square) bound bands of
//   zero height, so nothing is lost or counted twice, and a slab whose pieces
//   change no membership is filled as if it had none: pixels that no piece
//   changes come out exactly 0.0 or 1.0;
// - the cost grows with the pixels plus the boundary's length in pixels.
#include "polygon_region.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include "parallel.hpp"

namespace zolvin::region {

namespace {

using u64 = std::uint64_t;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2 * kPi;
// Coordinates in the cell frame beyond this are refused: their differences
// and products must stay finite.
constexpr double kFar = 1e150;

// ---- The boundary in the cell frame -----------------------------------------

// An ellipse in the cell frame: (cu + a cos t + b sin t, cv + c cos t + d sin t).
struct Ellipse {
    double cu, cv, a, b, c, d;
    double det;  // a d - b c: twice the signed area swept per unit of t
};

// A piece monotone in u and in v: a segment stored lower end first (left end
// first when horizontal), or part [t0, t1] (t0 < t1) of an ellipse.
struct Piece {
    double u0, v0, u1, v1;  // ends: lower first for segments, at t0 and t1 for arcs
    double t0, t1;
    double vlo, vhi, ulo, uhi;
    std::int32_t ellipse;  // -1: a segment
    std::int32_t leaf;
    std::int32_t id;       // position in the call's piece list: breaks ties
    std::int8_t up;        // winding change when crossed upwards
    std::int8_t ray;       // winding change when crossed by a leftward ray (not horizontal)
};

}  // namespace

class Prepared {
public:
    std::vector<Ellipse> ellipses;
    std::vector<Piece> pieces;
    std::vector<u64> row_start;          // CSR over the window's rows
    std::vector<std::int32_t> row_pieces;
    std::vector<Rule> rules;
    std::vector<std::int32_t> program;
    // The program's value for every membership mask, when the leaves are few
    // enough to list them: the sweep asks it once per piece crossed.
    std::vector<std::uint8_t> table;
    u64 row0 = 0, rows = 0;
    double ulo = 0, uhi = 0;             // the window's columns
    int n_leaves = 0;
};

namespace {

double x_minus_sin(double x) {
    // x - sin x without the cancellation for small x: its Taylor series.
    if (std::fabs(x) > 0.5) return x - std::sin(x);
    const double x2 = x * x;
    double s = 1.0;
    for (int k = 12; k >= 2; k -= 1) {
        const double n = static_cast<double>(2 * k) * static_cast<double>(2 * k + 1);
        s = 1.0 - x2 / n * s;
    }
    return x * x2 / 6.0 * s;
}

// The t in [lo, hi] where p cos t + q sin t = w, on an interval where the left
// side is monotone (it lies within one half period of R cos(t - phi)).
double solve_t(double p, double q, double w, double lo, double hi) {
    const double r = std::hypot(p, q);
    const double phi = std::atan2(q, p);
    const double x = std::clamp(w / r, -1.0, 1.0);
    const double alpha = std::acos(x);
    const double k = std::floor(((lo + hi) * 0.5 - phi) / kPi);
    const bool even = std::fmod(k, 2.0) == 0.0;
    const double t = even ? phi + k * kPi + alpha : phi + (k + 1) * kPi - alpha;
    return std::clamp(t, lo, hi);
}

struct Point {
    double u, v;
};

Point at(const Ellipse& e, double t) {
    const double c = std::cos(t), s = std::sin(t);
    return {e.cu + e.a * c + e.b * s, e.cv + e.c * c + e.d * s};
}

// ---- Preparation: transform, split arcs, bucket by rows ----------------------

struct Transform {
    double x0, y0, ia, ib, ic, id;  // the inverse Jacobian
    int orientation;                // sign of det J: -1 mirrors windings

    explicit Transform(const Frame& f) : x0(f.x0), y0(f.y0) {
        const double det = f.dxdu * f.dydv - f.dxdv * f.dydu;
        if (!(std::isfinite(det) && det != 0.0))
            throw std::domain_error("the grid's Jacobian is singular or not finite");
        ia = f.dydv / det;
        ib = -f.dxdv / det;
        ic = -f.dydu / det;
        id = f.dxdu / det;
        orientation = det > 0 ? 1 : -1;
    }
    Point point(double x, double y) const {
        const double dx = x - x0, dy = y - y0;
        return {ia * dx + ib * dy + 0.5, ic * dx + id * dy + 0.5};
    }
    Point vector(double x, double y) const { return {ia * x + ib * y, ic * x + id * y}; }
};

void check_far(double value) {
    if (!(std::fabs(value) <= kFar))
        throw std::domain_error("the region reaches beyond 1e150 pixels from the grid");
}

void add_segment(Prepared& P, Point a, Point b, std::int32_t leaf, int orientation) {
    for (double t : {a.u, a.v, b.u, b.v}) check_far(t);
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
    p.up = static_cast<std::int8_t>((rightward ? 1 : -1) * orientation);
    p.ray = static_cast<std::int8_t>((downward ? 1 : -1) * orientation);
    p.id = static_cast<std::int32_t>(P.pieces.size());
    P.pieces.push_back(p);
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

void add_arc(Prepared& P, const Transform& T, const Arc& arc, Point start, Point end,
             std::int32_t leaf, std::vector<double>& cuts) {
    const Point c = T.point(arc.cx, arc.cy);
    const Point m1 = T.vector(arc.a, arc.c), m2 = T.vector(arc.b, arc.d);
    Ellipse e{c.u, c.v, m1.u, m2.u, m1.v, m2.v, m1.u * m2.v - m2.u * m1.v};
    for (double t : {e.cu, e.cv, e.a, e.b, e.c, e.d, e.det}) check_far(t);
    if (e.det == 0.0) return;
    const auto index = static_cast<std::int32_t>(P.ellipses.size());
    P.ellipses.push_back(e);
    const bool whole = std::fabs(arc.t1 - arc.t0) >= kTwoPi;
    const double dir = arc.t1 >= arc.t0 ? 1.0 : -1.0;
    const double ta = arc.t0, tb = whole ? arc.t0 + dir * kTwoPi : arc.t1;
    const double lo = std::min(ta, tb), hi = std::max(ta, tb);
    if (!(hi > lo)) return;
    cuts.clear();
    cuts.push_back(lo);
    extrema(e, lo, hi, cuts);
    cuts.push_back(hi);
    std::sort(cuts.begin() + 1, cuts.end() - 1);
    // The ends come from the plane points (joined to neighbouring pieces);
    // the cuts at the extrema from the ellipse itself.
    const Point at_lo = dir > 0 ? start : end, at_hi = dir > 0 ? end : start;
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        const double t0 = cuts[k], t1 = cuts[k + 1];
        if (!(t1 > t0)) continue;
        const Point p0 = k == 0 ? at_lo : at(e, t0);
        const Point p1 = k + 2 == cuts.size() ? at_hi : at(e, t1);
        Piece p{};
        p.u0 = p0.u, p.v0 = p0.v, p.u1 = p1.u, p.v1 = p1.v;
        p.t0 = t0, p.t1 = t1;
        p.vlo = std::min(p0.v, p1.v), p.vhi = std::max(p0.v, p1.v);
        p.ulo = std::min(p0.u, p1.u), p.uhi = std::max(p0.u, p1.u);
        p.ellipse = index;
        p.leaf = leaf;
        // Direction of travel along the piece, from the ellipse's derivative
        // at the middle (the ends may sit on extrema).
        const double tm = (t0 + t1) * 0.5;
        const double du = (-e.a * std::sin(tm) + e.b * std::cos(tm)) * dir;
        const double dv = (-e.c * std::sin(tm) + e.d * std::cos(tm)) * dir;
        p.up = static_cast<std::int8_t>((du > 0 ? 1 : -1) * T.orientation);
        p.ray = static_cast<std::int8_t>((dv < 0 ? 1 : -1) * T.orientation);
        p.id = static_cast<std::int32_t>(P.pieces.size());
        P.pieces.push_back(p);
    }
}

// The plane point where an arc starts or ends: a segment end (of any leaf) or
// an earlier arc end within 1e-9 of the arc's size is taken instead, so that
// chains of segments and arcs close exactly in every frame.
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
    std::array<double, 2> join(double x, double y, double tol) {
        auto it = std::lower_bound(ends.begin(), ends.end(), std::array<double, 2>{x - tol, -INFINITY});
        std::array<double, 2> best{x, y};
        double best_d = INFINITY;
        for (; it != ends.end() && (*it)[0] <= x + tol; ++it) {
            const double d = std::max(std::fabs((*it)[0] - x), std::fabs((*it)[1] - y));
            if (d <= tol && d < best_d) best = *it, best_d = d;
        }
        if (best_d == INFINITY) {
            ends.insert(std::upper_bound(ends.begin(), ends.end(), best), best);
        }
        return best;
    }
};

struct PlaneArcEnds {
    std::vector<std::array<double, 4>> ends;  // x0, y0, x1, y1 per arc
};

PlaneArcEnds arc_ends(const Region& r) {
    PlaneArcEnds out;
    out.ends.reserve(r.arcs.size());
    Joiner joiner(r);
    for (const auto& a : r.arcs) {
        const double tol = 1e-9 * std::max({std::fabs(a.a), std::fabs(a.b), std::fabs(a.c),
                                            std::fabs(a.d)});
        auto eval = [&](double t) {
            const double c = std::cos(t), s = std::sin(t);
            return std::array<double, 2>{a.cx + a.a * c + a.b * s, a.cy + a.c * c + a.d * s};
        };
        const auto p0 = eval(a.t0);
        const auto s = joiner.join(p0[0], p0[1], tol);
        std::array<double, 2> e = s;
        if (!(std::fabs(a.t1 - a.t0) >= kTwoPi)) {
            const auto p1 = eval(a.t1);
            e = joiner.join(p1[0], p1[1], tol);
        }
        out.ends.push_back({s[0], s[1], e[0], e[1]});
    }
    return out;
}

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

void prepare(const Region& r, const PlaneArcEnds& ends, const Frame& f, Prepared& P) {
    const Transform T(f);
    P.ellipses.clear();
    P.pieces.clear();
    for (std::size_t k = 0; k < r.segments.size(); ++k) {
        const auto& s = r.segments[k];
        add_segment(P, T.point(s.x0, s.y0), T.point(s.x1, s.y1), r.segment_leaf[k],
                    T.orientation);
    }
    std::vector<double> cuts;
    for (std::size_t k = 0; k < r.arcs.size(); ++k) {
        const auto& e = ends.ends[k];
        add_arc(P, T, r.arcs[k], T.point(e[0], e[1]), T.point(e[2], e[3]), r.arc_leaf[k], cuts);
    }
    P.row0 = f.row0;
    P.rows = f.rows;
    P.ulo = static_cast<double>(f.col0);
    P.uhi = static_cast<double>(f.col0 + f.cols);
    P.row_start.assign(f.rows + 1, 0);
    for (const auto& p : P.pieces) {
        if (p.ulo >= P.uhi) continue;  // right of the window: no effect on it
        const auto [a, b] = rows_of(p, f.row0, f.rows);
        for (u64 i = a; i < b; ++i) ++P.row_start[i + 1];
    }
    for (u64 i = 0; i < f.rows; ++i) P.row_start[i + 1] += P.row_start[i];
    P.row_pieces.resize(P.row_start[f.rows]);
    std::vector<u64> fill(P.row_start.begin(), P.row_start.end() - 1);
    for (const auto& p : P.pieces) {
        if (p.ulo >= P.uhi) continue;
        const auto [a, b] = rows_of(p, f.row0, f.rows);
        for (u64 i = a; i < b; ++i) P.row_pieces[fill[i]++] = p.id;
    }
    P.rules.assign(r.rules.begin(), r.rules.end());
    P.program.assign(r.program.begin(), r.program.end());
    P.n_leaves = static_cast<int>(r.rules.size());
}

// ---- One strip ---------------------------------------------------------------

// A piece clipped to the strip: its ends ordered by u, and where the sweep
// has reached along it.
struct StripPiece {
    const Piece* p;
    double uL, vL, tL, uR, vR, tR;
    double slope;       // of a segment: dv / du between its ends in the strip
    double cu, cv, ct;  // the current slab's left end on the piece
    double f;           // the current slab's integral of (v - bottom) du
};

struct BottomCross {
    double u;
    std::int32_t leaf;
    std::int32_t ray;
};

// Per-thread buffers, reused row after row.
struct Scratch {
    std::vector<StripPiece> strip;
    std::vector<double> events;
    std::vector<BottomCross> bottom;
    std::vector<std::int32_t> order;   // strip pieces by uL
    std::vector<std::int32_t> active;
    std::vector<u64> touched;          // cells given part of their area
    std::array<std::int32_t, kMaxLeaves> w_bottom{};
    std::array<std::int32_t, kMaxLeaves> w{};
};

bool member(Rule rule, std::int32_t w) {
    switch (rule) {
        case Rule::nonzero: return w != 0;
        case Rule::evenodd: return (w & 1) != 0;
        default: return w > 0;
    }
}

bool evaluate(const Prepared& P, std::uint64_t mask) {
    if (P.program.empty()) return mask != 0;
    std::uint64_t stack = 0;  // bit k: the value k places below the top
    for (const std::int32_t op : P.program) {
        if (op >= 0) {
            stack = (stack << 1) | ((mask >> op) & 1u);
            continue;
        }
        const std::uint64_t top = stack & 1u;
        if (op == op_not) {
            stack ^= 1u;
            continue;
        }
        stack >>= 1;
        const std::uint64_t below = stack & 1u;
        std::uint64_t v = 0;
        switch (op) {
            case op_or: v = below | top; break;
            case op_and: v = below & top; break;
            case op_diff: v = below & (top ^ 1u); break;
            default: v = below ^ top; break;
        }
        stack = (stack & ~std::uint64_t{1}) | v;
    }
    return (stack & 1u) != 0;
}

inline bool run_program(const Prepared& P, std::uint64_t mask) {
    return P.table.empty() ? evaluate(P, mask) : P.table[mask] != 0;
}

// Masks only hold bits of existing leaves, so up to kTableLeaves leaves the
// table covers every mask the sweep can form.
constexpr int kTableLeaves = 10;

void tabulate_program(Prepared& P) {
    P.table.clear();
    if (P.program.empty() || P.n_leaves > kTableLeaves) return;
    const std::uint64_t n = std::uint64_t{1} << P.n_leaves;
    std::vector<std::uint8_t> table(n);
    for (std::uint64_t m = 0; m < n; ++m) table[m] = evaluate(P, m) ? 1 : 0;
    P.table = std::move(table);
}

// v on a piece at u (within its strip range), and the arc parameter there.
inline void point_at_u(const Prepared& P, const StripPiece& s, double u, double& v, double& t) {
    const Piece& p = *s.p;
    if (p.ellipse < 0) {
        t = 0;
        if (u == s.uR) {
            v = s.vR;
        } else if (u == s.uL) {
            v = s.vL;
        } else {
            v = s.vL + (u - s.uL) * s.slope;
        }
        return;
    }
    const Ellipse& e = P.ellipses[p.ellipse];
    if (u == s.uR) {
        v = s.vR, t = s.tR;
        return;
    }
    if (u == s.uL) {
        v = s.vL, t = s.tL;
        return;
    }
    t = solve_t(e.a, e.b, u - e.cu, std::min(s.tL, s.tR), std::max(s.tL, s.tR));
    v = e.cv + e.c * std::cos(t) + e.d * std::sin(t);
}

// Clips piece p to the strip [y, y + 1]; false when nothing of it is inside.
bool clip(const Prepared& P, const Piece& p, double y, StripPiece& s) {
    const double top = y + 1;
    double ua, va, ta = p.t0, ub, vb, tb = p.t1;  // ends at the strip's bottom and top
    if (p.ellipse < 0) {
        ua = p.u0, va = p.v0, ub = p.u1, vb = p.v1;
        if (p.v0 < p.v1) {
            const double slope = (p.u1 - p.u0) / (p.v1 - p.v0);
            if (p.v0 < y) ua = p.u0 + (y - p.v0) * slope, va = y;
            if (p.v1 > top) ub = p.u0 + (top - p.v0) * slope, vb = top;
        }
    } else {
        const Ellipse& e = P.ellipses[p.ellipse];
        const bool rising = p.v1 > p.v0;  // v grows with t
        ua = rising ? p.u0 : p.u1, va = rising ? p.v0 : p.v1, ta = rising ? p.t0 : p.t1;
        ub = rising ? p.u1 : p.u0, vb = rising ? p.v1 : p.v0, tb = rising ? p.t1 : p.t0;
        if (p.vlo < y) {
            ta = solve_t(e.c, e.d, y - e.cv, p.t0, p.t1);
            ua = e.cu + e.a * std::cos(ta) + e.b * std::sin(ta), va = y;
        }
        if (p.vhi > top) {
            tb = solve_t(e.c, e.d, top - e.cv, p.t0, p.t1);
            ub = e.cu + e.a * std::cos(tb) + e.b * std::sin(tb), vb = top;
        }
    }
    s.p = &p;
    if (ua <= ub) {
        s.uL = ua, s.vL = va, s.tL = ta, s.uR = ub, s.vR = vb, s.tR = tb;
    } else {
        s.uL = ub, s.vL = vb, s.tL = tb, s.uR = ua, s.vR = va, s.tR = ta;
    }
    s.slope = s.uR > s.uL ? (s.vR - s.vL) / (s.uR - s.uL) : 0.0;
    return true;
}

// Integral of (v - y) du over [u0, u1] along the piece; moves its current
// end to u1.
inline double integral(const Prepared& P, StripPiece& s, double u1, double y) {
    double v1, t1;
    point_at_u(P, s, u1, v1, t1);
    double f = (u1 - s.cu) * ((s.cv - y) + (v1 - y)) * 0.5;
    if (s.p->ellipse >= 0) {
        const Ellipse& e = P.ellipses[s.p->ellipse];
        f -= e.det * 0.5 * x_minus_sin(t1 - s.ct);
    }
    s.cu = u1, s.cv = v1, s.ct = t1;
    return f;
}

// Adds crossings of two strip pieces inside the open overlap of their u-ranges
// to the events.
void crossings(const Prepared& P, const StripPiece& a, const StripPiece& b,
               std::vector<double>& events) {
    const double lo = std::max(a.uL, b.uL), hi = std::min(a.uR, b.uR);
    if (!(hi > lo)) return;
    if (std::max(a.vL, a.vR) < std::min(b.vL, b.vR) ||
        std::max(b.vL, b.vR) < std::min(a.vL, a.vR))
        return;
    const Piece &pa = *a.p, &pb = *b.p;
    if (pa.ellipse >= 0 && pa.ellipse == pb.ellipse) return;  // one ellipse: meets at ends only
    auto diff = [&](double u) {
        double va, vb, t;
        point_at_u(P, a, u, va, t);
        point_at_u(P, b, u, vb, t);
        return va - vb;
    };
    auto bisect = [&](double l, double h, double fl) {
        for (int k = 0; k < 200; ++k) {
            const double m = l + (h - l) * 0.5;
            if (!(m > l && m < h)) break;
            const double fm = diff(m);
            if (fm == 0) return m;
            if ((fm < 0) == (fl < 0)) l = m, fl = fm;
            else h = m;
        }
        return l + (h - l) * 0.5;
    };
    if (pa.ellipse < 0 && pb.ellipse < 0) {
        const double fl = diff(lo), fh = diff(hi);
        if ((fl < 0 && fh > 0) || (fl > 0 && fh < 0)) {
            const double u = lo + (hi - lo) * (fl / (fl - fh));
            if (u > lo && u < hi) events.push_back(u);
        }
        return;
    }
    if (pa.ellipse < 0 || pb.ellipse < 0) {
        // A line and an ellipse: p cos t + q sin t = w, two solutions.
        const StripPiece& seg = pa.ellipse < 0 ? a : b;
        const StripPiece& arc = pa.ellipse < 0 ? b : a;
        const Ellipse& e = P.ellipses[arc.p->ellipse];
        const double nu = -(seg.vR - seg.vL), nv = seg.uR - seg.uL;
        const double p = nu * e.a + nv * e.c, q = nu * e.b + nv * e.d;
        const double w = nu * (seg.uL - e.cu) + nv * (seg.vL - e.cv);
        const double r = std::hypot(p, q);
        if (!(r > 0) || std::fabs(w) > r) return;
        const double phi = std::atan2(q, p), alpha = std::acos(w / r);
        for (double t : {phi + alpha, phi - alpha}) {
            const double u = e.cu + e.a * std::cos(t) + e.b * std::sin(t);
            if (u > lo && u < hi) events.push_back(u);
        }
        // The analytic points may miss by rounding: a sign change at the
        // overlap's ends is settled by bisection too.
        const double fl = diff(lo), fh = diff(hi);
        if ((fl < 0 && fh > 0) || (fl > 0 && fh < 0)) events.push_back(bisect(lo, hi, fl));
        return;
    }
    // Two ellipses: sign changes on a fine sampling, each settled by bisection.
    const int n = 16 + static_cast<int>(std::min(4096.0, std::ceil((hi - lo) * 16)));
    double ul = lo, fl = diff(lo);
    for (int k = 1; k <= n; ++k) {
        const double uh = k == n ? hi : lo + (hi - lo) * (static_cast<double>(k) / n);
        const double fh = diff(uh);
        if ((fl < 0 && fh > 0) || (fl > 0 && fh < 0)) events.push_back(bisect(ul, uh, fl));
        else if (fh == 0 && k < n) events.push_back(uh);
        ul = uh, fl = fh;
    }
}

// Pending run of slabs that add m x width to every cell they cover.
struct Run {
    double start;
    bool m;
};

// The row being written, left to right: cells before `written` hold their
// final sums (or partial sums for the last one), cells from it on are not
// written yet. The sweep only moves right, so every cell is stored once as
// 0.0 or 1.0 or a sum, instead of being zeroed first and written again.
struct RowOut {
    double* row;
    u64 cols;
    u64 written = 0;
    std::vector<u64>* touched;

    // Zero cells up to (not including) j.
    void zero_to(u64 j) {
        if (j > written) {
            std::fill(row + written, row + j, 0.0);
            written = j;
        }
    }
    // Adds part of a cell, noting the cell: only such cells can leave [0, 1].
    // The first part is added to 0.0 as before, so a -0.0 becomes +0.0.
    void add(u64 j, double a) {
        zero_to(j);
        if (j == written) {
            row[j] = 0.0 + a;
            written = j + 1;
        } else {
            row[j] += a;
        }
        touched->push_back(j);
    }
    void ones(u64 j0, u64 j1) {
        zero_to(j0);
        std::fill(row + j0, row + j1, 1.0);
        written = std::max(written, j1);
    }
    void finish() { zero_to(cols); }
};

void flush(const Run& run, double end, double col0, RowOut& out) {
    if (!run.m || !(end > run.start)) return;
    // Cells the run covers whole hold nothing else: they are 1 exactly.
    const double first = std::ceil(run.start), last = std::floor(end);
    if (first > last) {  // inside one cell
        out.add(static_cast<u64>(std::floor(run.start) - col0), end - run.start);
        return;
    }
    if (first > run.start) out.add(static_cast<u64>(first - 1 - col0), first - run.start);
    out.ones(static_cast<u64>(first - col0), static_cast<u64>(last - col0));
    if (end > last) out.add(static_cast<u64>(last - col0), end - last);
}

// One slab [ua, ub] inside one column, with the pieces active over it: adds
// the covered area to the column's cell, or extends the fill run when no
// piece changes the membership.
void slab(const Prepared& P, Scratch& S, double ua, double ub, double y, bool m0,
          std::uint64_t mask_bottom, Run& run, double ulo, RowOut& out) {
    const int L = P.n_leaves;
    for (const std::int32_t id : S.active) S.strip[id].f = integral(P, S.strip[id], ub, y);
    // Lowest first: pieces do not cross inside a slab, so the one below
    // has the smaller integral; ties (coincident pieces) by id.
    for (std::size_t q = 1; q < S.active.size(); ++q) {
        const std::int32_t id = S.active[q];
        const double f = S.strip[id].f;
        const std::int32_t pid = S.strip[id].p->id;
        std::size_t z = q;
        for (; z > 0; --z) {
            const StripPiece& o = S.strip[S.active[z - 1]];
            if (o.f < f || (o.f == f && o.p->id < pid)) break;
            S.active[z] = S.active[z - 1];
        }
        S.active[z] = id;
    }
    std::copy(S.w_bottom.begin(), S.w_bottom.begin() + L, S.w.begin());
    std::uint64_t mask = mask_bottom;
    bool below = m0, changed = false;
    double area = 0;
    for (const std::int32_t id : S.active) {
        const StripPiece& s = S.strip[id];
        const std::int32_t leaf = s.p->leaf;
        S.w[leaf] += s.p->up;
        const std::uint64_t bit = std::uint64_t{1} << leaf;
        mask = member(P.rules[leaf], S.w[leaf]) ? mask | bit : mask & ~bit;
        const bool above = run_program(P, mask);
        if (above != below) {
            area += below ? s.f : -s.f;
            changed = true;
        }
        below = above;
    }
    if (!changed) {
        if (below != run.m) {
            flush(run, ua, ulo, out);
            run = {ua, below};
        }
        return;
    }
    flush(run, ua, ulo, out);
    if (below) area += ub - ua;
    out.add(static_cast<u64>(std::floor(ua) - ulo), area);
    run = {ub, false};
}

void strip_row(const Prepared& P, u64 r, double* row, Scratch& S) {
    const double y = static_cast<double>(P.row0 + r);
    const double ulo = P.ulo, uhi = P.uhi;
    const u64 cols = static_cast<u64>(uhi - ulo);
    RowOut out{row, cols, 0, &S.touched};
    S.strip.clear();
    S.bottom.clear();
    S.events.clear();
    S.touched.clear();
    for (u64 k = P.row_start[r]; k < P.row_start[r + 1]; ++k) {
        const Piece& p = P.pieces[P.row_pieces[k]];
        StripPiece s;
        clip(P, p, y, s);
        if (p.vlo <= y && p.vhi > y) {
            S.bottom.push_back({s.vL == y ? s.uL : s.uR, p.leaf, p.ray});
        }
        if (s.uR <= ulo) continue;  // left of the window: counted on the ray only
        S.events.push_back(std::clamp(s.uL, ulo, uhi));
        S.events.push_back(std::clamp(s.uR, ulo, uhi));
        if (s.uR > s.uL) S.strip.push_back(s);
    }
    std::sort(S.bottom.begin(), S.bottom.end(),
              [](const BottomCross& a, const BottomCross& b) { return a.u < b.u; });
    // Strip pieces by left end; crossings of pieces whose u-ranges overlap.
    const auto n = static_cast<std::int32_t>(S.strip.size());
    S.order.resize(n);
    for (std::int32_t k = 0; k < n; ++k) S.order[k] = k;
    std::sort(S.order.begin(), S.order.end(), [&](std::int32_t a, std::int32_t b) {
        const auto &sa = S.strip[a], &sb = S.strip[b];
        return sa.uL < sb.uL || (sa.uL == sb.uL && sa.p->id < sb.p->id);
    });
    S.active.clear();
    for (std::int32_t k = 0; k < n; ++k) {
        const StripPiece& s = S.strip[S.order[k]];
        std::size_t keep = 0;
        for (std::size_t q = 0; q < S.active.size(); ++q) {
            const StripPiece& o = S.strip[S.active[q]];
            if (o.uR > s.uL) {
                S.active[keep++] = S.active[q];
                crossings(P, o, s, S.events);
            }
        }
        S.active.resize(keep);
        S.active.push_back(S.order[k]);
    }
    S.events.push_back(ulo);
    S.events.push_back(uhi);
    for (double& e : S.events) e = std::clamp(e, ulo, uhi);
    std::sort(S.events.begin(), S.events.end());
    S.events.erase(std::unique(S.events.begin(), S.events.end()), S.events.end());

    // The sweep.
    const int L = P.n_leaves;
    std::fill(S.w_bottom.begin(), S.w_bottom.begin() + L, 0);
    std::uint64_t mask_bottom = 0;
    std::size_t next_bottom = 0, next_piece = 0;
    S.active.clear();
    Run run{ulo, false};
    for (std::size_t k = 0; k + 1 < S.events.size(); ++k) {
        const double ua = S.events[k], ub = S.events[k + 1];
        const double um = ua + (ub - ua) * 0.5;
        while (next_bottom < S.bottom.size() && S.bottom[next_bottom].u < um) {
            const auto& b = S.bottom[next_bottom++];
            S.w_bottom[b.leaf] += b.ray;
            const std::uint64_t bit = std::uint64_t{1} << b.leaf;
            mask_bottom = member(P.rules[b.leaf], S.w_bottom[b.leaf]) ? mask_bottom | bit
                                                                       : mask_bottom & ~bit;
        }
        // Active pieces: those whose u-range covers the slab.
        std::size_t keep = 0;
        for (std::size_t q = 0; q < S.active.size(); ++q) {
            if (S.strip[S.active[q]].uR > ua) S.active[keep++] = S.active[q];
        }
        S.active.resize(keep);
        while (next_piece < S.order.size() && S.strip[S.order[next_piece]].uL <= ua) {
            const std::int32_t id = S.order[next_piece++];
            StripPiece& s = S.strip[id];
            if (s.uR <= ua) continue;
            point_at_u(P, s, ua, s.cv, s.ct);
            s.cu = ua;
            S.active.push_back(id);
        }
        const bool m0 = run_program(P, mask_bottom);
        if (S.active.empty()) {
            if (m0 != run.m) {
                flush(run, ua, ulo, out);
                run = {ua, m0};
            }
            continue;
        }
        // Column boundaries inside the slab cut it into cells.
        for (double a = ua; a < ub;) {
            const double b = std::min(ub, std::floor(a) + 1);
            slab(P, S, a, b, y, m0, mask_bottom, run, ulo, out);
            a = b;
        }
    }
    flush(run, uhi, ulo, out);
    out.finish();
    for (const u64 j : S.touched) row[j] = std::clamp(row[j], 0.0, 1.0);
}

// Rows go to the threads in bands dealt out in turn, so that a region over
// one part of the grid still keeps every thread busy.
constexpr u64 kBandRows = 16;

}  // namespace

void grid_coverage(const Region& region, const Frame& frame, double* out, u64 n_threads) {
    Prepared P;
    const PlaneArcEnds ends = arc_ends(region);
    prepare(region, ends, frame, P);
    if (frame.rows == 0 || frame.cols == 0) return;
    tabulate_program(P);  // not for Pixels: each pixel prepares anew
    const u64 bands = (frame.rows + kBandRows - 1) / kBandRows;
    const u64 workers = std::max<u64>(1, std::min(n_threads, bands));
    split_range(workers, workers, [&](u64 first, u64 last) {
        Scratch S;
        for (u64 k = first; k < last; ++k) {
            for (u64 b = k; b < bands; b += workers) {
                const u64 r1 = std::min(frame.rows, (b + 1) * kBandRows);
                for (u64 r = b * kBandRows; r < r1; ++r) strip_row(P, r, out + r * frame.cols, S);
            }
        }
    });
}

void pixels_coverage(const Region& region, const PixelBatch& px, double* out, u64 n_threads) {
    const PlaneArcEnds ends = arc_ends(region);
    split_range(px.n, n_threads, [&](u64 first, u64 last) {
        Prepared P;
        Scratch S;
        for (u64 k = first; k < last; ++k) {
            // The pixel as the one cell of a grid in its own frame.
            const Frame f{px.x[k], px.y[k], px.dxdu[k], px.dxdv[k], px.dydu[k], px.dydv[k],
                          0, 0, 1, 1};
            try {
                prepare(region, ends, f, P);
                strip_row(P, 0, out + k, S);
            } catch (const std::domain_error&) {
                out[k] = std::numeric_limits<double>::quiet_NaN();
            }
        }
    });
}

std::pair<std::int64_t, std::int64_t> find_crossing(std::span<const Segment> segs,
                                                    std::span<const std::int32_t> group) {
    // Sweep over x: each segment is tested against those whose x-ranges it meets.
    const std::size_t n = segs.size();
    std::vector<std::int64_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = static_cast<std::int64_t>(k);
    auto xlo = [&](std::int64_t k) { return std::min(segs[k].x0, segs[k].x1); };
    auto xhi = [&](std::int64_t k) { return std::max(segs[k].x0, segs[k].x1); };
    std::sort(order.begin(), order.end(),
              [&](std::int64_t a, std::int64_t b) { return xlo(a) < xlo(b); });
    auto side = [](double ax, double ay, double bx, double by, double px, double py) {
        const double c = (bx - ax) * (py - ay) - (by - ay) * (px - ax);
        return (c > 0) - (c < 0);
    };
    std::vector<std::int64_t> active;
    for (const std::int64_t k : order) {
        const Segment& s = segs[k];
        std::size_t keep = 0;
        for (std::size_t q = 0; q < active.size(); ++q) {
            const std::int64_t o = active[q];
            if (xhi(o) < xlo(k)) continue;
            active[keep++] = o;
            if (group[o] != group[k]) continue;
            const Segment& t = segs[o];
            if (std::max(s.y0, s.y1) < std::min(t.y0, t.y1) ||
                std::max(t.y0, t.y1) < std::min(s.y0, s.y1))
                continue;
            const int a = side(s.x0, s.y0, s.x1, s.y1, t.x0, t.y0);
            const int b = side(s.x0, s.y0, s.x1, s.y1, t.x1, t.y1);
            const int c = side(t.x0, t.y0, t.x1, t.y1, s.x0, s.y0);
            const int d = side(t.x0, t.y0, t.x1, t.y1, s.x1, s.y1);
            if (a * b < 0 && c * d < 0) return {std::min(o, k), std::max(o, k)};
        }
        active.resize(keep);
        active.push_back(k);
    }
    return {-1, -1};
}

}  // namespace zolvin::region
