// The scatter kernel: each input pixel's coverage of the output cells it
// overlaps, added to the output band by band (see scatter.hpp).
#include "scatter.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "../lanes.hpp"
#include "../parallel.hpp"
#include "many.hpp"

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

// Output rows per band dealt to a thread, at least: fewer would walk the
// input's rows more often than they pay.
constexpr i64 kMinBandRows = 32;
// And at most, on one thread too: an input row crosses the output
// obliquely, and a band this high keeps the cells it touches (and their
// pages) in cache from one input row to the next; a whole 4096^2 output
// at once runs four times slower per pixel.
constexpr i64 kMaxBandRows = 64;
// Bands per thread, so that a thread whose bands hold little input work
// takes more of them.
constexpr u64 kBandsPerThread = 4;
// Input rows between two polls for Ctrl-C.
constexpr i64 kPollRows = 64;
// Columns per block of a mesh's extents.
constexpr i64 kBlock = 32;

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
// at most 3 x 3 cells, and its four edges are cut side by side in four lanes
// with no branch on where they fall (branches on that mispredict once per
// pixel or more, which costs more than all the arithmetic).
ZOLVIN_INLINE bool small_quad(const CellPoint (&q)[4]) {
    bool ok = true;
    ZOLVIN_UNROLL
    for (int k = 0; k < 4; ++k) {
        const CellPoint a = q[k], b = q[(k + 1) % 4];
        ok = ok && std::fabs(b.u - a.u) < 1.0 && std::fabs(b.v - a.v) < 1.0;
    }
    return ok;
}

#ifndef ZOLVIN_SCALAR
ZOLVIN_INLINE lane_mask both(lane_mask a, lane_mask b) { return a & b; }
ZOLVIN_INLINE lane_mask either(lane_mask a, lane_mask b) { return a | b; }
// (a1, a2, a3, a0): each edge's end is the next edge's start.
ZOLVIN_INLINE lanes next(lanes a) { return __builtin_shufflevector(a, a, 1, 2, 3, 0); }
#else
ZOLVIN_INLINE lane_mask both(lane_mask a, lane_mask b) {
    lane_mask m;
    for (int l = 0; l < 4; ++l) m.e[l] = a.e[l] && b.e[l];
    return m;
}
ZOLVIN_INLINE lane_mask either(lane_mask a, lane_mask b) {
    lane_mask m;
    for (int l = 0; l < 4; ++l) m.e[l] = a.e[l] || b.e[l];
    return m;
}
ZOLVIN_INLINE lanes next(lanes a) { return lanes{{a.e[1], a.e[2], a.e[3], a.e[0]}}; }
#endif

// Whole parts of four values in [0, 2^31), as ints and as doubles: floor,
// for the window coordinates of a small quadrilateral, which are never
// negative.
#ifndef ZOLVIN_SCALAR
typedef int ints4 __attribute__((vector_size(16)));
ZOLVIN_INLINE ints4 whole(lanes a) { return __builtin_convertvector(a, ints4); }
ZOLVIN_INLINE lanes as_lanes(ints4 a) { return __builtin_convertvector(a, lanes); }
#else
struct ints4 {
    int e[4];
    int operator[](int l) const { return e[l]; }
    ints4 operator*(int k) const { return {{e[0] * k, e[1] * k, e[2] * k, e[3] * k}}; }
    ints4 operator+(const ints4& o) const {
        return {{e[0] + o.e[0], e[1] + o.e[1], e[2] + o.e[2], e[3] + o.e[3]}};
    }
};
ZOLVIN_INLINE ints4 whole(lanes a) {
    ints4 r;
    for (int l = 0; l < 4; ++l) r.e[l] = static_cast<int>(a.e[l]);
    return r;
}
ZOLVIN_INLINE lanes as_lanes(ints4 a) {
    lanes r;
    for (int l = 0; l < 4; ++l) r.e[l] = static_cast<double>(a.e[l]);
    return r;
}
#endif
ZOLVIN_INLINE lanes floor_small(lanes a) { return as_lanes(whole(a)); }

