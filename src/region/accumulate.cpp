#include "region/accumulate.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "lanes.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;
constexpr double kPi = 3.14159265358979323846;

// ---- The elliptic segment ----------------------------------------------------

// asin(s) - s sqrt(1 - s^2) = s^3 (a0 + a1 s^2 + a2 s^4 + ...): the area of
// the unit disc cut off by a chord of half-length s, with a_k = 2 c_k /
// (2k + 3) and c_k the series of (1 - x)^(-1/2).
constexpr int kTerms = 14;
constexpr std::array<double, kTerms> series() {
    std::array<double, kTerms> a{};
    double c = 1.0;
    for (int k = 0; k < kTerms; ++k) {
        if (k > 0) c = c * (2.0 * k - 1.0) / (2.0 * k);
        a[k] = 2.0 * c / (2.0 * k + 3.0);
    }
    return a;
}
constexpr std::array<double, kTerms> kSeries = series();

// Largest s for which the first n terms leave out less than 2^-55 of the
// value (the first omitted term bounds the rest: they fall by s^2 < 1/16
// each), for n = 1 .. kTerms.
struct SeriesLimits {
    std::array<double, kTerms + 1> s{};
    SeriesLimits() {
        for (int n = 1; n <= kTerms; ++n) {
            const double ratio = n < kTerms ? kSeries[n] / kSeries[0] : 1.0;
            // ratio * s^(2n) <= 2^-55
            s[n] = std::min(0.25, std::pow(0x1p-55 / ratio, 1.0 / (2.0 * n)));
        }
    }
};
const SeriesLimits kLimits;

// The first `terms` terms of the series at s, Horner's scheme from the top.
template <class T>
ZOLVIN_INLINE T series_at(T s, int terms) {
    const T s2 = s * s;
    T p = s2 * 0.0 + kSeries[terms - 1];
    for (int k = terms - 2; k >= 0; --k) p = p * s2 + kSeries[k];
    return s * s2 * p;
}

// The same for any s in [0, 1]: the series below 1/4, where it converges
// fast and nothing cancels; above, the closed form, whose cancellation costs
// at most a factor 24 of rounding on a value above 0.01.
double unit_segment(double s) {
    if (s <= kLimits.s[kTerms]) return series_at(s, kTerms);
    if (s >= 1.0) return kPi / 2;
    return std::asin(s) - s * std::sqrt((1.0 - s) * (1.0 + s));
}

// Terms enough for every sub-piece of an ellipse: a sub-piece lies in one
// cell, so its chord is at most sqrt 2 long, and in the frame where the
// ellipse is the unit circle at most sqrt 2 / sigma_min, sigma_min being the
// smaller singular value of its matrix.
int series_terms(double a, double b, double c, double d, double absdet) {
    const double f = a * a + b * b + c * c + d * d;
    const double big = std::sqrt(0.5 * (f + std::sqrt(std::max(0.0, (f - 2 * absdet) * (f + 2 * absdet)))));
    const double s_max = 0.7072 * big / absdet;  // sqrt(2)/2 / sigma_min, rounded up
    for (int n = 3; n < kTerms; ++n) {
        if (s_max <= kLimits.s[n]) return n;
    }
    return kTerms;
}

ZOLVIN_INLINE lanes floor4(lanes a) {
    lanes r;
    for (int l = 0; l < 4; ++l) r[l] = std::floor(a[l]);  // becomes one vector round
    return r;
}
ZOLVIN_INLINE lanes min4(lanes a, double b) { return select(a < b, a, splat(b)); }

// ---- An ellipse's quadratic form ------------------------------------------

// (u - cu, v - cv) = (du, dv) is on the ellipse where
// pa du^2 + 2 pb du dv + pc dv^2 = det^2.
struct Form {
    double pa, pb, pc, det, absdet;
    explicit Form(const CellEllipse& e)
        : pa(e.m1v * e.m1v + e.m2v * e.m2v),
          pb(-(e.m1u * e.m1v + e.m2u * e.m2v)),
          pc(e.m1u * e.m1u + e.m2u * e.m2u),
          det(e.m1u * e.m2v - e.m2u * e.m1v),
          absdet(std::fabs(det)) {}
};

