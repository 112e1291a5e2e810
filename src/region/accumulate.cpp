#include "accumulate.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "../lanes.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;

// The body of fill_cells, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE void fill_cells_body(double* area, double* height, std::size_t n) {
    for (std::size_t k = 0; k < n; k += 4) {
        store4(area + k, splat(-0.0));
        store4(height + k, splat(0.0));
    }
}

ZOLVIN_CLONES("avx2", "default")
void fill_cells(double* area, double* height, std::size_t n) {
    fill_cells_body(area, height, n);
}

// One row's coverages (see cover4); up to three values past cols are
// written too (scratch).
// The body of finish_cells, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE void finish_cells_body(const double* area, const double* height, i64 cols, double left, double sign,
                  double* out) {
    double run = left;
    for (i64 q = 0; q < cols; q += 4) {
        const lanes a = load4(area + q);
        store4(out + q, cover4(add_heights(a, load4(height + q), run), a, sign));
    }
}

ZOLVIN_CLONES("avx2", "default")
void finish_cells(const double* area, const double* height, i64 cols, double left, double sign,
                  double* out) {
    finish_cells_body(area, height, cols, left, sign, out);
}

}  // namespace

void Accumulator::start(const CellWindow& w, bool mirrored) {
    w_ = w;
    sign_ = mirrored ? -1.0 : 1.0;
    const auto n = static_cast<std::size_t>(w.rows * w.cols);
    // -0.0 marks a cell no sub-piece has landed in: any sum into it is +0.0
    // or more.
    grow(area_c_, n + 4), grow(height_c_, n + 4);
    fill_cells(area_c_.data(), height_c_.data(), n + 1);  // and the spare cell
    left_.assign(static_cast<std::size_t>(w.rows), 0.0);
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
        area_c_[static_cast<std::size_t>(r * w_.cols + (static_cast<i64>(j) - w_.col0))] += 0.0;
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

// ---- The pass along the rows -------------------------------------------------

void Accumulator::finish_row(i64 r, double* out) const {
    const auto at = static_cast<std::size_t>(r * w_.cols);
    finish_cells(area_c_.data() + at, height_c_.data() + at, w_.cols,
                 left_[static_cast<std::size_t>(r)], sign_, out);
}


void Accumulator::finish(double* out) const {
    for (i64 r = 0; r < w_.rows; ++r) finish_row(r, out + r * w_.cols);
}

}  // namespace zolvin::region