// The coverages of a small quadrilateral's window: rows i0 .. i0 + 2 and
// columns j0 .. j0 + 3, f[r] the four cells of row r (0 beyond the window).
struct SmallCover {
    i64 i0, j0;
    lanes f[3];
    double at(i64 i, i64 j) const { return f[i - i0][static_cast<int>(j - j0)]; }
};

// A piece of the four edges, lane by lane, from p to q: its area right of it
// in its cell and its height into the window's scratch (rows of four cells,
// scalar stores and loads only: a vector store read back in parts, or parts
// read back as a vector, would wait for the stores to land).
ZOLVIN_INLINE void add_pieces(lanes pu, lanes pv, lanes qu, lanes qv, lanes sgn, double* area,
                              double* height) {
    const lanes dv = qv - pv;
    const lanes mu = (pu + qu) * 0.5;
    const ints4 ji = whole(mu);
    const lanes j = as_lanes(ji);
    const ints4 at = whole((pv + qv) * 0.5) * 4 + ji;
    // A piece splits its cell unless it has no length or lies on a row line.
    const lane_mask empty = both(pu == qu, pv == qv);
    const lane_mask on_line = both(dv == 0.0, floor_small(pv) == pv);
    const lane_mask splits = invert(either(empty, on_line));
    const lanes a = select(splits, sgn * (dv * ((j + 1.0) - mu)) + 0.0, splat(-0.0));
    const lanes h = sgn * dv;
    area[at[0]] += a[0], height[at[0]] += h[0];
    area[at[1]] += a[1], height[at[1]] += h[1];
    area[at[2]] += a[2], height[at[2]] += h[2];
    area[at[3]] += a[3], height[at[3]] += h[3];
}

// The cells of a small quadrilateral (corners q in order, sign +1 when they
// run counter-clockwise): the same Green's sums as QuadCover, each edge cut
// at its row line and its column line (where it crosses one) in the order
// met from its lower end.
ZOLVIN_INLINE void small_cover(const CellPoint (&q)[4], const CellWindow& w, double sign,
                               SmallCover& out) {
    const double j0 = static_cast<double>(w.col0), i0 = static_cast<double>(w.row0);
    const double cols = static_cast<double>(w.cols);
    out.i0 = w.row0, out.j0 = w.col0;
    // Window coordinates (exact), edge k from corner k to corner k + 1.
    const lanes au = {q[0].u - j0, q[1].u - j0, q[2].u - j0, q[3].u - j0};
    const lanes av = {q[0].v - i0, q[1].v - i0, q[2].v - i0, q[3].v - i0};
    const lanes bu = next(au), bv = next(av);
    const lane_mask up = bv > av;
    const lanes lu = select(up, au, bu), lv = select(up, av, bv);
    const lanes hu = select(up, bu, au), hv = select(up, bv, av);
    // Upward travel counts the areas and heights negative.
    const lanes sgn = select(up, splat(-1.0), splat(1.0));
    const lanes du = hu - lu, dv = hv - lv;
    const lanes du_dv = select(dv == 0.0, splat(0.0), du / select(dv == 0.0, splat(1.0), dv));
    const lanes dv_du = select(du == 0.0, splat(0.0), dv / select(du == 0.0, splat(1.0), du));
    // The row line strictly between the ends, if any, else the upper end.
    const lanes y = floor_small(hv);
    const lane_mask row = both(y > lv, y < hv);
    const lanes ru = select(row, lu + (y - lv) * du_dv, hu), rv = select(row, y, hv);
    // The column line strictly between the ends, if any, else the upper end.
    const lanes umin = select(lu < hu, lu, hu), umax = select(lu < hu, hu, lu);
    const lanes k = floor_small(umax);
    const lane_mask col = both(k > umin, k < umax);
    lanes kv = lv + (k - lu) * dv_du;
    kv = select(kv < lv, lv, select(kv > hv, hv, kv));
    const lanes cu = select(col, k, hu), cv = select(col, kv, hv);
    // Which comes first from the lower end (horizontal edges: by u).
    const lanes sr = (rv - lv) + select(ru < lu, lu - ru, ru - lu);
    const lanes sc = (cv - lv) + select(cu < lu, lu - cu, cu - lu);
    const lane_mask rfirst = sr <= sc;
    const lanes p1u = select(rfirst, ru, cu), p1v = select(rfirst, rv, cv);
    const lanes p2u = select(rfirst, cu, ru), p2v = select(rfirst, cv, rv);
    double area[16], height[16];
    ZOLVIN_UNROLL
    for (int m = 0; m < 16; ++m) area[m] = -0.0, height[m] = 0.0;
    add_pieces(lu, lv, p1u, p1v, sgn, area, height);
    add_pieces(p1u, p1v, p2u, p2v, sgn, area, height);
    add_pieces(p2u, p2v, hu, hv, sgn, area, height);
    // Along each row, as QuadCover does; cells right of the window are 0.
    const lanes lane = {0.0, 1.0, 2.0, 3.0};
    const lane_mask inside = lane < cols;
    ZOLVIN_UNROLL
    for (int r = 0; r < 3; ++r) {
        const double* ar = area + 4 * r;
        const double* hr = height + 4 * r;
        const lanes a = {ar[0], ar[1], ar[2], ar[3]};
        double run = 0.0;
        const lanes t = add_heights(a, lanes{hr[0], hr[1], hr[2], hr[3]}, run);
        out.f[r] = select(inside, cover4(t, a, sign), splat(0.0));
    }
}

