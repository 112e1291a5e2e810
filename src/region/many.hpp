// Many small regions over one grid, each evaluated exactly over its own
// window of cells and handed, a block of rows at a time, to a sink: sums per
// region (photometry, zonal statistics) or the covered cells themselves
// (sparse coverage matrices).
//
// The bits rule: every region's result depends only on its own pieces and the
// grid cells in its window. Regions are sorted by their windows for locality
// and dealt to threads in chunks, but each writes its own slot, so results are
// the same for every thread count, every order of the regions in the batch
// and every chunking. Sums run over a window's cells row-major into four
// partial sums by (window column mod 4), combined as (s0 + s1) + (s2 + s3);
// regions taller than kBandRows grid rows are summed per band of kBandRows
// rows aligned to the grid, the bands' totals added in band order, so that a
// chunked form can hand each task whole bands.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "accumulate.hpp"
#include "deal.hpp"
#include "region.hpp"

namespace zolvin::region {

// Grid rows per band of a tall region's sums.
constexpr std::int64_t kBandRows = 4096;

// n regions in flat arrays, plane coordinates. Region k owns segments
// [segment_start[k], segment_start[k + 1]), the same for arcs, rules (its
// leaves) and program (empty: the union of its leaves). Leaf numbers are the
// region's own (0 .. its rule count - 1).
struct RegionBatch {
    std::span<const Segment> segments;
    std::span<const std::int64_t> segment_start;  // n + 1
    std::span<const std::int32_t> segment_leaf;
    std::span<const Arc> arcs;
    std::span<const std::int64_t> arc_start;      // n + 1
    std::span<const std::int32_t> arc_leaf;
    std::span<const Rule> rules;
    std::span<const std::int64_t> rule_start;     // n + 1
    std::span<const std::int32_t> program;
    std::span<const std::int64_t> program_start;  // n + 1
    // Per region: 1 when its winding number is 0 or 1 everywhere and its
    // inside winds +1 (accumulated), 0 for any other (swept).
    std::span<const std::uint8_t> simple;

    std::size_t size() const { return simple.size(); }
    // Region k as the sweep reads it.
    Region region(std::size_t k) const;
};

// The grid the regions are evaluated on: pixel (row i, column j) is centred
// at (x0, y0) + J (j, i), J = [[dxdu, dxdv], [dydu, dydv]]; its pixels are
// rows [row0, row0 + rows) and columns [col0, col0 + cols), and an image on
// it holds pixel (i, j) at (i - row0) x cols + (j - col0). Bands of rows are
// counted from row 0, whatever row0.
struct GridTarget {
    double x0, y0, dxdu, dxdv, dydu, dydv;
    std::int64_t rows, cols;
    std::int64_t row0 = 0, col0 = 0;
};

// What a region's coverage becomes. The driver calls, on one thread per
// region: begin(k, window) once, block(...) for consecutive blocks of the
// window's rows from the top, then end(k); or failed(k) alone for a region
// that cannot be evaluated (it reaches beyond 1e150 cells from the grid).
// A sink holds one state per thread, picked by `thread`.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void begin(int thread, std::size_t k, const CellWindow& window) = 0;
    // Rows [block.row0, block.row0 + block.rows) of the window, every
    // column; f holds block.rows x block.cols coverages row-major.
    virtual void block(int thread, std::size_t k, const CellWindow& block, const double* f) = 0;
    // The same block of a simple region straight from the accumulator (its
    // rows 0 .. block.rows - 1), for a sink that fuses the pass along the rows
    // with its own; false: hand it to block() instead.
    virtual bool accumulated(int, std::size_t, const CellWindow&, const Accumulator&) {
        return false;
    }
    virtual void end(int thread, std::size_t k) = 0;
    virtual void failed(int thread, std::size_t k) = 0;
    // A hint, before the region before it: the window the thread will read
    // next, to fetch its image rows ahead.
    virtual void prefetch(int, const CellWindow&) {}
};

// The window of every region: its plane bounding box in the grid's cell
// frame, cut to the grid (rows or cols 0: wholly off it). Throws
// std::domain_error when the grid's Jacobian is singular.
std::vector<CellWindow> region_windows(const RegionBatch& batch, const GridTarget& grid);

