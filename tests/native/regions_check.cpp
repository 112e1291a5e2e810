// The many-region engine against the strip sweep, analytic areas and
// tilings, and its timings beside the sweep's.
//   tools/env tools/native-check [--quick]
// Exits non-zero when a bound is broken; prints the largest differences.
#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "region/many.hpp"

namespace R = zolvin::region;
using i64 = std::int64_t;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A batch assembled region by region.
struct Builder {
    std::vector<R::Segment> segments;
    std::vector<std::int64_t> segment_start{0};
    std::vector<std::int32_t> segment_leaf;
    std::vector<R::Arc> arcs;
    std::vector<std::int64_t> arc_start{0};
    std::vector<std::int32_t> arc_leaf;
    std::vector<R::Rule> rules;
    std::vector<std::int64_t> rule_start{0};
    std::vector<std::int32_t> program;
    std::vector<std::int64_t> program_start{0};
    std::vector<std::uint8_t> simple;
    std::vector<double> area;  // the exact area where known, else NaN

    void ring(const std::vector<std::array<double, 2>>& v) {
        for (std::size_t k = 0; k < v.size(); ++k) {
            const auto p = v[k], q = v[(k + 1) % v.size()];
            segments.push_back({p[0], p[1], q[0], q[1]});
            segment_leaf.push_back(0);
        }
    }
    void arc(double cx, double cy, double a, double b, double c, double d, double t0, double t1) {
        arcs.push_back({cx, cy, a, b, c, d, t0, t1});
        arc_leaf.push_back(0);
    }
    void close(double exact) {
        segment_start.push_back(static_cast<std::int64_t>(segments.size()));
        arc_start.push_back(static_cast<std::int64_t>(arcs.size()));
        rules.push_back(R::Rule::positive);
        rule_start.push_back(static_cast<std::int64_t>(rules.size()));
        program_start.push_back(static_cast<std::int64_t>(program.size()));
        simple.push_back(1);
        area.push_back(exact);
    }
    R::RegionBatch batch() const {
        return {segments, segment_start, segment_leaf, arcs, arc_start, arc_leaf, rules,
                rule_start, program, program_start, simple};
    }
};

// Counter-clockwise ring of a star polygon (always simple), radius r0..r1.
std::vector<std::array<double, 2>> star(std::mt19937_64& rng, double cx, double cy, int n,
                                        double r0, double r1, bool cw = false) {
    std::uniform_real_distribution<double> U(0, 1);
    std::vector<std::array<double, 2>> v;
    const double phase = 2 * kPi * U(rng);
    for (int k = 0; k < n; ++k) {
        const double a = phase + 2 * kPi * k / n;
        const double r = r0 + (r1 - r0) * U(rng);
        v.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
    }
    if (cw) std::reverse(v.begin(), v.end());
    return v;
}

double shoelace(const std::vector<std::array<double, 2>>& v) {
    double s = 0;
    for (std::size_t k = 0; k < v.size(); ++k) {
        const auto p = v[k], q = v[(k + 1) % v.size()];
        s += p[0] * q[1] - q[0] * p[1];
    }
    return 0.5 * s;
}

