// The accumulator's elliptic arcs: the crossings of an ellipse with the
// window's grid lines (both of a line from one square root), merged into a
// chain of cut points along each monotone quarter, and the sub-pieces'
// areas: the trapezoid under each chord plus the elliptic segment, by its
// series, no trigonometry for whole ellipses.
#include "accumulate.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "../lanes.hpp"

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
// each), for n = 1 .. kTerms, rounded down. Written out, not computed: a
// compiler may fold pow exactly where the library rounds it, and the number
// of terms must be the same on every build.
constexpr std::array<double, kTerms + 1> kLimit = {
    0.0,   9.61e-9, 1.14e-4, 2.53e-3, 0.0117, 0.0294, 0.0540, 0.0831,
    0.114, 0.147,   0.179,   0.211,   0.241,  0.25,   0.25};

// The first `terms` terms of the series at s, Horner's scheme from the top.
template <class T>
ZOLVIN_INLINE T series_at(T s, int terms) {
    const T s2 = s * s;
    T p = s2 * 0.0 + kSeries[terms - 1];
    for (int k = terms - 2; k >= 0; --k) p = p * s2 + kSeries[k];
    return s * s2 * p;
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
        if (s_max <= kLimit[n]) return n;
    }
    return kTerms;
}

// floor, lane by lane, in plain arithmetic (it vectorises where a libm call
// or a scalar rounding instruction would not): the nearest integer by adding
// and taking away 2^52, one less where that rounded up. Exact, as floor is;
// beyond 2^52 every double is a whole number already.
ZOLVIN_INLINE lanes floor4(lanes a) {
    const lanes big = splat(0x1p52);
    const lanes neg = select(a < 0.0, -a, a);
    lanes t = select(a < 0.0, (a - big) + big, (a + big) - big);
    t = select(t > a, t - 1.0, t);
    return select(neg < 0x1p52, t, a);
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

// The same for any s in [0, 1]: the series below 1/4, where it converges
// fast and nothing cancels; above, the closed form, whose cancellation costs
// at most a factor 24 of rounding on a value above 0.01.
double unit_segment(double s) {
    if (s <= kLimit[kTerms]) return series_at(s, kTerms);
    if (s >= 1.0) return kPi / 2;
    return std::asin(s) - s * std::sqrt((1.0 - s) * (1.0 + s));
}

// The crossings of an ellipse with the window's row lines r0 .. r0 + nr - 1
// and column lines c0 .. c0 + nc - 1 that lie strictly inside its extent:
// both of each line, from one square root.
struct Accumulator::Lines {
    double r0 = 0, c0 = 0;
    i64 nr = 0, nc = 0;
    const double *row_lo, *row_hi, *col_lo, *col_hi;
};

// ---- Ellipses ------------------------------------------------------------------

namespace {

// One monotone quarter from -> to: its row crossings on u-branch ru, its
// column crossings on v-branch cv.
struct Merge {
    const double *ru, *cv;
    double r0, c0;
    i64 nr, nc;
    CellPoint from, to;
};

// Writes `from` and the quarter's crossings in the order of travel to (u, v);
// returns how many points. count: scratch for nc + 1 integers.
// The body of merge_crossings, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE i64 merge_crossings_body(const Merge& m, double* u, double* v, i64* count) {
    const bool up = m.to.v > m.from.v, rightward = m.to.u > m.from.u;
    const double vlo = std::min(m.from.v, m.to.v), vhi = std::max(m.from.v, m.to.v);
    const double ulo = std::min(m.from.u, m.to.u), uhi = std::max(m.from.u, m.to.u);
    // Index ranges [a0, a1] of row lines and [b0, b1] of column lines.
    const i64 a0 = std::max<i64>(0, static_cast<i64>(std::floor(vlo - m.r0)) + 1);
    const i64 a1 = std::min<i64>(m.nr - 1, static_cast<i64>(std::ceil(vhi - m.r0)) - 1);
    const i64 b0 = std::max<i64>(0, static_cast<i64>(std::floor(ulo - m.c0)) + 1);
    const i64 b1 = std::min<i64>(m.nc - 1, static_cast<i64>(std::ceil(uhi - m.c0)) - 1);
    const i64 na = std::max<i64>(0, a1 - a0 + 1), nb = std::max<i64>(0, b1 - b0 + 1);
    u[0] = m.from.u, v[0] = m.from.v;
    ++u, ++v;
    for (i64 c = 0; c <= nb; ++c) count[c] = 0;
    // The column line met first; c: the column lines before a row crossing.
    const double k_first = m.c0 + static_cast<double>(rightward ? b0 : b1);
    const double most = static_cast<double>(nb);
    i64 c_prev = 0;
    for (i64 t = 0; t < na; ++t) {
        const i64 ia = up ? a0 + t : a1 - t;
        const double x = std::min(std::max(m.ru[ia], ulo), uhi);
        const double before = rightward ? std::ceil(x) - k_first : k_first - std::floor(x);
        const i64 c = std::max(c_prev, static_cast<i64>(std::min(std::max(before, 0.0), most)));
        c_prev = c;
        u[t + c] = x;
        v[t + c] = m.r0 + static_cast<double>(ia);
        ++count[c];
    }
    i64 rows_before = 0;
    for (i64 k = 0; k < nb; ++k) {
        rows_before += count[k];
        const i64 ib = rightward ? b0 + k : b1 - k;
        u[k + rows_before] = m.c0 + static_cast<double>(ib);
        v[k + rows_before] = std::min(std::max(m.cv[ib], vlo), vhi);
    }
    return 1 + na + nb;
}

ZOLVIN_CLONES("avx2", "default")
i64 merge_crossings(const Merge& m, double* u, double* v, i64* count) {
    return merge_crossings_body(m, u, v, count);
}

}  // namespace