// Evaluates every region of the batch over its window and hands it to the
// sink, on up to options.n_threads threads (the sink's states number that
// many, thread ids 0 .. n_threads - 1).
void evaluate_regions(const RegionBatch& batch, const GridTarget& grid, Sink& sink,
                      const DriverOptions& options);

// ---- Sinks -------------------------------------------------------------------

// The image a Sums sink reads: bands x rows x cols values (the grid's shape),
// optional per-pixel errors (the same shape), an optional mask (rows x cols,
// nonzero excludes the pixel) and an optional nodata value.
struct SumsInput {
    const double* data;
    std::int64_t bands;
    const double* error = nullptr;
    const std::uint8_t* mask = nullptr;
    bool has_nodata = false;
    double nodata = 0.0;
    double pixel_area = 1.0;
};

// Per region and band, over the cells with f > 0 whose pixel is not excluded
// (masked, NaN, or equal to nodata): sum = sum f v, count = sum f,
// area = count x pixel area, var = sum f^2 sigma^2 (when errors are given).
// Outputs are regions x bands, row-major; a failed region gets NaN.
struct SumsOutput {
    double* sum;
    double* count;
    double* area;
    double* var = nullptr;
};

class SumsSink final : public Sink {
public:
    SumsSink(const SumsInput& in, const SumsOutput& out, const GridTarget& grid, int threads);
    void begin(int thread, std::size_t k, const CellWindow& window) override;
    void block(int thread, std::size_t k, const CellWindow& block, const double* f) override;
    void end(int thread, std::size_t k) override;
    void failed(int thread, std::size_t k) override;
    bool accumulated(int thread, std::size_t k, const CellWindow& block,
                     const Accumulator& acc) override;
    void prefetch(int thread, const CellWindow& window) override;

private:
    struct Partial {
        double s[4], c[4], v[4];
    };
    // One per thread, on cache lines of its own (see the constructor).
    struct alignas(64) State {
        std::int64_t band = -1;
        std::vector<Partial> partial;  // per image band
        std::vector<double> sum, count, var;
    };
    void close_band(State& st);
    template <class Add>
    void by_band(State& st, const CellWindow& blk, const Add& add);
    SumsInput in_;
    SumsOutput out_;
    std::int64_t row0_, col0_, cols_;
    std::int64_t plane_;
    std::vector<State> states_;
};

// The (pixel index, f) pairs with f > 0 of every region, row-major in its
// window, pixel index as the image holds it, as compressed sparse rows in
// region order. Two passes of the driver, so that every entry is written
// once, in place, and no buffer grows: the first counts each region's
// entries (indptr() gives the offsets), then after fill(indices, data),
// with room for indptr().back() entries, the second writes them.
class EntriesSink final : public Sink {
public:
    EntriesSink(std::size_t regions, const GridTarget& grid, int threads);
    void begin(int thread, std::size_t k, const CellWindow& window) override;
    void block(int thread, std::size_t k, const CellWindow& block, const double* f) override;
    void end(int thread, std::size_t k) override;
    void failed(int thread, std::size_t k) override;

    // Row offsets: regions + 1 values (after the first pass).
    std::vector<std::int64_t> indptr() const;
    // Where the second pass writes (int32 or int64 indices).
    template <class Index>
    void fill(Index* indices, double* data);
    // Regions that failed, in batch order.
    std::vector<std::size_t> failures() const;

private:
    struct Thread {
        std::int64_t at = 0;  // the next entry the second pass writes
    };
    template <class Index>
    void write(Thread& t, std::int64_t base, const double* row, std::int64_t cols);
    std::int64_t row0_, col0_, cols_;
    std::vector<Thread> threads_;
    std::vector<std::int64_t> count_;  // per region, the first pass's count
    std::vector<std::uint8_t> failed_;
    std::vector<std::int64_t> start_;  // per region, its first entry (second pass)
    void* indices_ = nullptr;
    bool wide_ = false;
    double* data_ = nullptr;
};

}  // namespace zolvin::region