// ---- Which input pixels a band needs -----------------------------------------

// The columns c in [0, n) with lo < a + m c < hi, or a few more, as
// [first, last): callers test each pixel itself.
std::pair<i64, i64> columns_between(double a, double m, double lo, double hi, i64 n) {
    const double top = static_cast<double>(n);
    if (m == 0.0 || !std::isfinite(m)) {
        if (lo < a && a < hi) return {0, n};
        return {0, m == 0.0 ? 0 : n};
    }
    double c0 = (lo - a) / m, c1 = (hi - a) / m;
    if (m < 0) std::swap(c0, c1);
    const double first = std::clamp(std::floor(c0), 0.0, top);
    const double last = std::clamp(std::ceil(c1) + 1.0, 0.0, top);
    if (!(last > first)) return {0, 0};  // NaN included: no column
    return {static_cast<i64>(first), static_cast<i64>(last)};
}

// A mesh's extent per input row and block of kBlock columns: where a band's
// pixels lie is read from these before any pixel is looked at.
struct MeshExtents {
    i64 blocks = 0;
    std::vector<double> ulo, uhi, vlo, vhi;  // rows x blocks

    void build(const InputNodes& in, u64 n_threads) {
        blocks = (in.cols + kBlock - 1) / kBlock;
        const auto n = static_cast<std::size_t>(in.rows * blocks);
        ulo.assign(n, 0.0), uhi.assign(n, 0.0), vlo.assign(n, 0.0), vhi.assign(n, 0.0);
        split_range(static_cast<u64>(in.rows), n_threads, [&](u64 r0, u64 r1) {
            for (auto r = static_cast<i64>(r0); r < static_cast<i64>(r1); ++r) {
                for (i64 b = 0; b < blocks; ++b) {
                    double a = INFINITY, bb = -INFINITY, c = INFINITY, d = -INFINITY;
                    const i64 end = std::min(in.cols, (b + 1) * kBlock);
                    for (i64 R = r; R <= r + 1; ++R) {
                        for (i64 C = b * kBlock; C <= end; ++C) {
                            const CellPoint p = in.node(R, C);
                            a = std::min(a, p.u), bb = std::max(bb, p.u);
                            c = std::min(c, p.v), d = std::max(d, p.v);
                        }
                    }
                    const auto k = static_cast<std::size_t>(r * blocks + b);
                    ulo[k] = a, uhi[k] = bb, vlo[k] = c, vhi[k] = d;
                }
            }
        });
    }
};

// Asked before each input row whether to stop: the thread that polls asks
// the interpreter every kPollRows rows and tells the others.
struct Stop {
    const std::function<bool()>* poll;
    std::atomic<bool>* cancel;
    bool operator()(i64 r) const {
        if (poll && r % kPollRows == kPollRows - 1 && (*poll)()) cancel->store(true);
        return cancel->load(std::memory_order_relaxed);
    }
};

