// Exact coverage of a window of grid cells by a simple region: one whose
// winding number is 0 or 1 everywhere, its boundary oriented so that the
// inside winds +1 (a disc, an ellipse, an annulus, a valid polygon with
// holes, parts with disjoint interiors, a pixel's parallelogram).
//
// Why accumulate: such a region needs no boolean program, so by Green's
// theorem the area of a cell inside it is an integral over the boundary
// pieces in the cell, plus the heights of the pieces left of it in its row.
// Every piece is cut at the grid lines it crosses; each sub-piece adds to
// its own cell the area between it and the cell's right edge (the trapezoid
// under its chord, plus the elliptic segment for an arc) and gives its height
// to the cells right of it; one pass along each row adds the heights up. The
// cost is the window's cells plus the grid lines the boundary crosses, with
// no sorting, and no trigonometry for whole ellipses.
//
// Guarantees: exact to rounding; cells no sub-piece lands in are exactly 0.0
// or 1.0; every number depends only on the region's pieces and the window's
// own rows and columns. Segments are cut lower end first from their own ends,
// so an edge that two regions share is cut at the same points whichever way
// each runs along it, and the regions of a tiling add up to one per cell.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../lanes.hpp"
#include "cell_frame.hpp"

namespace zolvin::region {

// The ellipse c + m1 cos t + m2 sin t in the cell frame.
struct CellEllipse {
    double cu, cv, m1u, m2u, m1v, m2v;
};

// Cells [col0, col0 + cols) x [row0, row0 + rows) of the grid.
struct CellWindow {
    std::int64_t row0, col0, rows, cols;
};

// One row of an accumulated window before the pass along it: per cell the
// area between its sub-pieces and its right edge (-0.0 where none landed)
// and the height they give the cells on the right; the heights of the
// sub-pieces left of the window; the frame's orientation (+1 or -1).
// Each array has room for four lanes past the row.
struct AccumulatedRow {
    const double* area;
    const double* height;
    double left, sign;
};

// Lanes moved up by one or two places, zeros coming in: (0, a0, a1, a2) and
// (0, 0, a0, a1).
#ifndef ZOLVIN_SCALAR
ZOLVIN_INLINE lanes up1(lanes a) { return __builtin_shufflevector(splat(0.0), a, 0, 4, 5, 6); }
ZOLVIN_INLINE lanes up2(lanes a) { return __builtin_shufflevector(splat(0.0), a, 0, 1, 4, 5); }
#else
ZOLVIN_INLINE lanes up1(lanes a) { return lanes{{0.0, a.e[0], a.e[1], a.e[2]}}; }
ZOLVIN_INLINE lanes up2(lanes a) { return lanes{{0.0, 0.0, a.e[0], a.e[1]}}; }
#endif

// Four cells' area plus the heights on their left: run (the heights left of
// the four) plus the heights of those of the four on the left, added as a
// two-step scan. run moves past the four.
ZOLVIN_INLINE lanes add_heights(lanes area, lanes height, double& run) {
    const lanes s1 = height + up1(height);
    const lanes s2 = s1 + up2(s1);
    const lanes t = area + (run + up1(s2));
    run = run + s2[3];
    return t;
}

#ifndef ZOLVIN_SCALAR
ZOLVIN_INLINE lane_mask minus_zero(lanes a) {
    typedef long long bits4 __attribute__((vector_size(32)));
    bits4 b;
    std::memcpy(&b, &a, sizeof b);
    return b == static_cast<long long>(0x8000000000000000ULL);
}
#else
ZOLVIN_INLINE lane_mask minus_zero(lanes a) {
    lane_mask m;
    for (int l = 0; l < 4; ++l) m.e[l] = a.e[l] == 0.0 && std::signbit(a.e[l]);
    return m;
}
#endif

// Four cells' coverages from t (add_heights) and their areas: sign x t, in
// [0, 1]; a cell no sub-piece landed in (area -0.0) is wholly in or out, the
// heights on its left adding up to a whole number but for rounding.
ZOLVIN_INLINE lanes cover4(lanes t, lanes area, double sign) {
    const lanes zero = splat(0.0), one = splat(1.0);
    lanes v = sign * t;
    v = select(minus_zero(area), select(v > 0.5, one, zero), v);
    v = select(v < 0.0, zero, select(v > 1.0, one, v));
    return v + 0.0;
}

// asin(s) - s sqrt(1 - s^2) for s in [0, 1]: the area of the unit disc cut
// off by a chord of half-length s (a series for short chords).
double unit_segment(double s);

class Accumulator {
public:
    // Starts a region over the window. `mirrored`: the frame reverses
    // orientation (a grid whose Jacobian has a negative determinant), so
    // the inside winds -1 in the cell frame.
    void start(const CellWindow& w, bool mirrored);