CellPoint point_at(const CellEllipse& e, double t) {
    const double c = std::cos(t), s = std::sin(t);
    return {e.cu + e.m1u * c + e.m2u * s, e.cv + e.m1v * c + e.m2v * s};
}

}  // namespace

// The crossings of an ellipse with the window's row lines r0 .. r0 + nr - 1
// and column lines c0 .. c0 + nc - 1 that lie strictly inside its extent:
// both of each line, from one square root.
struct Accumulator::Lines {
    double r0 = 0, c0 = 0;
    i64 nr = 0, nc = 0;
    const double *row_lo, *row_hi, *col_lo, *col_hi;
};

void Accumulator::start(const CellWindow& w, bool mirrored) {
    w_ = w;
    sign_ = mirrored ? -1.0 : 1.0;
    const auto n = static_cast<std::size_t>(w.rows * w.cols);
    cells_.assign(n, Cell{0.0, 0.0});
    touched_.assign(n, 0);
    left_.assign(static_cast<std::size_t>(w.rows), 0.0);
}

ZOLVIN_INLINE void Accumulator::add(i64 i, i64 j, double area, double height) {
    const i64 r = i - w_.row0;
    if (static_cast<std::uint64_t>(r) >= static_cast<std::uint64_t>(w_.rows)) return;
    const i64 q = j - w_.col0;
    if (q < 0) {
        left_[static_cast<std::size_t>(r)] += height;
        return;
    }
    if (q >= w_.cols) return;
    const auto k = static_cast<std::size_t>(r * w_.cols + q);
    cells_[k].area += area;
    cells_[k].height += height;
    touched_[k] = 1;
}

// ---- Segments ------------------------------------------------------------------

// A horizontal segment adds no area and no height, but inside a row it
// splits the cells it crosses: they are not wholly in or out.
void Accumulator::mark_horizontal(CellPoint a, CellPoint b) {
    const double i = std::floor(a.v);
    if (i == a.v) return;  // on a row line: it splits no cell
    const i64 r = static_cast<i64>(i) - w_.row0;
    if (!(i >= static_cast<double>(w_.row0)) || r >= w_.rows) return;
    const double left = static_cast<double>(w_.col0);
    const double right = left + static_cast<double>(w_.cols);
    const double j0 = std::max(std::floor(std::min(a.u, b.u)), left);
    const double j1 = std::min(std::ceil(std::max(a.u, b.u)), right);
    for (double j = j0; j < j1; j += 1.0)
        touched_[static_cast<std::size_t>(r * w_.cols + (static_cast<i64>(j) - w_.col0))] = 1;
}

