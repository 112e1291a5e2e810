// The many-region driver over pixels of their own shape: the index of tile
// boxes, each region's window of candidate pixels, and the sums over them.
#include "many_pixels.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <tuple>

#include "../parallel.hpp"
#include "deal.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;
using u64 = std::uint64_t;
constexpr double kInf = std::numeric_limits<double>::infinity();

bool usable(const PixelShape& p) {
    const double det = p.dxdu * p.dydv - p.dxdv * p.dydu;
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(det) && det != 0.0;
}

}  // namespace

// ---- The index -----------------------------------------------------------------

PixelIndex::PixelIndex(const PixelShapes& px, i64 rows, i64 cols, u64 n_threads)
    : rows_(rows), cols_(cols) {
    tile_rows_ = std::max<i64>(1, std::min<i64>(8, rows));
    tile_cols_ = std::max<i64>(8, 64 / tile_rows_);
    if (rows <= 0 || cols <= 0) return;
    Level tiles{(rows + tile_rows_ - 1) / tile_rows_, (cols + tile_cols_ - 1) / tile_cols_, {}};
    tiles.box.assign(static_cast<std::size_t>(tiles.ny * tiles.nx), Box{kInf, kInf, -kInf, -kInf});
    // The first bad pixel: the least index any thread saw.
    std::atomic<i64> bad{std::numeric_limits<i64>::max()};
    split_range(static_cast<u64>(tiles.ny), n_threads, [&](u64 first, u64 last) {
        i64 first_bad = std::numeric_limits<i64>::max();
        for (u64 ty = first; ty < last; ++ty) {
            const i64 r0 = static_cast<i64>(ty) * tile_rows_;
            const i64 r1 = std::min(rows, r0 + tile_rows_);
            Box* row = tiles.box.data() + static_cast<i64>(ty) * tiles.nx;
            for (i64 r = r0; r < r1; ++r) {
                for (i64 c = 0; c < cols; ++c) {
                    const i64 k = r * cols + c;
                    const PixelShape p = px.at(k);
                    if (!usable(p)) first_bad = std::min(first_bad, k);
                    double a, b, cc, d;
                    pixel_box(p, a, b, cc, d);
                    Box& t = row[c / tile_cols_];
                    t.xlo = std::min(t.xlo, a), t.ylo = std::min(t.ylo, b);
                    t.xhi = std::max(t.xhi, cc), t.yhi = std::max(t.yhi, d);
                }
            }
        }
        i64 seen = bad.load();
        while (first_bad < seen && !bad.compare_exchange_weak(seen, first_bad)) {
        }
    });
    if (bad.load() != std::numeric_limits<i64>::max()) bad_ = bad.load();
    levels_.push_back(std::move(tiles));
    while (levels_.back().ny > 1 || levels_.back().nx > 1) {
        const Level& below = levels_.back();
        Level up{(below.ny + kFan - 1) / kFan, (below.nx + kFan - 1) / kFan, {}};
        up.box.assign(static_cast<std::size_t>(up.ny * up.nx), Box{kInf, kInf, -kInf, -kInf});
        for (i64 i = 0; i < below.ny; ++i) {
            for (i64 j = 0; j < below.nx; ++j) {
                const Box& b = below.box[static_cast<std::size_t>(i * below.nx + j)];
                Box& t = up.box[static_cast<std::size_t>((i / kFan) * up.nx + j / kFan)];
                t.xlo = std::min(t.xlo, b.xlo), t.ylo = std::min(t.ylo, b.ylo);
                t.xhi = std::max(t.xhi, b.xhi), t.yhi = std::max(t.yhi, b.yhi);
            }
        }
        levels_.push_back(std::move(up));
    }
}