// Adds a random simple region of the given kind around (cx, cy).
void random_region(Builder& B, std::mt19937_64& rng, int kind, double cx, double cy) {
    std::uniform_real_distribution<double> U(0, 1);
    switch (kind) {
    case 0: {  // an ellipse, either way round as its parameter runs
        const double r = 0.2 + 12 * U(rng), q = 0.2 + 0.8 * U(rng), th = 2 * kPi * U(rng);
        const double a = r * std::cos(th), c = r * std::sin(th);
        const double b = -r * q * std::sin(th), d = r * q * std::cos(th);
        if (U(rng) < 0.5) B.arc(cx, cy, a, b, c, d, 1.0, 1.0 + 2 * kPi);
        else B.arc(cx, cy, a, -b, c, -d, 2.0, 2.0 - 2 * kPi);  // clockwise parameter, ccw travel
        B.close(kPi * r * r * q);
        break;
    }
    case 1: {  // an annulus: outer counter-clockwise, inner clockwise
        const double r = 1 + 11 * U(rng), ri = r * (0.1 + 0.8 * U(rng));
        B.arc(cx, cy, r, 0, 0, r, 0, 2 * kPi);
        B.arc(cx + 0.3 * (r - ri) * U(rng), cy, ri, 0, 0, ri, 0, -2 * kPi);
        B.close(kPi * (r * r - ri * ri));
        break;
    }
    case 2: {  // a star polygon with a star hole
        const auto outer = star(rng, cx, cy, 3 + static_cast<int>(U(rng) * 12), 6, 14);
        // Inside the outer ring: its edges keep at least 6 cos(pi/3) = 3 from the centre.
        const auto hole = star(rng, cx, cy, 3 + static_cast<int>(U(rng) * 8), 0.5, 2.9, true);
        B.ring(outer);
        B.ring(hole);
        B.close(shoelace(outer) + shoelace(hole));
        break;
    }
    case 3: {  // two disjoint parts
        const auto a = star(rng, cx - 7, cy, 5, 2, 6), b = star(rng, cx + 7, cy, 7, 2, 6);
        B.ring(a);
        B.ring(b);
        B.close(shoelace(a) + shoelace(b));
        break;
    }
    default: {  // a rounded rectangle: quarter arcs joined by segments
        const double w = 2 + 8 * U(rng), h = 2 + 8 * U(rng), rr = std::min(w, h) * U(rng);
        const double x0 = cx - w, x1 = cx + w, y0 = cy - h, y1 = cy + h;
        B.segments.push_back({x0 + rr, y0, x1 - rr, y0});
        B.segments.push_back({x1, y0 + rr, x1, y1 - rr});
        B.segments.push_back({x1 - rr, y1, x0 + rr, y1});
        B.segments.push_back({x0, y1 - rr, x0, y0 + rr});
        for (int k = 0; k < 4; ++k) B.segment_leaf.push_back(0);
        B.arc(x1 - rr, y0 + rr, rr, 0, 0, rr, -kPi / 2, 0);
        B.arc(x1 - rr, y1 - rr, rr, 0, 0, rr, 0, kPi / 2);
        B.arc(x0 + rr, y1 - rr, rr, 0, 0, rr, kPi / 2, kPi);
        B.arc(x0 + rr, y0 + rr, rr, 0, 0, rr, kPi, 1.5 * kPi);
        B.close(4 * w * h - (4 - kPi) * rr * rr);
        break;
    }
    }
}

// Keeps every region's coverage in a grid-sized image per region.
class Store final : public R::Sink {
public:
    Store(std::size_t n, const R::GridTarget& g) : cols_(g.cols), windows_(n), f_(n), bad_(n) {}
    void begin(int, std::size_t k, const R::CellWindow& w) override {
        windows_[k] = w;
        f_[k].clear();
    }
    void block(int, std::size_t k, const R::CellWindow& b, const double* f) override {
        f_[k].insert(f_[k].end(), f, f + b.rows * b.cols);
    }
    void end(int, std::size_t) override {}
    void failed(int, std::size_t k) override { bad_[k] = 1; }
    std::int64_t cols_;
    std::vector<R::CellWindow> windows_;
    std::vector<std::vector<double>> f_;
    std::vector<std::uint8_t> bad_;
};

Store run(const R::RegionBatch& b, const R::GridTarget& g, std::uint64_t threads,
          std::int64_t block_cells = std::int64_t{1} << 20) {
    Store s(b.size(), g);
    R::DriverOptions o;
    o.n_threads = threads;
    o.block_cells = block_cells;
    R::evaluate_regions(b, g, s, o);
    return s;
}

R::GridTarget random_grid(std::mt19937_64& rng, int trial, i64 rows, i64 cols) {
    std::uniform_real_distribution<double> U(-1, 1);
    R::GridTarget g{U(rng), U(rng), 1 + 0.3 * U(rng), 0.4 * U(rng), 0.4 * U(rng),
                    1 + 0.3 * U(rng), rows, cols};
    if (trial % 3 == 0) g.dxdu = 1, g.dxdv = 0, g.dydu = 0, g.dydv = 1;
    if (trial % 4 == 1) g.dydv = -g.dydv;  // mirrored
    return g;
}