void Accumulator::segment(CellPoint a, CellPoint b) {
    if (a.v == b.v) {
        mark_horizontal(a, b);
        return;
    }
    // Lower end first, so that an edge two regions share is cut at the same
    // points whichever way each traverses it.
    const bool up = b.v > a.v;
    const CellPoint lo = up ? a : b, hi = up ? b : a;
    const double bottom = static_cast<double>(w_.row0);
    const double top = bottom + static_cast<double>(w_.rows);
    const double left = static_cast<double>(w_.col0);
    const double right = left + static_cast<double>(w_.cols);
    if (!(hi.v > bottom && lo.v < top && std::min(lo.u, hi.u) < right)) return;
    const double du_dv = (hi.u - lo.u) / (hi.v - lo.v);
    const double dv_du = hi.u != lo.u ? (hi.v - lo.v) / (hi.u - lo.u) : 0.0;
    // Upward travel counts the areas and heights negative.
    const double sgn = up ? -1.0 : 1.0;
    const double first = std::max(std::floor(lo.v), bottom);
    const double last = std::min(std::ceil(hi.v), top);
    for (double y = first; y < last; y += 1.0) {
        const double va = std::max(lo.v, y), vb = std::min(hi.v, y + 1.0);
        if (!(vb > va)) continue;
        const double ua = va == lo.v ? lo.u : lo.u + (va - lo.v) * du_dv;
        const double ub = vb == hi.v ? hi.u : lo.u + (vb - lo.v) * du_dv;
        const i64 i = static_cast<i64>(y);
        double pu = ua, pv = va;
        auto piece = [&](double qu, double qv) {
            const double dv = qv - pv;
            const double mid = (pu + qu) * 0.5;
            const double j = std::floor(mid);
            add(i, static_cast<i64>(j), sgn * (dv * ((j + 1.0) - mid)), sgn * dv);
            pu = qu, pv = qv;
        };
        // Column lines strictly between ua and ub, within the window's.
        const double umin = std::min(ua, ub), umax = std::max(ua, ub);
        const double k0 = std::max(std::floor(umin) + 1.0, left);
        const double k1 = std::min(std::ceil(umax) - 1.0, right);
        if (ua < ub) {
            for (double k = k0; k <= k1; k += 1.0)
                piece(k, std::clamp(lo.v + (k - lo.u) * dv_du, va, vb));
        } else {
            for (double k = k1; k >= k0; k -= 1.0)
                piece(k, std::clamp(lo.v + (k - lo.u) * dv_du, va, vb));
        }
        piece(ub, vb);
    }
}

// ---- Ellipses ------------------------------------------------------------------

// Appends `from` and then, in the order of travel, the crossings of the
// monotone arc from -> to with the row and column lines strictly between its
// ends: row crossings from the right or left branch (u_hi or u_lo), column
// crossings from the upper or lower one, each clamped into the arc's box so
// that the chain stays monotone whatever the rounding.
void Accumulator::monotone_points(const Lines& L, CellPoint from, CellPoint to,
                                  bool right_half, bool upper_half) {
    pu_.push_back(from.u);
    pv_.push_back(from.v);
    const bool up = to.v > from.v, rightward = to.u > from.u;
    const double vlo = std::min(from.v, to.v), vhi = std::max(from.v, to.v);
    const double ulo = std::min(from.u, to.u), uhi = std::max(from.u, to.u);
    // Index ranges [a0, a1] of row lines and [b0, b1] of column lines.
    const i64 a0 = std::max<i64>(0, static_cast<i64>(std::floor(vlo - L.r0)) + 1);
    const i64 a1 = std::min<i64>(L.nr - 1, static_cast<i64>(std::ceil(vhi - L.r0)) - 1);
    const i64 b0 = std::max<i64>(0, static_cast<i64>(std::floor(ulo - L.c0)) + 1);
    const i64 b1 = std::min<i64>(L.nc - 1, static_cast<i64>(std::ceil(uhi - L.c0)) - 1);
    const double* ru = right_half ? L.row_hi : L.row_lo;
    const double* cv = upper_half ? L.col_hi : L.col_lo;
    const i64 na = std::max<i64>(0, a1 - a0 + 1), nb = std::max<i64>(0, b1 - b0 + 1);
    // Travel order: row index ia and column index ib run forward or back.
    i64 ia = up ? a0 : a1, ib = rightward ? b0 : b1;
    const i64 sa = up ? 1 : -1, sb = rightward ? 1 : -1;
    const double dir = rightward ? 1.0 : -1.0;
    i64 left_a = na, left_b = nb;
    while (left_a > 0 && left_b > 0) {
        // The row crossing comes first when its u is not past the column line.
        const double ku = ru[ia];
        const double kc = L.c0 + static_cast<double>(ib);
        if (dir * (ku - kc) <= 0) {
            pu_.push_back(std::clamp(ku, ulo, uhi));
            pv_.push_back(L.r0 + static_cast<double>(ia));
            ia += sa, --left_a;
        } else {
            pu_.push_back(kc);
            pv_.push_back(std::clamp(cv[ib], vlo, vhi));
            ib += sb, --left_b;
        }
    }
    for (; left_a > 0; ia += sa, --left_a) {
        pu_.push_back(std::clamp(ru[ia], ulo, uhi));
        pv_.push_back(L.r0 + static_cast<double>(ia));
    }
    for (; left_b > 0; ib += sb, --left_b) {
        pu_.push_back(L.c0 + static_cast<double>(ib));
        pv_.push_back(std::clamp(cv[ib], vlo, vhi));
    }
}

