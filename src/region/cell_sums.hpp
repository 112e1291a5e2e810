// How the many-region sinks count cells into their running sums: the
// weight a cell is counted with, the statistics it adds to, the walk along a
// block's rows four cells at a time (cell q to lane q mod 4), and the lanes
// closed into totals. The sums sink, the statistics sink and the statistics
// of a coverage matrix all count through these, so that they agree bit for
// bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "../lanes.hpp"
#include "accumulate.hpp"
#include "many.hpp"

namespace zolvin::region::cells {

using i64 = std::int64_t;

// ---- One cell's weight ------------------------------------------------------------

// The weight four cells are counted with: their coverage f where the value d
// is a number, the pixel is not masked (masked lanes are 1) and d is not
// nodata; 0 elsewhere. A cell counts where its weight is > 0.
template <bool Mask, bool Nodata>
ZOLVIN_INLINE lanes counted(lanes f, lanes d, lanes masked, double nodata) {
    const lanes zero = splat(0.0);
    lanes w = select(d == d, f, zero);
    if (Mask) w = select(masked == 0.0, w, zero);
    if (Nodata) w = select(d == nodata, zero, w);
    return w;
}

// The same for one cell.
template <bool Mask, bool Nodata>
ZOLVIN_INLINE double counted(double f, double d, bool masked, double nodata) {
    double w = d == d ? f : 0.0;
    if (Mask && masked) w = 0.0;
    if (Nodata && d == nodata) w = 0.0;
    return w;
}

// ---- Statistics (see StatsInput) ------------------------------------------------

// Flags of a statistics pass, each combination compiled on its own.
enum : int { kMask = 1, kNodata = 2, kWeights = 4, kMinMax = 8, kDeviations = 16 };

struct Quantities {
    lanes q[kStatsSums];
};

// Adds four cells of weight w (counted above), value d and weight wt to the
// lanes of each quantity; the deviations pass measures d from centre. A cell
// that does not count adds +0.0 and leaves min and max as they are.
template <int F>
ZOLVIN_INLINE void add_quantities(Quantities& p, lanes w, lanes d, lanes wt, double centre) {
    const lanes zero = splat(0.0);
    const lane_mask ok = w > 0.0;
    if (F & kDeviations) {
        const lanes dv = d - centre;
        const lanes wd = w * dv;
        p.q[0] = p.q[0] + select(ok, wd, zero);
        p.q[1] = p.q[1] + select(ok, wd * dv, zero);
        return;
    }
    p.q[0] = p.q[0] + select(ok, w * d, zero);
    p.q[1] = p.q[1] + select(ok, w, zero);
    if (F & kMinMax) {
        p.q[2] = select(ok, select(d < p.q[2], d, p.q[2]), p.q[2]);
        p.q[3] = select(ok, select(d > p.q[3], d, p.q[3]), p.q[3]);
    }
    if (F & kWeights) {
        // A NaN weight leaves the pixel out of the weighted sums; a zero
        // product adds nothing (not 0 x inf).
        const lanes fw = select(wt == wt, w * wt, zero);
        p.q[4] = p.q[4] + select(ok, fw, zero);
        p.q[5] = p.q[5] + select(ok, select(fw == 0.0, zero, fw * d), zero);
    }
}

// The same for one cell that counts (w > 0), into lane l of each quantity.
template <int F>
ZOLVIN_INLINE void add_quantities(double (*q)[4], std::size_t l, double w, double d, double wt,
                                  double centre) {
    if (F & kDeviations) {
        const double dv = d - centre;
        const double wd = w * dv;
        q[0][l] = q[0][l] + wd;
        q[1][l] = q[1][l] + wd * dv;
        return;
    }
    q[0][l] = q[0][l] + w * d;
    q[1][l] = q[1][l] + w;
    if (F & kMinMax) {
        if (d < q[2][l]) q[2][l] = d;
        if (d > q[3][l]) q[3][l] = d;
    }
    if (F & kWeights) {
        const double fw = wt == wt ? w * wt : 0.0;
        q[4][l] = q[4][l] + fw;
        q[5][l] = q[5][l] + (fw == 0.0 ? 0.0 : fw * d);
    }
}

// Calls Body::run<F>(args...) for a pass's flags F: each combination is
// compiled on its own, with no tests per cell (the deviations pass takes
// mask and nodata only, the sums pass every combination).
template <class Body, class... Args>
ZOLVIN_INLINE void by_flags(int flags, Args&&... args) {
    switch (flags) {
#define ZOLVIN_CASE(f) \
    case f: Body::template run<f>(args...); break;
    ZOLVIN_CASE(0) ZOLVIN_CASE(1) ZOLVIN_CASE(2) ZOLVIN_CASE(3)
    ZOLVIN_CASE(4) ZOLVIN_CASE(5) ZOLVIN_CASE(6) ZOLVIN_CASE(7)
    ZOLVIN_CASE(8) ZOLVIN_CASE(9) ZOLVIN_CASE(10) ZOLVIN_CASE(11)
    ZOLVIN_CASE(12) ZOLVIN_CASE(13) ZOLVIN_CASE(14) ZOLVIN_CASE(15)
    ZOLVIN_CASE(16) ZOLVIN_CASE(17) ZOLVIN_CASE(18) ZOLVIN_CASE(19)
#undef ZOLVIN_CASE
    default: break;
    }
}

// The starting value of quantity q's lanes: nothing counted yet.
inline double empty(int q) { return q == 2 ? INFINITY : q == 3 ? -INFINITY : 0.0; }

// Lanes of quantity q combined: (l0 + l1) + (l2 + l3), or the extreme.
inline double combine(int q, const double* l) {
    if (q == 2) {
        const double a = l[1] < l[0] ? l[1] : l[0], b = l[3] < l[2] ? l[3] : l[2];
        return b < a ? b : a;
    }
    if (q == 3) {
        const double a = l[1] > l[0] ? l[1] : l[0], b = l[3] > l[2] ? l[3] : l[2];
        return b > a ? b : a;
    }
    return (l[0] + l[1]) + (l[2] + l[3]);
}

// A band's combined lanes c of quantity q taken into its total.
inline void close(int q, double c, double& total) {
    if (q == 2) total = c < total ? c : total;
    else if (q == 3) total = c > total ? c : total;
    else total += c;
}

// ---- Walking a block's rows -----------------------------------------------------

// A block's rows cut where a band of kBandRows grid rows ends (the sums are
// closed band by band): part(r, rows, band) for each part, r its first row
// in the block.
template <class Part>
ZOLVIN_INLINE void band_parts(const CellWindow& blk, const Part& part) {
    for (i64 r = 0; r < blk.rows;) {
        const i64 row = blk.row0 + r;
        const i64 band = row / kBandRows;
        const i64 rows = std::min(blk.rows - r, (band + 1) * kBandRows - row);
        part(r, rows, band);
        r += rows;
    }
}

// Where a block's rows lie in the image: values d, a second array x laid out
// alike (errors or weights; null without), the mask m (or null), stride
// values from one row to the next, and the ends of the values and of x, to
// know where four lanes may be loaded past a row.
struct ImageRows {
    const double* d;
    const double* x;
    const std::uint8_t* m;
    i64 rows, cols, stride;
    const double* d_end;
    const double* x_end;
};

// Four lanes from p on, n of them in the row: loaded whole where the image
// has them (lanes past the row are never counted: their coverage is 0),
// else one by one.
ZOLVIN_INLINE lanes tail4(const double* p, i64 n, const double* end) {
    if (p + 4 <= end) return load4(p);
    lanes out = splat(0.0);
    for (i64 l = 0; l < n; ++l) out[static_cast<int>(l)] = p[l];
    return out;
}

// The mask's lanes for n cells from m on (1 where masked).
ZOLVIN_INLINE lanes mask4(const std::uint8_t* m, i64 n) {
    lanes out = splat(0.0);
    for (i64 l = 0; l < n; ++l) out[static_cast<int>(l)] = m[l] ? 1.0 : 0.0;
    return out;
}

// Row r of the block, four cells at a time: cover(q) gives the coverages of
// cells q .. q + 3 (called for q = 0, 4, 8, ... in turn), add(f, d, x,
// masked) takes them with their values, x's values (zero lanes without X)
// and the mask's lanes (zero lanes without Mask); past the row f is 0.
template <bool X, bool Mask, class Cover, class Add>
ZOLVIN_INLINE void walk_row(const ImageRows& in, i64 r, const Cover& cover, Add& add) {
    const lanes zero = splat(0.0);
    const double* d = in.d + r * in.stride;
    const double* x = X ? in.x + r * in.stride : nullptr;
    const std::uint8_t* m = Mask ? in.m + r * in.stride : nullptr;
    const i64 full = in.cols / 4 * 4;
    i64 q = 0;
    for (; q < full; q += 4) {
        add(cover(q), load4(d + q), X ? load4(x + q) : zero, Mask ? mask4(m + q, 4) : zero);
    }
    if (q == in.cols) return;
    const i64 n = in.cols - q;
    const lanes lane = {0.0, 1.0, 2.0, 3.0};
    const lanes fq = select(lane < static_cast<double>(n), cover(q), zero);
    add(fq, tail4(d + q, n, in.d_end), X ? tail4(x + q, n, in.x_end) : zero,
        Mask ? mask4(m + q, n) : zero);
}

// Coverages of four cells of a row, stored (a row of the block's f).
struct StoredCover {
    const double* f;
    ZOLVIN_INLINE lanes operator()(i64 q) const { return load4(f + q); }
};

// The coverages Accumulator::finish_row gives, made along the row: called
// for q = 0, 4, 8, ... in turn, the heights add up along it.
struct AccumulatedCover {
    AccumulatedRow row;
    mutable double run;
    ZOLVIN_INLINE lanes operator()(i64 q) const {
        const lanes a = load4(row.area + q);
        return cover4(add_heights(a, load4(row.height + q), run), a, row.sign);
    }
};

// Every row of a block whose coverages f are stored (cols per row).
template <bool X, bool Mask, class Add>
ZOLVIN_INLINE void walk_stored(const ImageRows& in, const double* f, Add& add) {
    for (i64 r = 0; r < in.rows; ++r) walk_row<X, Mask>(in, r, StoredCover{f + r * in.cols}, add);
}

// Every row of a block straight from the accumulator (its rows first ..
// first + rows), the pass along each row fused with the sums.
template <bool X, bool Mask, class Add>
ZOLVIN_INLINE void walk_accumulated(const ImageRows& in, const Accumulator& acc, i64 first,
                                    Add& add) {
    for (i64 r = 0; r < in.rows; ++r) {
        const AccumulatedRow row = acc.row(first + r);
        walk_row<X, Mask>(in, r, AccumulatedCover{row, row.left}, add);
    }
}

}  // namespace zolvin::region::cells
