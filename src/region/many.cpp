#include "many.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <tuple>

#include "../lanes.hpp"
#include "../parallel.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;
using u64 = std::uint64_t;
constexpr double kTwoPi = 2 * 3.14159265358979323846;
// Coordinates in the cell frame beyond this are refused, as the sweep does.
constexpr double kFar = 1e150;
// Columns of the strips the driver walks the windows down.
constexpr i64 kStripCols = 256;

template <class T>
std::span<const T> part(std::span<const T> all, std::span<const i64> start, std::size_t k) {
    const auto a = static_cast<std::size_t>(start[k]);
    const auto b = static_cast<std::size_t>(start[k + 1]);
    return all.subspan(a, b - a);
}

// Plane -> cell frame, with the sweep's arithmetic so that both kernels see
// the same points.
struct CellFrame {
    double x0, y0, ia, ib, ic, id;
    bool mirrored;

    explicit CellFrame(const GridTarget& g) : x0(g.x0), y0(g.y0) {
        const double det = g.dxdu * g.dydv - g.dxdv * g.dydu;
        if (!(std::isfinite(det) && det != 0.0))
            throw std::domain_error("the grid's Jacobian is singular or not finite");
        ia = g.dydv / det;
        ib = -g.dxdv / det;
        ic = -g.dydu / det;
        id = g.dxdu / det;
        mirrored = det < 0;
    }
    CellPoint point(double x, double y) const {
        const double dx = x - x0, dy = y - y0;
        return {ia * dx + ib * dy + 0.5, ic * dx + id * dy + 0.5};
    }
    CellPoint vector(double x, double y) const { return {ia * x + ib * y, ic * x + id * y}; }
    CellEllipse ellipse(const Arc& a) const {
        const CellPoint c = point(a.cx, a.cy);
        const CellPoint m1 = vector(a.a, a.c), m2 = vector(a.b, a.d);
        return {c.u, c.v, m1.u, m2.u, m1.v, m2.v};
    }
};

bool whole(const Arc& a) { return std::fabs(a.t1 - a.t0) >= kTwoPi; }

// The cell-frame box of a region, or nothing when it reaches too far.
struct Box {
    double ulo = INFINITY, uhi = -INFINITY, vlo = INFINITY, vhi = -INFINITY;
    void add(double u, double v) {
        ulo = std::min(ulo, u), uhi = std::max(uhi, u);
        vlo = std::min(vlo, v), vhi = std::max(vhi, v);
    }
    bool near() const {
        return std::fabs(ulo) <= kFar && std::fabs(uhi) <= kFar && std::fabs(vlo) <= kFar &&
               std::fabs(vhi) <= kFar;
    }
};

Box region_box(const RegionBatch& b, const CellFrame& T, std::size_t k) {
    Box box;
    for (const Segment& s : part(b.segments, b.segment_start, k)) {
        const CellPoint p = T.point(s.x0, s.y0), q = T.point(s.x1, s.y1);
        box.add(p.u, p.v);
        box.add(q.u, q.v);
    }
    for (const Arc& a : part(b.arcs, b.arc_start, k)) {
        // The whole ellipse's box: enough for any part of it.
        const CellEllipse e = T.ellipse(a);
        const double su = std::sqrt(e.m1u * e.m1u + e.m2u * e.m2u);
        const double sv = std::sqrt(e.m1v * e.m1v + e.m2v * e.m2v);
        box.add(e.cu - su, e.cv - sv);
        box.add(e.cu + su, e.cv + sv);
    }
    return box;
}

// Cells [floor(lo), ceil(hi)) cut to [first, first + n), as (first, count).
std::pair<i64, i64> cells_between(double lo, double hi, i64 first, i64 n) {
    const double a = std::max(std::floor(lo), static_cast<double>(first));
    const double b = std::min(std::ceil(hi), static_cast<double>(first + n));
    if (!(b > a)) return {0, 0};
    return {static_cast<i64>(a), static_cast<i64>(b - a)};
}

// The plane points where the region's partial arcs start and end: a segment
// end, or an earlier arc end, within 1e-9 of the arc's size is taken
// instead, as the sweep does, so that the boundary closes exactly.
struct ArcEnds {
    std::vector<std::array<double, 2>> ends;  // sorted by x
    std::vector<std::array<double, 4>> arcs;  // x0, y0, x1, y1 per arc

