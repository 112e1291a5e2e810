// The statistics sink of the many-region driver: per region and band the
// sums, count, extremes and weighted sums of an image (the sums pass), or
// its deviations from a given centre (the deviations pass, for variances
// that do not lose digits to a large mean). Each combination of mask,
// nodata, weights and extremes is compiled on its own, with no tests per
// cell; the pass along a simple region's rows is fused with the sums.
#include <algorithm>
#include <cmath>
#include <limits>

#include "../lanes.hpp"
#include "cell_sums.hpp"
#include "many.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;

using cells::kDeviations;
using cells::kMask;
using cells::kMinMax;
using cells::kNodata;
using cells::kWeights;
using cells::Quantities;

// A block's rows in the image (x holds the weights), the nodata value and
// the deviations' centre.
struct Rows : cells::ImageRows {
    double nodata, centre;
};

// Adds four cells to the quantities with the arithmetic every statistics
// path shares (cell_sums.hpp); the counted weight and sums are the Sums
// sink's, operation for operation, so that both give the same bits.
template <int F>
struct AddCells {
    Quantities& p;
    const Rows& in;
    ZOLVIN_INLINE void operator()(lanes f, lanes d, lanes wt, lanes masked) {
        const lanes w = cells::counted<(F & kMask) != 0, (F & kNodata) != 0>(f, d, masked,
                                                                            in.nodata);
        cells::add_quantities<F>(p, w, d, wt, in.centre);
    }
};

using cells::by_flags;

struct Stored {
    template <int F>
    ZOLVIN_INLINE static void run(const Rows& in, const double* f, Quantities& p) {
        AddCells<F> add{p, in};
        cells::walk_stored<(F & kWeights) != 0, (F & kMask) != 0>(in, f, add);
    }
};
struct Fused {
    template <int F>
    ZOLVIN_INLINE static void run(const Rows& in, const Accumulator& acc, i64 first,
                                  Quantities& p) {
        AddCells<F> add{p, in};
        cells::walk_accumulated<(F & kWeights) != 0, (F & kMask) != 0>(in, acc, first, add);
    }
};

ZOLVIN_INLINE Quantities load(const double (*q)[4]) {
    Quantities p;
    for (int k = 0; k < kStatsSums; ++k) p.q[k] = load4(q[k]);
    return p;
}
ZOLVIN_INLINE void store(double (*q)[4], const Quantities& p) {
    for (int k = 0; k < kStatsSums; ++k) store4(q[k], p.q[k]);
}

// The body of stats_stored, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE void stats_stored_body(int flags, const Rows& in, const double* f,
                                     double (*q)[4]) {
    Quantities p = load(q);
    by_flags<Stored>(flags, in, f, p);
    store(q, p);
}

ZOLVIN_CLONES("avx2", "default")
void stats_stored(int flags, const Rows& in, const double* f, double (*q)[4]) {
    stats_stored_body(flags, in, f, q);
}

// The body of stats_fused, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE void stats_fused_body(int flags, const Rows& in, const Accumulator& acc, i64 first,
                                    double (*q)[4]) {
    Quantities p = load(q);
    by_flags<Fused>(flags, in, acc, first, p);
    store(q, p);
}

ZOLVIN_CLONES("avx2", "default")
void stats_fused(int flags, const Rows& in, const Accumulator& acc, i64 first, double (*q)[4]) {
    stats_fused_body(flags, in, acc, first, q);
}

using cells::empty;

}  // namespace

StatsSink::StatsSink(const StatsInput& in, const StatsOutput& out, const GridTarget& grid,
                     int threads)
    : in_(in), out_(out), row0_(grid.row0), col0_(grid.col0), cols_(grid.cols),
      plane_(grid.rows * grid.cols), states_(static_cast<std::size_t>(threads)) {
    // Room past each buffer's end, so that no two threads' buffers share a
    // cache line (as in SumsSink).
    const auto bands = static_cast<std::size_t>(in.bands);
    for (State& st : states_) {
        st.partial.reserve(bands + 1), st.partial.resize(bands);
        st.total.reserve(bands * kStatsSums + 8), st.total.resize(bands * kStatsSums);
    }
}

void StatsSink::reset(State& st, std::size_t k) {
    const int nq = quantities();
    for (std::size_t b = 0; b < st.partial.size(); ++b) {
        Lanes& p = st.partial[b];
        for (int q = 0; q < kStatsSums; ++q) {
            for (int l = 0; l < 4; ++l) {
                // An open call continues from `start` where given.
                const std::size_t at = ((k * st.partial.size() + b) * static_cast<std::size_t>(nq) +
                                        static_cast<std::size_t>(q)) * 4 + static_cast<std::size_t>(l);
                p.q[q][lane(st, l)] = out_.start && q < nq ? out_.start[at] : empty(q);
            }
        }
    }
}

