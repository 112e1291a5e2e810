// Every expression below is evaluated in the order written, each operation
// rounded on its own (the build forbids contraction and reassociation):
// callers rely on the results bit for bit.
#include "coverage.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include "address.hpp"
#include "lanes.hpp"

namespace zolvin {

double pixel_scale(double dxdu, double dxdv, double dydu, double dydv) {
    const double a = dxdu + dydv, b = dxdv - dydu;
    const double c = dxdu - dydv, d = dxdv + dydu;
    return (std::sqrt(a * a + b * b) + std::sqrt(c * c + d * d)) * 0.5;
}

// The half-plane fraction for one pixel (T = double) or four (T = lanes).
// Every branch is computed and the taken one selected, which keeps the lanes
// in step; the selected value is the one the stepwise rule produces.
template <class T>
ZOLVIN_INLINE T half_plane_fraction(T x0, T y0, T dir_y, T dir_x, T x, T y, T u, T v,
                                    T dxdu, T dxdv, T dydu, T dydv) {
    // Line point relative to the pixel centre, in the plane.
    const T ox = x0 - x;
    const T oy = y0 - y;

    // Direction in pixel coordinates (det times the inverse Jacobian), unit length.
    T tv = dir_y * dxdu - dir_x * dydu;
    T tu = dir_x * dydv - dir_y * dxdv;
    const T len = root(tv * tv + tu * tu);
    tu = tu / len;
    tv = tv / len;

    const T det = dydv * dxdu - dxdv * dydu;

    // Adding and removing u (v) rounds the offset to the spacing of u (v).
    T pu = (((-dxdv) / det) * oy + (dydv / det) * ox + u) - u;
    T pv = (((-dydu) / det) * ox + (dxdu / det) * oy + v) - v;

    // Fold into 0 <= tu <= tv; each reflection swaps inner and outer side.
    const T zero = T{};
    const auto flip_u = tu < zero;
    tu = select(flip_u, -tu, tu);
    pu = select(flip_u, -pu, pu);
    const auto flip_v = tv < zero;
    tv = select(flip_v, -tv, tv);
    pv = select(flip_v, -pv, pv);
    const auto swap = invert(tv > tu);  // also when NaN
    const T su = select(swap, pv, pu), sv = select(swap, pu, pv);
    const T stu = select(swap, tv, tu), stv = select(swap, tu, tv);
    const auto complement = invert(differ(differ(flip_u, flip_v), swap));

    // Crossings with the lower and upper pixel edges, 0 at the left edge.
    const T e = ((-0.5 - sv) * stu) / stv + su + 0.5;
    const T f = ((0.5 - sv) * stu) / stv + su + 0.5;

    // Area left of the line. 0.5 * tv and tv * 0.5 are the same product, so
    // the two triangle formulas share one quotient.
    const T slope = (0.5 * stv) / stu;
    const T cut_right = 1 - slope * (1 - e) * (1 - e);
    const T trapezoid = (f + e) * 0.5;
    const T upper_left = f * (slope * f);
    T area = select(f > zero, upper_left, zero);  // NaN falls through to 0
    area = select(e > zero, trapezoid, area);
    area = select(f >= 1, cut_right, area);
    // E == 1 is whole too: the triangle it would cut off is empty, and for
    // tu == 0 (the line along the edge at +0.5) its formula would give inf * 0.
    area = select(e >= 1, zero + 1.0, area);
    return select(complement, 1 - area, area);
}

double pixel_frac_1(double x0, double y0, double dir_y, double dir_x,
                    double x, double y, double u, double v,
                    double dxdu, double dxdv, double dydu, double dydv) {
    return half_plane_fraction<double>(x0, y0, dir_y, dir_x, x, y, u, v, dxdu, dxdv, dydu, dydv);
}

// ---- Pixel sources ----
//
// Every batch below is one driver per kernel over a pixel source, walked row
// by row in spans of columns. An array source is a single row of n pixels read
// from the caller's arrays; a grid source is a window of a regular grid whose
// centres are generated from the origin and the Jacobian as they are needed.
// Both hand the scalar rules the same values, so a grid's results equal those
// of the same pixels given as arrays.

namespace {

constexpr std::size_t kBlock = 256;
constexpr double kRim = -2.0;  // never a decided value

struct Pixel {
    double u, v, x, y, j00, j01, j10, j11;
};

// Four pixels side by side.
struct Pixel4 {
    lanes u, v, x, y, j00, j01, j10, j11;
};

// Columns [lo, hi) of one row.
struct Span {
    std::uint64_t lo, hi;
};

inline std::uint64_t bits(double value) {
    std::uint64_t b;
    std::memcpy(&b, &value, sizeof b);
    return b;
}

// Whether the m (> 0) Jacobians of a block are all bitwise equal to the first.
inline bool shared_jacobian(const double* j00, const double* j01, const double* j10,
                            const double* j11, std::size_t m) {
    const std::uint64_t a = bits(j00[0]), b = bits(j01[0]), c = bits(j10[0]), d = bits(j11[0]);
    std::uint64_t diff = 0;
    for (std::size_t k = 0; k < m; ++k) {
        diff |= (bits(j00[k]) ^ a) | (bits(j01[k]) ^ b) | (bits(j10[k]) ^ c) | (bits(j11[k]) ^ d);
    }
    return diff == 0;
}

// One row of n pixels, every quantity an array of the caller's.
struct ArrayPixels {
    const double *u, *v, *x, *y, *j00, *j01, *j10, *j11;
    std::uint64_t n;

