// Which input pixels a band of output rows needs: a mesh's extents per block
// of columns, and the walk over the pixels that may meet a window of output
// cells, in input order. Internal to scatter.cpp, which alone includes it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <vector>

#include "../parallel.hpp"
#include "input_nodes.hpp"
#include "scatter_cover.hpp"

namespace zolvin::region {

namespace {

// Input rows between two polls for Ctrl-C.
constexpr i64 kPollRows = 64;
// Columns per block of a mesh's extents.
constexpr i64 kBlock = 32;

// ---- Which input pixels a band needs -----------------------------------------

// The columns c in [0, n) with lo < a + m c < hi, or a few more, as
// [first, last): callers test each pixel itself.
// (Plain aggregates in what the clones call: some compilers leave out the
// constructors that only a clone calls.)
struct Span {
    i64 first, last;
};
Span columns_between(double a, double m, double lo, double hi, i64 n) {
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

}  // namespace

}  // namespace zolvin::region
