// Runs every kernel on fixed generated inputs and prints one digest per
// kernel and one of them all. Builds for other compilers, instruction sets
// and machines must print the same lines (tools/digests compares them).
//
// The inputs come from a seeded generator, with a sprinkling of zeros,
// infinities and NaNs. Outputs are hashed bit for bit, except that every NaN
// counts as one value: the NaN a machine makes up differs between x86-64 and
// aarch64, and nothing promises more.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "coverage.hpp"
#include "digest.hpp"
#include "polygon.hpp"
#include "triangles.hpp"

namespace {

using namespace digest;
using zolvin::GridWindow;
using zolvin::kTriangleDoubles;

void pixel_frac_digest(Random& rng, Digest& d) {
    const Pixels p = make_pixels(rng, 1027, true);
    std::vector<double> out(p.n);
    for (int k = 0; k < 12; ++k) {
        const double line[4] = {rng.uniform(-5, 5), rng.uniform(-5, 5), rng.uniform(-1, 1),
                                k == 3 ? 0.0 : rng.uniform(-1, 1)};
        // Drawn point, then direction y first.
        zolvin::pixel_frac(zolvin::Line{line[0], line[1], line[3], line[2]}, p.arrays(),
                           out.data());
        d.add(out);
    }
    std::vector<double> lx(p.n), ly(p.n), ldy(p.n), ldx(p.n);
    for (u64 i = 0; i < p.n; ++i) {
        lx[i] = p.x[i] + rng.uniform(-1.5, 1.5);
        ly[i] = p.y[i] + rng.uniform(-1.5, 1.5);
        ldy[i] = rng.below(9) == 0 ? 0.0 : rng.uniform(-1, 1);
        ldx[i] = rng.below(9) == 0 ? 0.0 : rng.uniform(-1, 1);
    }
    sprinkle(ldx, rng, 300);
    zolvin::pixel_frac(zolvin::LineArrays{lx.data(), ly.data(), ldx.data(), ldy.data()},
                       p.arrays(), out.data());
    d.add(out);
}

void circle_digest(Random& rng, Digest& d) {
    const Pixels p = make_pixels(rng, 2053, true);
    std::vector<double> out(p.n);
    for (int k = 0; k < 10; ++k) {
        const double r = k == 0 ? 0.0 : k == 1 ? -2.0 : rng.uniform(0.1, 6);
        const double cx = rng.uniform(-3, 3), cy = rng.uniform(-3, 3);
        zolvin::enclosed_circle(p.arrays(), zolvin::Circle{cx, cy, r}, out.data());
        d.add(out);
    }
}

zolvin::Strut make_strut(Random& rng) {
    double ca, sa;
    turn(rng, ca, sa);
    const double w = rng.uniform(0.01, 1.5);
    const double cx = rng.uniform(-2, 2), cy = rng.uniform(-2, 2);
    const double nx = sa, ny = -ca;
    const double tilt = rng.below(3) == 0 ? rng.uniform(-0.05, 0.05) : 0.0;
    return {rng.uniform(0.5, 12),
            {cx - nx * w / 2, cy - ny * w / 2, ca, sa},
            {cx + nx * w / 2, cy + ny * w / 2, ca - tilt * sa, sa + tilt * ca}};
}

void strut_digest(Random& rng, Digest& d) {
    const Pixels p = make_pixels(rng, 2053, true);
    std::vector<double> out(p.n);
    for (int k = 0; k < 10; ++k) {
        zolvin::enclosed_strut(p.arrays(), make_strut(rng), out.data());
        d.add(out);
    }
}

void grid_digest(Random& rng, Digest& d) {
    for (int k = 0; k < 6; ++k) {
        double ca, sa;
        turn(rng, ca, sa);
        const double s = rng.uniform(0.02, 0.2);
        const double shear = k % 2 == 0 ? 0.0 : rng.uniform(-0.4, 0.4);
        GridWindow g{rng.uniform(-4, -2), rng.uniform(-4, -2), s * ca, s * (shear * ca - sa),
                     s * sa, s * (shear * sa + ca), rng.below(20), rng.below(20), 37, 71};
        if (k == 0) g.dxdu = s, g.dxdv = 0, g.dydu = 0, g.dydv = s;
        std::vector<double> out(g.rows * g.cols);
        const double line[4] = {rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1),
                                rng.uniform(-1, 1)};
        zolvin::grid_pixel_frac(g, zolvin::Line{line[0], line[1], line[3], line[2]}, out.data());
        d.add(out);
        for (int zeroed = 0; zeroed < 2; ++zeroed) {
            std::fill(out.begin(), out.end(), zeroed ? 0.0 : kNaN);
            const double c[3] = {rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(0.2, 3)};
            zolvin::grid_enclosed_circle(g, zolvin::Circle{c[0], c[1], c[2]}, out.data(),
                                         zeroed != 0);
            d.add(out);
            std::fill(out.begin(), out.end(), zeroed ? 0.0 : kNaN);
            zolvin::grid_enclosed_strut(g, make_strut(rng), out.data(), zeroed != 0);
            d.add(out);
        }
    }
}