// Calls visit(r, c, corners) for the input pixels of rows [first, in.rows),
// in input order, that may meet output rows [b0, b1) and columns [c0, c1)
// (the caller tests each pixel itself); stops early when stop says so.
template <class Visit>
ZOLVIN_INLINE void walk(const InputNodes& in, const MeshExtents& ext, i64 b0, i64 b1, i64 c0,
                        i64 c1, const Visit& visit, const Stop& stop, i64 first_row = 0) {
    const double blo = static_cast<double>(b0), bhi = static_cast<double>(b1);
    const double clo = static_cast<double>(c0), chi = static_cast<double>(c1);
    if (in.affine) {
        // Centres move along a row by (m00, m10); a pixel reaches half its
        // extent either way; one cell more for rounding.
        const double hu = 0.5 * (std::fabs(in.m00) + std::fabs(in.m01)) + 1.0;
        const double hv = 0.5 * (std::fabs(in.m10) + std::fabs(in.m11)) + 1.0;
        for (i64 r = first_row; r < in.rows; ++r) {
            if (stop(r)) return;
            const double rr = static_cast<double>(in.row0 + r);
            const double c00 = static_cast<double>(in.col0);
            const double ua = in.tu + in.m00 * c00 + in.m01 * rr;
            const double va = in.tv + in.m10 * c00 + in.m11 * rr;
            auto [f0, l0] = columns_between(va, in.m10, blo - hv, bhi + hv, in.cols);
            auto [f1, l1] = columns_between(ua, in.m00, clo - hu, chi + hu, in.cols);
            const i64 first = std::max(f0, f1), last = std::min(l0, l1);
            if (first >= last) continue;
            CellPoint q[4];
            q[0] = in.node(r, first);
            q[3] = in.node(r + 1, first);
            for (i64 c = first; c < last; ++c) {
                q[1] = in.node(r, c + 1);
                q[2] = in.node(r + 1, c + 1);
                visit(r, c, q);
                q[0] = q[1], q[3] = q[2];
            }
        }
        return;
    }
    for (i64 r = first_row; r < in.rows; ++r) {
        if (stop(r)) return;
        for (i64 b = 0; b < ext.blocks; ++b) {
            const auto k = static_cast<std::size_t>(r * ext.blocks + b);
            if (!(ext.vhi[k] > blo && ext.vlo[k] < bhi && ext.uhi[k] > clo && ext.ulo[k] < chi))
                continue;
            const i64 end = std::min(in.cols, (b + 1) * kBlock);
            CellPoint q[4];
            q[0] = in.node(r, b * kBlock);
            q[3] = in.node(r + 1, b * kBlock);
            for (i64 c = b * kBlock; c < end; ++c) {
                q[1] = in.node(r, c + 1);
                q[2] = in.node(r + 1, c + 1);
                visit(r, c, q);
                q[0] = q[1], q[3] = q[2];
            }
        }
    }
}

// The orientation of a quadrilateral: +1 counter-clockwise, -1 clockwise
// (twice its signed area, from its diagonals).
ZOLVIN_INLINE double orientation(const CellPoint (&q)[4]) {
    const double a = (q[2].u - q[0].u) * (q[3].v - q[1].v) - (q[2].v - q[0].v) * (q[3].u - q[1].u);
    return a < 0 ? -1.0 : 1.0;
}

// The rows and columns of a window inside [b0, b1) x [c0, c1), as
// (first row, end row, first column, end column); empty when first >= end.
struct Clip {
    i64 r0, r1, c0, c1;
    bool empty() const { return r0 >= r1 || c0 >= c1; }
};
ZOLVIN_INLINE Clip clip(const CellWindow& w, i64 b0, i64 b1, i64 c0, i64 c1) {
    return {std::max(w.row0, b0), std::min(w.row0 + w.rows, b1), std::max(w.col0, c0),
            std::min(w.col0 + w.cols, c1)};
}

