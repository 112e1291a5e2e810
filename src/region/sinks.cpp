// The sinks of the many-region driver: sums of an image per region (fused
// with the accumulator's pass along each row, one compiled loop per
// combination of errors, mask and nodata) and the covered cells as sparse
// entries.
#include <algorithm>
#include <cmath>
#include <limits>

#include "../lanes.hpp"
#include "cell_sums.hpp"
#include "many.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;

}  // namespace

// ---- Sums ----------------------------------------------------------------------

namespace {

using cells::ImageRows;

// A block's rows in the image (x holds the errors), and the nodata value.
struct BlockInput : ImageRows {
    bool has_nodata;
    double nodata;
};

struct Lanes3 {
    lanes s, c, v;
};

// Adds four cells to the partial sums: counted where their weight is > 0.
// The flags say which of errors, mask and nodata the image has.
template <bool Errors, bool Mask, bool Nodata>
struct AddSums {
    Lanes3& p;
    double nodata;
    ZOLVIN_INLINE void operator()(lanes f, lanes d, lanes err, lanes masked) {
        const lanes zero = splat(0.0);
        const lanes w = cells::counted<Mask, Nodata>(f, d, masked, nodata);
        const lane_mask ok = w > 0.0;
        p.s = p.s + select(ok, w * d, zero);
        p.c = p.c + select(ok, w, zero);
        if (Errors) p.v = p.v + select(ok, (w * w) * (err * err), zero);
    }
};

// The image's flags (errors, mask, nodata) as a number: each combination is
// compiled on its own, with no tests per cell.
int flags(const BlockInput& in) {
    return (in.x ? 4 : 0) + (in.m ? 2 : 0) + (in.has_nodata ? 1 : 0);
}

// Calls F::template run<Errors, Mask, Nodata>(args...) for the image's
// flags: each combination is compiled on its own, with no tests per cell.
template <class F, class... Args>
ZOLVIN_INLINE void by_flags(const BlockInput& in, Args&&... args) {
    switch (flags(in)) {
    case 0: F::template run<false, false, false>(args...); break;
    case 1: F::template run<false, false, true>(args...); break;
    case 2: F::template run<false, true, false>(args...); break;
    case 3: F::template run<false, true, true>(args...); break;
    case 4: F::template run<true, false, false>(args...); break;
    case 5: F::template run<true, false, true>(args...); break;
    case 6: F::template run<true, true, false>(args...); break;
    default: F::template run<true, true, true>(args...); break;
    }
}

struct SumStored {
    template <bool E, bool M, bool N>
    ZOLVIN_INLINE static void run(const BlockInput& in, const double* f, Lanes3& p) {
        AddSums<E, M, N> add{p, in.nodata};
        cells::walk_stored<E, M>(in, f, add);
    }
};
struct SumRows {
    template <bool E, bool M, bool N>
    ZOLVIN_INLINE static void run(const BlockInput& in, const Accumulator& acc, i64 first,
                                  Lanes3& p) {
        AddSums<E, M, N> add{p, in.nodata};
        cells::walk_accumulated<E, M>(in, acc, first, add);
    }
};

// A block of coverages f (cols per row, row-major, readable three past the
// end).
// The body of sum_block, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE void sum_block_body(const BlockInput& in, const double* f, double* s, double* c, double* v) {
    Lanes3 p{load4(s), load4(c), load4(v)};
    by_flags<SumStored>(in, in, f, p);
    store4(s, p.s), store4(c, p.c), store4(v, p.v);
}

ZOLVIN_CLONES("avx2", "default")
void sum_block(const BlockInput& in, const double* f, double* s, double* c, double* v) {
    sum_block_body(in, f, s, c, v);
}

// A block straight from the accumulator (its rows first .. first + rows),
// the pass along each row fused with the sums: the coverages are those
// Accumulator::finish_row gives.
// The body of sum_accumulated, inlined into each of its clones.
template <int = 0>
ZOLVIN_INLINE void sum_accumulated_body(const BlockInput& in, const Accumulator& acc, i64 first, double* s,
                     double* c, double* v) {
    Lanes3 p{load4(s), load4(c), load4(v)};
    by_flags<SumRows>(in, in, acc, first, p);
    store4(s, p.s), store4(c, p.c), store4(v, p.v);
}