CellWindow PixelIndex::window(double xlo, double ylo, double xhi, double yhi) const {
    if (levels_.empty() || !(xlo <= xhi && ylo <= yhi)) return {0, 0, 0, 0};
    i64 r0 = std::numeric_limits<i64>::max(), r1 = -1;
    i64 c0 = std::numeric_limits<i64>::max(), c1 = -1;
    struct Node {
        std::size_t level;
        i64 i, j;
    };
    // Only nodes whose box meets the query are pushed; a level holds at most
    // kFan x kFan children of each, so a small stack on the frame serves any
    // query whose box meets few tiles, the heap the others.
    constexpr std::size_t kLocal = 256;
    Node local[kLocal];
    std::vector<Node> more;
    std::size_t top = 0;
    auto push = [&](const Node& n) {
        if (top < kLocal) {
            local[top++] = n;
        } else {
            more.push_back(n);
        }
    };
    auto pop = [&](Node& n) {
        if (!more.empty()) {
            n = more.back();
            more.pop_back();
            return true;
        }
        if (top == 0) return false;
        n = local[--top];
        return true;
    };
    const std::size_t highest = levels_.size() - 1;
    if (levels_[highest].box[0].meets(xlo, ylo, xhi, yhi)) push({highest, 0, 0});
    Node n;
    while (pop(n)) {
        if (n.level == 0) {
            r0 = std::min(r0, n.i), r1 = std::max(r1, n.i);
            c0 = std::min(c0, n.j), c1 = std::max(c1, n.j);
            continue;
        }
        const Level& D = levels_[n.level - 1];
        for (i64 i = n.i * kFan; i < std::min(D.ny, (n.i + 1) * kFan); ++i) {
            const Box* row = D.box.data() + i * D.nx;
            for (i64 j = n.j * kFan; j < std::min(D.nx, (n.j + 1) * kFan); ++j) {
                if (row[j].meets(xlo, ylo, xhi, yhi)) push({n.level - 1, i, j});
            }
        }
    }
    if (r1 < 0) return {0, 0, 0, 0};
    const i64 row0 = r0 * tile_rows_, col0 = c0 * tile_cols_;
    return {row0, col0, std::min(rows_, (r1 + 1) * tile_rows_) - row0,
            std::min(cols_, (c1 + 1) * tile_cols_) - col0};
}

// ---- Sums --------------------------------------------------------------------

namespace {

// One band's four partial sums by image column mod 4.
struct Partial {
    double s[4], c[4], a[4], v[4];
};

struct Worker {
    PixelRegion region;
    std::vector<Partial> partial;  // per image band
    PlaneRow row;                  // a window row's pixels, made by the model
};

// The window of region k and where its pixels lie in the target's arrays:
// pixel (row, col) of the window at base + (row - row0) * stride + (col - col0).
struct Placed {
    CellWindow w;
    i64 base, stride;
};

Placed place(const PixelsTarget& t, const PixelRegion& region, std::size_t k) {
    if (t.index) {
        const CellWindow w = t.index->window(region.xlo, region.ylo, region.xhi, region.yhi);
        return {w, w.row0 * t.cols + w.col0, t.cols};
    }
    const i64* win = t.windows + 4 * k;
    return {{win[0], win[1], win[2], win[3]}, t.offsets ? t.offsets[k] : 0, win[3]};
}

// Whether pixel (row, col) lies on the window's border where the image goes
// on beyond it.
bool open_border(const CellWindow& w, i64 row, i64 col, i64 rows, i64 cols) {
    return (row == w.row0 && w.row0 > 0) || (row == w.row0 + w.rows - 1 && row < rows - 1) ||
           (col == w.col0 && w.col0 > 0) || (col == w.col0 + w.cols - 1 && col < cols - 1);
}

// Region k's sums into its slots; false when a pixel's frame overflowed or
// the model could not place a pixel (flags gets kOffPlane).
bool sum_region(const RegionBatch& batch, std::size_t k, const PixelsTarget& t,
                const SumsInput& in, Worker& wk, std::uint8_t& flags) {
    PixelRegion& R = wk.region;
    R.reset(batch.region(k), batch.simple[k] != 0);
    for (Partial& p : wk.partial) p = Partial{};
    if (!(R.xlo <= R.xhi)) return true;  // no pieces: empty
    const Placed pl = place(t, R, k);
    const i64 plane = t.rows * t.cols;
    for (i64 r = 0; r < pl.w.rows; ++r) {
        const i64 row = pl.w.row0 + r;
        if (t.model && !t.model->row(row, pl.w.col0, pl.w.cols, wk.row)) {
            flags |= kOffPlane;
            return false;
        }
        for (i64 q = 0; q < pl.w.cols; ++q) {
            const i64 col = pl.w.col0 + q;
            const PixelShape p = t.model ? wk.row.at(q) : t.px.at(pl.base + r * pl.stride + q);
            double xlo, ylo, xhi, yhi;
            pixel_box(p, xlo, ylo, xhi, yhi);
            if (!(xlo <= R.xhi && xhi >= R.xlo && ylo <= R.yhi && yhi >= R.ylo)) continue;
            const double f = R.cover(p);
            if (!(f > 0.0)) {
                if (f != f) return false;
                continue;
            }
            // A covered pixel on a border the image goes on beyond: the
            // region may go on too (a connected region leaves a window only
            // through pixels of its border that it covers).
            if (t.windows && open_border(pl.w, row, col, t.rows, t.cols)) flags |= kOnBorder;
            const i64 at = row * t.cols + col;
            if (in.mask && in.mask[at]) continue;
            const double area = std::fabs(p.dxdu * p.dydv - p.dxdv * p.dydu);
            const int lane = static_cast<int>(col & 3);
            for (i64 b = 0; b < in.bands; ++b) {
                const double d = in.data[b * plane + at];
                if (d != d || (in.has_nodata && d == in.nodata)) continue;
                Partial& s = wk.partial[static_cast<std::size_t>(b)];
                s.s[lane] += f * d;
                s.c[lane] += f;
                s.a[lane] += f * area;
                if (in.error) {
                    const double e = in.error[b * plane + at];
                    s.v[lane] += (f * f) * (e * e);
                }
            }
        }
    }
    return true;
}

double combine(const double (&l)[4]) { return (l[0] + l[1]) + (l[2] + l[3]); }

void write_sums(std::size_t k, const Worker& wk, const SumsInput& in, const SumsOutput& out,
                bool ok) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (i64 b = 0; b < in.bands; ++b) {
        const auto at = static_cast<std::size_t>(static_cast<i64>(k) * in.bands + b);
        const Partial& p = wk.partial[static_cast<std::size_t>(b)];
        out.sum[at] = ok ? combine(p.s) : nan;
        out.count[at] = ok ? combine(p.c) : nan;
        out.area[at] = ok ? combine(p.a) : nan;
        if (out.var) out.var[at] = ok ? combine(p.v) : nan;
    }
}