void StatsSink::begin(int thread, std::size_t k, const CellWindow& window) {
    State& st = states_[static_cast<std::size_t>(thread)];
    st.region = k;
    st.first_lane = static_cast<int>(window.col0 & 3);
    st.band = -1;
    for (std::size_t b = 0; b < st.partial.size(); ++b) {
        for (int q = 0; q < kStatsSums; ++q) {
            st.total[b * kStatsSums + static_cast<std::size_t>(q)] = empty(q);
        }
    }
    reset(st, k);
}

void StatsSink::close_band(State& st) {
    const int nq = quantities();
    for (std::size_t b = 0; b < st.partial.size(); ++b) {
        for (int q = 0; q < nq; ++q) {
            double& t = st.total[b * kStatsSums + static_cast<std::size_t>(q)];
            double l[4];
            for (int a = 0; a < 4; ++a) l[a] = st.partial[b].q[q][lane(st, a)];
            cells::close(q, cells::combine(q, l), t);
        }
    }
}

// The block's rows cut where a band of kBandRows grid rows ends (an open
// call's region lies in one band), each part handed to add(first row in the
// block, rows, lanes of each image band).
template <class Add>
void StatsSink::by_band(State& st, const CellWindow& blk, const Add& add) {
    cells::band_parts(blk, [&](i64 r, i64 rows, i64 band) {
        if (band != st.band && !out_.open) {
            if (st.band >= 0) {
                close_band(st);
                for (Lanes& p : st.partial) {
                    for (int q = 0; q < kStatsSums; ++q) std::fill_n(p.q[q], 4, empty(q));
                }
            }
            st.band = band;
        }
        const i64 at = (blk.row0 + r - row0_) * cols_ + (blk.col0 - col0_);
        for (i64 b = 0; b < in_.bands; ++b) {
            const double* d = in_.data + b * plane_;
            const double* w = nullptr;
            if (in_.weights) w = in_.weights + (in_.weight_bands > 1 ? b * plane_ : 0);
            const double centre =
                in_.centre ? in_.centre[st.region * static_cast<std::size_t>(in_.bands) +
                                        static_cast<std::size_t>(b)]
                           : 0.0;
            const Rows rows_in{{d + at, w ? w + at : nullptr, in_.mask ? in_.mask + at : nullptr,
                                rows, blk.cols, cols_, d + plane_, w ? w + plane_ : nullptr},
                               in_.nodata,
                               centre};
            add(r, rows_in, st.partial[static_cast<std::size_t>(b)].q);
        }
    });
}

namespace {

int flags_of(const StatsInput& in) {
    int f = (in.mask ? kMask : 0) | (in.has_nodata ? kNodata : 0);
    if (in.centre) return f | kDeviations;
    return f | (in.weights ? kWeights : 0) | (in.minmax ? kMinMax : 0);
}

}  // namespace

void StatsSink::block(int thread, std::size_t, const CellWindow& blk, const double* f) {
    State& st = states_[static_cast<std::size_t>(thread)];
    const int flags = flags_of(in_);
    by_band(st, blk, [&](i64 r, const Rows& in, double (*q)[4]) {
        stats_stored(flags, in, f + r * blk.cols, q);
    });
}

bool StatsSink::accumulated(int thread, std::size_t, const CellWindow& blk,
                            const Accumulator& acc) {
    State& st = states_[static_cast<std::size_t>(thread)];
    const int flags = flags_of(in_);
    by_band(st, blk, [&](i64 r, const Rows& in, double (*q)[4]) {
        stats_fused(flags, in, acc, r, q);
    });
    return true;
}

void StatsSink::end(int thread, std::size_t k) {
    State& st = states_[static_cast<std::size_t>(thread)];
    const auto nq = static_cast<std::size_t>(quantities());
    const auto bands = static_cast<std::size_t>(in_.bands);
    if (out_.open) {
        for (std::size_t b = 0; b < bands; ++b) {
            double* o = out_.values + ((k * bands + b) * nq) * 4;
            for (std::size_t q = 0; q < nq; ++q) {
                for (int a = 0; a < 4; ++a) o[4 * q + a] = st.partial[b].q[q][lane(st, a)];
            }
        }
        return;
    }
    if (st.band >= 0) close_band(st);
    for (std::size_t b = 0; b < bands; ++b) {
        std::copy_n(&st.total[b * kStatsSums], nq, out_.values + (k * bands + b) * nq);
    }
}

void StatsSink::failed(int, std::size_t k) {
    const auto n = static_cast<std::size_t>(in_.bands * quantities()) * (out_.open ? 4 : 1);
    std::fill_n(out_.values + k * n, n, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace zolvin::region