namespace zolvin::region {

// ---- Statistics per region (zonal statistics) -----------------------------------

// The image a Stats sink reads: bands x rows x cols values, optional weights
// (rows x cols shared by every band, or bands x rows x cols), an optional
// mask (rows x cols, nonzero excludes the pixel) and an optional nodata
// value. `centre` (regions x bands) selects the deviations pass.
struct StatsInput {
    const double* data;
    std::int64_t bands;
    const double* weights = nullptr;
    std::int64_t weight_bands = 0;
    const std::uint8_t* mask = nullptr;
    bool has_nodata = false;
    double nodata = 0.0;
    bool minmax = false;
    const double* centre = nullptr;
};

// Quantities per region and band, over the cells with f > 0 whose pixel is
// not excluded (masked, NaN, or equal to nodata):
//   sums pass:       sum f v, sum f, min v, max v, sum f w, sum f w v
//                    (the weighted ones leave out pixels whose weight is NaN
//                    or whose f w is 0; min and max are +inf and -inf where
//                    nothing is counted, or without `minmax`);
//   deviations pass: sum f (v - c), sum f (v - c)^2, c the region's centre.
// Each is summed over the window's cells row-major into four lanes by grid
// column mod 4 (not window column: so that a coverage matrix, which knows
// no windows, sums in the same order), combined per band of kBandRows grid
// rows as (l0 + l1) + (l2 + l3), the bands added in order; min and max by
// comparisons (a later value replaces an earlier one only when strictly
// beyond it).
constexpr int kStatsSums = 6;
constexpr int kStatsDeviations = 2;

// Where the quantities go: regions x bands x quantities, or with `open` the
// four lanes of each quantity unclosed (regions x bands x quantities x 4),
// for a caller that hands the rows of one band of a region over several
// calls: `start`, laid out alike, is where each region's lanes begin
// (zeros, +inf and -inf without it). An open call must give every region's
// window within one band. A region that cannot be evaluated gets NaN.
struct StatsOutput {
    double* values;
    bool open = false;
    const double* start = nullptr;
};

class StatsSink final : public Sink {
public:
    StatsSink(const StatsInput& in, const StatsOutput& out, const GridTarget& grid, int threads);
    void begin(int thread, std::size_t k, const CellWindow& window) override;
    void block(int thread, std::size_t k, const CellWindow& block, const double* f) override;
    void end(int thread, std::size_t k) override;
    void failed(int thread, std::size_t k) override;
    bool accumulated(int thread, std::size_t k, const CellWindow& block,
                     const Accumulator& acc) override;

    int quantities() const { return in_.centre ? kStatsDeviations : kStatsSums; }

private:
    struct Lanes {
        double q[kStatsSums][4];
    };
    // One per thread, on cache lines of its own (see the constructor).
    struct alignas(64) State {
        std::size_t region = 0;
        std::int64_t band = -1;
        int first_lane = 0;  // the grid lane of the window's first column
        std::vector<Lanes> partial;  // per image band
        std::vector<double> total;   // per image band and quantity
    };
    void reset(State& st, std::size_t k);
    // Where grid lane a (column mod 4) is among the window's lanes.
    static std::size_t lane(const State& st, int a) {
        return static_cast<std::size_t>((a - st.first_lane) & 3);
    }
    void close_band(State& st);
    template <class Add>
    void by_band(State& st, const CellWindow& blk, const Add& add);
    StatsInput in_;
    StatsOutput out_;
    std::int64_t row0_, col0_, cols_;
    std::int64_t plane_;
    std::vector<State> states_;
};

}  // namespace zolvin::region

namespace zolvin::region {

// A sparse coverage matrix in compressed rows: row k holds region k's
// entries (pixel index row x cols + column, coverage f), entries
// indptr[k] .. indptr[k + 1] - 1.
template <class Index>
struct CoverageRows {
    const std::int64_t* indptr;
    const Index* indices;
    const double* f;
    std::size_t regions;
};

// The StatsSink's quantities (closed, regions x bands x quantities) of an
// image of rows x cols pixels over the regions of a coverage matrix, with
// the same arithmetic: region k's entries in their order, each to lane
// column mod 4, bands of kBandRows rows closed as the rows reach them. For a
// matrix whose rows are the driver's entries (row-major in each window)
// this is the order the sink sums a window in, so both give the same bits.
// Entries with f <= 0 or NaN count for nothing. Regions are dealt to up to
// n_threads threads, each written to its own slot. False when an index is
// not a pixel of the image (that region's values are then NaN).
template <class Index>
bool csr_stats(const CoverageRows<Index>& m, std::int64_t rows, std::int64_t cols,
               const StatsInput& in, double* values, std::uint64_t n_threads);

}  // namespace zolvin::region