// Regions in the order of their windows' first rows and columns (windows
// given) or of their boxes (an index), for the image's rows to stay in cache.
std::vector<std::size_t> region_order(const RegionBatch& batch, const PixelsTarget& t) {
    const std::size_t n = batch.size();
    std::vector<std::tuple<double, double, std::size_t>> keys(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (t.windows) {
            keys[k] = {static_cast<double>(t.windows[4 * k]),
                       static_cast<double>(t.windows[4 * k + 1]), k};
            continue;
        }
        double lo = kInf, left = kInf;
        for (const Segment& s : batch.region(k).segments)
            lo = std::min({lo, s.y0, s.y1}), left = std::min({left, s.x0, s.x1});
        for (const Arc& a : batch.region(k).arcs) lo = std::min(lo, a.cy), left = std::min(left, a.cx);
        keys[k] = {lo, left, k};
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::size_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = std::get<2>(keys[k]);
    return order;
}

}  // namespace

void pixels_sums(const RegionBatch& batch, const PixelsTarget& target, const SumsInput& in,
                 const SumsOutput& out, std::uint8_t* border, const DriverOptions& options) {
    const std::size_t n = batch.size();
    const std::vector<std::size_t> order = region_order(batch, target);
    const u64 workers = std::max<u64>(1, std::min<u64>(options.n_threads, n));
    const auto make = [&] {
        Worker wk;
        wk.partial.resize(static_cast<std::size_t>(in.bands));
        return wk;
    };
    deal_regions(n, workers, options, make, [&](int, std::size_t m, Worker& wk) {
        const std::size_t k = order[m];
        std::uint8_t flags = 0;
        const bool ok = sum_region(batch, k, target, in, wk, flags);
        write_sums(k, wk, in, out, ok);
        if (border) border[k] = flags;
    });
}

// ---- One region over a whole image -------------------------------------------

void pixels_region(const Region& region, bool simple, const PixelsTarget& t, double outside,
                   double* out, u64 n_threads) {
    const i64 total = t.rows * t.cols;
    std::fill(out, out + total, outside);
    PixelRegion probe;
    probe.reset(region, simple);
    if (!(probe.xlo <= probe.xhi) || !t.index) return;
    const CellWindow w = t.index->window(probe.xlo, probe.ylo, probe.xhi, probe.yhi);
    constexpr u64 kBand = 8;
    struct Local {
        PixelRegion region;
        bool ready = false;
    };
    // A pixel's cover costs some 0.1 us per piece: look for a stop every few
    // covered pixels, so that a region of many pieces stops within ~50 ms too.
    const std::size_t pieces = region.segments.size() + region.arcs.size();
    const std::uint64_t every = std::clamp<std::uint64_t>(2048 / (pieces + 1), 1, 64);
    deal_bands<Local>(static_cast<u64>(w.rows), kBand, n_threads,
                      [&](Local& S, u64 r0, u64 r1) {
        if (!S.ready) S.region.reset(region, simple), S.ready = true;
        std::uint64_t covered = 0;
        for (u64 r = r0; r < r1; ++r) {
            const i64 row = w.row0 + static_cast<i64>(r);
            for (i64 col = w.col0; col < w.col0 + w.cols; ++col) {
                const i64 k = row * t.cols + col;
                const PixelShape p = t.px.at(k);
                double xlo, ylo, xhi, yhi;
                pixel_box(p, xlo, ylo, xhi, yhi);
                if (xlo <= probe.xhi && xhi >= probe.xlo && ylo <= probe.yhi && yhi >= probe.ylo) {
                    if (++covered % every == 0) check_stop();
                    out[k] = S.region.cover(p);
                }
            }
        }
    });
}

}  // namespace zolvin::region