    std::uint64_t rows() const { return 1; }
    std::uint64_t cols() const { return n; }
    // Results go through a block buffer: out may be one of the arrays.
    static constexpr bool in_place = false;
    // Calls f(k, x, y) with the centre of column c + k of row r, for k < m.
    template <class F>
    ZOLVIN_INLINE void for_centres(std::uint64_t, std::uint64_t c, std::size_t m, F f) const {
        const double* xc = x + c;
        const double* yc = y + c;
        for (std::size_t k = 0; k < m; ++k) f(k, xc[k], yc[k]);
    }
    // Whether the m Jacobians from column c on are one; if so j receives it.
    bool shared(std::uint64_t, std::uint64_t c, std::size_t m, double j[4]) const {
        if (!shared_jacobian(j00 + c, j01 + c, j10 + c, j11 + c, m)) return false;
        j[0] = j00[c], j[1] = j01[c], j[2] = j10[c], j[3] = j11[c];
        return true;
    }
    Pixel at(std::uint64_t, std::uint64_t c) const {
        return {u[c], v[c], x[c], y[c], j00[c], j01[c], j10[c], j11[c]};
    }
    Pixel4 at4(std::uint64_t, std::uint64_t c) const {
        return {load4(u + c),   load4(v + c),   load4(x + c),   load4(y + c),
                load4(j00 + c), load4(j01 + c), load4(j10 + c), load4(j11 + c)};
    }
};

// A window of a regular grid. u + k is u's successor k: indices stay below 2^53.
struct GridPixels {
    GridWindow g;