namespace {

// The n sub-pieces between consecutive points of a chain along an ellipse:
// each one's area (the trapezoid between its chord and its cell's right edge,
// plus sigma times the elliptic segment between chord and arc: sigma is +1
// when the chain runs counter-clockwise in the cell frame, where the arc
// bulges out of the inside), its height (given to the cells on its right)
// and its cell (ci, cj).
ZOLVIN_CLONES("avx2", "default")
void accumulate_chain(const CellEllipse& e, double absdet, double sigma, int terms,
                      const double* pu, const double* pv, std::size_t n, double* area,
                      double* height, double* ci, double* cj) {
    const double half_inv = 0.5 / absdet;
    const double limit = kLimits.s[terms];
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const lanes u0 = load4(pu + k), u1 = load4(pu + k + 1);
        const lanes v0 = load4(pv + k), v1 = load4(pv + k + 1);
        const lanes du = u1 - u0, dv = v1 - v0;
        const lanes mid = (u0 + u1) * 0.5, midv = (v0 + v1) * 0.5;
        const lanes j = floor4(mid), i = floor4(midv);
        const lanes xu = e.m2v * du - e.m2u * dv, xv = e.m1u * dv - e.m1v * du;
        const lanes s = min4(root(xu * xu + xv * xv) * half_inv, 1.0);
        lanes g = series_at(s, terms);
        for (int l = 0; l < 4; ++l) {
            if (!(s[l] <= limit)) g[l] = unit_segment(s[l]);
        }
        store4(area + k, -(dv * ((j + 1.0) - mid)) + sigma * (absdet * g));
        store4(height + k, -dv);
        store4(ci + k, i);
        store4(cj + k, j);
    }
    for (; k < n; ++k) {
        const double du = pu[k + 1] - pu[k], dv = pv[k + 1] - pv[k];
        const double mid = (pu[k] + pu[k + 1]) * 0.5, midv = (pv[k] + pv[k + 1]) * 0.5;
        const double j = std::floor(mid), i = std::floor(midv);
        const double xu = e.m2v * du - e.m2u * dv, xv = e.m1u * dv - e.m1v * du;
        const double s = std::min(std::sqrt(xu * xu + xv * xv) * half_inv, 1.0);
        const double g = s <= limit ? series_at(s, terms) : unit_segment(s);
        area[k] = -(dv * ((j + 1.0) - mid)) + sigma * (absdet * g);
        height[k] = -dv;
        ci[k] = i;
        cj[k] = j;
    }
}

}  // namespace

void Accumulator::chain_areas(const CellEllipse& e, double sigma) {
    const Form f(e);
    const std::size_t n = pu_.size() - 1;
    // Room for the four-lane loads one past the end.
    area_.resize(n + 4), height_.resize(n + 4), ci_.resize(n + 4), cj_.resize(n + 4);
    pu_.push_back(0.0), pu_.push_back(0.0), pu_.push_back(0.0);
    pv_.push_back(0.0), pv_.push_back(0.0), pv_.push_back(0.0);
    const int terms = series_terms(e.m1u, e.m2u, e.m1v, e.m2v, f.absdet);
    accumulate_chain(e, f.absdet, sigma, terms, pu_.data(), pv_.data(), n, area_.data(),
                     height_.data(), ci_.data(), cj_.data());
    for (std::size_t k = 0; k < n; ++k) {
        if (area_[k] == 0.0 && height_[k] == 0.0) continue;  // a point: touches nothing
        add(static_cast<i64>(ci_[k]), static_cast<i64>(cj_[k]), area_[k], height_[k]);
    }
}