// Accumulated against swept, cell by cell, on random regions over random
// grids; windows cut by every side of the grid.
void against_sweep(int trials) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> U(0, 1);
    double worst = 0, worst_area = 0;
    long exact_cells = 0, exact_broken = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const R::GridTarget g = random_grid(rng, trial, 40, 44);
        const double jdet = std::fabs(g.dxdu * g.dydv - g.dxdv * g.dydu);
        Builder B;
        const int n = 20;
        for (int k = 0; k < n; ++k) {
            // Centres from well inside to beyond every edge of the grid.
            const double cx = -12 + 68 * U(rng), cy = -12 + 64 * U(rng);
            random_region(B, rng, (trial + k) % 5, cx, cy);
        }
        const Store acc = run(B.batch(), g, 1 + trial % 2);
        for (auto& s : B.simple) s = 0;
        const Store swept = run(B.batch(), g, 1);
        for (int k = 0; k < n; ++k) {
            const auto& a = acc.f_[k];
            const auto& b = swept.f_[k];
            mix(a.data(), a.size());
#ifdef ZOLVIN_CHECK_DUMP
            for (std::size_t c = 0; c < a.size(); ++c)
                std::printf("dump %d %d %zu %a\n", trial, k, c, a[c]);
#endif
            expect(a.size() == b.size(), "window sizes");
            double total = 0;
            for (std::size_t c = 0; c < a.size(); ++c) {
                const double d = std::fabs(a[c] - b[c]);
                if (d > worst) {
                    worst = d;
                    std::printf("  trial %d region %d kind %d cell %zu: %.17g vs %.17g (%.3g)\n",
                                trial, k, (trial + k) % 5, c, a[c], b[c], d);
                }
                if (b[c] == 0.0 || b[c] == 1.0) {
                    ++exact_cells;
                    if (a[c] != b[c]) ++exact_broken;
                }
                total += a[c];
            }
            // Whole regions inside the grid: the analytic area.
            const auto& w = acc.windows_[k];
            const bool inside = w.row0 > 0 && w.col0 > 0 && w.row0 + w.rows < g.rows &&
                                w.col0 + w.cols < g.cols;
            if (inside && std::isfinite(B.area[k])) {
                const double rel = std::fabs(total * jdet - B.area[k]) / B.area[k];
                worst_area = std::max(worst_area, rel);
            }
        }
    }
    std::printf("against the sweep: largest cell difference %.3g; cells the sweep gives as "
                "exactly 0 or 1: %ld, of which accumulated otherwise: %ld\n",
                worst, exact_cells, exact_broken);
    std::printf("against analytic areas: largest relative difference %.3g\n", worst_area);
    expect(worst <= 1e-13, "per-cell difference against the sweep within 1e-13");
    expect(worst_area <= 1e-13, "analytic areas within 1e-13");
}

// The same bits for every thread count, block size and order of the batch.
void determinism() {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> U(0, 1);
    const R::GridTarget g = random_grid(rng, 1, 300, 280);
    Builder B;
    for (int k = 0; k < 400; ++k) {
        const double cx = 300 * U(rng), cy = 300 * U(rng);
        random_region(B, rng, k % 5, cx, cy);
    }
    const Store one = run(B.batch(), g, 1);
    const Store two = run(B.batch(), g, 2, 64);
    bool same = true;
    for (std::size_t k = 0; k < one.f_.size(); ++k) {
        same = same && one.f_[k].size() == two.f_[k].size() &&
               std::memcmp(one.f_[k].data(), two.f_[k].data(), one.f_[k].size() * 8) == 0;
    }
    expect(same, "same bits for 1 and 2 threads and any block size");
    // A window of the grid (its pixels keep their indices): each region's
    // cells there are the same bits as on the whole grid, wherever the
    // window cuts its rows. (A region cut on its left adds the heights of the
    // pieces left of the window in another order: equal to rounding only.)
    R::GridTarget part = g;
    part.row0 = 37, part.col0 = 11, part.rows = 200, part.cols = 150;
    const Store win = run(B.batch(), part, 2);
    bool window_same = true;
    for (std::size_t k = 0; k < one.f_.size(); ++k) {
        const auto &a = one.windows_[k], &b = win.windows_[k];
        if (a.col0 != b.col0) continue;
        for (i64 r = 0; r < b.rows; ++r) {
            for (i64 q = 0; q < b.cols; ++q) {
                const double x = win.f_[k][r * b.cols + q];
                const double y = one.f_[k][(b.row0 + r - a.row0) * a.cols + (b.col0 + q - a.col0)];
                window_same = window_same && std::memcmp(&x, &y, 8) == 0;
            }
        }
    }
    expect(window_same, "a window of the grid gives the same bits");
    // The entries sink: every covered cell of every region, in region order,
    // as the stored coverages have them.
    R::EntriesSink entries(B.simple.size(), g, 2);
    R::DriverOptions o;
    o.n_threads = 2;
    R::evaluate_regions(B.batch(), g, entries, o);
    const auto ptr = entries.indptr();
    std::vector<std::int32_t> idx(static_cast<std::size_t>(ptr.back()));
    std::vector<double> val(idx.size());
    entries.fill(idx.data(), val.data());
    R::evaluate_regions(B.batch(), g, entries, o);
    bool entries_same = entries.failures().empty();
    for (std::size_t k = 0; k < one.f_.size() && entries_same; ++k) {
        const auto& w = one.windows_[k];
        std::int64_t at = ptr[k];
        for (i64 r = 0; r < w.rows; ++r) {
            for (i64 q = 0; q < w.cols; ++q) {
                const double f = one.f_[k][r * w.cols + q];
                if (!(f > 0)) continue;
                entries_same = entries_same && at < ptr[k + 1] &&
                               idx[at] == (w.row0 + r) * g.cols + w.col0 + q && val[at] == f;
                ++at;
            }
        }
        entries_same = entries_same && at == ptr[k + 1];
    }
    expect(entries_same, "entries in region order, row-major in each window");
    // A poll that asks to stop: the driver stops and says so.
    R::DriverOptions stop;
    stop.n_threads = 1;  // the calling thread polls, every 256 regions
    int polls = 0;
    stop.poll = [&] { return ++polls == 1; };
    Store ignored(B.simple.size(), g);
    bool cancelled = false;
    try {
        R::evaluate_regions(B.batch(), g, ignored, stop);
    } catch (const R::Cancelled&) {
        cancelled = true;
    }
    expect(cancelled && polls == 1, "a poll that asks to stop cancels the call");
}

