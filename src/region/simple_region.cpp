// Simple regions piece by piece into an accumulator, and the one-region
// driver that covers a grid window with one.
//
// The bits rule of the one-region driver: a cell's value depends only on the
// region and on the grid, never on the window asked for or the threads. An
// accumulator's rows are independent of each other, and along a row a cell
// reads its own sub-pieces plus the heights added up from the accumulator's
// first column; so that column is fixed by the grid: the region's first
// column, or the first column of the block of kBlockCols columns (counted from
// the grid's column 0) that holds the cell, whichever lies further right.
#include "simple_region.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "../parallel.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;
using u64 = std::uint64_t;

// Columns per block along a row, and rows per band dealt to a thread: a
// band's accumulator holds kBandRows x kBlockCols cells (4 MB).
constexpr i64 kBlockCols = 4096;
constexpr u64 kBandRows = 64;

// An arc's ellipse in the cell frame.
CellEllipse cell_ellipse(const CellFrame& T, const Arc& a) {
    const CellPoint c = T.point(a.cx, a.cy);
    const CellPoint m1 = T.vector(a.a, a.c), m2 = T.vector(a.b, a.d);
    return {c.u, c.v, m1.u, m2.u, m1.v, m2.v};
}

// Whether the arc is its whole ellipse.
bool whole(const Arc& a) { return std::fabs(a.t1 - a.t0) >= kTwoPi; }

// Arc m into the accumulator; a partial arc from and to its joined ends.
void accumulate_arc(const Region& region, std::size_t m, const ArcEnds& ends,
                    const CellFrame& T, Accumulator& acc) {
    const Arc& a = region.arcs[m];
    const CellEllipse e = cell_ellipse(T, a);
    if (whole(a)) {
        acc.ellipse(e, (a.t1 > a.t0) == (a.a * a.d - a.b * a.c > 0));
        return;
    }
    // Partial arcs start and end where the sweep has them: joined to the
    // neighbouring pieces' ends, so that the boundary closes.
    const auto& p = ends.ends[m];
    acc.arc(e, a.t0, a.t1, T.point(p[0], p[1]), T.point(p[2], p[3]));
}

// The pieces that reach each band of the window's rows, in the region's
// order (segments, then arcs): CSR lists of piece numbers, arcs numbered
// after the segments; and the segments' ends in the cell frame, mapped once
// for every band that reads them.
struct Bands {
    std::vector<u64> start;
    std::vector<std::uint32_t> piece;
    std::vector<std::array<CellPoint, 2>> ends;
    bool empty(u64 band) const { return start[band] == start[band + 1]; }
};

Bands bucket(const Region& region, const CellFrame& T, double row0, u64 rows) {
    const u64 n = rows / kBandRows + (rows % kBandRows != 0 ? 1 : 0);
    const double top = row0 + static_cast<double>(rows);
    Bands B;
    std::vector<std::pair<u64, u64>> reach;  // first and last band of each piece
    auto add = [&](double lo, double hi) {
        if (!(hi >= row0 && lo <= top)) {
            reach.emplace_back(1, 0);  // none
            return;
        }
        const auto band = [&](double v) {
            const double b = std::floor((std::clamp(v, row0, top) - row0) / kBandRows);
            return std::min(static_cast<u64>(b), n - 1);
        };
        reach.emplace_back(band(lo), band(hi));
    };
    B.ends.reserve(region.segments.size());
    for (const Segment& s : region.segments) {
        const CellPoint p = T.point(s.x0, s.y0), q = T.point(s.x1, s.y1);
        B.ends.push_back({p, q});
        add(std::min(p.v, q.v), std::max(p.v, q.v));
    }
    for (const Arc& a : region.arcs) {
        const CellEllipse e = cell_ellipse(T, a);
        const double sv = std::sqrt(e.m1v * e.m1v + e.m2v * e.m2v);
        // A margin over the rounding of the box: a piece listed in a band it
        // misses costs a check, one left out would lose its area.
        add(e.cv - sv - 1.0, e.cv + sv + 1.0);
    }
    B.start.assign(n + 1, 0);
    for (const auto& [a, b] : reach)
        for (u64 k = a; k <= b && a <= b; ++k) ++B.start[k + 1];
    for (u64 k = 0; k < n; ++k) B.start[k + 1] += B.start[k];
    B.piece.resize(B.start[n]);
    std::vector<u64> at(B.start.begin(), B.start.end() - 1);
    for (std::size_t m = 0; m < reach.size(); ++m) {
        const auto [a, b] = reach[m];
        for (u64 k = a; k <= b && a <= b; ++k) B.piece[at[k]++] = static_cast<std::uint32_t>(m);
    }
    return B;
}

// What a thread keeps from band to band.
struct Worker {
    Accumulator acc;
    std::vector<double> row;
};

// The cells [lo, hi) of a row of the grid: columns as whole numbers, kept
// within the window's so that they convert to integers.
struct ColumnRange {
    double lo, hi;
};

}  // namespace