namespace {

// Row lines strictly inside (lo, hi) and within [first, last], as a count
// and the first line.
std::pair<double, i64> lines_inside(double lo, double hi, double first, double last) {
    const double a = std::max(std::floor(lo) + 1.0, first);
    const double b = std::min(std::ceil(hi) - 1.0, last);
    return {a, b >= a ? static_cast<i64>(b - a) + 1 : 0};
}

// Both crossings of the lines k = k0 + m (m < n) with the ellipse, along u
// for row lines (p = pa, centre cv, other centre cu) or along v for column
// lines (p = pc): centre_other + (-pb dk -+ |det| sqrt(p - dk^2)) / p.
ZOLVIN_CLONES("avx2", "default")
void crossings(double k0, i64 n, double centre, double other, double p, double pb,
               double absdet, double* lo, double* hi) {
    const double ip = 1.0 / p;
    for (i64 m = 0; m < n; ++m) {
        const double dk = (k0 + static_cast<double>(m)) - centre;
        const double root = absdet * std::sqrt(std::max(0.0, p - dk * dk));
        const double base = -pb * dk;
        lo[m] = other + (base - root) * ip;
        hi[m] = other + (base + root) * ip;
    }
}

}  // namespace

void Accumulator::ellipse(const CellEllipse& e, bool ccw) {
    const Form f(e);
    if (!(f.absdet > 0)) return;
    const double su = std::sqrt(f.pc), sv = std::sqrt(f.pa);
    const double bottom = static_cast<double>(w_.row0);
    const double top = bottom + static_cast<double>(w_.rows);
    const double left = static_cast<double>(w_.col0);
    const double right = left + static_cast<double>(w_.cols);
    if (!(e.cv + sv > bottom && e.cv - sv < top && e.cu - su < right)) return;
    const CellPoint umax{e.cu + su, e.cv - f.pb / su}, umin{e.cu - su, e.cv + f.pb / su};
    const CellPoint vmax{e.cu - f.pb / sv, e.cv + sv}, vmin{e.cu + f.pb / sv, e.cv - sv};
    const auto [r0, nr] = lines_inside(vmin.v, vmax.v, bottom, top);
    const auto [c0, nc] = lines_inside(umin.u, umax.u, left, right);
    row_lo_.resize(static_cast<std::size_t>(nr)), row_hi_.resize(static_cast<std::size_t>(nr));
    col_lo_.resize(static_cast<std::size_t>(nc)), col_hi_.resize(static_cast<std::size_t>(nc));
    crossings(r0, nr, e.cv, e.cu, f.pa, f.pb, f.absdet, row_lo_.data(), row_hi_.data());
    crossings(c0, nc, e.cu, e.cv, f.pc, f.pb, f.absdet, col_lo_.data(), col_hi_.data());
    const Lines L{r0, c0, nr, nc, row_lo_.data(), row_hi_.data(), col_lo_.data(), col_hi_.data()};
    // Counter-clockwise in the cell frame from the rightmost point: in each
    // quarter the arc is monotone in u and in v.
    pu_.clear(), pv_.clear();
    const bool cell_ccw = ccw != (sign_ < 0);
    if (cell_ccw) {
        monotone_points(L, umax, vmax, true, true);
        monotone_points(L, vmax, umin, false, true);
        monotone_points(L, umin, vmin, false, false);
        monotone_points(L, vmin, umax, true, false);
    } else {
        monotone_points(L, umax, vmin, true, false);
        monotone_points(L, vmin, umin, false, false);
        monotone_points(L, umin, vmax, false, true);
        monotone_points(L, vmax, umax, true, true);
    }
    pu_.push_back(umax.u), pv_.push_back(umax.v);
    chain_areas(e, cell_ccw ? 1.0 : -1.0);
}