// The sums sink (fused with the accumulator) against sums of the stored
// coverages in the documented order, bit for bit: NaN, masked and nodata
// pixels left out, errors propagated, two image bands, and a region taller
// than a band of rows.
void sums() {
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> U(0, 1);
    for (int tall = 0; tall < 2; ++tall) {
        const R::GridTarget g = tall ? R::GridTarget{0, 0, 1, 0, 0, 1, 9000, 5}
                                     : random_grid(rng, 2, 120, 130);
        Builder B;
        if (tall) {
            B.ring({{0.2, 10.3}, {3.7, 50.1}, {3.1, 8950.4}, {0.6, 8800.2}});
            B.close(NAN);
        }
        for (int k = 0; k < 60; ++k) {
            const double cx = 130 * U(rng), cy = 120 * U(rng);  // in this order on every compiler
            random_region(B, rng, k % 5, cx, cy);
        }
        const i64 plane = g.rows * g.cols, bands = 2;
        std::vector<double> data(static_cast<std::size_t>(bands * plane)), err(data.size());
        std::vector<std::uint8_t> mask(static_cast<std::size_t>(plane));
        for (auto& d : data) d = U(rng) < 0.02 ? NAN : U(rng) < 0.02 ? -9.0 : U(rng) - 0.3;
        for (auto& e : err) e = U(rng);
        for (auto& m : mask) m = U(rng) < 0.03;
        const std::size_t n = B.simple.size();
        std::vector<double> sum(n * bands), count(n * bands), area(n * bands), var(n * bands);
        R::SumsInput in{data.data(), bands, err.data(), mask.data(), true, -9.0, 0.5};
        R::SumsOutput out{sum.data(), count.data(), area.data(), var.data()};
        R::SumsSink sink(in, out, g, 2);
        R::DriverOptions o;
        o.n_threads = 2;
        o.block_cells = 64;  // blocks of a few rows: the band rule must not see them
        R::evaluate_regions(B.batch(), g, sink, o);
        const Store st = run(B.batch(), g, 1);
        mix(sum.data(), sum.size());
        mix(var.data(), var.size());
#ifdef ZOLVIN_CHECK_DUMP
        for (std::size_t k = 0; k < sum.size(); ++k) std::printf("dump sums %zu %a %a\n", k, sum[k], var[k]);
#endif
        bool same = true;
        for (std::size_t k = 0; k < n; ++k) {
            const auto& w = st.windows_[k];
            for (i64 b = 0; b < bands; ++b) {
                double tot[3] = {0, 0, 0}, part[3][4] = {};
                i64 band = -1;
                auto close = [&] {
                    for (int x = 0; x < 3; ++x) {
                        tot[x] += (part[x][0] + part[x][1]) + (part[x][2] + part[x][3]);
                        for (double& y : part[x]) y = 0;
                    }
                };
                for (i64 r = 0; r < w.rows; ++r) {
                    if ((w.row0 + r) / R::kBandRows != band) {
                        if (band >= 0) close();
                        band = (w.row0 + r) / R::kBandRows;
                    }
                    for (i64 q = 0; q < w.cols; ++q) {
                        const i64 at = (w.row0 + r) * g.cols + w.col0 + q;
                        const double f = st.f_[k][r * w.cols + q], d = data[b * plane + at];
                        const double e = err[b * plane + at];
                        if (!(f > 0) || mask[at] || d != d || d == -9.0) continue;
                        part[0][q % 4] += f * d;
                        part[1][q % 4] += f;
                        part[2][q % 4] += (f * f) * (e * e);
                    }
                }
                if (band >= 0) close();
                const std::size_t at = k * bands + b;
                same = same && tot[0] == sum[at] && tot[1] == count[at] && tot[2] == var[at] &&
                       tot[1] * 0.5 == area[at];
            }
        }
        expect(same, tall ? "sums of a region taller than a band" : "sums bit for bit");
    }
}