// Threads over bands of output rows, dealt from a counter: band(cover,
// first row, end row, stop) walks one, with the worker's own QuadCover; the
// calling thread polls for Ctrl-C.
template <class Band>
void by_bands(const OutputCells& cells, const ScatterOptions& options, const Band& band) {
    if (cells.rows <= 0) return;
    const u64 threads = std::max<u64>(1, options.n_threads);
    const i64 want = static_cast<i64>(threads * kBandsPerThread);
    const i64 size = std::min(kMaxBandRows, std::max(kMinBandRows, (cells.rows + want - 1) / want));
    const i64 bands = (cells.rows + size - 1) / size;
    const u64 workers = std::min<u64>(threads, static_cast<u64>(bands));
    std::atomic<i64> next{0};
    std::atomic<bool> cancel{false};
    split_range(workers, workers, [&](u64 first, u64) {
        const bool polls = first + 1 == workers && static_cast<bool>(options.poll);
        const Stop stop{polls ? &options.poll : nullptr, &cancel};
        QuadCover qc;
        for (i64 b; !cancel.load() && (b = next.fetch_add(1)) < bands;) {
            const i64 r0 = cells.row0 + b * size;
            band(qc, r0, std::min(cells.row0 + cells.rows, r0 + size), stop);
        }
    });
    if (cancel.load()) throw Cancelled{};
}

// ---- Spreading an image --------------------------------------------------------

// What the sums take: the flux (f / a_k) v, or the mean's f w v with its
// weights f w and variances (f w)^2 s2, w and s2 being the pixel's weight
// and variance where there are any.
struct Sums {
    Conserve mode;
    bool weights, variance;
};

// One input pixel's value, for one image band.
struct Value {
    double v, per_area, w, s2;
};

// What one pixel adds where it covers f of a cell; nothing (+0.0, whatever
// v) where f is 0. T: a double or four lanes of cells.
template <Sums S, class T>
struct Adds {
    T sum, weight, var;
    ZOLVIN_INLINE Adds(T f, const Value& x) {
        const auto keep = [&](T a) ZOLVIN_LAMBDA_INLINE { return select(f > 0.0, a, T{}); };
        if constexpr (S.mode == Conserve::flux) {
            sum = keep((f * x.per_area) * x.v);
            weight = f;
        } else {
            const T c = S.weights ? f * x.w : f;
            sum = keep(c * x.v);
            weight = c;
            if constexpr (S.variance) var = keep((c * c) * x.s2);
        }
    }
};

// The output planes of one image band.
struct Planes {
    double* sum;
    double* weight;
    double* var;
};

// A pixel's coverages cov(i, j) added to the cells of the clip.
template <Sums S, class Cov>
ZOLVIN_INLINE void spread(const Cov& cov, const Clip& k, const Value& x, const Planes& o,
                          const OutputCells& cells) {
    for (i64 i = k.r0; i < k.r1; ++i) {
        const i64 at = (i - cells.row0) * cells.cols - cells.col0;
        for (i64 j = k.c0; j < k.c1; ++j) {
            const Adds<S, double> a(cov(i, j), x);
            o.sum[at + j] += a.sum;
            o.weight[at + j] += a.weight;
            if constexpr (S.variance) o.var[at + j] += a.var;
        }
    }
}

// A small pixel's 3 x 4 cells at once where they all lie in the band and
// the output (those beyond its window add +0.0); else cell by cell, with
// the same operations.
template <Sums S>
ZOLVIN_INLINE void spread_small(const SmallCover& s, const Clip& k, bool whole, const Value& x,
                                const Planes& o, const OutputCells& cells) {
    if (!whole) {
        spread<S>([&](i64 i, i64 j) ZOLVIN_LAMBDA_INLINE { return s.at(i, j); }, k, x, o, cells);
        return;
    }
    ZOLVIN_UNROLL
    for (int r = 0; r < 3; ++r) {
        const i64 at = (s.i0 + r - cells.row0) * cells.cols + (s.j0 - cells.col0);
        const Adds<S, lanes> a(s.f[r], x);
        store4(o.sum + at, load4(o.sum + at) + a.sum);
        store4(o.weight + at, load4(o.weight + at) + a.weight);
        if constexpr (S.variance) store4(o.var + at, load4(o.var + at) + a.var);
    }
}