    void join_all(std::span<const Segment> segs, std::span<const Arc> arcs_in) {
        ends.clear();
        arcs.clear();
        for (const Segment& s : segs) {
            ends.push_back({s.x0, s.y0});
            ends.push_back({s.x1, s.y1});
        }
        std::sort(ends.begin(), ends.end());
        for (const Arc& a : arcs_in) {
            const double tol = 1e-9 * std::max({std::fabs(a.a), std::fabs(a.b), std::fabs(a.c),
                                                std::fabs(a.d)});
            auto eval = [&](double t) {
                const double c = std::cos(t), s = std::sin(t);
                return std::array<double, 2>{a.cx + a.a * c + a.b * s, a.cy + a.c * c + a.d * s};
            };
            const auto p0 = eval(a.t0);
            const auto s = join(p0[0], p0[1], tol);
            std::array<double, 2> e = s;
            if (!whole(a)) {
                const auto p1 = eval(a.t1);
                e = join(p1[0], p1[1], tol);
            }
            arcs.push_back({s[0], s[1], e[0], e[1]});
        }
    }

    std::array<double, 2> join(double x, double y, double tol) {
        auto it = std::lower_bound(ends.begin(), ends.end(),
                                   std::array<double, 2>{x - tol, -INFINITY});
        std::array<double, 2> best{x, y};
        double best_d = INFINITY;
        for (; it != ends.end() && (*it)[0] <= x + tol; ++it) {
            const double d = std::max(std::fabs((*it)[0] - x), std::fabs((*it)[1] - y));
            if (d <= tol && d < best_d) best = *it, best_d = d;
        }
        if (best_d == INFINITY) ends.insert(std::upper_bound(ends.begin(), ends.end(), best), best);
        return best;
    }
};

// One thread's tools.
struct Worker {
    Accumulator acc;
    ArcEnds ends;
    std::vector<double> f;
};

// One block of a region's window, handed to the sink.
void evaluate_block(const RegionBatch& b, const GridTarget& g, const CellFrame& T, std::size_t k,
                    const CellWindow& block, Worker& w, Sink& sink, int thread) {
    w.f.resize(static_cast<std::size_t>(block.rows * block.cols) + 3);  // finish's scratch
    if (!b.simple[k]) {
        const Frame f{g.x0, g.y0, g.dxdu, g.dxdv, g.dydu, g.dydv,
                      static_cast<u64>(block.row0), static_cast<u64>(block.col0),
                      static_cast<u64>(block.rows), static_cast<u64>(block.cols)};
        grid_coverage(b.region(k), f, w.f.data(), 1);
        sink.block(thread, k, block, w.f.data());
        return;
    }
    w.acc.start(block, T.mirrored);
    for (const Segment& s : part(b.segments, b.segment_start, k))
        w.acc.segment(T.point(s.x0, s.y0), T.point(s.x1, s.y1));
    const auto arcs = part(b.arcs, b.arc_start, k);
    if (!arcs.empty()) {
        const bool partial = std::any_of(arcs.begin(), arcs.end(),
                                         [](const Arc& a) { return !whole(a); });
        if (partial) w.ends.join_all(part(b.segments, b.segment_start, k), arcs);
        for (std::size_t m = 0; m < arcs.size(); ++m) {
            const Arc& a = arcs[m];
            const CellEllipse e = T.ellipse(a);
            if (whole(a)) {
                const bool ccw = (a.t1 > a.t0) == (a.a * a.d - a.b * a.c > 0);
                w.acc.ellipse(e, ccw);
            } else {
                const auto& p = w.ends.arcs[m];
                w.acc.arc(e, a.t0, a.t1, T.point(p[0], p[1]), T.point(p[2], p[3]));
            }
        }
    }
    if (sink.accumulated(thread, k, block, w.acc)) return;
    w.acc.finish(w.f.data());
    sink.block(thread, k, block, w.f.data());
}

// Hands region k's window to the sink a block of rows at a time.
void evaluate_one(const RegionBatch& b, const GridTarget& g, const CellFrame& T, std::size_t k,
                  const CellWindow& win, i64 block_cells, Sink& sink, int thread, Worker& w) {
    if (win.rows < 0) {
        sink.failed(thread, k);
        return;
    }
    sink.begin(thread, k, win);
    if (win.rows > 0 && win.cols > 0) {
        const i64 step = std::max<i64>(1, block_cells / win.cols);
        for (i64 r = 0; r < win.rows; r += step) {
            const CellWindow block{win.row0 + r, win.col0, std::min(step, win.rows - r),
                                   win.cols};
            try {
                evaluate_block(b, g, T, k, block, w, sink, thread);
            } catch (const std::domain_error&) {
                sink.failed(thread, k);
                return;
            }
        }
    }
    sink.end(thread, k);
}

}  // namespace