    // The directed segment a -> b.
    void segment(CellPoint a, CellPoint b);

    // The whole ellipse, counter-clockwise in the plane when ccw (before the
    // frame's mirroring).
    void ellipse(const CellEllipse& e, bool ccw);

    // Part of an ellipse, from parameter t0 to t1 (either way round, less
    // than a whole turn), whose ends are `from` and `to`: the caller passes
    // the points it joins to the neighbouring pieces, so the boundary closes
    // exactly.
    void arc(const CellEllipse& e, double t0, double t1, CellPoint from, CellPoint to);

    // Coverage of the window's row r (0 <= r < rows), cols values in [0, 1].
    // Up to three doubles past them are used as scratch: out needs room for
    // cols + 3.
    void finish_row(std::int64_t r, double* out) const;
    // Every row, rows x cols values row-major (out needs room for 3 more).
    void finish(double* out) const;

    // Row r (0 <= r < rows) before the pass along it, for sinks that fuse
    // the pass with their own (finish_row is add_heights then cover4, four
    // cells at a time).
    AccumulatedRow row(std::int64_t r) const {
        const auto at = static_cast<std::size_t>(r * w_.cols);
        return {area_c_.data() + at, height_c_.data() + at, left_[static_cast<std::size_t>(r)],
                sign_};
    }

    const CellWindow& window() const { return w_; }

private:
    struct Lines;  // an ellipse's crossings with the window's grid lines

    // Adds a sub-piece to cell (i, j): pieces left of the window give only
    // their height, pieces beyond its other sides nothing.
    void add(std::int64_t i, std::int64_t j, double area, double height) {
        const std::int64_t r = i - w_.row0;
        if (static_cast<std::uint64_t>(r) >= static_cast<std::uint64_t>(w_.rows)) return;
        const std::int64_t q = j - w_.col0;
        if (q < 0) {
            left_[static_cast<std::size_t>(r)] += height;
            return;
        }
        if (q >= w_.cols) return;
        const auto k = static_cast<std::size_t>(r * w_.cols + q);
        area_c_[k] += area + 0.0;  // + 0.0: the cell's -0.0 becomes +0.0, reached
        height_c_[k] += height;
    }
    // Scratch that only grows: its contents are written before they are read.
    template <class T>
    static void grow(std::vector<T>& v, std::size_t n) {
        if (v.size() < n) v.resize(2 * n);
    }
    void mark_horizontal(CellPoint a, CellPoint b);
    void chain_areas(const CellEllipse& e, double sigma, bool inside);
    void monotone_points(const Lines& L, CellPoint from, CellPoint to, bool right_half,
                         bool upper_half);

    CellWindow w_{};
    double sign_ = 1.0;
    // Per cell, rows x cols: the area between its sub-pieces and its right
    // edge (-0.0: no sub-piece landed there), and the height they give the
    // cells right of it.
    std::vector<double> area_c_, height_c_;
    std::vector<double> left_;  // rows: heights of sub-pieces left of the window
    // Scratch for arcs: crossings and the chain of cut points.
    std::vector<double> row_lo_, row_hi_, col_lo_, col_hi_;
    std::size_t np_ = 0;  // points in the chain (pu_, pv_)
    std::vector<double> pu_, pv_, s_, area_, height_, ci_, cj_;
    std::vector<std::int64_t> count_;
};

}  // namespace zolvin::region
