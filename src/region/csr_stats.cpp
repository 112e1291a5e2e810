// Statistics over the rows of a sparse coverage matrix: the StatsSink's
// quantities for a matrix built once and applied to many images, entry by
// entry with the sink's arithmetic, so that both agree bit for bit.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "../lanes.hpp"
#include "../parallel.hpp"
#include "cell_sums.hpp"
#include "many.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;

using cells::empty;
using cells::kDeviations;
using cells::kMask;
using cells::kMinMax;
using cells::kNodata;
using cells::kWeights;

struct Lanes {
    double q[kStatsSums][4];
};

void clear(Lanes& p) {
    for (int q = 0; q < kStatsSums; ++q) std::fill_n(p.q[q], 4, empty(q));
}

void close(const Lanes& p, int nq, double* total) {
    for (int q = 0; q < nq; ++q) cells::close(q, cells::combine(q, p.q[q]), total[q]);
}

// Entries from e on that come in whole groups of four consecutive pixels of
// one row, the first at pix (lane 0): how many (a multiple of 4).
template <class Index>
ZOLVIN_INLINE i64 aligned_run(const Index* indices, i64 e, i64 last, i64 pix, i64 end_of_row) {
    i64 n = 0;
    while (e + n + 3 < last && pix + n + 3 < end_of_row &&
           static_cast<i64>(indices[e + n]) == pix + n &&
           static_cast<i64>(indices[e + n + 1]) == pix + n + 1 &&
           static_cast<i64>(indices[e + n + 2]) == pix + n + 2 &&
           static_cast<i64>(indices[e + n + 3]) == pix + n + 3) {
        n += 4;
    }
    return n;
}

// n entries of coverage f over the consecutive pixels of d (weights wt,
// mask mk), four at a time, each to its own lane with the sinks' arithmetic
// (cell_sums.hpp): an entry that is not counted adds +0.0 (which leaves a
// sum that starts at +0.0 as it is) and leaves min and max as they are.
template <int F>
ZOLVIN_INLINE void add_groups(Lanes& p, const double* f, const double* d, const double* wt,
                const std::uint8_t* mk, i64 n, const StatsInput& in, double centre) {
    const lanes zero = splat(0.0);
    // Only the quantities the flags use go through registers.
    cells::Quantities q{{load4(p.q[0]), load4(p.q[1]), zero, zero, zero, zero}};
    if (F & kMinMax) q.q[2] = load4(p.q[2]), q.q[3] = load4(p.q[3]);
    if (F & kWeights) q.q[4] = load4(p.q[4]), q.q[5] = load4(p.q[5]);
    for (i64 j = 0; j < n; j += 4) {
        const lanes v = load4(d + j);
        const lanes masked = (F & kMask) ? cells::mask4(mk + j, 4) : zero;
        const lanes w = cells::counted<(F & kMask) != 0, (F & kNodata) != 0>(load4(f + j), v,
                                                                            masked, in.nodata);
        cells::add_quantities<F>(q, w, v, (F & kWeights) ? load4(wt + j) : zero, centre);
    }
    store4(p.q[0], q.q[0]), store4(p.q[1], q.q[1]);
    if (F & kMinMax) store4(p.q[2], q.q[2]), store4(p.q[3], q.q[3]);
    if (F & kWeights) store4(p.q[4], q.q[4]), store4(p.q[5], q.q[5]);
}

