// Every expression below is evaluated in the order written, each operation
// rounded on its own: the regions' margins are reckoned for that arithmetic.
#include "coverage_grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zolvin::detail {

namespace {

// Inputs beyond this magnitude (or not finite) leave no region trusted: below
// it, the squares and products formed here and by the rules stay finite.
inline bool tame(double a) { return std::fabs(a) < 1e100; }

// Relative and absolute widening of every region.
constexpr double kSlack = 1e-9;
constexpr double kFloor = 1e-200;

// Real column indices lo..hi; empty when lo > hi.
struct Interval {
    double lo, hi;
};

constexpr double kInf = std::numeric_limits<double>::infinity();

// x moved by two columns and the relative slack, outward (sign 1) or inward (-1).
inline double widen(double x, double sign) {
    return std::isinf(x) ? x : x - sign * (2 + kSlack * std::fabs(x));
}

// The window's columns whose global indices lie in iv widened (sign 1) or
// narrowed (sign -1).
Span window_columns(const GridWindow& g, Interval iv, double sign) {
    if (std::isnan(iv.lo) || std::isnan(iv.hi)) return {0, sign > 0 ? g.cols : 0};
    if (iv.lo > iv.hi) return {0, 0};
    const double col0 = static_cast<double>(g.col0);
    const double first = std::ceil(widen(iv.lo, sign) - col0);
    const double last = std::floor(widen(iv.hi, -sign) - col0);
    const double cols = static_cast<double>(g.cols);
    if (!(last >= 0) || !(first < cols) || first > last) return {0, 0};
    const std::uint64_t lo = first > 0 ? static_cast<std::uint64_t>(first) : 0;
    const std::uint64_t hi = last < cols - 1 ? static_cast<std::uint64_t>(last) + 1 : g.cols;
    return {lo, hi};
}

Rows make_rows(const GridWindow& g) {
    const double cols = static_cast<double>(g.col0 + g.cols);
    const double rows = static_cast<double>(g.row0 + g.rows);
    const double alpha = g.dxdu * g.dxdu + g.dydu * g.dydu;
    const double mag_x = std::fabs(g.x0) + std::fabs(g.dxdu) * cols + std::fabs(g.dxdv) * rows;
    const double mag_y = std::fabs(g.y0) + std::fabs(g.dydu) * cols + std::fabs(g.dydv) * rows;
    const bool trusted = tame(g.x0) && tame(g.y0) && tame(g.dxdu) && tame(g.dxdv) &&
                         tame(g.dydu) && tame(g.dydv) && alpha > 1e-200 && cols < 0x1p53 &&
                         rows < 0x1p53;
    return {g, alpha, std::sqrt(alpha), mag_x, mag_y, trusted};
}

// Columns of row r whose centres lie within reach of (mx, my).
Interval chord(const Rows& w, std::uint64_t r, double mx, double my, double reach) {
    const double v = static_cast<double>(w.g.row0 + r);
    const double p = (w.g.x0 + w.g.dxdv * v) - mx;
    const double q = (w.g.y0 + w.g.dydv * v) - my;
    const double mid = -(w.g.dxdu * p + w.g.dydu * q) / w.alpha;
    const double h = std::fabs(w.g.dxdu * q - w.g.dydu * p) / w.root_alpha;
    if (h > reach) return {kInf, -kInf};
    const double half = std::sqrt(reach * reach - h * h) / w.root_alpha;
    return {mid - half, mid + half};
}

// {u : a + b u >= t}.
Interval at_least(double a, double b, double t) {
    if (b > 0) return {(t - a) / b, kInf};
    if (b < 0) return {-kInf, (t - a) / b};
    return a >= t ? Interval{-kInf, kInf} : Interval{kInf, -kInf};
}

Interval meet(Interval a, Interval b) { return {std::max(a.lo, b.lo), std::min(a.hi, b.hi)}; }

// A region to skip, narrowed by the widening.
Interval narrow(Interval z) {
    if (z.lo > z.hi) return z;
    return {widen(z.lo, -1), widen(z.hi, 1)};
}

// The live interval less the parts of it at either end that lie in z.
void trim(Interval& live, Interval z) {
    if (z.lo > z.hi) return;
    if (z.lo <= live.lo && live.lo <= z.hi) live.lo = z.hi;
    if (z.lo <= live.hi && live.hi <= z.hi) live.hi = z.lo;
}

// Bound of an edge value's terms over the window, for its rounding.
double edge_magnitude(const Rows& w, const Line& e) {
    return (w.mag_x + std::fabs(e.x)) * std::fabs(e.dir_y) +
           (w.mag_y + std::fabs(e.y)) * std::fabs(e.dir_x);
}

bool tame_line(const Line& e) {
    return tame(e.x) && tame(e.y) && tame(e.dir_y) && tame(e.dir_x);
}

}  // namespace