ZOLVIN_CLONES("avx2", "default")
void sum_accumulated(const BlockInput& in, const Accumulator& acc, i64 first, double* s,
                     double* c, double* v) {
    sum_accumulated_body(in, acc, first, s, c, v);
}

}  // namespace

SumsSink::SumsSink(const SumsInput& in, const SumsOutput& out, const GridTarget& grid,
                   int threads)
    : in_(in), out_(out), row0_(grid.row0), col0_(grid.col0), cols_(grid.cols),
      plane_(grid.rows * grid.cols), states_(threads) {
    // The threads' sums side by side in memory would share cache lines, and
    // every region's writes would bounce them between cores: each buffer
    // gets a cache line of room past its end.
    const auto bands = static_cast<std::size_t>(in.bands);
    for (State& st : states_) {
        st.partial.reserve(bands + 1), st.partial.resize(bands);
        for (std::vector<double>* v : {&st.sum, &st.count, &st.var})
            v->reserve(bands + 8), v->resize(bands);
    }
}

void SumsSink::begin(int thread, std::size_t k, const CellWindow&) {
    State& st = states_[static_cast<std::size_t>(thread)];
#if defined(__GNUC__) || defined(__clang__)
    // The region's slots, written by end(): regions come in window order, not
    // slot order, so each slot is a cache miss unless fetched while it works.
    const auto at = static_cast<std::size_t>(static_cast<i64>(k) * in_.bands);
    for (double* out : {out_.sum, out_.count, out_.area, out_.var}) {
        if (out) __builtin_prefetch(out + at, 1);
    }
#endif
    st.band = -1;
    std::fill(st.sum.begin(), st.sum.end(), 0.0);
    std::fill(st.count.begin(), st.count.end(), 0.0);
    std::fill(st.var.begin(), st.var.end(), 0.0);
}

void SumsSink::close_band(State& st) {
    for (std::size_t b = 0; b < st.partial.size(); ++b) {
        Partial& p = st.partial[b];
        st.sum[b] += (p.s[0] + p.s[1]) + (p.s[2] + p.s[3]);
        st.count[b] += (p.c[0] + p.c[1]) + (p.c[2] + p.c[3]);
        st.var[b] += (p.v[0] + p.v[1]) + (p.v[2] + p.v[3]);
    }
}

// The block's rows cut where a band of kBandRows grid rows ends, each part
// handed to add(first row in the block, rows, image offset, partial sums of
// each image band).
template <class Add>
void SumsSink::by_band(State& st, const CellWindow& blk, const Add& add) {
    cells::band_parts(blk, [&](i64 r, i64 rows, i64 band) {
        if (band != st.band) {
            if (st.band >= 0) close_band(st);
            st.band = band;
            for (Partial& p : st.partial) p = Partial{};
        }
        const i64 at = (blk.row0 + r - row0_) * cols_ + (blk.col0 - col0_);
        for (i64 b = 0; b < in_.bands; ++b) {
            const double* d = in_.data + b * plane_;
            const double* e = in_.error ? in_.error + b * plane_ : nullptr;
            const BlockInput bi{{d + at, e ? e + at : nullptr, in_.mask ? in_.mask + at : nullptr,
                                 rows, blk.cols, cols_, d + plane_, e ? e + plane_ : nullptr},
                                in_.has_nodata,
                                in_.nodata};
            add(r, bi, st.partial[static_cast<std::size_t>(b)]);
        }
    });
}

void SumsSink::block(int thread, std::size_t, const CellWindow& blk, const double* f) {
    State& st = states_[static_cast<std::size_t>(thread)];
    by_band(st, blk, [&](i64 r, const BlockInput& bi, Partial& p) {
        sum_block(bi, f + r * blk.cols, p.s, p.c, p.v);
    });
}

bool SumsSink::accumulated(int thread, std::size_t, const CellWindow& blk,
                           const Accumulator& acc) {
    State& st = states_[static_cast<std::size_t>(thread)];
    by_band(st, blk, [&](i64 r, const BlockInput& bi, Partial& p) {
        sum_accumulated(bi, acc, r, p.s, p.c, p.v);
    });
    return true;
}

