// The scatter kernel (resampling) against independently clipped polygons:
// every weight of a rotated, scaled, sheared or mirrored grid (and of a
// distorted mesh of corners) against the area of its parallelogram inside
// the output cell by Sutherland-Hodgman clipping in long double; flux sums;
// identical bits for every thread count and for a window of the output on
// its own; and the time per input pixel.
//   tools/env tools/native-check [--quick]   (runs it after the region check)
// Exits non-zero when a bound is broken; prints the largest differences and
// a digest of the results' bits (compared across builds by --digests).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "region/scatter.hpp"
#include "check.hpp"

namespace R = zolvin::region;
using i64 = std::int64_t;

namespace {


using Point = std::array<long double, 2>;
using Polygon = std::vector<Point>;

// The part of a convex polygon on the side of the line u = c (axis 0) or
// v = c (axis 1) where keep(coordinate) holds.
Polygon clip_side(const Polygon& p, int axis, long double c, bool below) {
    Polygon out;
    auto inside = [&](const Point& q) { return below ? q[axis] <= c : q[axis] >= c; };
    for (std::size_t k = 0; k < p.size(); ++k) {
        const Point a = p[k], b = p[(k + 1) % p.size()];
        if (inside(a)) out.push_back(a);
        if (inside(a) != inside(b)) {
            const long double t = (c - a[axis]) / (b[axis] - a[axis]);
            Point x;
            x[axis] = c;
            x[1 - axis] = a[1 - axis] + t * (b[1 - axis] - a[1 - axis]);
            out.push_back(x);
        }
    }
    return out;
}

long double area(const Polygon& p) {
    long double s = 0;
    for (std::size_t k = 0; k < p.size(); ++k) {
        const Point a = p[k], b = p[(k + 1) % p.size()];
        s += a[0] * b[1] - a[1] * b[0];
    }
    return std::fabs(s) / 2;
}

// The area of a convex quadrilateral inside cell (i, j).
long double overlap(const Polygon& quad, i64 i, i64 j) {
    Polygon p = clip_side(quad, 0, static_cast<long double>(j), false);
    p = clip_side(p, 0, static_cast<long double>(j + 1), true);
    p = clip_side(p, 1, static_cast<long double>(i), false);
    p = clip_side(p, 1, static_cast<long double>(i + 1), true);
    return p.size() < 3 ? 0.0L : area(p);
}

Polygon pixel(const R::InputNodes& in, i64 r, i64 c) {
    const R::CellPoint q[4] = {in.node(r, c), in.node(r, c + 1), in.node(r + 1, c + 1),
                               in.node(r + 1, c)};
    Polygon p;
    for (const auto& x : q) p.push_back({x.u, x.v});
    return p;
}

// An input grid in the output's cell frame: J = scale R(angle) (with a shear
// and, when mirrored, one axis reversed), its pixel (0, 0) centred at (tu, tv).
R::InputNodes grid(double angle, double scale, double shear, bool mirrored, double tu,
                   double tv, i64 rows, i64 cols) {
    const double c = std::cos(angle) * scale, s = std::sin(angle) * scale;
    R::InputNodes in;
    in.rows = rows, in.cols = cols;
    in.m00 = c, in.m01 = -s + shear, in.m10 = s, in.m11 = mirrored ? -c : c;
    in.tu = tu, in.tv = tv;
    return in;
}

// Every weight times the area of its pixel against the clipped area (both in
// cells: the kernel's rounding is that of the cell's fraction, however small
// the pixel); and every cell an input pixel overlaps by more than rounding
// has its entry.
void weights_against_clipping(const R::InputNodes& in, const R::OutputCells& cells,
                              const char* name) {
    R::ScatterOptions o;
    const R::ScatterEntries e = R::scatter_entries(in, cells, o);
    double worst = 0;
    i64 missing = 0, stray = 0;
    for (i64 k = 0; k < in.rows * in.cols; ++k) {
        const Polygon quad = pixel(in, k / in.cols, k % in.cols);
        const long double a = area(quad);
        std::vector<long double> expected(static_cast<std::size_t>(cells.rows * cells.cols), 0);
        // The cells of the quadrilateral's bounding box, one more each way.
        long double lo[2] = {quad[0][0], quad[0][1]}, hi[2] = {lo[0], lo[1]};
        for (const Point& p : quad)
            for (int x = 0; x < 2; ++x) lo[x] = std::min(lo[x], p[x]), hi[x] = std::max(hi[x], p[x]);
        const i64 i0 = std::max(cells.row0, static_cast<i64>(std::floor(lo[1])) - 1);
        const i64 i1 = std::min(cells.row0 + cells.rows, static_cast<i64>(std::ceil(hi[1])) + 1);
        const i64 j0 = std::max(cells.col0, static_cast<i64>(std::floor(lo[0])) - 1);
        const i64 j1 = std::min(cells.col0 + cells.cols, static_cast<i64>(std::ceil(hi[0])) + 1);
        for (i64 i = i0; i < i1; ++i)
            for (i64 j = j0; j < j1; ++j)
                expected[static_cast<std::size_t>((i - cells.row0) * cells.cols + j - cells.col0)] =
                    overlap(quad, i, j);
        for (i64 n = e.indptr[k]; n < e.indptr[k + 1]; ++n) {
            long double& x = expected[static_cast<std::size_t>(e.index[n])];
            stray += x == 0;
            worst = std::max(worst, static_cast<double>(std::fabs(x - e.value[n] * a)));
            x = 0;  // seen
        }
        for (long double x : expected) missing += x > 1e-15L;
    }
    mix(e.value.data(), e.value.size());
    std::printf("scatter weights, %s: largest difference from clipping %.2g cells, %lld cells "
                "missed, %lld not overlapped\n",
                name, worst, static_cast<long long>(missing), static_cast<long long>(stray));
    expect(worst <= 4e-15, std::string(name) + ": weights within 4e-15 of the clipped areas");
    expect(missing == 0, std::string(name) + ": every overlapped cell has its weight");
    expect(stray == 0, std::string(name) + ": no weight where the pixel does not reach");
}

// Spreads data, flux or mean, over cells with n threads.
std::vector<double> spread(const R::InputNodes& in, const R::OutputCells& cells,
                           const std::vector<double>& data, R::Conserve mode, std::uint64_t threads,
                           std::vector<double>& footprint) {
    std::vector<double> sum(static_cast<std::size_t>(cells.rows * cells.cols));
    footprint.assign(sum.size(), 0.0);
    R::ScatterImage im;
    im.data = data.data();
    im.sum = sum.data();
    im.footprint = footprint.data();
    im.conserve = mode;
    R::ScatterOptions o;
    o.n_threads = threads;
    R::scatter(in, cells, im, o);
    return sum;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 8) == 0;
}

