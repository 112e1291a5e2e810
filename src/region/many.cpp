// The many-region driver: each region's window, the order the windows are
// walked in, the threads, and one region's coverage handed to a sink a block
// of rows at a time.
#include "many.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <tuple>

#include "../parallel.hpp"
#include "cell_frame.hpp"
#include "deal.hpp"
#include "prepare.hpp"
#include "simple_region.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;
using u64 = std::uint64_t;
// Columns of the strips the driver walks the windows down.
constexpr i64 kStripCols = 256;
// How many windows ahead the image rows are fetched.
constexpr std::size_t kAhead = 4;

template <class T>
std::span<const T> part(std::span<const T> all, std::span<const i64> start, std::size_t k) {
    const auto a = static_cast<std::size_t>(start[k]);
    const auto b = static_cast<std::size_t>(start[k + 1]);
    return all.subspan(a, b - a);
}

// Cells [floor(lo), ceil(hi)) cut to [first, first + n), as (first, count).
std::pair<i64, i64> cells_between(double lo, double hi, i64 first, i64 n) {
    const double a = std::max(std::floor(lo), static_cast<double>(first));
    const double b = std::min(std::ceil(hi), static_cast<double>(first + n));
    if (!(b > a)) return {0, 0};
    return {static_cast<i64>(a), static_cast<i64>(b - a)};
}

// One thread's tools.
struct Worker {
    Accumulator acc;
    std::vector<double> f;
    // f only grows: every value is written before it is read, so a window
    // smaller than the last one costs no refill.
    void grow(std::size_t n) {
        if (f.size() < n) f.resize(n);
    }
};