Region RegionBatch::region(std::size_t k) const {
    return {part(segments, segment_start, k), part(segment_leaf, segment_start, k),
            part(arcs, arc_start, k),         part(arc_leaf, arc_start, k),
            part(rules, rule_start, k),       part(program, program_start, k)};
}

std::vector<CellWindow> region_windows(const RegionBatch& batch, const GridTarget& grid) {
    const CellFrame T(grid);
    std::vector<CellWindow> out(batch.size());
    for (std::size_t k = 0; k < batch.size(); ++k) {
        const Box box = region_box(batch, T, k);
        if (box.ulo > box.uhi) {  // no pieces: an empty region
            out[k] = {0, 0, 0, 0};
            continue;
        }
        if (!box.near()) {
            out[k] = {0, 0, -1, -1};
            continue;
        }
        const auto [r0, nr] = cells_between(box.vlo, box.vhi, grid.row0, grid.rows);
        const auto [c0, nc] = cells_between(box.ulo, box.uhi, grid.col0, grid.cols);
        out[k] = nr > 0 && nc > 0 ? CellWindow{r0, c0, nr, nc} : CellWindow{0, 0, 0, 0};
    }
    return out;
}

void evaluate_regions(const RegionBatch& batch, const GridTarget& grid, Sink& sink,
                      const DriverOptions& options) {
    const CellFrame T(grid);
    const std::vector<CellWindow> windows = region_windows(batch, grid);
    const std::size_t n = batch.size();
    // Windows in strips of kStripCols columns, down each strip by (row0,
    // col0), ties in batch order: a window's rows are mostly in cache from
    // the windows before it, whose rows overlap its own.
    struct Key {
        i64 strip, row0, col0;
        std::size_t k;
        bool operator<(const Key& o) const {
            return std::tie(strip, row0, col0, k) < std::tie(o.strip, o.row0, o.col0, o.k);
        }
    };
    std::vector<Key> keys(n);
    for (std::size_t k = 0; k < n; ++k) {
        const CellWindow& w = windows[k];
        keys[k] = {w.col0 / kStripCols, w.row0, w.col0, k};
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::size_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = keys[k].k;
    const u64 workers = std::max<u64>(1, std::min<u64>(options.n_threads, n));
    const std::size_t chunk = std::clamp<std::size_t>(n / (workers * 16), 1, 64);
    constexpr std::size_t kPollEvery = 256;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    split_range(workers, workers, [&](u64 first, u64) {
        const int thread = static_cast<int>(first);
        const bool polls = first + 1 == workers && options.poll;
        Worker w;
        std::size_t since_poll = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t a = next.fetch_add(chunk, std::memory_order_relaxed);
            if (a >= n) break;
            const std::size_t e = std::min(n, a + chunk);
            for (std::size_t m = a; m < e; ++m) {
                const std::size_t k = order[m];
                if (m + 1 < n) sink.prefetch(thread, windows[order[m + 1]]);
                evaluate_one(batch, grid, T, k, windows[k], options.block_cells, sink, thread,
                             w);
            }
            since_poll += e - a;
            if (polls && since_poll >= kPollEvery) {
                since_poll = 0;
                if (options.poll()) stop.store(true, std::memory_order_relaxed);
            }
        }
    });
    if (stop.load()) throw Cancelled{};
}

// ---- Sums ----------------------------------------------------------------------