// Flux kept to 1e-12 with every input inside the output, the mean of a
// constant image constant where the footprint is 1, the same bits on 1, 2
// and 3 threads, and a window of the output computed alone equal to its
// part of the whole.
void sums_and_bits(const R::InputNodes& in, const R::OutputCells& cells, const char* name) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> U(1, 2);
    std::vector<double> data(static_cast<std::size_t>(in.rows * in.cols));
    for (auto& d : data) d = U(rng);
    std::vector<double> fp, fp2, fp3;
    const auto one = spread(in, cells, data, R::Conserve::flux, 1, fp);
    long double total_in = 0, total_out = 0;
    for (double d : data) total_in += d;
    for (double s : one) total_out += std::isnan(s) ? 0 : s;
    const double rel = static_cast<double>(std::fabs(total_out / total_in - 1));
    expect(rel <= 1e-12, std::string(name) + ": flux kept within 1e-12");
    expect(same_bits(one, spread(in, cells, data, R::Conserve::flux, 2, fp2)) &&
               same_bits(fp, fp2) &&
               same_bits(one, spread(in, cells, data, R::Conserve::flux, 3, fp3)) &&
               same_bits(fp, fp3),
           std::string(name) + ": the same bits on 1, 2 and 3 threads");
    const R::OutputCells part{cells.row0 + 13, cells.col0 + 7, cells.rows / 2, cells.cols / 3};
    const auto alone = spread(in, part, data, R::Conserve::flux, 2, fp2);
    bool same = true;
    for (i64 i = 0; i < part.rows; ++i)
        for (i64 j = 0; j < part.cols; ++j) {
            const auto k = static_cast<std::size_t>((i + 13) * cells.cols + j + 7);
            const auto m = static_cast<std::size_t>(i * part.cols + j);
            same = same && std::memcmp(&one[k], &alone[m], 8) == 0 &&
                   std::memcmp(&fp[k], &fp2[m], 8) == 0;
        }
    expect(same, std::string(name) + ": a window of the output alone has the whole's bits");
    std::vector<double> ones(data.size(), 1.0);
    const auto mean = spread(in, cells, ones, R::Conserve::mean, 1, fp3);
    double worst = 0;
    for (std::size_t k = 0; k < mean.size(); ++k)
        if (fp3[k] == 1.0) worst = std::max(worst, std::fabs(mean[k] - 1.0));
    expect(worst <= 1e-15, std::string(name) + ": a constant's mean stays constant");
    mix(one.data(), one.size());
    mix(fp.data(), fp.size());
    std::printf("scatter sums, %s: flux kept to %.1e, constant mean within %.1e\n", name, rel,
                worst);
}

double cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// One thread's CPU time per input pixel, n^2 rotated 17 degrees and scaled
// 0.9 onto n^2, the best of three.
double timing(i64 n) {
    const double mid = static_cast<double>(n - 1) / 2;
    const double a = 17.0 * 3.14159265358979323846 / 180;
    R::InputNodes in = grid(a, 0.9, 0.0, false, 0, 0, n, n);
    in.tu = mid - (in.m00 * mid + in.m01 * mid) + 0.73;
    in.tv = mid - (in.m10 * mid + in.m11 * mid) + 0.19;
    std::vector<double> data(static_cast<std::size_t>(n * n), 1.5), fp;
    double best = 1e300;
    for (int r = 0; r < 3; ++r) {
        const double t0 = cpu_ns();
        spread(in, {0, 0, n, n}, data, R::Conserve::flux, 1, fp);
        best = std::min(best, cpu_ns() - t0);
    }
    return best / static_cast<double>(n * n);
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const double deg = 3.14159265358979323846 / 180;
    struct Case {
        const char* name;
        double angle, scale, shear;
        bool mirrored;
    };
    const Case cases[] = {{"rotated 17, scaled 0.9", 17 * deg, 0.9, 0.0, false},
                          {"rotated -63, scaled 0.3", -63 * deg, 0.3, 0.0, false},
                          {"rotated 40, scaled 2.5", 40 * deg, 2.5, 0.0, false},
                          {"sheared, mirrored", 5 * deg, 1.3, 0.7, true},
                          {"far smaller than a cell", 33 * deg, 0.04, 0.0, false}};
    for (const Case& c : cases) {
        const i64 n = c.scale < 0.1 ? 60 : 24;
        const R::InputNodes in = grid(c.angle, c.scale, c.shear, c.mirrored, 80.31, 79.77, n, n);
        weights_against_clipping(in, {70, 72, 48, 50}, c.name);
        sums_and_bits(in, {0, 0, 170, 170}, c.name);
    }
    // Next to the output's first row and column, where the corners' rounding
    // is finest (and cells no pixel reaches must stay exactly uncovered).
    const R::InputNodes corner = grid(17 * deg, 0.9, 0.0, false, 8.0, 0.62, 24, 24);
    weights_against_clipping(corner, {0, 0, 30, 30}, "near the output's corner");
    sums_and_bits(corner, {0, 0, 40, 40}, "near the output's corner");
    // A mesh of corners: a grid bent by a quadratic term, each pixel its own
    // quadrilateral.
    const i64 rows = 20, cols = 23;
    std::vector<double> u(static_cast<std::size_t>((rows + 1) * (cols + 1))), v(u.size());
    for (i64 R0 = 0; R0 <= rows; ++R0)
        for (i64 C = 0; C <= cols; ++C) {
            const double x = static_cast<double>(C), y = static_cast<double>(R0);
            const auto k = static_cast<std::size_t>(R0 * (cols + 1) + C);
            u[k] = 3.3 + 0.8 * x - 0.3 * y + 0.004 * x * y;
            v[k] = 2.1 + 0.25 * x + 0.9 * y + 0.003 * x * x;
        }
    R::InputNodes mesh;
    mesh.affine = false;
    mesh.rows = rows, mesh.cols = cols;
    mesh.u = u.data(), mesh.v = v.data();
    weights_against_clipping(mesh, {0, 0, 40, 40}, "a bent mesh");
    std::vector<double> data(static_cast<std::size_t>(rows * cols), 1.0), fp, fp2;
    const auto one = spread(mesh, {0, 0, 40, 40}, data, R::Conserve::flux, 1, fp);
    expect(same_bits(one, spread(mesh, {0, 0, 40, 40}, data, R::Conserve::flux, 2, fp2)),
           "a bent mesh: the same bits on 1 and 2 threads");
    mix(one.data(), one.size());
    const i64 n = quick ? 512 : 4096;
    std::printf("scatter, %lld^2 rotated 17 deg, scaled 0.9, onto %lld^2, one thread: %.1f ns "
                "per input pixel (CPU time)\n",
                static_cast<long long>(n), static_cast<long long>(n), timing(n));
    std::printf("digest %016llx\n", static_cast<unsigned long long>(digest));
    if (failures) std::printf("%d failures\n", failures);
    return failures ? 1 : 0;
}