// Tiles sharing their edges: a jittered lattice cut into quadrilaterals and
// triangles, the tiles running either way round; every cell's fractions add
// up to one.
void tiling() {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> U(-0.35, 0.35);
    for (int trial = 0; trial < 6; ++trial) {
        const R::GridTarget g = random_grid(rng, trial, 60, 60);
        const int m = 12;
        const double step = 5.3;
        std::vector<std::array<double, 2>> p((m + 1) * (m + 1));
        for (int i = 0; i <= m; ++i)
            for (int j = 0; j <= m; ++j)
                p[i * (m + 1) + j] = {-4 + step * (j + U(rng)), -4 + step * (i + U(rng))};
        Builder B;
        for (int i = 0; i < m; ++i) {
            for (int j = 0; j < m; ++j) {
                const auto a = p[i * (m + 1) + j], b = p[i * (m + 1) + j + 1];
                const auto c = p[(i + 1) * (m + 1) + j + 1], d = p[(i + 1) * (m + 1) + j];
                if ((i + j) % 2) {
                    B.ring({a, b, c, d});
                    B.close(NAN);
                } else {
                    B.ring({a, b, c});
                    B.close(NAN);
                    B.ring({a, c, d});
                    B.close(NAN);
                }
            }
        }
        const Store s = run(B.batch(), g, 2);
        std::vector<double> sum(static_cast<std::size_t>(g.rows * g.cols), 0.0);
        for (std::size_t k = 0; k < s.f_.size(); ++k) {
            const auto& w = s.windows_[k];
            for (i64 r = 0; r < w.rows; ++r)
                for (i64 q = 0; q < w.cols; ++q)
                    sum[(w.row0 + r) * g.cols + w.col0 + q] += s.f_[k][r * w.cols + q];
        }
        // Cells wholly inside the tiled square (away from its jagged rim).
        double worst = 0;
        const double lo = -4 + step * 0.5, hi = -4 + step * (m - 0.5);
        for (i64 i = 0; i < g.rows; ++i) {
            for (i64 j = 0; j < g.cols; ++j) {
                bool in = true;
                for (int c = 0; c < 4; ++c) {
                    const double u = static_cast<double>(j + (c & 1)) - 0.5;
                    const double v = static_cast<double>(i + (c >> 1)) - 0.5;
                    const double x = g.x0 + g.dxdu * u + g.dxdv * v;
                    const double y = g.y0 + g.dydu * u + g.dydv * v;
                    in = in && x > lo && x < hi && y > lo && y < hi;
                }
                if (in) worst = std::max(worst, std::fabs(sum[i * g.cols + j] - 1.0));
            }
        }
        std::printf("tiling %d: largest |sum of fractions - 1| %.3g\n", trial, worst);
        expect(worst <= 1e-14, "tiles sum to one within 1e-14");
    }
}

double cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Timings, each the best of several runs.
struct Timing {
    double acc_ns, fused_ns, sweep_ns, null_ns, windows_ns, two_ns;
};