CellBox region_box(const Region& region, const CellFrame& T) {
    CellBox box;
    for (const Segment& s : region.segments) {
        const CellPoint p = T.point(s.x0, s.y0), q = T.point(s.x1, s.y1);
        box.add(p.u, p.v);
        box.add(q.u, q.v);
    }
    for (const Arc& a : region.arcs) {
        // The whole ellipse's box: enough for any part of it.
        const CellEllipse e = cell_ellipse(T, a);
        const double su = std::sqrt(e.m1u * e.m1u + e.m2u * e.m2u);
        const double sv = std::sqrt(e.m1v * e.m1v + e.m2v * e.m2v);
        box.add(e.cu - su, e.cv - sv);
        box.add(e.cu + su, e.cv + sv);
    }
    return box;
}

ArcEnds accumulated_arc_ends(const Region& region) {
    const bool partial = std::any_of(region.arcs.begin(), region.arcs.end(),
                                     [](const Arc& a) { return !whole(a); });
    return partial ? join_arc_ends(region) : ArcEnds{};
}

void accumulate_region(const Region& region, const ArcEnds& ends, const CellFrame& T,
                       Accumulator& acc) {
    for (const Segment& s : region.segments) acc.segment(T.point(s.x0, s.y0), T.point(s.x1, s.y1));
    for (std::size_t m = 0; m < region.arcs.size(); ++m) accumulate_arc(region, m, ends, T, acc);
}

bool accumulate_coverage(const Region& region, const GridWindow& window, double* out,
                         u64 n_threads) {
    check_frame(region, window);  // the sweep's refusals, before anything is written
    const CellFrame T(window);
    const CellBox box = region_box(region, T);
    if (box.ulo > box.uhi) {  // no pieces: nothing is covered
        std::fill_n(out, window.rows * window.cols, 0.0);
        return true;
    }
    if (!(std::fabs(box.ulo) <= kAccumulateReach && std::fabs(box.uhi) <= kAccumulateReach &&
          std::fabs(box.vlo) <= kAccumulateReach && std::fabs(box.vhi) <= kAccumulateReach))
        return false;
    const double row0 = static_cast<double>(window.row0);
    const double col0 = static_cast<double>(window.col0);
    const double col1 = col0 + static_cast<double>(window.cols);
    // The region's columns within the window's; a cell of a margin column
    // beyond the box is 0 either way.
    const ColumnRange cols{std::clamp(std::floor(box.ulo) - 1.0, col0, col1),
                           std::clamp(std::ceil(box.uhi) + 1.0, col0, col1)};
    const double first = std::floor(box.ulo) - 1.0;  // the region's first column
    const ArcEnds ends = accumulated_arc_ends(region);
    const Bands bands = bucket(region, T, row0, window.rows);
    const auto nseg = region.segments.size();
    deal_bands<Worker>(window.rows, kBandRows, n_threads, [&](Worker& w, u64 r0, u64 r1) {
        const u64 band = r0 / kBandRows;
        const auto rows = static_cast<i64>(r1 - r0);
        for (u64 r = r0; r < r1; ++r) std::fill_n(out + r * window.cols, window.cols, 0.0);
        // A row the boundary does not reach is not covered: a covered cell's
        // row is crossed by the boundary on either side.
        if (bands.empty(band)) return;
        for (double b = std::floor(cols.lo / kBlockCols) * kBlockCols; b < cols.hi; b += kBlockCols) {
            // The block's cells the accumulator holds: from the region's first
            // column or the block's, to the window's last.
            const double lo = std::max(b, first), hi = std::min(b + kBlockCols, cols.hi);
            if (!(hi > std::max(lo, cols.lo))) continue;
            const CellWindow cw{static_cast<i64>(row0) + static_cast<i64>(r0), static_cast<i64>(lo),
                                rows, static_cast<i64>(hi - lo)};
            w.acc.start(cw, T.mirrored());
            for (u64 k = bands.start[band]; k < bands.start[band + 1]; ++k) {
                const std::size_t m = bands.piece[k];
                if (m < nseg) {
                    w.acc.segment(bands.ends[m][0], bands.ends[m][1]);
                } else {
                    accumulate_arc(region, m - nseg, ends, T, w.acc);
                }
            }
            w.row.resize(static_cast<std::size_t>(cw.cols) + 3);
            const double from = std::max(lo, cols.lo);  // the window's part of the block
            const auto skip = static_cast<i64>(from - lo);
            const auto n = static_cast<std::size_t>(hi - from);
            for (i64 r = 0; r < rows; ++r) {
                w.acc.finish_row(r, w.row.data());
                std::copy_n(w.row.data() + skip, n,
                            out + (r0 + static_cast<u64>(r)) * window.cols +
                                static_cast<u64>(from - col0));
            }
        }
    });
    return true;
}

}  // namespace zolvin::region