void Accumulator::arc(const CellEllipse& e, double t0, double t1, CellPoint from, CellPoint to) {
    const Form f(e);
    if (!(f.absdet > 0) || t0 == t1) return;
    const double su = std::sqrt(f.pc), sv = std::sqrt(f.pa);
    const double bottom = static_cast<double>(w_.row0);
    const double top = bottom + static_cast<double>(w_.rows);
    const double left = static_cast<double>(w_.col0);
    const double right = left + static_cast<double>(w_.cols);
    if (!(e.cv + sv > bottom && e.cv - sv < top && e.cu - su < right)) return;
    const auto [r0, nr] = lines_inside(e.cv - sv, e.cv + sv, bottom, top);
    const auto [c0, nc] = lines_inside(e.cu - su, e.cu + su, left, right);
    row_lo_.resize(static_cast<std::size_t>(nr)), row_hi_.resize(static_cast<std::size_t>(nr));
    col_lo_.resize(static_cast<std::size_t>(nc)), col_hi_.resize(static_cast<std::size_t>(nc));
    crossings(r0, nr, e.cv, e.cu, f.pa, f.pb, f.absdet, row_lo_.data(), row_hi_.data());
    crossings(c0, nc, e.cu, e.cv, f.pc, f.pb, f.absdet, col_lo_.data(), col_hi_.data());
    const Lines L{r0, c0, nr, nc, row_lo_.data(), row_hi_.data(), col_lo_.data(), col_hi_.data()};
    // Cut at the parameters where u or v is extreme, in the order of travel.
    const double lo = std::min(t0, t1), hi = std::max(t0, t1);
    std::array<double, 10> cuts{};
    std::size_t n = 0;
    for (double base : {std::atan2(e.m2u, e.m1u), std::atan2(e.m2v, e.m1v)}) {
        for (double t = base + std::ceil((lo - base) / kPi) * kPi; t < hi && n < 8; t += kPi) {
            if (t > lo) cuts[n++] = t;
        }
    }
    std::sort(cuts.begin(), cuts.begin() + static_cast<std::ptrdiff_t>(n));
    if (t1 < t0) std::reverse(cuts.begin(), cuts.begin() + static_cast<std::ptrdiff_t>(n));
    pu_.clear(), pv_.clear();
    double ta = t0;
    CellPoint pa = from;
    for (std::size_t k = 0; k <= n; ++k) {
        const double tb = k < n ? cuts[k] : t1;
        const CellPoint pb = k < n ? point_at(e, tb) : to;
        // Which branch of the row and column crossings the piece is on, from
        // its middle.
        const CellPoint m = point_at(e, (ta + tb) * 0.5);
        const double du = m.u - e.cu, dv = m.v - e.cv;
        monotone_points(L, pa, pb, du * f.pa + f.pb * dv > 0, dv * f.pc + f.pb * du > 0);
        ta = tb, pa = pb;
    }
    pu_.push_back(to.u), pv_.push_back(to.v);
    const bool cell_ccw = (t1 > t0) == (f.det > 0);
    chain_areas(e, cell_ccw ? 1.0 : -1.0);
}

// ---- The pass along the rows -------------------------------------------------

void Accumulator::finish_row(i64 r, double* out) const {
    double run = left_[static_cast<std::size_t>(r)];
    const Cell* c = cells_.data() + r * w_.cols;
    const std::uint8_t* t = touched_.data() + r * w_.cols;
    for (i64 q = 0; q < w_.cols; ++q) {
        double v = sign_ * (c[q].area + run);
        // Away from the boundary the heights add up to a whole number but
        // for rounding: the cell is wholly in or out.
        if (!t[q]) v = v > 0.5 ? 1.0 : 0.0;
        out[q] = std::clamp(v, 0.0, 1.0) + 0.0;
        run += c[q].height;
    }
}

void Accumulator::finish(double* out) const {
    for (i64 r = 0; r < w_.rows; ++r) finish_row(r, out + r * w_.cols);
}

}  // namespace zolvin::region