namespace {

// Where a block's rows lie in the image: values d (stride values from one
// row to the next), errors e and mask m laid out alike (or null), and the
// ends of the values and errors, to know where four lanes may be loaded
// past a row.
struct BlockInput {
    const double* d;
    const double* e;
    const std::uint8_t* m;
    i64 rows, cols, stride;
    const double* d_end;
    const double* e_end;
    bool has_nodata;
    double nodata;
};

struct Lanes3 {
    lanes s, c, v;
};

// Adds four cells to the partial sums: counted when f > 0 on a pixel not
// masked, not NaN and not nodata.
// The flags say which of errors, mask and nodata the image has.
template <bool Errors, bool Mask, bool Nodata>
ZOLVIN_INLINE void count_cells(Lanes3& p, lanes f, lanes d, lanes err, lanes masked,
                               double nodata) {
    const lanes zero = splat(0.0);
    lanes w = select(d == d, f, zero);
    if (Mask) w = select(masked == 0.0, w, zero);
    if (Nodata) w = select(d == nodata, zero, w);
    const lane_mask ok = w > 0.0;
    p.s = p.s + select(ok, w * d, zero);
    p.c = p.c + select(ok, w, zero);
    if (Errors) p.v = p.v + select(ok, (w * w) * (err * err), zero);
}

// Adds row r of the block, cell q to lane q mod 4; cover(q) gives the
// coverages of cells q .. q + 3 (lanes past the row are ignored).
template <bool Errors, bool Mask, bool Nodata, class Cover>
ZOLVIN_INLINE void sum_row(const BlockInput& in, i64 r, const Cover& cover, Lanes3& p) {
    const lanes zero = splat(0.0);
    constexpr bool errors = Errors;
    const double* d = in.d + r * in.stride;
    const double* e = errors ? in.e + r * in.stride : nullptr;
    const std::uint8_t* m = in.m ? in.m + r * in.stride : nullptr;
    auto mask4 = [&](i64 q, i64 n) {
        lanes out = zero;
        if (Mask) {
            for (i64 l = 0; l < n; ++l) out[static_cast<int>(l)] = m[q + l] ? 1.0 : 0.0;
        }
        return out;
    };
    const i64 full = in.cols / 4 * 4;
    i64 q = 0;
    for (; q < full; q += 4) {
        count_cells<Errors, Mask, Nodata>(p, cover(q), load4(d + q),
                                          errors ? load4(e + q) : zero, mask4(q, 4), in.nodata);
    }
    if (q == in.cols) return;
    // The last cells: four lanes where the image has them, else one by one.
    const lanes lane = {0.0, 1.0, 2.0, 3.0};
    const lanes fq = select(lane < static_cast<double>(in.cols - q), cover(q), zero);
    lanes dq = zero, eq = zero;
    if (d + q + 4 <= in.d_end && (!errors || e + q + 4 <= in.e_end)) {
        dq = load4(d + q);
        if (errors) eq = load4(e + q);
    } else {
        for (i64 l = 0; q + l < in.cols; ++l) {
            dq[static_cast<int>(l)] = d[q + l];
            if (errors) eq[static_cast<int>(l)] = e[q + l];
        }
    }
    count_cells<Errors, Mask, Nodata>(p, fq, dq, eq, mask4(q, in.cols - q), in.nodata);
}

// Coverages of four cells of a row, stored or straight from the accumulator.
struct StoredCover {
    const double* f;
    ZOLVIN_INLINE lanes operator()(i64 q) const { return load4(f + q); }
};
// Called for q = 0, 4, 8, ... in turn: the heights add up along the row.
struct AccumulatedCover {
    AccumulatedRow row;
    mutable double run;
    ZOLVIN_INLINE lanes operator()(i64 q) const {
        const lanes a = load4(row.area + q);
        return cover4(add_heights(a, load4(row.height + q), run), a, row.sign);
    }
};

template <bool E, bool M, bool N>
ZOLVIN_INLINE void sum_stored(const BlockInput& in, const double* f, Lanes3& p) {
    for (i64 r = 0; r < in.rows; ++r) sum_row<E, M, N>(in, r, StoredCover{f + r * in.cols}, p);
}

template <bool E, bool M, bool N>
ZOLVIN_INLINE void sum_rows(const BlockInput& in, const Accumulator& acc, i64 first, Lanes3& p) {
    for (i64 r = 0; r < in.rows; ++r) {
        const AccumulatedRow row = acc.row(first + r);
        sum_row<E, M, N>(in, r, AccumulatedCover{row, row.left}, p);
    }
}

// The image's flags (errors, mask, nodata) as a number: each combination is
// compiled on its own, with no tests per cell.
int flags(const BlockInput& in) {
    return (in.e ? 4 : 0) + (in.m ? 2 : 0) + (in.has_nodata ? 1 : 0);
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
        sum_stored<E, M, N>(in, f, p);
    }
};
struct SumRows {
    template <bool E, bool M, bool N>
    ZOLVIN_INLINE static void run(const BlockInput& in, const Accumulator& acc, i64 first,
                                  Lanes3& p) {
        sum_rows<E, M, N>(in, acc, first, p);
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
    for (State& st : states_) {
        st.partial.resize(static_cast<std::size_t>(in.bands));
        st.sum.resize(static_cast<std::size_t>(in.bands));
        st.count.resize(static_cast<std::size_t>(in.bands));
        st.var.resize(static_cast<std::size_t>(in.bands));
    }
}

void SumsSink::begin(int thread, std::size_t, const CellWindow&) {
    State& st = states_[static_cast<std::size_t>(thread)];
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
    for (i64 r = 0; r < blk.rows;) {
        const i64 row = blk.row0 + r;
        const i64 band = row / kBandRows;
        const i64 rows = std::min(blk.rows - r, (band + 1) * kBandRows - row);
        if (band != st.band) {
            if (st.band >= 0) close_band(st);
            st.band = band;
            for (Partial& p : st.partial) p = Partial{};
        }
        const i64 at = (row - row0_) * cols_ + (blk.col0 - col0_);
        for (i64 b = 0; b < in_.bands; ++b) {
            const double* d = in_.data + b * plane_;
            const double* e = in_.error ? in_.error + b * plane_ : nullptr;
            const BlockInput bi{d + at,    e ? e + at : nullptr,
                                in_.mask ? in_.mask + at : nullptr,
                                rows,      blk.cols,
                                cols_,     d + plane_,
                                e ? e + plane_ : nullptr,
                                in_.has_nodata,
                                in_.nodata};
            add(r, bi, st.partial[static_cast<std::size_t>(b)]);
        }
        r += rows;
    }
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
    : row0_(grid.row0), col0_(grid.col0), cols_(grid.cols), threads_(threads),
      owner_(regions, -1), offset_(regions, 0),
      count_(regions, 0) {}

void EntriesSink::begin(int thread, std::size_t k, const CellWindow&) {
    owner_[k] = thread;
    offset_[k] = static_cast<i64>(threads_[static_cast<std::size_t>(thread)].index.size());
}

void EntriesSink::block(int thread, std::size_t, const CellWindow& blk, const double* f) {
    Thread& t = threads_[static_cast<std::size_t>(thread)];
    for (i64 r = 0; r < blk.rows; ++r) {
        const i64 base = (blk.row0 + r - row0_) * cols_ + (blk.col0 - col0_);
        const double* row = f + r * blk.cols;
        for (i64 q = 0; q < blk.cols; ++q) {
            if (row[q] > 0.0) {
                t.index.push_back(base + q);
                t.value.push_back(row[q]);
            }
        }
    }
}

void EntriesSink::end(int thread, std::size_t k) {
    count_[k] = static_cast<i64>(threads_[static_cast<std::size_t>(thread)].index.size()) -
                offset_[k];
}

void EntriesSink::failed(int thread, std::size_t k) {
    // Drop whatever blocks it had handed in already.
    Thread& t = threads_[static_cast<std::size_t>(thread)];
    if (owner_[k] == thread) {
        t.index.resize(static_cast<std::size_t>(offset_[k]));
        t.value.resize(static_cast<std::size_t>(offset_[k]));
    }
    owner_[k] = -1;
    count_[k] = 0;
}

std::vector<std::int64_t> EntriesSink::indptr() const {
    std::vector<i64> p(count_.size() + 1, 0);
    for (std::size_t k = 0; k < count_.size(); ++k) p[k + 1] = p[k] + count_[k];
    return p;
}

template <class Index>
void EntriesSink::write(Index* indices, double* data) const {
    i64 at = 0;
    for (std::size_t k = 0; k < count_.size(); ++k) {
        if (count_[k] == 0) continue;
        const Thread& t = threads_[static_cast<std::size_t>(owner_[k])];
        for (i64 m = 0; m < count_[k]; ++m) {
            indices[at + m] = static_cast<Index>(t.index[static_cast<std::size_t>(offset_[k] + m)]);
            data[at + m] = t.value[static_cast<std::size_t>(offset_[k] + m)];
        }
        at += count_[k];
    }
}
template void EntriesSink::write<std::int32_t>(std::int32_t*, double*) const;
template void EntriesSink::write<std::int64_t>(std::int64_t*, double*) const;

std::vector<std::size_t> EntriesSink::failures() const {
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < owner_.size(); ++k) {
        if (owner_[k] < 0) out.push_back(k);
    }
    return out;
}

}  // namespace zolvin::region