std::vector<double> make_triangles(Random& rng, int n, double spread, double size) {
    std::vector<double> t(kTriangleDoubles * static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        double* tri = &t[kTriangleDoubles * static_cast<std::size_t>(i)];
        const double cx = rng.uniform(-spread, spread), cy = rng.uniform(-spread, spread);
        for (int k = 0; k < 3; ++k) {
            tri[2 * k] = cx + rng.uniform(-size, size);
            tri[2 * k + 1] = cy + rng.uniform(-size, size);
        }
        if (i % 17 == 5) tri[2] = tri[0], tri[3] = tri[1];  // repeated vertex
        if (i % 23 == 7) tri[4] = std::floor(tri[4]) + 0.5;  // on a pixel side
    }
    return t;
}

void clip_area_digest(Random& rng, Digest& d) {
    std::vector<double> t = make_triangles(rng, 400, 3, 2);
    sprinkle(t, rng, 500);
    for (int i = 0; i < 400; ++i) {
        const double* tri = &t[kTriangleDoubles * static_cast<std::size_t>(i)];
        for (int iy = -2; iy <= 2; ++iy) {
            for (int ix = -2; ix <= 2; ++ix) d.add(zolvin::clip_area(tri, ix, iy));
        }
    }
    // Single passes over longer polygons, both axes and sides.
    std::vector<double> poly(2 * 9), out(2 * 18);
    for (int k = 0; k < 300; ++k) {
        for (double& c : poly) c = rng.uniform(-2, 2);
        const int n = zolvin::sh_clip_edge_cpp(poly.data(), 9, out.data(), k % 2,
                                               rng.uniform(-1, 1), k % 3 == 0 ? 1 : -1);
        d.add_int(n);
        for (int i = 0; i < 2 * n; ++i) d.add(out[i]);
    }
}

void accumulate_digest(Random& rng, Digest& d) {
    const int n = 3000;
    for (int size : {41, 40}) {
        std::vector<double> t = make_triangles(rng, n, 22, 3);
        std::vector<double> values(n), weights(n);
        for (int i = 0; i < n; ++i) {
            values[i] = rng.uniform(-1, 2);
            weights[i] = i % 50 == 0 ? -1.0 : rng.uniform(0.1, 3);
        }
        std::vector<double> grid(static_cast<std::size_t>(size) * size, 0.0);
        const zolvin::TriangleList list{t.data(), n};
        zolvin::accumulate_triangles(list, values.data(), weights.data(), grid.data(), size);
        d.add(grid);
        // In bands, onto the first result.
        for (int row = 0; row < size; row += 7) {
            zolvin::accumulate_triangles_rows(list, values.data(), weights.data(),
                                              grid.data() + static_cast<std::size_t>(row) * size,
                                              size, row, std::min(row + 7, size));
        }
        d.add(grid);
    }
}

void clip_circle_digest(Random& rng, Digest& d) {
    const int n = 800;
    std::vector<double> t = make_triangles(rng, n, 3, 1.5);
    sprinkle(t, rng, 1000);
    std::vector<double> out(kTriangleDoubles * zolvin::kCirclePieces *
                            static_cast<std::size_t>(n));
    for (int k = 0; k < 8; ++k) {
        std::int32_t counters[2] = {0, 0};
        const double c[4] = {rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(0.3, 3),
                             k < 4 ? 0.0 : rng.uniform(0, 0.3)};
        const int written = zolvin::clip_triangles_to_circle(
            zolvin::TriangleList{t.data(), n}, zolvin::Circle{c[0], c[1], c[2]}, k % 2 != 0, c[3],
            out.data(), zolvin::ClipCounters{&counters[0], &counters[1]});
        d.add_int(written);
        d.add_int(counters[0]);
        d.add_int(counters[1]);
        for (int i = 0; i < kTriangleDoubles * written; ++i) d.add(out[i]);
    }
}