    std::uint64_t rows() const { return g.rows; }
    std::uint64_t cols() const { return g.cols; }
    double u_of(std::uint64_t c) const { return static_cast<double>(g.col0 + c); }
    double v_of(std::uint64_t r) const { return static_cast<double>(g.row0 + r); }
    static constexpr bool in_place = true;
    template <class F>
    ZOLVIN_INLINE void for_centres(std::uint64_t r, std::uint64_t c, std::size_t m, F f) const {
        const double v = v_of(r), u0 = u_of(c);
        const double xv = g.dxdv * v, yv = g.dydv * v;
        for (std::size_t k = 0; k < m; ++k) {
            const double u = u0 + static_cast<double>(static_cast<int>(k));
            f(k, (g.x0 + g.dxdu * u) + xv, (g.y0 + g.dydu * u) + yv);
        }
    }
    bool shared(std::uint64_t, std::uint64_t, std::size_t, double j[4]) const {
        j[0] = g.dxdu, j[1] = g.dxdv, j[2] = g.dydu, j[3] = g.dydv;
        return true;
    }
    Pixel at(std::uint64_t r, std::uint64_t c) const {
        const double u = u_of(c), v = v_of(r);
        return {u, v, (g.x0 + g.dxdu * u) + g.dxdv * v, (g.y0 + g.dydu * u) + g.dydv * v,
                g.dxdu, g.dxdv, g.dydu, g.dydv};
    }
    Pixel4 at4(std::uint64_t r, std::uint64_t c) const {
        const lanes u = splat(u_of(c)) + lanes{0.0, 1.0, 2.0, 3.0};
        const lanes v = splat(v_of(r));
        return {u, v, (splat(g.x0) + splat(g.dxdu) * u) + splat(g.dxdv) * v,
                (splat(g.y0) + splat(g.dydu) * u) + splat(g.dydv) * v,
                splat(g.dxdu), splat(g.dxdv), splat(g.dydu), splat(g.dydv)};
    }
};

// The lines of pixel_frac: one shared, or one per pixel from arrays.
struct SharedLine {
    double x0, y0, dir_y, dir_x;
    void at4(std::uint64_t, lanes l[4]) const {
        l[0] = splat(x0), l[1] = splat(y0), l[2] = splat(dir_y), l[3] = splat(dir_x);
    }
    void at(std::uint64_t, double l[4]) const { l[0] = x0, l[1] = y0, l[2] = dir_y, l[3] = dir_x; }
};

struct LineArrays {
    const double *x0, *y0, *dir_y, *dir_x;
    void at4(std::uint64_t c, lanes l[4]) const {
        l[0] = load4(x0 + c), l[1] = load4(y0 + c), l[2] = load4(dir_y + c),
        l[3] = load4(dir_x + c);
    }
    void at(std::uint64_t c, double l[4]) const {
        l[0] = x0[c], l[1] = y0[c], l[2] = dir_y[c], l[3] = dir_x[c];
    }
};

// Every pixel's result written after its inputs were read: out may be an input.
template <class Pixels, class Lines>
ZOLVIN_INLINE void pixel_frac_rows(const Pixels& px, const Lines& lines, double* out) {
    const std::uint64_t n = px.cols();
    for (std::uint64_t r = 0; r < px.rows(); ++r) {
        double* row = out + r * n;
        std::uint64_t c = 0;
        for (; n >= 4 && c <= n - 4; c += 4) {
            lanes l[4];
            lines.at4(c, l);
            const Pixel4 p = px.at4(r, c);
            store4(row + c, half_plane_fraction<lanes>(l[0], l[1], l[2], l[3], p.x, p.y, p.u,
                                                       p.v, p.j00, p.j01, p.j10, p.j11));
        }
        for (; c < n; ++c) {
            double l[4];
            lines.at(c, l);
            const Pixel p = px.at(r, c);
            row[c] = pixel_frac_1(l[0], l[1], l[2], l[3], p.x, p.y, p.u, p.v, p.j00, p.j01,
                                  p.j10, p.j11);
        }
    }
}

// Both array forms of pixel_frac: a line gives the shared form, a null one
// the line arrays.
ZOLVIN_CLONES("avx2", "default")
void pixel_frac_batch(const double line[4], const double* lx, const double* ly,
                      const double* ldy, const double* ldx, const ArrayPixels& px, double* out) {
    if (line != nullptr) {
        pixel_frac_rows(px, SharedLine{line[0], line[1], line[2], line[3]}, out);
    } else {
        pixel_frac_rows(px, LineArrays{lx, ly, ldy, ldx}, out);
    }
}

ZOLVIN_CLONES("avx2", "default")
void pixel_frac_grid(const GridPixels& px, const SharedLine& line, double* out) {
    pixel_frac_rows(px, line, out);
}

ArrayPixels array_pixels(std::uint64_t u, std::uint64_t v, std::uint64_t x, std::uint64_t y,
                         std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu,
                         std::uint64_t dydv, std::uint64_t n) {
    return {array_at<const double>(u),    array_at<const double>(v),
            array_at<const double>(x),    array_at<const double>(y),
            array_at<const double>(dxdu), array_at<const double>(dxdv),
            array_at<const double>(dydu), array_at<const double>(dydv), n};
}

}  // namespace

void pixel_frac(double x0, double y0, double dir_y, double dir_x,
                std::uint64_t x, std::uint64_t y, std::uint64_t u, std::uint64_t v,
                std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                std::uint64_t out, std::uint64_t n) {
    const double line[4] = {x0, y0, dir_y, dir_x};
    pixel_frac_batch(line, nullptr, nullptr, nullptr, nullptr,
                     array_pixels(u, v, x, y, dxdu, dxdv, dydu, dydv, n), array_at<double>(out));
}

void pixel_frac(std::uint64_t x0, std::uint64_t y0, std::uint64_t dir_y, std::uint64_t dir_x,
                std::uint64_t x, std::uint64_t y, std::uint64_t u, std::uint64_t v,
                std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                std::uint64_t out, std::uint64_t n) {
    pixel_frac_batch(nullptr, array_at<const double>(x0), array_at<const double>(y0),
                     array_at<const double>(dir_y), array_at<const double>(dir_x),
                     array_pixels(u, v, x, y, dxdu, dxdv, dydu, dydv, n), array_at<double>(out));
}

void grid_pixel_frac(const GridWindow& g, double x0, double y0, double dir_y, double dir_x,
                     double* out) {
    pixel_frac_grid(GridPixels{g}, SharedLine{x0, y0, dir_y, dir_x}, out);
}

// ---- Circle and strut ----
//
// The batches work through blocks of pixels. A first pass without branches,
// which the compiler vectorises, applies the early tests and marks with kRim
// the pixels they leave open; a second pass gives those to the scalar rule.
// Pixels of one grid often share a single Jacobian: when a whole block does
// (bit for bit), its pixel scale is computed once, as the scalar rule would
// compute it for each of them. Every value thus equals the scalar rule's.
//
// Over a grid, the batches also skip the columns of each row where the rule
// can only give 0: beyond the circle's reach, outside the strut's disc, or at
// least twice the scale beyond both strut edges on the same side. These
// regions are widened by many orders of magnitude more than the rounding of
// the rule's arithmetic, and by two columns; with a non-finite or outsized
// parameter no column is skipped.

namespace {

// The circle's early tests: 1 inside, 0 outside, kRim for the rim step.
ZOLVIN_INLINE double circle_early(double d2, double s, double radius) {
    const double far = d2 > (s + radius) * (s + radius) ? 0.0 : kRim;
    return (radius - s) * (radius - s) > d2 ? 1.0 : far;
}

// Step of the circle rule for a pixel within one pixel scale of the rim.
inline double circle_rim(double u, double v, double x, double y, double cx, double cy,
                         double radius, double s, double dx, double dy, double d2,
                         double dxdu, double dxdv, double dydu, double dydv) {
    // Centre on centre with radius == s: no tangent, but the pixel (no point
    // of it farther than s/sqrt(2) from its centre) lies wholly inside.
    // d2 == 0 exactly when d == 0, which would divide 0 by 0 below. A NaN
    // radius or scale is not this case: it goes on to the steps (and to 0).
    if (d2 == 0 && (radius - s) * (radius - s) == 0) {
        return 1;
    }
    const double d = std::sqrt(d2);
    const double px = (dx * radius) / d + cx;
    const double py = (radius * dy) / d + cy;
    // Direction (dy, -dx)/d, passed y first: the circle's side is inner.
    return pixel_frac_1(px, py, (-dx) / d, dy / d, x, y, u, v, dxdu, dxdv, dydu, dydv);
}

}  // namespace

double enclosed_circle_1(double u, double v, double x, double y,
                         double cx, double cy, double radius,
                         double dxdu, double dxdv, double dydu, double dydv) {
    const double s = pixel_scale(dxdu, dxdv, dydu, dydv);
    const double dx = x - cx;
    const double dy = y - cy;
    const double d2 = dx * dx + dy * dy;
    const double early = circle_early(d2, s, radius);
    if (early != kRim) {
        return early;
    }
    return circle_rim(u, v, x, y, cx, cy, radius, s, dx, dy, d2, dxdu, dxdv, dydu, dydv);
}

namespace {

// The strut's scalars with the disc's centre (mx, my) and squared radius r2
// formed once per call.
struct Strut {
    double mx, my, r2, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2;
};

Strut make_strut(double diameter, double x1, double y1, double dir_y1, double dir_x1,
                 double x2, double y2, double dir_y2, double dir_x2) {
    return {0.5 * (x2 + x1), 0.5 * (y1 + y2), (0.5 * diameter) * (0.5 * diameter),
            x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2};
}

inline double strut_core(const Pixel& p, const Strut& t) {
    const double x = p.x, y = p.y;
    const double d2 = (x - t.mx) * (x - t.mx) + (y - t.my) * (y - t.my);
    if (d2 >= t.r2) {
        return 0;
    }
    const double s = pixel_scale(p.j00, p.j01, p.j10, p.j11);
    const double l1 = (y - t.y1) * t.dir_x1 - (x - t.x1) * t.dir_y1;
    const double l2 = (y - t.y2) * t.dir_x2 - (x - t.x2) * t.dir_y2;
    if (2 * s > std::fabs(l1) || 2 * s > std::fabs(l2)) {
        return pixel_frac_1(t.x1, t.y1, t.dir_y1, t.dir_x1, x, y, p.u, p.v, p.j00, p.j01,
                            p.j10, p.j11) -
               pixel_frac_1(t.x2, t.y2, t.dir_y2, t.dir_x2, x, y, p.u, p.v, p.j00, p.j01,
                            p.j10, p.j11);
    }
    // Far from both edges: inside iff the centre is on the inner side of
    // exactly one of them, whichever order the edges come in.
    return l1 * l2 < 0 ? 1 : 0;
}

// ---- Regions of a grid window ----

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

// A row's centres are, in exact arithmetic, P + u (dxdu, dydu) with
// P = (x0 + dxdv v, y0 + dydv v): a straight line in the column index u.
struct Rows {
    GridWindow g;
    double alpha, root_alpha;  // squared length of the step, and the length
    double mag_x, mag_y;       // bounds of the terms of x and of y
    bool trusted;
};

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

// Every column live, none known to be 1.
struct AllColumns {
    std::uint64_t n;
    Span columns(std::uint64_t) const { return {0, n}; }
    Span inside(std::uint64_t) const { return {0, 0}; }
};

// The circle rule gives 0 beyond |radius| + s from the centre, and 1 within
// |radius - s| of it.
struct CircleRegion {
    Rows w;
    double cx, cy, outer, inner;
    bool trusted;