Timing timings(int n) {
    // Discs of radius 6 on a unit grid, scattered over a 1024 x 1024 image.
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> U(0, 1);
    const i64 side = std::getenv("SIDE") ? std::atoi(std::getenv("SIDE")) : 1024;
    const R::GridTarget g{0, 0, 1, 0, 0, 1, side, side};
    Builder B;
    for (int k = 0; k < n; ++k) {
        const double span = static_cast<double>(side - 24);
        const double cx = 10 + span * U(rng), cy = 10 + span * U(rng);
        B.arc(cx, cy, 6, 0, 0, 6, 0, 2 * kPi);
        B.close(kPi * 36);
    }
    std::vector<double> data(static_cast<std::size_t>(side * side));
    for (auto& d : data) d = U(rng);
    std::vector<double> sum(n), count(n), area(n);
    R::SumsInput in{data.data(), 1};
    R::SumsOutput out{sum.data(), count.data(), area.data()};
    auto best_of = [](int reps, auto&& f) {
        double best = 1e300;
        for (int r = 0; r < reps; ++r) {
            // Thread CPU time: the machine is shared, and a preempted run
            // would count another's time.
            const double t0 = cpu_ns();
            f();
            best = std::min(best, cpu_ns() - t0);
        }
        return best;
    };
    Timing t{};
    t.fused_ns = best_of(7, [&] {
        R::SumsSink sink(in, out, g, 1);
        R::DriverOptions o;
        R::evaluate_regions(B.batch(), g, sink, o);
    }) / n;
    // Two threads, by the wall clock (CPU time would add both threads').
    {
        double best = 1e300;
        for (int r = 0; r < 7; ++r) {
            timespec a, b;
            clock_gettime(CLOCK_MONOTONIC, &a);
            R::SumsSink sink(in, out, g, 2);
            R::DriverOptions o;
            o.n_threads = 2;
            R::evaluate_regions(B.batch(), g, sink, o);
            clock_gettime(CLOCK_MONOTONIC, &b);
            best = std::min(best, static_cast<double>(b.tv_sec - a.tv_sec) * 1e9 +
                                      static_cast<double>(b.tv_nsec - a.tv_nsec));
        }
        t.two_ns = best / n;
    }
    // The kernel alone: one window buffer, no driver.
    R::Accumulator acc;
    std::vector<double> f(16 * 16);
    const auto batch = B.batch();
    t.acc_ns = best_of(7, [&] {
        for (int k = 0; k < n; ++k) {
            const auto& a = batch.arcs[k];
            const double cu = a.cx + 0.5, cv = a.cy + 0.5;
            const R::CellWindow w{static_cast<i64>(std::floor(cv - 6)),
                                  static_cast<i64>(std::floor(cu - 6)),
                                  static_cast<i64>(std::ceil(cv + 6) - std::floor(cv - 6)),
                                  static_cast<i64>(std::ceil(cu + 6) - std::floor(cu - 6))};
            acc.start(w, false);
            acc.ellipse({cu, cv, 6, 0, 0, 6}, true);
            acc.finish(f.data());
        }
    }) / n;
    struct Null final : R::Sink {
        void begin(int, std::size_t, const R::CellWindow&) override {}
        void block(int, std::size_t, const R::CellWindow&, const double*) override {}
        void end(int, std::size_t) override {}
        void failed(int, std::size_t) override {}
    };
    t.null_ns = best_of(7, [&] {
        Null sink;
        R::DriverOptions o;
        R::evaluate_regions(B.batch(), g, sink, o);
    }) / n;
    t.windows_ns = best_of(7, [&] { R::region_windows(B.batch(), g); }) / n;
    for (auto& s : B.simple) s = 0;
    const int n_sweep = std::max(1, n / 10);
    Builder S = B;
    S.simple.resize(n_sweep);
    S.segment_start.resize(n_sweep + 1), S.arc_start.resize(n_sweep + 1);
    S.rule_start.resize(n_sweep + 1), S.program_start.resize(n_sweep + 1);
    t.sweep_ns = best_of(3, [&] {
        R::SumsSink sink(in, out, g, 1);
        R::DriverOptions o;
        R::evaluate_regions(S.batch(), g, sink, o);
    }) / n_sweep;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    against_sweep(quick ? 20 : 200);
    determinism();
    sums();
    tiling();
    const int n_discs = std::getenv("DISCS") ? std::atoi(std::getenv("DISCS")) : quick ? 2000 : 20000;
    const Timing t = timings(n_discs);
    std::printf("disc r=6, one thread: accumulate %.0f ns, with the sums sink and driver %.0f ns, "
                "sweep with the sums sink %.0f ns (ratio %.1fx)\n",
                t.acc_ns, t.fused_ns, t.sweep_ns, t.sweep_ns / t.fused_ns);
    std::printf("  (driver with a sink that reads nothing %.0f ns, of which windows %.0f ns; "
                "with the sums sink on two threads %.0f ns of wall time)\n",
                t.null_ns, t.windows_ns, t.two_ns);
    std::printf("digest %016llx\n", static_cast<unsigned long long>(digest));
    if (failures) std::printf("%d failures\n", failures);
    return failures ? 1 : 0;
}