// One block of a region's window, handed to the sink.
void evaluate_block(const RegionBatch& b, const GridTarget& g, const CellFrame& T, std::size_t k,
                    const CellWindow& block, Worker& w, Sink& sink, int thread) {
    const auto cells = static_cast<std::size_t>(block.rows * block.cols) + 3;  // finish's scratch
    if (!b.simple[k]) {
        w.grow(cells);
        const GridWindow f{g.x0, g.y0, g.dxdu, g.dxdv, g.dydu, g.dydv,
                      static_cast<u64>(block.row0), static_cast<u64>(block.col0),
                      static_cast<u64>(block.rows), static_cast<u64>(block.cols)};
        grid_coverage(b.region(k), f, w.f.data(), 1);
        sink.block(thread, k, block, w.f.data());
        return;
    }
    w.acc.start(block, T.mirrored());
    const Region region = b.region(k);
    accumulate_region(region, accumulated_arc_ends(region), T, w.acc);
    if (sink.accumulated(thread, k, block, w.acc)) return;
    w.grow(cells);
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

namespace {

// The window of region k (see region_windows).
CellWindow window_of(const RegionBatch& batch, const GridTarget& grid, const CellFrame& T,
                     std::size_t k) {
    const CellBox box = region_box(batch.region(k), T);
    if (box.ulo > box.uhi) return {0, 0, 0, 0};  // no pieces: an empty region
    if (!box.near()) return {0, 0, -1, -1};
    const auto [r0, nr] = cells_between(box.vlo, box.vhi, grid.row0, grid.rows);
    const auto [c0, nc] = cells_between(box.ulo, box.uhi, grid.col0, grid.cols);
    return nr > 0 && nc > 0 ? CellWindow{r0, c0, nr, nc} : CellWindow{0, 0, 0, 0};
}

// Regions per thread below which the windows are found on one thread.
constexpr std::size_t kWindowsPerThread = 4096;

std::vector<CellWindow> windows_of(const RegionBatch& batch, const GridTarget& grid,
                                   const CellFrame& T, u64 n_threads) {
    const std::size_t n = batch.size();
    std::vector<CellWindow> out(n);
    const u64 parts = std::clamp<u64>(n / kWindowsPerThread, 1, std::max<u64>(1, n_threads));
    split_range(n, parts, [&](u64 a, u64 e) {
        for (auto k = static_cast<std::size_t>(a); k < e; ++k)
            out[k] = window_of(batch, grid, T, k);
    });
    return out;
}

// A region in the order the driver walks them, its window beside it so that
// the walk reads both in sequence.
struct Item {
    CellWindow win;
    std::size_t k;
};

// The order windows are walked in: strips of kStripCols columns, down each
// strip by first row, so that a window's image rows are mostly in cache from
// the windows before it. Empty and failed windows come first.
struct StripOrder {
    i64 row0, rows, strips;
    explicit StripOrder(const GridTarget& g)
        : row0(g.row0), rows(std::max<i64>(g.rows, 1)),
          strips((std::max<i64>(g.cols, 1) + kStripCols - 1) / kStripCols) {}
    // (strip, first row) of a window, (-1, 0) for one with no cells.
    std::pair<i64, i64> key(const CellWindow& w, i64 col0) const {
        if (w.rows <= 0 || w.cols <= 0) return {-1, 0};
        return {(w.col0 - col0) / kStripCols, w.row0 - row0};
    }
    // The keys numbered from 0, when buckets() is small.
    std::size_t bucket(const CellWindow& w, i64 col0) const {
        const auto [strip, row] = key(w, col0);
        return strip < 0 ? 0 : static_cast<std::size_t>(1 + strip * rows + row);
    }
    std::size_t buckets() const { return static_cast<std::size_t>(1 + strips * rows); }
};

// The regions in walking order: a counting sort by (strip, first row), ties
// in batch order, when the buckets are few beside the regions; a comparison
// sort by the same keys otherwise. The order changes no result (every region
// writes only its own slot), only how well the image stays in cache.
std::vector<Item> walking_order(const std::vector<CellWindow>& windows, const GridTarget& g) {
    const std::size_t n = windows.size();
    const StripOrder so(g);
    std::vector<Item> items(n);
    const bool few = static_cast<u64>(so.strips) <= (u64{1} << 40) / static_cast<u64>(so.rows) &&
                     so.buckets() <= 4 * n + 65536;
    if (few) {
        std::vector<std::size_t> at(so.buckets() + 1, 0);
        for (const CellWindow& w : windows) ++at[so.bucket(w, g.col0) + 1];
        for (std::size_t b = 1; b < at.size(); ++b) at[b] += at[b - 1];
        for (std::size_t k = 0; k < n; ++k)
            items[at[so.bucket(windows[k], g.col0)]++] = {windows[k], k};
        return items;
    }
    for (std::size_t k = 0; k < n; ++k) items[k] = {windows[k], k};
    std::sort(items.begin(), items.end(), [&](const Item& x, const Item& y) {
        return std::tuple(so.key(x.win, g.col0), x.k) <
               std::tuple(so.key(y.win, g.col0), y.k);
    });
    return items;
}

// Fetches what region k's evaluation reads first from the batch: its pieces'
// offsets, then (once those are in cache) its first pieces.
void prefetch_offsets(const RegionBatch& b, std::size_t k) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(&b.segment_start[k]);
    __builtin_prefetch(&b.arc_start[k]);
    __builtin_prefetch(&b.simple[k]);
#endif
}
void prefetch_pieces(const RegionBatch& b, std::size_t k) {
#if defined(__GNUC__) || defined(__clang__)
    const auto s = static_cast<std::size_t>(b.segment_start[k]);
    const auto a = static_cast<std::size_t>(b.arc_start[k]);
    if (s < static_cast<std::size_t>(b.segment_start[k + 1])) __builtin_prefetch(&b.segments[s]);
    if (a < static_cast<std::size_t>(b.arc_start[k + 1])) {
        __builtin_prefetch(&b.arcs[a]);
        __builtin_prefetch(&b.arcs[a].t1);
    }
#endif
}

}  // namespace

std::vector<CellWindow> region_windows(const RegionBatch& batch, const GridTarget& grid) {
    return windows_of(batch, grid, CellFrame(grid), 1);
}

void evaluate_regions(const RegionBatch& batch, const GridTarget& grid, Sink& sink,
                      const DriverOptions& options) {
    const CellFrame T(grid);
    const std::size_t n = batch.size();
    const u64 workers = std::max<u64>(1, std::min<u64>(options.n_threads, n));
    const std::vector<Item> items = walking_order(windows_of(batch, grid, T, workers), grid);
    deal_regions(n, workers, options, [] { return Worker{}; },
                 [&](int thread, std::size_t m, Worker& w) {
                     if (m + 2 * kAhead < n) prefetch_offsets(batch, items[m + 2 * kAhead].k);
                     if (m + kAhead < n) {
                         prefetch_pieces(batch, items[m + kAhead].k);
                         sink.prefetch(thread, items[m + kAhead].win);
                     }
                     const Item& it = items[m];
                     evaluate_one(batch, grid, T, it.k, it.win, options.block_cells, sink, thread,
                                  w);
                 });
}

}  // namespace zolvin::region
