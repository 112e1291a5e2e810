// The scatter kernel's geometry: one input pixel's coverage of the output
// cells (QuadCover, and SmallCover for pixels within a few cells), and which
// input pixels a band of output rows needs. Internal to scatter.cpp, which
// alone includes it: everything here has internal linkage.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "../lanes.hpp"
#include "../parallel.hpp"
#include "many.hpp"
#include "accumulate.hpp"

// A lambda inlined wherever it is called: one that is not is compiled once
// for the baseline target, whatever the clone that calls it.
#if defined(__GNUC__) || defined(__clang__)
#define ZOLVIN_LAMBDA_INLINE __attribute__((always_inline))
#else
#define ZOLVIN_LAMBDA_INLINE
#endif
// The loop that follows, over a handful of lanes or rows, written out whole.
#if defined(__GNUC__) || defined(__clang__)
#define ZOLVIN_UNROLL _Pragma("GCC unroll 16")
#else
#define ZOLVIN_UNROLL
#endif

namespace zolvin::region {

namespace {


using i64 = std::int64_t;
using u64 = std::uint64_t;


// ---- One quadrilateral ---------------------------------------------------------

// Coverage of the cells of a window (the cells of a quadrilateral's bounding
// box that the caller needs) by the quadrilateral: one thread's scratch,
// reused pixel after pixel.
class QuadCover {
public:
    // Corners in order round the quadrilateral; sign +1 when they run
    // counter-clockwise (in the cell frame, v up), -1 otherwise; the cells
    // wanted, [r0, r1) x [c0, c1) within its bounding box. Returns the
    // cells kept: those rows, and the columns from c0 or, when the
    // quadrilateral reaches further left, from column 0 or its own first
    // column on; f() then holds their coverages row-major, each in [0, 1],
    // exactly 0 or 1 where no edge passes. The work and the scratch are
    // those of the kept cells and the grid lines crossed in them, however
    // large the quadrilateral; and since it is cut in its own bounding
    // box's frame and kept from a column that does not depend on c0, a
    // cell's bits do not depend on which others were wanted.
    ZOLVIN_INLINE const CellWindow& cover(const CellPoint (&q)[4], double sign, i64 r0, i64 r1,
                                          i64 c1);
    const double* f() const { return f_.data(); }

private:
    ZOLVIN_INLINE void edge(CellPoint a, CellPoint b);
    ZOLVIN_INLINE void mark_horizontal(CellPoint a, CellPoint b);
    // A piece in row i and column j of the bounding box: left of the kept
    // columns it gives every kept cell of the row its height, right of them
    // nothing.
    void add(i64 i, double j, double area, double height) {
        if (j >= static_cast<double>(kc0_ + kept_.cols)) return;
        const auto row = static_cast<std::size_t>(i - kr0_);
        if (!(j >= static_cast<double>(kc0_))) {
            left_[row] += height;
            return;
        }
        const auto k = row * static_cast<std::size_t>(kept_.cols) +
                       static_cast<std::size_t>(static_cast<i64>(j) - kc0_);
        area_[k] += area + 0.0;  // + 0.0: the -0.0 of an untouched cell becomes +0.0
        height_[k] += height;
    }
    // The kept cells, in cell indices and from the bounding box's corner.
    CellWindow kept_{};
    i64 kr0_ = 0, kc0_ = 0;
    std::vector<double> area_, height_, f_, left_;
};


// Cell indices are kept within this, so that they and their differences
// convert to integers whatever the corners.
constexpr double kFar = 0x1p61;

// The cells of a quadrilateral's bounding box; none when a corner is NaN.
ZOLVIN_INLINE CellWindow quad_window(const CellPoint (&q)[4]) {
    double ulo = q[0].u, uhi = q[0].u, vlo = q[0].v, vhi = q[0].v;
    ZOLVIN_UNROLL
    for (int k = 1; k < 4; ++k) {
        ulo = std::min(ulo, q[k].u), uhi = std::max(uhi, q[k].u);
        vlo = std::min(vlo, q[k].v), vhi = std::max(vhi, q[k].v);
    }
    bool nan = false;
    ZOLVIN_UNROLL
    for (int k = 0; k < 4; ++k) nan = nan || q[k].u != q[k].u || q[k].v != q[k].v;
    if (nan) return {0, 0, 0, 0};
    ulo = std::clamp(ulo, -kFar, kFar), uhi = std::clamp(uhi, -kFar, kFar);
    vlo = std::clamp(vlo, -kFar, kFar), vhi = std::clamp(vhi, -kFar, kFar);
    const double j0 = std::floor(ulo), i0 = std::floor(vlo);
    const double cols = std::max(1.0, std::ceil(uhi) - j0);
    const double rows = std::max(1.0, std::ceil(vhi) - i0);
    return {static_cast<i64>(i0), static_cast<i64>(j0), static_cast<i64>(rows),
            static_cast<i64>(cols)};
}

// A horizontal edge adds no area and no height, but strictly inside a row it
// splits the cells it crosses: they are not wholly in or out.
void QuadCover::mark_horizontal(CellPoint a, CellPoint b) {
    const double i = std::floor(a.v);
    if (i == a.v || !(i >= static_cast<double>(kr0_)) ||
        i >= static_cast<double>(kr0_ + kept_.rows))
        return;
    const double j0 = std::max(static_cast<double>(kc0_), std::floor(std::min(a.u, b.u)));
    const double j1 = std::min(std::ceil(std::max(a.u, b.u)),
                               static_cast<double>(kc0_ + kept_.cols));
    const auto row = static_cast<std::size_t>(static_cast<i64>(i) - kr0_);
    for (double j = j0; j < j1; j += 1.0)
        area_[row * static_cast<std::size_t>(kept_.cols) +
              static_cast<std::size_t>(static_cast<i64>(j) - kc0_)] += 0.0;
}

// The directed edge a -> b in window coordinates (the window's first cell at
// (0, 0)), cut lower end first at the row and column lines it crosses.
void QuadCover::edge(CellPoint a, CellPoint b) {
    if (a.v == b.v) {
        mark_horizontal(a, b);
        return;
    }
    const bool up = b.v > a.v;
    const CellPoint lo = up ? a : b, hi = up ? b : a;
    const double du_dv = (hi.u - lo.u) / (hi.v - lo.v);
    const double dv_du = hi.u != lo.u ? (hi.v - lo.v) / (hi.u - lo.u) : 0.0;
    // Upward travel counts the areas and heights negative.
    const double sgn = up ? -1.0 : 1.0;
    // Only the kept rows.
    const double last = std::min(std::ceil(hi.v), static_cast<double>(kr0_ + kept_.rows));
    for (double y = std::max(static_cast<double>(kr0_), std::floor(lo.v)); y < last; y += 1.0) {
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
            add(i, j, sgn * (dv * ((j + 1.0) - mid)), sgn * dv);
            pu = qu, pv = qv;
        };
        // Column lines strictly between ua and ub, those from the kept
        // cells' left edge to their right one: the piece up to the first is
        // left of them (or in the first), the one after the last right of
        // them (or in the last).
        const double k0 = std::max(static_cast<double>(kc0_), std::floor(std::min(ua, ub)) + 1.0);
        const double k1 = std::min(static_cast<double>(kc0_ + kept_.cols),
                                   std::ceil(std::max(ua, ub)) - 1.0);
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

const CellWindow& QuadCover::cover(const CellPoint (&q)[4], double sign, i64 r0, i64 r1,
                                   i64 c1) {
    const CellWindow box = quad_window(q);
    const i64 c0 = std::max<i64>(box.col0, 0);
    kept_ = {r0, c0, r1 - r0, std::max<i64>(c1 - c0, 0)};
    kr0_ = r0 - box.row0, kc0_ = c0 - box.col0;
    const auto n = static_cast<std::size_t>(kept_.rows * kept_.cols);
    const auto rows = static_cast<std::size_t>(kept_.rows);
    if (area_.size() < n) {
        area_.resize(2 * n), height_.resize(2 * n), f_.resize(2 * n);
    }
    if (left_.size() < rows) left_.resize(2 * rows);
    // -0.0 marks a cell no sub-piece has landed in.
    std::fill_n(area_.data(), n, -0.0);
    std::fill_n(height_.data(), n, 0.0);
    std::fill_n(left_.data(), rows, 0.0);
    const double du = static_cast<double>(box.col0), dv = static_cast<double>(box.row0);
    // The bounding box's coordinates: exact, its corner being whole numbers
    // at most the points' own magnitude.
    CellPoint p[4];
    for (int k = 0; k < 4; ++k) p[k] = {q[k].u - du, q[k].v - dv};
    edge(p[0], p[1]);
    edge(p[1], p[2]);
    edge(p[2], p[3]);
    edge(p[3], p[0]);
    // Along each row: a cell's area plus the heights on its left, with the
    // quadrilateral's orientation; a cell no edge passed is wholly in or out.
    for (std::size_t i = 0; i < rows; ++i) {
        double run = left_[i];
        for (std::size_t j = 0; j < static_cast<std::size_t>(kept_.cols); ++j) {
            const std::size_t k = i * static_cast<std::size_t>(kept_.cols) + j;
            const double a = area_[k];
            double t = sign * (a + run);
            run += height_[k];
            if (a == 0.0 && std::signbit(a)) t = t > 0.5 ? 1.0 : 0.0;
            f_[k] = std::clamp(t, 0.0, 1.0) + 0.0;
        }
    }
    return kept_;
}

// ---- A small quadrilateral, its four edges side by side ----------------------

// A quadrilateral is small when no edge spans a whole cell either way: each
// edge then crosses at most one row line and one column line, its window is
// at most 3 x 3 cells, and its four edges run side by side in four lanes
// over all of them with no branch on where they fall (branches on that
// mispredict once per pixel or more, which costs more than all the
// arithmetic; so did cutting the edges into pieces and adding each to its
// cell through memory).
ZOLVIN_INLINE bool small_quad(const CellPoint (&q)[4]) {
    bool ok = true;
    ZOLVIN_UNROLL
    for (int k = 0; k < 4; ++k) {
        const CellPoint a = q[k], b = q[(k + 1) % 4];
        ok = ok && std::fabs(b.u - a.u) < 1.0 && std::fabs(b.v - a.v) < 1.0;
    }
    return ok;
}

// (a1, a2, a3, a0): each edge's end is the next edge's start.
#ifndef ZOLVIN_SCALAR
ZOLVIN_INLINE lanes next(lanes a) { return __builtin_shufflevector(a, a, 1, 2, 3, 0); }
#else
ZOLVIN_INLINE lanes next(lanes a) { return lanes{{a.e[1], a.e[2], a.e[3], a.e[0]}}; }
#endif

// The coverages of a small quadrilateral's window: rows i0 .. i0 + 2 and
// columns j0 .. j0 + 3, f[r] the four cells of row r (0 beyond the window);
// rows of them (at most 3) hold its window's rows, the others only zeros.
struct SmallCover {
    i64 i0, j0;
    int rows;
    lanes f[3];
    double at(i64 i, i64 j) const { return f[i - i0][static_cast<int>(j - j0)]; }
};

// {sum of a, sum of b, sum of c, 0}, each over the four lanes as (l0 + l1) +
// (l2 + l3): a transposition, the four edges' parts of three cells added up.
#ifndef ZOLVIN_SCALAR
ZOLVIN_INLINE lanes lane_sums(lanes a, lanes b, lanes c) {
    const lanes z = splat(0.0);
    const lanes ab = __builtin_shufflevector(a, b, 0, 4, 2, 6) +
                     __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const lanes cz = __builtin_shufflevector(c, z, 0, 4, 2, 6) +
                     __builtin_shufflevector(c, z, 1, 5, 3, 7);
    return __builtin_shufflevector(ab, cz, 0, 1, 4, 5) +
           __builtin_shufflevector(ab, cz, 2, 3, 6, 7);
}
#else
ZOLVIN_INLINE lanes lane_sums(lanes a, lanes b, lanes c) {
    auto sum = [](const lanes& x) { return (x[0] + x[1]) + (x[2] + x[3]); };
    return lanes{{sum(a), sum(b), sum(c), 0.0}};
}
#endif

// Coverages this close to 0 or 1 are taken as whole: in a cell no edge
// crosses, the edges' parts (each exact there, D) add up to 0 or 1 but for
// the rounding of their sum, a few 2^-54 at most.
constexpr double kWhole = 0x1p-50;

// The cells of a small quadrilateral (corners q in order, sign +1 when they
// run counter-clockwise), by Green's theorem cell by cell: edge e, cut to
// row r (v from va to vb, u from ua to ub, linear in v), gives cell j of
// the row D (g(j + 1) - g(j)), D = its travel down the row and g(x) the
// mean of max(0, x - u) along it: 0 left of the edge, exactly D right of
// it. The four edges run side by side in the lanes, three cells a row.
ZOLVIN_INLINE void small_cover(const CellPoint (&q)[4], const CellWindow& w, double sign,
                               SmallCover& out) {
    const double j0 = static_cast<double>(w.col0), i0 = static_cast<double>(w.row0);
    const double cols = static_cast<double>(w.cols);
    out.i0 = w.row0, out.j0 = w.col0;
    out.rows = static_cast<int>(w.rows);
    // Window coordinates (exact), edge k from corner k to corner k + 1.
    const lanes au = {q[0].u - j0, q[1].u - j0, q[2].u - j0, q[3].u - j0};
    const lanes av = {q[0].v - i0, q[1].v - i0, q[2].v - i0, q[3].v - i0};
    const lanes bu = next(au), bv = next(av);
    const lane_mask up = bv > av;
    const lanes lu = select(up, au, bu), lv = select(up, av, bv);
    const lanes hu = select(up, bu, au), hv = select(up, bv, av);
    const lanes dv = hv - lv;
    const lanes du_dv = select(dv == 0.0, splat(0.0), (hu - lu) / select(dv == 0.0, splat(1.0), dv));
    const lanes lane = {0.0, 1.0, 2.0, 3.0};
    const lane_mask inside = lane < cols;
    out.f[2] = splat(0.0);
    ZOLVIN_UNROLL
    for (int r = 0; r < 3; ++r) {
        // Most windows are two rows high.
        if (r == 2 && w.rows < 3) break;
        const double y = static_cast<double>(r);
        // The edge within the row (where it passes through it).
        const lanes va = select(lv > y, lv, splat(y));
        const lanes vb = select(hv < y + 1.0, hv, splat(y + 1.0));
        const lanes ua = select(va == lv, lu, lu + (va - lv) * du_dv);
        const lanes ub = select(vb == hv, hu, lu + (vb - lv) * du_dv);
        const lanes d = select(vb > va, select(up, va - vb, vb - va), splat(0.0));
        // (A level edge adds nothing: d is 0.)
        const lanes lo = select(ua < ub, ua, ub), hi = select(ua < ub, ub, ua);
        const lanes mid = (ua + ub) * 0.5;
        const lanes wid = hi - lo;
        const lanes half = select(wid > 0.0, 0.5 / select(wid > 0.0, wid, splat(1.0)), splat(0.0));
        auto g = [&](double x) ZOLVIN_LAMBDA_INLINE {
            const lanes in = (x - lo) * (x - lo) * half;
            return select(hi <= x, x - mid, select(lo < x, in, splat(0.0)));
        };
        const lanes g1 = g(1.0), g2 = g(2.0), g3 = g(3.0);
        const lanes c0 = d * g1;
        const lanes c1 = select(hi <= 1.0, d, d * (g2 - g1));
        const lanes c2 = select(hi <= 2.0, d, d * (g3 - g2));
        lanes t = sign * lane_sums(c0, c1, c2);
        t = select(t < kWhole, splat(0.0), select(t > 1.0 - kWhole, splat(1.0), t));
        out.f[r] = select(inside, t + 0.0, splat(0.0));
    }
}

}  // namespace

}  // namespace zolvin::region