// 1 / the area of a quadrilateral, in cells (from its diagonals): the flux
// weight of a cell it covers f of is f / its area, so that its weights add
// up to 1 to rounding however far its corners lie from the origin. A
// quadrilateral without area spreads nothing (its cells' f are all 0).
ZOLVIN_INLINE double reciprocal_area(const CellPoint (&q)[4]) {
    const double cross =
        (q[2].u - q[0].u) * (q[3].v - q[1].v) - (q[2].v - q[0].v) * (q[3].u - q[1].u);
    return cross != 0.0 ? 2.0 / std::fabs(cross) : 0.0;
}

// The sign of the grid's quadrilaterals: their corners run counter-clockwise
// where M keeps the orientation.
double grid_sign(const InputNodes& in) {
    return in.m00 * in.m11 - in.m01 * in.m10 < 0 ? -1.0 : 1.0;
}

// Whether every pixel of a grid is small (all are the same parallelogram).
bool grid_small(const InputNodes& in) {
    return in.affine && std::fabs(in.m00) < 1.0 && std::fabs(in.m10) < 1.0 &&
           std::fabs(in.m01) < 1.0 && std::fabs(in.m11) < 1.0;
}

// One input pixel's coverages, by whichever path fits it: small_cover for a
// small one, QuadCover for any other.
struct PixelCover {
    bool small;
    SmallCover sc;
    const CellWindow* w;
    const double* f;
    double operator()(i64 i, i64 j) const {
        return small ? sc.at(i, j) : f[(i - w->row0) * w->cols + (j - w->col0)];
    }
};

ZOLVIN_INLINE void cover_pixel(const InputNodes& in, bool all_small, double sign,
                               const CellPoint (&q)[4], const CellWindow& w, const Clip& k,
                               QuadCover& qc, PixelCover& pc) {
    const double s = in.affine ? sign : orientation(q);
    pc.small = all_small || (!in.affine && small_quad(q));
    if (pc.small) {
        small_cover(q, w, s, pc.sc);
    } else {
        pc.w = &qc.cover(q, s, k.r0, k.r1, k.c1);
        pc.f = qc.f();
    }
}

// A grid's pixel whose window is one cell lies wholly in it: it covers |det
// M| of it, its flux weight is 1 / |det M| times that, and its corners (which
// may have rounded onto one another, for pixels far smaller than a cell)
// are not needed.
struct OneCell {
    double f, per_area;
    explicit OneCell(const InputNodes& in) {
        f = std::fabs(in.m00 * in.m11 - in.m01 * in.m10);
        per_area = f > 0.0 ? 1.0 / f : 0.0;
    }
    bool fits(const InputNodes& in, const CellWindow& w) const {
        return in.affine && w.rows == 1 && w.cols == 1;
    }
    void cover(const CellWindow& w, PixelCover& pc) const {
        pc.small = true;
        pc.sc.i0 = w.row0, pc.sc.j0 = w.col0;
        pc.sc.f[0] = splat(0.0), pc.sc.f[1] = splat(0.0), pc.sc.f[2] = splat(0.0);
        pc.sc.f[0][0] = f;
    }
};