void SumsSink::prefetch(int, const CellWindow& w) {
    // The first band's values of a small window (a large one's rows stream).
    if (w.rows <= 0 || w.cols <= 0 || w.rows * w.cols > 4096) return;
    for (i64 r = 0; r < w.rows; ++r) {
        const double* d = in_.data + (w.row0 + r - row0_) * cols_ + (w.col0 - col0_);
#if defined(__GNUC__) || defined(__clang__)
        for (i64 q = 0; q < w.cols; q += 8) __builtin_prefetch(d + q);
        __builtin_prefetch(d + w.cols - 1);
#endif
    }
}

void SumsSink::end(int thread, std::size_t k) {
    State& st = states_[static_cast<std::size_t>(thread)];
    if (st.band >= 0) close_band(st);
    for (i64 b = 0; b < in_.bands; ++b) {
        const auto at = static_cast<std::size_t>(static_cast<i64>(k) * in_.bands + b);
        const auto bb = static_cast<std::size_t>(b);
        out_.sum[at] = st.sum[bb];
        out_.count[at] = st.count[bb];
        out_.area[at] = st.count[bb] * in_.pixel_area;
        if (out_.var) out_.var[at] = st.var[bb];
    }
}

void SumsSink::failed(int, std::size_t k) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (i64 b = 0; b < in_.bands; ++b) {
        const auto at = static_cast<std::size_t>(static_cast<i64>(k) * in_.bands + b);
        out_.sum[at] = out_.count[at] = out_.area[at] = nan;
        if (out_.var) out_.var[at] = nan;
    }
}

// ---- Entries -------------------------------------------------------------------

EntriesSink::EntriesSink(std::size_t regions, const GridTarget& grid, int threads)
    : row0_(grid.row0), col0_(grid.col0), cols_(grid.cols),
      threads_(static_cast<std::size_t>(threads)), count_(regions, 0), failed_(regions, 0) {}

void EntriesSink::begin(int thread, std::size_t k, const CellWindow&) {
    if (data_) threads_[static_cast<std::size_t>(thread)].at = start_[k];
    else count_[k] = 0;
}

template <class Index>
void EntriesSink::write(Thread& t, i64 base, const double* row, i64 cols) {
    auto* indices = static_cast<Index*>(indices_);
    for (i64 q = 0; q < cols; ++q) {
        if (row[q] > 0.0) {
            indices[t.at] = static_cast<Index>(base + q);
            data_[t.at] = row[q];
            ++t.at;
        }
    }
}

void EntriesSink::block(int thread, std::size_t k, const CellWindow& blk, const double* f) {
    // A region that failed in the first pass has no room in the second.
    if (failed_[k]) return;
    Thread& t = threads_[static_cast<std::size_t>(thread)];
    for (i64 r = 0; r < blk.rows; ++r) {
        const i64 base = (blk.row0 + r - row0_) * cols_ + (blk.col0 - col0_);
        const double* row = f + r * blk.cols;
        if (!data_) {
            i64 n = 0;
            for (i64 q = 0; q < blk.cols; ++q) n += row[q] > 0.0;
            count_[k] += n;
        } else if (wide_) {
            write<std::int64_t>(t, base, row, blk.cols);
        } else {
            write<std::int32_t>(t, base, row, blk.cols);
        }
    }
}

void EntriesSink::end(int, std::size_t) {}

void EntriesSink::failed(int, std::size_t k) {
    failed_[k] = 1;
    count_[k] = 0;
}

std::vector<std::int64_t> EntriesSink::indptr() const {
    std::vector<i64> p(count_.size() + 1, 0);
    for (std::size_t k = 0; k < count_.size(); ++k) p[k + 1] = p[k] + count_[k];
    return p;
}

template <class Index>
void EntriesSink::fill(Index* indices, double* data) {
    indices_ = indices;
    wide_ = sizeof(Index) == 8;
    data_ = data;
    start_ = indptr();
}
template void EntriesSink::fill<std::int32_t>(std::int32_t*, double*);
template void EntriesSink::fill<std::int64_t>(std::int64_t*, double*);

std::vector<std::size_t> EntriesSink::failures() const {
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < failed_.size(); ++k) {
        if (failed_[k]) out.push_back(k);
    }
    return out;
}

}  // namespace zolvin::region