// Appends `from` and then, in the order of travel, the crossings of the
// monotone arc from -> to with the row and column lines strictly between its
// ends: row crossings from the right or left branch (u_hi or u_lo), column
// crossings from the upper or lower one, each clamped into the arc's box so
// that the chain stays monotone whatever the rounding.
//
// The two kinds are merged by one comparison, a row crossing's u against
// the column lines (a tie puts the row crossing first), without branches:
// row crossing t lands after the c(t) column lines before its u, and column
// line m after the row crossings with c(t) <= m.
void Accumulator::monotone_points(const Lines& L, CellPoint from, CellPoint to,
                                  bool right_half, bool upper_half) {
    // Room for every line of the window and the lanes past the end.
    const auto most = static_cast<std::size_t>(1 + L.nr + L.nc);
    grow(pu_, np_ + most + 8), grow(pv_, np_ + most + 8);
    grow(count_, static_cast<std::size_t>(L.nc + 1));
    const Merge m{right_half ? L.row_hi : L.row_lo, upper_half ? L.col_hi : L.col_lo,
                  L.r0, L.c0, L.nr, L.nc, from, to};
    np_ += static_cast<std::size_t>(
        merge_crossings(m, pu_.data() + np_, pv_.data() + np_, count_.data()));
}

namespace {

// Every sub-piece between consecutive points of a chain along an ellipse
// gives its cell (row i, column j) the trapezoid between its chord and the
// cell's right edge plus sigma times the elliptic segment between chord and
// arc (sigma: +1 when the chain runs counter-clockwise in the cell frame,
// where the arc bulges out of the inside), and the cells on its right its
// height. The segment is |det| g(s), s the chord's half-length in the frame
// where the ellipse is the unit circle, g by its series.
struct Chain {
    const CellEllipse& e;
    double absdet, sigma, limit;
    const double *pu, *pv;
    std::size_t n;
    // Out, per sub-piece: s, area, height, row (or with `inside`, the index
    // of its cell in the window, a point going to the spare cell past the
    // window's) and column.
    double *s, *area, *height, *ci, *cj;
    bool inside;
    const CellWindow& w;
};

// Returns whether a piece lies beyond the series' reach (s > limit): the
// caller finishes those.
template <int Terms>
ZOLVIN_INLINE bool chain_pass_n(const Chain& c) {
    const CellEllipse& e = c.e;
    const double half_inv = 0.5 / c.absdet;
    const double row0 = static_cast<double>(c.w.row0), col0 = static_cast<double>(c.w.col0);
    const double rmax = static_cast<double>(c.w.rows - 1), qmax = static_cast<double>(c.w.cols - 1);
    const double cols = static_cast<double>(c.w.cols);
    const lanes zero = splat(0.0), spare = splat(static_cast<double>(c.w.rows * c.w.cols));
    lanes beyond = zero;
    for (std::size_t k = 0; k < c.n; k += 4) {  // the arrays have room past n
        const lanes u0 = load4(c.pu + k), u1 = load4(c.pu + k + 1);
        const lanes v0 = load4(c.pv + k), v1 = load4(c.pv + k + 1);
        const lanes du = u1 - u0, dv = v1 - v0;
        const lanes mid = (u0 + u1) * 0.5, midv = (v0 + v1) * 0.5;
        const lanes j = floor4(mid), i = floor4(midv);
        const lanes xu = e.m2v * du - e.m2u * dv, xv = e.m1u * dv - e.m1v * du;
        const lanes s = min4(root(xu * xu + xv * xv) * half_inv, 1.0);
        const lanes s2 = s * s;
        lanes p = splat(kSeries[Terms - 1]);
        for (int t = Terms - 2; t >= 0; --t) p = p * s2 + kSeries[t];
        const lanes area = -(dv * ((j + 1.0) - mid)) + c.sigma * (c.absdet * (s * s2 * p));
        beyond = select(s <= c.limit, beyond, splat(1.0));
        store4(c.s + k, s);
        store4(c.area + k, area);
        store4(c.height + k, -dv);
        store4(c.cj + k, j);
        if (c.inside) {
            // The ellipse lies in the window: a cell off it can only come of
            // rounding at the window's edge, and is the cell beside it.
            lanes r = i - row0, q = j - col0;
            r = select(r < 0.0, zero, select(r > rmax, splat(rmax), r));
            q = select(q < 0.0, zero, select(q > qmax, splat(qmax), q));
            const lanes at = r * cols + q;
            store4(c.ci + k, select(area == 0.0, select(dv == 0.0, spare, at), at));
        } else {
            store4(c.ci + k, i);
        }
    }
    return beyond[0] + beyond[1] + beyond[2] + beyond[3] > 0.0;
}

template <int = 0>
ZOLVIN_INLINE bool chain_pass_body(int terms, const Chain& c) {
    switch (terms) {
    case 3: return chain_pass_n<3>(c);
    case 4: return chain_pass_n<4>(c);
    case 5: return chain_pass_n<5>(c);
    case 6: return chain_pass_n<6>(c);
    case 7: return chain_pass_n<7>(c);
    case 8: return chain_pass_n<8>(c);
    case 9: return chain_pass_n<9>(c);
    case 10: return chain_pass_n<10>(c);
    case 11: return chain_pass_n<11>(c);
    case 12: return chain_pass_n<12>(c);
    case 13: return chain_pass_n<13>(c);
    default: return chain_pass_n<kTerms>(c);
    }
}

ZOLVIN_CLONES("avx2", "default")
bool chain_pass(int terms, const Chain& c) {
    return chain_pass_body(terms, c);
}

// Adds each sub-piece to the cell at index at[k].
ZOLVIN_CLONES("avx2", "default")
void add_at(const double* at, const double* area, const double* height, std::size_t n,
            double* cell_area, double* cell_height) {
    for (std::size_t k = 0; k < n; ++k) {
        const auto c = static_cast<std::size_t>(static_cast<i64>(at[k]));
        cell_area[c] += area[k] + 0.0;
        cell_height[c] += height[k];
    }
}

}  // namespace