// Rows [b0, b1) of the output: every input pixel that reaches them, in
// input order, each image band's sums at once.
template <Sums S>
ZOLVIN_INLINE void scatter_band_body(const InputNodes& in, const MeshExtents& ext,
                                     const OutputCells& cells, const ScatterImage& im, i64 b0,
                                     i64 b1, QuadCover& qc, const Stop& stop) {
    const i64 plane_in = in.rows * in.cols, plane_out = cells.rows * cells.cols;
    const i64 c0 = cells.col0, c1 = cells.col0 + cells.cols;
    const i64 first = (b0 - cells.row0) * cells.cols, count = (b1 - b0) * cells.cols;
    const double sign = grid_sign(in);
    const bool all_small = grid_small(in);
    const i64 weight_step = im.weight_per_band ? plane_in : 0;
    auto planes = [&](i64 b) ZOLVIN_LAMBDA_INLINE {
        return Planes{im.sum + b * plane_out, im.footprint + b * plane_out,
                      S.variance ? im.var + b * plane_out : nullptr};
    };
    if (!im.accumulate) {
        for (i64 b = 0; b < im.bands; ++b) {
            const Planes o = planes(b);
            std::fill_n(o.sum + first, count, 0.0);
            std::fill_n(o.weight + first, count, 0.0);
            if (S.variance) std::fill_n(o.var + first, count, 0.0);
        }
    }
    PixelCover pc{};
    const OneCell one(in);
    walk(in, ext, b0, b1, c0, c1,
         [&](i64 r, i64 c, const CellPoint (&q)[4]) ZOLVIN_LAMBDA_INLINE {
             const CellWindow w = quad_window(q);
             const Clip k = clip(w, b0, b1, c0, c1);
             if (k.empty()) return;
             const bool in_one = one.fits(in, w);
             if (in_one)
                 one.cover(w, pc);
             else
                 cover_pixel(in, all_small, sign, q, w, k, qc, pc);
             const bool whole = pc.small && w.row0 >= b0 && w.row0 + 3 <= b1 &&
                                w.col0 >= c0 && w.col0 + 4 <= c1;
             const i64 at = r * in.cols + c;
             Value x{0.0, in_one ? one.per_area : reciprocal_area(q), 1.0, 0.0};
             for (i64 b = 0; b < im.bands; ++b) {
                 x.v = im.data[b * plane_in + at];
                 if (S.weights) x.w = im.weight[b * weight_step + at];
                 if (S.variance) x.s2 = im.variance[b * plane_in + at];
                 // NaN: left out, and the footprint shows it.
                 if (x.v != x.v || (S.variance && x.s2 != x.s2)) continue;
                 if (pc.small)
                     spread_small<S>(pc.sc, k, whole, x, planes(b), cells);
                 else
                     spread<S>(pc, k, x, planes(b), cells);
             }
         },
         stop);
    if (im.accumulate) return;
    // What no input reached is NaN; the mean divides by the footprint.
    for (i64 b = 0; b < im.bands; ++b) {
        const Planes o = planes(b);
        for (i64 m = first; m < first + count; ++m) {
            if (o.weight[m] == 0.0) o.sum[m] = std::numeric_limits<double>::quiet_NaN();
            else if (S.mode == Conserve::mean) o.sum[m] = o.sum[m] / o.weight[m];
        }
    }
}

// The sums compiled one way each: flux, and the mean with or without weights
// and variances.
#define ZOLVIN_SCATTER_BAND(name, ...)                                                        \
    ZOLVIN_CLONES("avx2", "default")                                                          \
    void name(const InputNodes& in, const MeshExtents& ext, const OutputCells& cells,         \
              const ScatterImage& im, i64 b0, i64 b1, QuadCover& qc, const Stop& stop) {      \
        scatter_band_body<Sums{__VA_ARGS__}>(in, ext, cells, im, b0, b1, qc, stop);           \
    }
ZOLVIN_SCATTER_BAND(band_flux, Conserve::flux, false, false)
ZOLVIN_SCATTER_BAND(band_mean, Conserve::mean, false, false)
ZOLVIN_SCATTER_BAND(band_mean_w, Conserve::mean, true, false)
ZOLVIN_SCATTER_BAND(band_mean_v, Conserve::mean, false, true)
ZOLVIN_SCATTER_BAND(band_mean_wv, Conserve::mean, true, true)
#undef ZOLVIN_SCATTER_BAND

// One part of the weights: the entries of a run of input rows.
struct Part {
    std::vector<i64> count, index;
    std::vector<double> value;
};