// ---- Circle ----

Span CircleRegion::columns(std::uint64_t r) const {
    if (!trusted) return {0, w.g.cols};
    return window_columns(w.g, chord(w, r, cx, cy, outer), 1);
}

Span CircleRegion::inside(std::uint64_t r) const {
    if (!trusted || !(inner > 0)) return {0, 0};
    return window_columns(w.g, chord(w, r, cx, cy, inner), -1);
}

CircleRegion circle_region(const GridWindow& g, const Circle& c) {
    const Rows w = make_rows(g);
    const double s = pixel_scale(g.dxdu, g.dxdv, g.dydu, g.dydv);
    const double reach = std::fabs(c.radius) + s;
    const double size = reach + w.mag_x + w.mag_y + std::fabs(c.cx) + std::fabs(c.cy);
    const double margin = kSlack * size + kFloor;
    const double outer = reach + margin;
    const double inner = std::fabs(c.radius - s) - margin;
    return {w, c.cx, c.cy, outer, inner,
            w.trusted && tame(c.cx) && tame(c.cy) && tame(c.radius) && tame(outer)};
}

// ---- Strut ----

// Along a row, each edge value is (in exact arithmetic) a + b u; t1 and t2
// are 2 s widened by its rounding.
Span StrutRegion::columns(std::uint64_t r) const {
    if (!trusted) return {0, w.g.cols};
    Interval live = chord(w, r, t.mx, t.my, reach);
    if (live.lo > live.hi) return {0, 0};
    const double v = static_cast<double>(w.g.row0 + r);
    const double px = w.g.x0 + w.g.dxdv * v;
    const double py = w.g.y0 + w.g.dydv * v;
    const double a1 = edge_value(t.edge1, px, py);
    const double b1 = w.g.dydu * t.edge1.dir_x - w.g.dxdu * t.edge1.dir_y;
    const double a2 = edge_value(t.edge2, px, py);
    const double b2 = w.g.dydu * t.edge2.dir_x - w.g.dxdu * t.edge2.dir_y;
    const Interval above = narrow(meet(at_least(a1, b1, t1), at_least(a2, b2, t2)));
    const Interval below = narrow(meet(at_least(-a1, -b1, t1), at_least(-a2, -b2, t2)));
    for (int pass = 0; pass < 2; ++pass) {
        trim(live, above);
        trim(live, below);
    }
    return window_columns(w.g, live, 1);
}

StrutRegion strut_region(const GridWindow& g, const StrutRule& t) {
    const Rows w = make_rows(g);
    const double s = pixel_scale(g.dxdu, g.dxdv, g.dydu, g.dydv);
    const double radius = std::sqrt(t.r2);
    const double size = radius + w.mag_x + w.mag_y + std::fabs(t.mx) + std::fabs(t.my);
    const double reach = radius + kSlack * size + kFloor;
    const double t1 = 2 * s + (kSlack * edge_magnitude(w, t.edge1) + kFloor);
    const double t2 = 2 * s + (kSlack * edge_magnitude(w, t.edge2) + kFloor);
    const bool trusted = w.trusted && tame_line(t.edge1) && tame_line(t.edge2) && tame(t.r2) &&
                         tame(reach) && tame(t1) && tame(t2);
    return {w, t, reach, t1, t2, trusted};
}

}  // namespace zolvin::detail