void Accumulator::chain_areas(const CellEllipse& e, double sigma, bool inside) {
    const Form f(e);
    const std::size_t n = np_ - 1;
    // Room for four-lane loads and stores past the end.
    const std::size_t room = n + 8;
    grow(s_, room), grow(area_, room), grow(height_, room), grow(ci_, room), grow(cj_, room);
    const int terms = series_terms(e.m1u, e.m2u, e.m1v, e.m2v, f.absdet);
    const double limit = kLimit[terms];
    const Chain c{e, f.absdet, sigma, limit, pu_.data(), pv_.data(), n, s_.data(), area_.data(),
                  height_.data(), ci_.data(), cj_.data(), inside, w_};
    const bool beyond = chain_pass(terms, c);
    for (std::size_t k = 0; beyond && k < n; ++k) {
        if (!(s_[k] <= limit)) {  // beyond the series: the closed form
            const double dv = -height_[k];
            const double mid = (pu_[k] + pu_[k + 1]) * 0.5;  // as chain_pass has it
            area_[k] = -(dv * ((cj_[k] + 1.0) - mid)) + sigma * (f.absdet * unit_segment(s_[k]));
        }
    }
    if (inside) {
        add_at(ci_.data(), area_.data(), height_.data(), n, area_c_.data(), height_c_.data());
        return;
    }
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
// lines (p = pc): other + (-pb dk -+ |det| sqrt(p - dk^2)) / p. The arrays
// have room for four lanes past n.
// The body of crossings, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE void crossings_body(double k0, i64 n, double centre, double other, double p, double pb,
               double absdet, double* lo, double* hi) {
    const double ip = 1.0 / p;
    const lanes step = {0.0, 1.0, 2.0, 3.0};
    for (i64 m = 0; m < n; m += 4) {
        const lanes dk = (k0 + (static_cast<double>(m) + step)) - centre;
        const lanes q = p - dk * dk;
        const lanes root4 = absdet * root(select(q > 0.0, q, splat(0.0)));
        const lanes base = -pb * dk;
        store4(lo + m, other + (base - root4) * ip);
        store4(hi + m, other + (base + root4) * ip);
    }
}