// The body of entries_rows, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE void entries_rows_body(const InputNodes& in, const MeshExtents& ext,
                                     const OutputCells& cells, i64 first,
                                     Part& p, const Stop& stop) {
    const i64 b0 = cells.row0, b1 = cells.row0 + cells.rows;
    const i64 c0 = cells.col0, c1 = cells.col0 + cells.cols;
    const double sign = grid_sign(in);
    const bool all_small = grid_small(in);
    QuadCover qc;
    PixelCover pc{};
    const OneCell one(in);
    walk(in, ext, b0, b1, c0, c1,
         [&](i64 r, i64 c, const CellPoint (&q)[4]) ZOLVIN_LAMBDA_INLINE {
             const CellWindow w = quad_window(q);
             const Clip k = clip(w, b0, b1, c0, c1);
             if (k.empty()) return;
             const bool in_one = one.fits(in, w);
             if (in_one)
                 one.cover(w, pc);
             else
                 cover_pixel(in, all_small, sign, q, w, k, qc, pc);
             const double per_area = in_one ? one.per_area : reciprocal_area(q);
             i64 n = 0;
             for (i64 i = k.r0; i < k.r1; ++i) {
                 for (i64 j = k.c0; j < k.c1; ++j) {
                     const double f = pc(i, j);
                     if (!(f > 0.0)) continue;
                     p.index.push_back((i - cells.row0) * cells.cols + (j - cells.col0));
                     p.value.push_back(f * per_area);
                     ++n;
                 }
             }
             p.count[static_cast<std::size_t>((r - first) * in.cols + c)] = n;
         },
         stop, first);
}

ZOLVIN_CLONES("avx2", "default")
void entries_rows(const InputNodes& in, const MeshExtents& ext, const OutputCells& cells,
                  i64 first, Part& p, const Stop& stop) {
    entries_rows_body(in, ext, cells, first, p, stop);
}

}  // namespace

void scatter(const InputNodes& in, const OutputCells& cells, const ScatterImage& image,
             const ScatterOptions& options) {
    MeshExtents ext;
    if (!in.affine) ext.build(in, options.n_threads);
    const bool mean = image.conserve == Conserve::mean;
    const bool w = mean && image.weight, v = mean && image.variance;
    const auto band = !mean ? band_flux : w ? (v ? band_mean_wv : band_mean_w)
                                            : (v ? band_mean_v : band_mean);
    by_bands(cells, options, [&](QuadCover& qc, i64 b0, i64 b1, const Stop& stop) {
        band(in, ext, cells, image, b0, b1, qc, stop);
    });
}

ScatterEntries scatter_entries(const InputNodes& in, const OutputCells& cells,
                               const ScatterOptions& options) {
    MeshExtents ext;
    if (!in.affine) ext.build(in, options.n_threads);
    const auto rows = static_cast<u64>(std::max<i64>(in.rows, 0));
    const u64 threads = std::max<u64>(1, std::min<u64>(options.n_threads, rows));
    std::vector<Part> parts(threads);
    std::atomic<bool> cancel{false};
    // Contiguous runs of input rows, one per thread, joined in order.
    split_range(rows, threads, [&](u64 first, u64 last) {
        u64 k = 0;
        while (k + 1 < threads && part_start(rows, threads, k + 1) <= first) ++k;
        const bool polls = last == rows && static_cast<bool>(options.poll);
        const Stop stop{polls ? &options.poll : nullptr, &cancel};
        Part& p = parts[k];
        p.count.assign(static_cast<std::size_t>((last - first) * static_cast<u64>(in.cols)), 0);
        InputNodes sub = in;
        sub.rows = static_cast<i64>(last);
        entries_rows(sub, ext, cells, static_cast<i64>(first), p, stop);
    });
    if (cancel.load()) throw Cancelled{};
    ScatterEntries e;
    e.indptr.reserve(static_cast<std::size_t>(in.rows * in.cols + 1));
    e.indptr.push_back(0);
    std::size_t total = 0;
    for (const Part& p : parts) total += p.index.size();
    e.index.reserve(total), e.value.reserve(total);
    for (const Part& p : parts) {
        for (i64 n : p.count) e.indptr.push_back(e.indptr.back() + n);
        e.index.insert(e.index.end(), p.index.begin(), p.index.end());
        e.value.insert(e.value.end(), p.value.begin(), p.value.end());
    }
    return e;
}

}  // namespace zolvin::region