void clip_strut_digest(Random& rng, Digest& d) {
    const int n = 800;
    std::vector<double> t = make_triangles(rng, n, 3, 1.5);
    sprinkle(t, rng, 1000);
    std::vector<double> out(kTriangleDoubles * zolvin::kStrutPieces *
                            static_cast<std::size_t>(n));
    for (int k = 0; k < 8; ++k) {
        const zolvin::Strut s = make_strut(rng);
        std::int32_t counters[2] = {0, 0};
        const double c[4] = {rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(0.5, 5),
                             k < 4 ? 0.0 : rng.uniform(0, 0.3)};
        const zolvin::CappedStrut capped{s.edge1, s.edge2, c[0], c[1], c[2]};
        const int written = zolvin::clip_triangles_to_strut(
            zolvin::TriangleList{t.data(), n}, capped, c[3], out.data(),
            zolvin::ClipCounters{&counters[0], &counters[1]});
        d.add_int(written);
        d.add_int(counters[0]);
        d.add_int(counters[1]);
        for (int i = 0; i < kTriangleDoubles * written; ++i) d.add(out[i]);
    }
}

using MaskKernel = void (*)(const zolvin::Polygon&, const zolvin::PointGrid&, unsigned char*);

void mask_digest_of(Random& rng, Digest& d, MaskKernel kernel) {
    const u64 nx = 203, ny = 97;
    std::vector<double> gx(nx), gy(ny);
    for (u64 c = 0; c < nx; ++c) gx[c] = -2.5 + 0.025 * static_cast<double>(c);
    for (u64 r = 0; r < ny; ++r) gy[r] = -2.5 + 0.05 * static_cast<double>(r);
    std::vector<unsigned char> mask(nx * ny);
    for (int k = 0; k < 6; ++k) {
        // A star polygon, with vertices snapped onto grid rows now and then.
        const u64 n = 5 + rng.below(60);
        std::vector<double> px(n), py(n);
        // A star: rays at rational points of the circle, around in order
        // (the right half, then the same points mirrored through the origin).
        const u64 half = (n + 1) / 2;
        for (u64 i = 0; i < n; ++i) {
            const u64 k = i < half ? i : i - half;
            const double t = -1 + 2 * static_cast<double>(k) / static_cast<double>(half);
            const double c = (1 - t * t) / (1 + t * t), sn = (2 * t) / (1 + t * t);
            const double r = (i < half ? 1.0 : -1.0) * rng.uniform(0.3, 2.4);
            px[i] = r * c;
            py[i] = rng.below(6) == 0 ? gy[rng.below(ny)] : r * sn;
        }
        kernel(zolvin::Polygon{px.data(), py.data(), n},
               zolvin::PointGrid{gx.data(), gy.data(), nx, ny}, mask.data());
        d.bytes(mask.data(), mask.size());
    }
}

void mask_digest(Random& rng, Digest& d) { mask_digest_of(rng, d, zolvin::poly_grid_contains); }

void points_digest(Random& rng, Digest& d) { mask_digest_of(rng, d, zolvin::poly_grid_points); }

}  // namespace

int main() {
    struct Kernel {
        const char* name;
        void (*run)(Random&, Digest&);
    };
    const Kernel kernels[] = {
        {"pixel_frac", pixel_frac_digest},         {"enclosed_circle", circle_digest},
        {"enclosed_strut", strut_digest},          {"grid", grid_digest},
        {"clip_area", clip_area_digest},           {"accumulate_triangles", accumulate_digest},
        {"clip_triangles_to_circle", clip_circle_digest},
        {"clip_triangles_to_strut", clip_strut_digest},
        {"poly_grid_contains", mask_digest},
        {"poly_grid_points", points_digest},
        {"region_segments", region_segments},
        {"region_arcs", region_arcs},
    };
    Digest all;
    u64 seed = 20261209;
    for (const Kernel& k : kernels) {
        Random rng{seed++};
        Digest d;
        k.run(rng, d);
        std::printf("%-26s %016llx\n", k.name, static_cast<unsigned long long>(d.h));
        all.bytes(&d.h, sizeof d.h);
    }
    std::printf("%-26s %016llx\n", "all", static_cast<unsigned long long>(all.h));
    return 0;
}