ZOLVIN_CLONES("avx2", "default")
void crossings(double k0, i64 n, double centre, double other, double p, double pb,
               double absdet, double* lo, double* hi) {
    crossings_body(k0, n, centre, other, p, pb, absdet, lo, hi);
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
    grow(row_lo_, static_cast<std::size_t>(nr + 4)), grow(row_hi_, static_cast<std::size_t>(nr + 4));
    grow(col_lo_, static_cast<std::size_t>(nc + 4)), grow(col_hi_, static_cast<std::size_t>(nc + 4));
    crossings(r0, nr, e.cv, e.cu, f.pa, f.pb, f.absdet, row_lo_.data(), row_hi_.data());
    crossings(c0, nc, e.cu, e.cv, f.pc, f.pb, f.absdet, col_lo_.data(), col_hi_.data());
    const Lines L{r0, c0, nr, nc, row_lo_.data(), row_hi_.data(), col_lo_.data(), col_hi_.data()};
    // Counter-clockwise in the cell frame from the rightmost point: in each
    // quarter the arc is monotone in u and in v.
    np_ = 0;
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
    pu_[np_] = umax.u, pv_[np_] = umax.v, ++np_;
    const bool inside = umin.u >= left && umax.u <= right && vmin.v >= bottom && vmax.v <= top;
    chain_areas(e, cell_ccw ? 1.0 : -1.0, inside);
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
    grow(row_lo_, static_cast<std::size_t>(nr + 4)), grow(row_hi_, static_cast<std::size_t>(nr + 4));
    grow(col_lo_, static_cast<std::size_t>(nc + 4)), grow(col_hi_, static_cast<std::size_t>(nc + 4));
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
    np_ = 0;
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
    grow(pu_, np_ + 8), grow(pv_, np_ + 8);
    pu_[np_] = to.u, pv_[np_] = to.v, ++np_;
    const bool cell_ccw = (t1 > t0) == (f.det > 0);
    chain_areas(e, cell_ccw ? 1.0 : -1.0, false);
}

}  // namespace zolvin::region