    Span columns(std::uint64_t r) const {
        if (!trusted) return {0, w.g.cols};
        return window_columns(w.g, chord(w, r, cx, cy, outer), 1);
    }
    Span inside(std::uint64_t r) const {
        if (!trusted || !(inner > 0)) return {0, 0};
        return window_columns(w.g, chord(w, r, cx, cy, inner), -1);
    }
};

CircleRegion circle_region(const GridWindow& g, double cx, double cy, double radius) {
    const Rows w = make_rows(g);
    const double s = pixel_scale(g.dxdu, g.dxdv, g.dydu, g.dydv);
    const double reach = std::fabs(radius) + s;
    const double size = reach + w.mag_x + w.mag_y + std::fabs(cx) + std::fabs(cy);
    const double margin = kSlack * size + kFloor;
    const double outer = reach + margin;
    const double inner = std::fabs(radius - s) - margin;
    return {w, cx, cy, outer, inner,
            w.trusted && tame(cx) && tame(cy) && tame(radius) && tame(outer)};
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

// The strut rule gives 0 outside its disc and where both edge values are at
// least 2 s, or both at most -2 s. Along a row, each edge value is (in exact
// arithmetic) a + b u; t1 and t2 are 2 s widened by its rounding.
struct StrutRegion {
    Rows w;
    Strut t;
    double reach, t1, t2;
    bool trusted;

    Span columns(std::uint64_t r) const {
        if (!trusted) return {0, w.g.cols};
        Interval live = chord(w, r, t.mx, t.my, reach);
        if (live.lo > live.hi) return {0, 0};
        const double v = static_cast<double>(w.g.row0 + r);
        const double px = w.g.x0 + w.g.dxdv * v;
        const double py = w.g.y0 + w.g.dydv * v;
        const double a1 = (py - t.y1) * t.dir_x1 - (px - t.x1) * t.dir_y1;
        const double b1 = w.g.dydu * t.dir_x1 - w.g.dxdu * t.dir_y1;
        const double a2 = (py - t.y2) * t.dir_x2 - (px - t.x2) * t.dir_y2;
        const double b2 = w.g.dydu * t.dir_x2 - w.g.dxdu * t.dir_y2;
        const Interval above = narrow(meet(at_least(a1, b1, t1), at_least(a2, b2, t2)));
        const Interval below = narrow(meet(at_least(-a1, -b1, t1), at_least(-a2, -b2, t2)));
        for (int pass = 0; pass < 2; ++pass) {
            trim(live, above);
            trim(live, below);
        }
        return window_columns(w.g, live, 1);
    }
    Span inside(std::uint64_t) const { return {0, 0}; }
};

StrutRegion strut_region(const GridWindow& g, const Strut& t) {
    const Rows w = make_rows(g);
    const double s = pixel_scale(g.dxdu, g.dxdv, g.dydu, g.dydv);
    const double radius = std::sqrt(t.r2);
    const double size = radius + w.mag_x + w.mag_y + std::fabs(t.mx) + std::fabs(t.my);
    const double reach = radius + kSlack * size + kFloor;
    const double e1 = (w.mag_x + std::fabs(t.x1)) * std::fabs(t.dir_y1) +
                      (w.mag_y + std::fabs(t.y1)) * std::fabs(t.dir_x1);
    const double e2 = (w.mag_x + std::fabs(t.x2)) * std::fabs(t.dir_y2) +
                      (w.mag_y + std::fabs(t.y2)) * std::fabs(t.dir_x2);
    const double t1 = 2 * s + (kSlack * e1 + kFloor);
    const double t2 = 2 * s + (kSlack * e2 + kFloor);
    const bool trusted = w.trusted && tame(t.x1) && tame(t.y1) && tame(t.dir_y1) &&
                         tame(t.dir_x1) && tame(t.x2) && tame(t.y2) && tame(t.dir_y2) &&
                         tame(t.dir_x2) && tame(t.r2) && tame(reach) && tame(t1) && tame(t2);
    return {w, t, reach, t1, t2, trusted};
}

// ---- The drivers ----

// Zeros outside the live columns of a row, unless out already holds them.
inline void clear_outside(double* row, Span live, std::uint64_t n, bool zeroed) {
    if (zeroed) return;
    std::fill(row, row + live.lo, 0.0);
    std::fill(row + live.hi, row + n, 0.0);
}

// Indices of the kRim entries of a block, in order; returns their count.
inline std::size_t rim_indices(const double* block, std::size_t m, std::uint16_t* rims) {
    std::size_t count = 0;
    for (std::size_t k = 0; k < m; ++k) {
        rims[count] = static_cast<std::uint16_t>(k);
        count += block[k] == kRim ? 1 : 0;
    }
    return count;
}

// Columns c + idx[0..3] of row r, whose Jacobian is j.
template <class Pixels>
ZOLVIN_INLINE Pixel4 gather4(const Pixels& px, std::uint64_t r, std::uint64_t c,
                             const std::uint16_t* idx, const double j[4]) {
    Pixel4 q{{}, {}, {}, {}, splat(j[0]), splat(j[1]), splat(j[2]), splat(j[3])};
    for (int l = 0; l < 4; ++l) {
        const Pixel p = px.at(r, c + idx[l]);
        q.u[l] = p.u, q.v[l] = p.v, q.x[l] = p.x, q.y[l] = p.y;
    }
    return q;
}

// circle_rim for four pixels of one scale s, lane by lane; the centred case
// is selected rather than branched to. Over splat Jacobians the quotients of
// the half-plane step are the same for every call, and are formed once.
ZOLVIN_INLINE lanes circle_rim4(const Pixel4& p, double cx, double cy, double radius, double s) {
    const lanes dx = p.x - cx;
    const lanes dy = p.y - cy;
    const lanes d2 = dx * dx + dy * dy;
    const lanes d = root(d2);
    const lanes px = (dx * radius) / d + cx;
    const lanes py = (radius * dy) / d + cy;
    const lanes f = half_plane_fraction<lanes>(px, py, (-dx) / d, dy / d, p.x, p.y, p.u, p.v,
                                               p.j00, p.j01, p.j10, p.j11);
    if ((radius - s) * (radius - s) == 0) return select(d2 == 0, splat(1.0), f);
    return f;
}

template <class Pixels, class Region>
ZOLVIN_INLINE void circle_rows(const Pixels& px, const Region& region, double cx, double cy,
                               double radius, double* out, bool zeroed) {
    double buffer[kBlock];
    std::uint16_t rims[kBlock];
    const std::uint64_t n = px.cols();
    for (std::uint64_t r = 0; r < px.rows(); ++r) {
        double* row = out + r * n;
        const Span live = region.columns(r);
        clear_outside(row, live, n, zeroed);
        Span whole = region.inside(r);
        whole.lo = std::min(std::max(whole.lo, live.lo), live.hi);
        whole.hi = std::min(std::max(whole.hi, whole.lo), live.hi);
        std::fill(row + whole.lo, row + whole.hi, 1.0);
        for (std::uint64_t c = live.lo; c < live.hi;) {
            if (c == whole.lo && whole.hi > whole.lo) {
                c = whole.hi;
                continue;
            }
            const std::uint64_t end = c < whole.lo ? whole.lo : live.hi;
            const std::size_t m = static_cast<std::size_t>(end - c < kBlock ? end - c : kBlock);
            double* block = Pixels::in_place ? row + c : buffer;
            std::size_t rim = 0;
            double j[4];
            if (px.shared(r, c, m, j)) {
                const double s = pixel_scale(j[0], j[1], j[2], j[3]);
                px.for_centres(r, c, m, [&](std::size_t k, double x, double y) {
                    const double dx = x - cx;
                    const double dy = y - cy;
                    block[k] = circle_early(dx * dx + dy * dy, s, radius);
                    rim += block[k] == kRim ? 1 : 0;
                });
                // The rim four pixels at a time, the scalar rule for the rest.
                if (rim > 0) rim = rim_indices(block, m, rims);
                std::size_t q = 0;
                for (; q + 4 <= rim; q += 4) {
                    const lanes f = circle_rim4(gather4(px, r, c, rims + q, j), cx, cy, radius, s);
                    for (int l = 0; l < 4; ++l) block[rims[q + l]] = f[l];
                }
                for (; q < rim; ++q) {
                    const Pixel p = px.at(r, c + rims[q]);
                    block[rims[q]] = enclosed_circle_1(p.u, p.v, p.x, p.y, cx, cy, radius,
                                                       p.j00, p.j01, p.j10, p.j11);
                }
            } else {
                for (std::size_t k = 0; k < m; ++k) {
                    const Pixel p = px.at(r, c + k);
                    const double s = pixel_scale(p.j00, p.j01, p.j10, p.j11);
                    const double dx = p.x - cx;
                    const double dy = p.y - cy;
                    block[k] = circle_early(dx * dx + dy * dy, s, radius);
                    rim += block[k] == kRim ? 1 : 0;
                }
                for (std::size_t k = 0; rim > 0 && k < m; ++k) {
                    if (block[k] == kRim) {
                        const Pixel p = px.at(r, c + k);
                        block[k] = enclosed_circle_1(p.u, p.v, p.x, p.y, cx, cy, radius,
                                                     p.j00, p.j01, p.j10, p.j11);
                        --rim;
                    }
                }
            }
            // Written only now: out may be one of the input arrays.
            if (!Pixels::in_place) std::memcpy(row + c, block, m * sizeof(double));
            c += m;
        }
    }
}

template <class Pixels, class Region>
ZOLVIN_INLINE void strut_rows(const Pixels& px, const Region& region, const Strut& t,
                              double* out, bool zeroed) {
    double buffer[kBlock];
    unsigned char outside_disc[kBlock];
    const std::uint64_t n = px.cols();
    for (std::uint64_t r = 0; r < px.rows(); ++r) {
        double* row = out + r * n;
        const Span live = region.columns(r);
        clear_outside(row, live, n, zeroed);
        for (std::uint64_t c = live.lo; c < live.hi; c += kBlock) {
            const std::size_t m =
                static_cast<std::size_t>(live.hi - c < kBlock ? live.hi - c : kBlock);
            double* block = Pixels::in_place ? row + c : buffer;
            // Blocks wholly outside the disc need nothing but the centres.
            std::size_t in_disc = 0;
            px.for_centres(r, c, m, [&](std::size_t k, double x, double y) {
                const double d2 = (x - t.mx) * (x - t.mx) + (y - t.my) * (y - t.my);
                outside_disc[k] = d2 >= t.r2;
                in_disc += d2 >= t.r2 ? 0 : 1;
            });
            double j[4];
            if (in_disc == 0) {
                std::fill(block, block + m, 0.0);
            } else if (px.shared(r, c, m, j)) {
                const double near = 2 * pixel_scale(j[0], j[1], j[2], j[3]);
                std::size_t rim = 0;
                px.for_centres(r, c, m, [&](std::size_t k, double x, double y) {
                    const double l1 = (y - t.y1) * t.dir_x1 - (x - t.x1) * t.dir_y1;
                    const double l2 = (y - t.y2) * t.dir_x2 - (x - t.x2) * t.dir_y2;
                    const double far = l1 * l2 < 0 ? 1.0 : 0.0;
                    const double inside =
                        near > std::fabs(l1) || near > std::fabs(l2) ? kRim : far;
                    block[k] = outside_disc[k] ? 0.0 : inside;
                    rim += block[k] == kRim ? 1 : 0;
                });
                for (std::size_t k = 0; rim > 0 && k < m; ++k) {
                    if (block[k] == kRim) {
                        block[k] = strut_core(px.at(r, c + k), t);
                        --rim;
                    }
                }
            } else {
                // Per-pixel scales: the branch on the disc test saves their
                // roots for the pixels outside it.
                for (std::size_t k = 0; k < m; ++k) {
                    block[k] = strut_core(px.at(r, c + k), t);
                }
            }
            // Written only now: out may be one of the input arrays.
            if (!Pixels::in_place) std::memcpy(row + c, block, m * sizeof(double));
        }
    }
}

ZOLVIN_CLONES("avx2", "default")
void circle_batch(const ArrayPixels& px, double cx, double cy, double radius, double* out) {
    circle_rows(px, AllColumns{px.n}, cx, cy, radius, out, false);
}

ZOLVIN_CLONES("arch=x86-64-v4", "avx2", "default")
void circle_grid(const GridPixels& px, double cx, double cy, double radius, double* out,
                 bool zeroed) {
    circle_rows(px, circle_region(px.g, cx, cy, radius), cx, cy, radius, out, zeroed);
}

ZOLVIN_CLONES("avx2", "default")
void strut_batch(const ArrayPixels& px, const Strut& t, double* out) {
    strut_rows(px, AllColumns{px.n}, t, out, false);
}

ZOLVIN_CLONES("avx2", "default")
void strut_grid(const GridPixels& px, const Strut& t, double* out, bool zeroed) {
    strut_rows(px, strut_region(px.g, t), t, out, zeroed);
}

}  // namespace

void enclosed_circle(std::uint64_t u, std::uint64_t v, std::uint64_t x, std::uint64_t y,
                     double cx, double cy, double radius,
                     std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                     std::uint64_t out, std::uint64_t n) {
    circle_batch(array_pixels(u, v, x, y, dxdu, dxdv, dydu, dydv, n), cx, cy, radius,
                 array_at<double>(out));
}

double enclosed_strut_1(double u, double v, double x, double y, double diameter,
                        double x1, double y1, double dir_y1, double dir_x1,
                        double x2, double y2, double dir_y2, double dir_x2,
                        double dxdu, double dxdv, double dydu, double dydv) {
    return strut_core({u, v, x, y, dxdu, dxdv, dydu, dydv},
                      make_strut(diameter, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2));
}

void enclosed_strut(std::uint64_t u, std::uint64_t v, std::uint64_t x, std::uint64_t y,
                    double diameter, double x1, double y1, double dir_y1, double dir_x1,
                    double x2, double y2, double dir_y2, double dir_x2,
                    std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                    std::uint64_t out, std::uint64_t n) {
    strut_batch(array_pixels(u, v, x, y, dxdu, dxdv, dydu, dydv, n),
                make_strut(diameter, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2),
                array_at<double>(out));
}

void grid_enclosed_circle(const GridWindow& g, double cx, double cy, double radius,
                          double* out, bool zeroed) {
    circle_grid(GridPixels{g}, cx, cy, radius, out, zeroed);
}

void grid_enclosed_strut(const GridWindow& g, double diameter, double x1, double y1,
                         double dir_y1, double dir_x1, double x2, double y2, double dir_y2,
                         double dir_x2, double* out, bool zeroed) {
    strut_grid(GridPixels{g}, make_strut(diameter, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2),
               out, zeroed);
}

}  // namespace zolvin