// Region k's entries for image band b, each added as the sink's add_cells
// adds its lane, additions of nothing left out (a sum that starts at +0.0 is
// the same with or without them). Entries come a row at a time: the row and
// its band are found once per row. False, with nothing more added, at an
// index that is no pixel of the image.
template <int F, class Index>
ZOLVIN_INLINE bool region_band(const CoverageRows<Index>& m, std::size_t k, i64 cols, i64 plane, i64 b,
                 const StatsInput& in, double* total) {
    constexpr int nq = (F & kDeviations) ? kStatsDeviations : kStatsSums;
    const double* d = in.data + b * plane;
    const double* wt = nullptr;
    if (F & kWeights) wt = in.weights + (in.weight_bands > 1 ? b * plane : 0);
    const double centre = (F & kDeviations) ? in.centre[k * static_cast<std::size_t>(in.bands) +
                                                        static_cast<std::size_t>(b)]
                                            : 0.0;
    for (int q = 0; q < nq; ++q) total[q] = empty(q);
    Lanes p;
    clear(p);
    i64 band = -1;
    const i64 last = m.indptr[k + 1];
    for (i64 e = m.indptr[k]; e < last;) {
        // The run of entries in this entry's row.
        const auto first = static_cast<i64>(m.indices[e]);
        if (first < 0 || first >= plane) return false;
        const i64 row = first / cols;
        const i64 end_of_row = (row + 1) * cols, start = row * cols;
        if (row / kBandRows != band) {
            if (band >= 0) close(p, nq, total), clear(p);
            band = row / kBandRows;
        }
        for (; e < last; ++e) {
            const auto pix = static_cast<i64>(m.indices[e]);
            if (pix >= end_of_row || pix < start) break;
            if (((pix - start) & 3) == 0) {
                const i64 n = aligned_run(m.indices, e, last, pix, end_of_row);
                if (n > 0) {
                    add_groups<F>(p, m.f + e, d + pix, (F & kWeights) ? wt + pix : nullptr,
                                  (F & kMask) ? in.mask + pix : nullptr, n, in, centre);
                    e += n - 1;
                    continue;
                }
            }
            const double v = d[pix];
            const double w = cells::counted<(F & kMask) != 0, (F & kNodata) != 0>(
                m.f[e], v, (F & kMask) && in.mask[pix] != 0, in.nodata);
            if (!(w > 0.0)) continue;
            const auto l = static_cast<std::size_t>((pix - start) & 3);
            cells::add_quantities<F>(p.q, l, w, v, (F & kWeights) ? wt[pix] : 0.0, centre);
        }
    }
    if (band >= 0) close(p, nq, total);
    return true;
}

template <class Index>
struct Band {
    template <int F>
    ZOLVIN_INLINE static void run(bool& ok, const CoverageRows<Index>& m, std::size_t k, i64 cols,
                                  i64 plane, i64 b, const StatsInput& in, double* total) {
        ok = region_band<F>(m, k, cols, plane, b, in, total);
    }
};

// The body of region_stats, inlined into each of its clones.
template <class Index>
ZOLVIN_INLINE bool region_stats_body(const CoverageRows<Index>& m, std::size_t k, i64 cols, i64 plane,
                  const StatsInput& in, double* values) {
    const int flags = (in.mask ? kMask : 0) | (in.has_nodata ? kNodata : 0) |
                      (in.centre ? kDeviations
                                 : (in.weights ? kWeights : 0) | (in.minmax ? kMinMax : 0));
    const i64 nq = in.centre ? kStatsDeviations : kStatsSums;
    bool ok = true;
    for (i64 b = 0; b < in.bands && ok; ++b) {
        double* total = values + b * nq;
        cells::by_flags<Band<Index>>(flags, ok, m, k, cols, plane, b, in, total);
    }
    if (!ok) std::fill_n(values, in.bands * nq, std::numeric_limits<double>::quiet_NaN());
    return ok;
}

// One region's statistics, compiled once per instruction set (the groups of
// four lanes want the wide registers where the machine has them).
ZOLVIN_CLONES("avx2", "default")
bool region_stats(const CoverageRows<std::int32_t>& m, std::size_t k, i64 cols, i64 plane,
                  const StatsInput& in, double* values) {
    return region_stats_body(m, k, cols, plane, in, values);
}

ZOLVIN_CLONES("avx2", "default")
bool region_stats(const CoverageRows<std::int64_t>& m, std::size_t k, i64 cols, i64 plane,
                  const StatsInput& in, double* values) {
    return region_stats_body(m, k, cols, plane, in, values);
}

}  // namespace

template <class Index>
bool csr_stats(const CoverageRows<Index>& m, i64 rows, i64 cols, const StatsInput& in,
               double* values, std::uint64_t n_threads) {
    const i64 plane = rows * cols;
    const int nq = in.centre ? kStatsDeviations : kStatsSums;
    const auto per = static_cast<std::size_t>(in.bands * nq);
    std::atomic<bool> ok{true};
    split_range(m.regions, n_threads, [&](std::uint64_t first, std::uint64_t last) {
        for (std::size_t k = first; k < last; ++k) {
            if (!region_stats(m, k, cols, plane, in, values + k * per)) ok = false;
        }
    });
    return ok;
}

template bool csr_stats<std::int32_t>(const CoverageRows<std::int32_t>&, i64, i64,
                                      const StatsInput&, double*, std::uint64_t);
template bool csr_stats<std::int64_t>(const CoverageRows<std::int64_t>&, i64, i64,
                                      const StatsInput&, double*, std::uint64_t);

}  // namespace zolvin::region
