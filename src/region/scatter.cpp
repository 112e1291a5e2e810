// The scatter kernel: each input pixel's coverage of the output cells it
// overlaps, added to the output band by band (see scatter.hpp).
#include "scatter.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "../lanes.hpp"
#include "../parallel.hpp"
#include "many.hpp"
#include "scatter_cover.hpp"
#include "scatter_walk.hpp"

namespace zolvin::region {

namespace {

// Output rows per band dealt to a thread, at least: fewer would walk the
// input's rows more often than they pay.
constexpr i64 kMinBandRows = 32;
// And at most, on one thread too: an input row crosses the output
// obliquely, and a band this high keeps the cells it touches (and their
// pages) in cache from one input row to the next; a whole 4096^2 output
// at once runs four times slower per pixel.
constexpr i64 kMaxBandRows = 64;
// Bands per thread, so that a thread whose bands hold little input work
// takes more of them.
constexpr u64 kBandsPerThread = 4;

// The orientation of a quadrilateral: +1 counter-clockwise, -1 clockwise
// (twice its signed area, from its diagonals).
ZOLVIN_INLINE double orientation(const CellPoint (&q)[4]) {
    const double a = (q[2].u - q[0].u) * (q[3].v - q[1].v) - (q[2].v - q[0].v) * (q[3].u - q[1].u);
    return a < 0 ? -1.0 : 1.0;
}

// The rows and columns of a window inside [b0, b1) x [c0, c1), as
// (first row, end row, first column, end column); empty when first >= end.
struct Clip {
    i64 r0, r1, c0, c1;
    bool empty() const { return r0 >= r1 || c0 >= c1; }
};
ZOLVIN_INLINE Clip clip(const CellWindow& w, i64 b0, i64 b1, i64 c0, i64 c1) {
    return {std::max(w.row0, b0), std::min(w.row0 + w.rows, b1), std::max(w.col0, c0),
            std::min(w.col0 + w.cols, c1)};
}

// Threads over bands of output rows, dealt from a counter: band(cover,
// first row, end row, stop) walks one, with the worker's own QuadCover; the
// calling thread polls for Ctrl-C.
template <class Band>
void by_bands(const OutputCells& cells, const ScatterOptions& options, const Band& band) {
    if (cells.rows <= 0) return;
    const u64 threads = std::max<u64>(1, options.n_threads);
    const i64 want = static_cast<i64>(threads * kBandsPerThread);
    const i64 size = std::min(kMaxBandRows, std::max(kMinBandRows, (cells.rows + want - 1) / want));
    const i64 bands = (cells.rows + size - 1) / size;
    const u64 workers = std::min<u64>(threads, static_cast<u64>(bands));
    std::atomic<i64> next{0};
    std::atomic<bool> cancel{false};
    split_range(workers, workers, [&](u64 first, u64) {
        const bool polls = first + 1 == workers && static_cast<bool>(options.poll);
        const Stop stop{polls ? &options.poll : nullptr, &cancel};
        QuadCover qc;
        for (i64 b; !cancel.load() && (b = next.fetch_add(1)) < bands;) {
            const i64 r0 = cells.row0 + b * size;
            band(qc, r0, std::min(cells.row0 + cells.rows, r0 + size), stop);
        }
    });
    if (cancel.load()) throw Cancelled{};
}

// ---- Spreading an image --------------------------------------------------------

// What the sums take: the flux (f / a_k) v, or the mean's f w v with its
// weights f w and variances (f w)^2 s2, w and s2 being the pixel's weight
// and variance where there are any.
struct Sums {
    Conserve mode;
    bool weights, variance;
};

// One input pixel's value, for one image band.
struct Value {
    double v, per_area, w, s2;
};

// What one pixel adds where it covers f of a cell; nothing (+0.0, whatever
// v) where f is 0. T: a double or four lanes of cells.
template <class T>
struct Adds {
    T sum, weight, var;
};

// (A function rather than a constructor: some compilers then leave out the
// constructor of a lanes instance that a clone of the caller calls.)
template <Conserve M, bool W, bool V, class T>
ZOLVIN_INLINE Adds<T> adds(T f, const Value& x) {
    const auto keep = [&](T a) ZOLVIN_LAMBDA_INLINE { return select(f > 0.0, a, T{}); };
    Adds<T> r{};
    if constexpr (M == Conserve::flux) {
        r.sum = keep((f * x.per_area) * x.v);
        r.weight = f;
    } else {
        const T c = W ? f * x.w : f;
        r.sum = keep(c * x.v);
        r.weight = c;
        if constexpr (V) r.var = keep((c * c) * x.s2);
    }
    return r;
}

// The output planes of one image band.
struct Planes {
    double* sum;
    double* weight;
    double* var;
};

// A pixel's coverages cov(i, j) added to the cells of the clip.
template <Sums S, class Cov>
ZOLVIN_INLINE void spread(const Cov& cov, const Clip& k, const Value& x, const Planes& o,
                          const OutputCells& cells) {
    for (i64 i = k.r0; i < k.r1; ++i) {
        const i64 at = (i - cells.row0) * cells.cols - cells.col0;
        for (i64 j = k.c0; j < k.c1; ++j) {
            const auto a = adds<S.mode, S.weights, S.variance>(cov(i, j), x);
            o.sum[at + j] += a.sum;
            o.weight[at + j] += a.weight;
            if constexpr (S.variance) o.var[at + j] += a.var;
        }
    }
}

// A small pixel's rows of 4 cells at once where they all lie in the band
// and the output (those beyond its window add +0.0); else cell by cell,
// with the same operations.
template <Sums S>
ZOLVIN_INLINE void spread_small(const SmallCover& s, const Clip& k, bool whole, const Value& x,
                                const Planes& o, const OutputCells& cells) {
    if (!whole) {
        spread<S>([&](i64 i, i64 j) ZOLVIN_LAMBDA_INLINE { return s.at(i, j); }, k, x, o, cells);
        return;
    }
    for (int r = 0; r < s.rows; ++r) {
        const i64 at = (s.i0 + r - cells.row0) * cells.cols + (s.j0 - cells.col0);
        const auto a = adds<S.mode, S.weights, S.variance>(s.f[r], x);
        store4(o.sum + at, load4(o.sum + at) + a.sum);
        store4(o.weight + at, load4(o.weight + at) + a.weight);
        if constexpr (S.variance) store4(o.var + at, load4(o.var + at) + a.var);
    }
}

// 1 / the area of a quadrilateral, in cells (from its diagonals): the flux
// weight of a cell it covers f of is f / its area, so that its weights add
// up to 1 to rounding however far its corners lie from the origin. A
// quadrilateral without area spreads nothing (its cells' f are all 0).
ZOLVIN_INLINE double reciprocal_area(const CellPoint (&q)[4]) {
    const double cross =
        (q[2].u - q[0].u) * (q[3].v - q[1].v) - (q[2].v - q[0].v) * (q[3].u - q[1].u);
    return cross != 0.0 ? 2.0 / std::fabs(cross) : 0.0;
}

// The sign of the grid's quadrilaterals: their corners run counter-clockwise
// where M keeps the orientation.
double grid_sign(const InputNodes& in) {
    return in.m00 * in.m11 - in.m01 * in.m10 < 0 ? -1.0 : 1.0;
}

// Whether every pixel of a grid is small (all are the same parallelogram).
bool grid_small(const InputNodes& in) {
    return in.affine && std::fabs(in.m00) < 1.0 && std::fabs(in.m10) < 1.0 &&
           std::fabs(in.m01) < 1.0 && std::fabs(in.m11) < 1.0;
}

// One input pixel's coverages, by whichever path fits it: small_cover for a
// small one, QuadCover for any other.
struct PixelCover {
    bool small;
    SmallCover sc;
    const CellWindow* w;
    const double* f;
    double operator()(i64 i, i64 j) const {
        return small ? sc.at(i, j) : f[(i - w->row0) * w->cols + (j - w->col0)];
    }
};

ZOLVIN_INLINE void cover_pixel(const InputNodes& in, bool all_small, double sign,
                               const CellPoint (&q)[4], const CellWindow& w, const Clip& k,
                               QuadCover& qc, PixelCover& pc) {
    const double s = in.affine ? sign : orientation(q);
    pc.small = all_small || (!in.affine && small_quad(q));
    if (pc.small) {
        small_cover(q, w, s, pc.sc);
    } else {
        pc.w = &qc.cover(q, s, k.r0, k.r1, k.c1);
        pc.f = qc.f();
    }
}

// A grid's pixel whose window is one cell lies wholly in it: it covers |det
// M| of it, its flux weight is 1 / |det M| times that, and its corners (which
// may have rounded onto one another, for pixels far smaller than a cell)
// are not needed.
struct OneCell;
OneCell one_cell(const InputNodes& in);
struct OneCell {
    double f, per_area;
    bool fits(const InputNodes& in, const CellWindow& w) const {
        return in.affine && w.rows == 1 && w.cols == 1;
    }
    void cover(const CellWindow& w, PixelCover& pc) const {
        pc.small = true;
        pc.sc.i0 = w.row0, pc.sc.j0 = w.col0;
        pc.sc.rows = 1;
        pc.sc.f[0] = splat(0.0), pc.sc.f[1] = splat(0.0), pc.sc.f[2] = splat(0.0);
        pc.sc.f[0][0] = f;
    }
};

OneCell one_cell(const InputNodes& in) {
    const double f = std::fabs(in.m00 * in.m11 - in.m01 * in.m10);
    return {f, f > 0.0 ? 1.0 / f : 0.0};
}

// Rows [b0, b1) of the output: every input pixel that reaches them, in
// input order, each image band's sums at once.
template <Sums S>
ZOLVIN_INLINE void scatter_band_body(const InputNodes& in, const MeshExtents& ext,
                                     const OutputCells& cells, const ScatterImage& im, i64 b0,
                                     i64 b1, QuadCover& qc, const Stop& stop) {
    const i64 plane_in = in.rows * in.cols, plane_out = cells.rows * cells.cols;
    const i64 c0 = cells.col0, c1 = cells.col0 + cells.cols;
    const i64 first = (b0 - cells.row0) * cells.cols, count = (b1 - b0) * cells.cols;
    const double sign = grid_sign(in);
    const bool all_small = grid_small(in);
    const i64 weight_step = im.weight_per_band ? plane_in : 0;
    auto planes = [&](i64 b) ZOLVIN_LAMBDA_INLINE {
        return Planes{im.sum + b * plane_out, im.footprint + b * plane_out,
                      S.variance ? im.var + b * plane_out : nullptr};
    };
    if (!im.accumulate) {
        for (i64 b = 0; b < im.bands; ++b) {
            const Planes o = planes(b);
            std::fill_n(o.sum + first, count, 0.0);
            std::fill_n(o.weight + first, count, 0.0);
            if (S.variance) std::fill_n(o.var + first, count, 0.0);
        }
    }
    PixelCover pc{};
    const OneCell one = one_cell(in);
    walk(in, ext, b0, b1, c0, c1,
         [&](i64 r, i64 c, const CellPoint (&q)[4]) ZOLVIN_LAMBDA_INLINE {
             const CellWindow w = quad_window(q);
             const Clip k = clip(w, b0, b1, c0, c1);
             if (k.empty()) return;
             const bool in_one = one.fits(in, w);
             if (in_one)
                 one.cover(w, pc);
             else
                 cover_pixel(in, all_small, sign, q, w, k, qc, pc);
             const bool whole = pc.small && w.row0 >= b0 && w.row0 + pc.sc.rows <= b1 &&
                                w.col0 >= c0 && w.col0 + 4 <= c1;
             const i64 at = r * in.cols + c;
             Value x{0.0, in_one ? one.per_area : reciprocal_area(q), 1.0, 0.0};
             for (i64 b = 0; b < im.bands; ++b) {
                 x.v = im.data[b * plane_in + at];
                 if (S.weights) x.w = im.weight[b * weight_step + at];
                 if (S.variance) x.s2 = im.variance[b * plane_in + at];
                 // NaN: left out, and the footprint shows it.
                 if (x.v != x.v || (S.variance && x.s2 != x.s2)) continue;
                 if (pc.small)
                     spread_small<S>(pc.sc, k, whole, x, planes(b), cells);
                 else
                     spread<S>(pc, k, x, planes(b), cells);
             }
         },
         stop);
    if (im.accumulate) return;
    // What no input reached is NaN; the mean divides by the footprint.
    for (i64 b = 0; b < im.bands; ++b) {
        const Planes o = planes(b);
        for (i64 m = first; m < first + count; ++m) {
            if (o.weight[m] == 0.0) o.sum[m] = std::numeric_limits<double>::quiet_NaN();
            else if (S.mode == Conserve::mean) o.sum[m] = o.sum[m] / o.weight[m];
        }
    }
}

// The sums compiled one way each: flux, and the mean with or without weights
// and variances.
#define ZOLVIN_SCATTER_BAND(name, ...)                                                        \
    ZOLVIN_CLONES("avx2", "default")                                                          \
    void name(const InputNodes& in, const MeshExtents& ext, const OutputCells& cells,         \
              const ScatterImage& im, i64 b0, i64 b1, QuadCover& qc, const Stop& stop) {      \
        scatter_band_body<Sums{__VA_ARGS__}>(in, ext, cells, im, b0, b1, qc, stop);           \
    }
ZOLVIN_SCATTER_BAND(band_flux, Conserve::flux, false, false)
ZOLVIN_SCATTER_BAND(band_mean, Conserve::mean, false, false)
ZOLVIN_SCATTER_BAND(band_mean_w, Conserve::mean, true, false)
ZOLVIN_SCATTER_BAND(band_mean_v, Conserve::mean, false, true)
ZOLVIN_SCATTER_BAND(band_mean_wv, Conserve::mean, true, true)
#undef ZOLVIN_SCATTER_BAND

// One part of the weights: the entries of a run of input rows.
struct Part {
    std::vector<i64> count, index;
    std::vector<double> value;
};

// The body of entries_rows.
template <int = 0>
ZOLVIN_INLINE void entries_rows_body(const InputNodes& in, const MeshExtents& ext,
                                     const OutputCells& cells, i64 first,
                                     Part& p, QuadCover& qc, const Stop& stop) {
    const i64 b0 = cells.row0, b1 = cells.row0 + cells.rows;
    const i64 c0 = cells.col0, c1 = cells.col0 + cells.cols;
    const double sign = grid_sign(in);
    const bool all_small = grid_small(in);
    PixelCover pc{};
    const OneCell one = one_cell(in);
    walk(in, ext, b0, b1, c0, c1,
         [&](i64 r, i64 c, const CellPoint (&q)[4]) ZOLVIN_LAMBDA_INLINE {
             const CellWindow w = quad_window(q);
             const Clip k = clip(w, b0, b1, c0, c1);
             if (k.empty()) return;
             const bool in_one = one.fits(in, w);
             if (in_one)
                 one.cover(w, pc);
             else
                 cover_pixel(in, all_small, sign, q, w, k, qc, pc);
             const double per_area = in_one ? one.per_area : reciprocal_area(q);
             i64 n = 0;
             for (i64 i = k.r0; i < k.r1; ++i) {
                 for (i64 j = k.c0; j < k.c1; ++j) {
                     const double f = pc(i, j);
                     if (!(f > 0.0)) continue;
                     p.index.push_back((i - cells.row0) * cells.cols + (j - cells.col0));
                     p.value.push_back(f * per_area);
                     ++n;
                 }
             }
             p.count[static_cast<std::size_t>((r - first) * in.cols + c)] = n;
         },
         stop, first);
}

// One build for every machine: the weights' time goes to the vectors they
// fill more than to the cutting.
void entries_rows(const InputNodes& in, const MeshExtents& ext, const OutputCells& cells,
                  i64 first, Part& p, QuadCover& qc, const Stop& stop) {
    entries_rows_body(in, ext, cells, first, p, qc, stop);
}

}  // namespace

void scatter(const InputNodes& in, const OutputCells& cells, const ScatterImage& image,
             const ScatterOptions& options) {
    MeshExtents ext;
    if (!in.affine) ext.build(in, options.n_threads);
    const bool mean = image.conserve == Conserve::mean;
    const bool w = mean && image.weight, v = mean && image.variance;
    const auto band = !mean ? band_flux : w ? (v ? band_mean_wv : band_mean_w)
                                            : (v ? band_mean_v : band_mean);
    by_bands(cells, options, [&](QuadCover& qc, i64 b0, i64 b1, const Stop& stop) {
        band(in, ext, cells, image, b0, b1, qc, stop);
    });
}

ScatterEntries scatter_entries(const InputNodes& in, const OutputCells& cells,
                               const ScatterOptions& options) {
    MeshExtents ext;
    if (!in.affine) ext.build(in, options.n_threads);
    const auto rows = static_cast<u64>(std::max<i64>(in.rows, 0));
    const u64 threads = std::max<u64>(1, std::min<u64>(options.n_threads, rows));
    std::vector<Part> parts(threads);
    std::atomic<bool> cancel{false};
    // Contiguous runs of input rows, one per thread, joined in order.
    split_range(rows, threads, [&](u64 first, u64 last) {
        u64 k = 0;
        while (k + 1 < threads && part_start(rows, threads, k + 1) <= first) ++k;
        const bool polls = last == rows && static_cast<bool>(options.poll);
        const Stop stop{polls ? &options.poll : nullptr, &cancel};
        Part& p = parts[k];
        p.count.assign(static_cast<std::size_t>((last - first) * static_cast<u64>(in.cols)), 0);
        InputNodes sub = in;
        sub.rows = static_cast<i64>(last);
        QuadCover qc;
        entries_rows(sub, ext, cells, static_cast<i64>(first), p, qc, stop);
    });
    if (cancel.load()) throw Cancelled{};
    ScatterEntries e;
    e.indptr.reserve(static_cast<std::size_t>(in.rows * in.cols + 1));
    e.indptr.push_back(0);
    std::size_t total = 0;
    for (const Part& p : parts) total += p.index.size();
    e.index.reserve(total), e.value.reserve(total);
    for (const Part& p : parts) {
        for (i64 n : p.count) e.indptr.push_back(e.indptr.back() + n);
        e.index.insert(e.index.end(), p.index.begin(), p.index.end());
        e.value.insert(e.value.end(), p.value.begin(), p.value.end());
    }
    return e;
}

}  // namespace zolvin::region
