// The drivers of the coverage kernels: each walks a pixel source row by row,
// skips what the region rules out, and hands the rest to the per-pixel rules.
// Every expression below is evaluated in the order written, each operation
// rounded on its own (the build forbids contraction and reassociation):
// callers rely on the results bit for bit.
#include "coverage.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "coverage_grid.hpp"
#include "coverage_rules.hpp"
#include "coverage_sources.hpp"
#include "lanes.hpp"

namespace zolvin {

using namespace detail;

// ---- One pixel ----

double pixel_frac_1(const Line& line, const Pixel& p) { return line_fraction(line, p); }

double enclosed_circle_1(const Circle& circle, const Pixel& p) {
    const double s = pixel_scale(p);
    const double dx = p.x - circle.cx;
    const double dy = p.y - circle.cy;
    const double d2 = dx * dx + dy * dy;
    const double early = circle_early(d2, s, circle.radius);
    if (early != kRim) {
        return early;
    }
    return circle_rim(p, circle, s, dx, dy, d2);
}

double enclosed_strut_1(const Strut& strut, const Pixel& p) {
    return strut_core(p, strut_rule(strut));
}

namespace {

constexpr std::size_t kBlock = 256;

// ---- Half-plane ----

// Every pixel's result written after its inputs were read: out may be an input.
template <class Pixels, class Lines>
ZOLVIN_INLINE void pixel_frac_rows(const Pixels& px, const Lines& lines, double* out) {
    const std::uint64_t n = px.cols();
    for (std::uint64_t r = 0; r < px.rows(); ++r) {
        double* row = out + r * n;
        std::uint64_t c = 0;
        for (; n >= 4 && c <= n - 4; c += 4) {
            const Line4 l = lines.at4(c);
            const Pixel4 p = px.at4(r, c);
            store4(row + c, half_plane_fraction<lanes>(l.x, l.y, l.dir_y, l.dir_x, p.x, p.y,
                                                       p.u, p.v, p.dxdu, p.dxdv, p.dydu,
                                                       p.dydv));
        }
        for (; c < n; ++c) {
            row[c] = pixel_frac_1(lines.at(c), px.at(r, c));
        }
    }
}

// Both array forms of pixel_frac: a line gives the shared form, a null one
// the line arrays.
ZOLVIN_CLONES("avx2", "default")
void pixel_frac_batch(const Line* line, const LineArrays& lines, const ArrayPixels& px,
                      double* out) {
    if (line != nullptr) {
        pixel_frac_rows(px, SharedLine{*line}, out);
    } else {
        pixel_frac_rows(px, PerPixelLines{lines}, out);
    }
}

ZOLVIN_CLONES("avx2", "default")
void pixel_frac_grid(const GridPixels& px, const SharedLine& line, double* out) {
    pixel_frac_rows(px, line, out);
}

// ---- Circle and strut ----
//
// The batches work through blocks of pixels. A first pass without branches,
// which the compiler vectorises, applies the early tests and marks with kRim
// the pixels they leave open; a second pass gives those to the scalar rule.
// Pixels of one grid often share a single Jacobian: when a whole block does
// (bit for bit), its pixel scale is computed once, as the scalar rule would
// compute it for each of them. Every value thus equals the scalar rule's.
// Over a grid, the region skips the columns of each row where the rule can
// only give 0 (coverage_grid.hpp).

// Zeros outside the live columns of a row, unless out already holds them.
inline void clear_outside(double* row, Span live, std::uint64_t n, bool zeroed) {
    if (zeroed) return;
    std::fill(row, row + live.lo, 0.0);
    std::fill(row + live.hi, row + n, 0.0);
}

// Indices of the kRim entries of a block, in order; returns their count.
inline std::size_t rim_indices(const double* block, std::size_t m, std::uint16_t* rims) {
    std::size_t count = 0;
    for (std::size_t k = 0; k < m; ++k) {
        rims[count] = static_cast<std::uint16_t>(k);
        count += block[k] == kRim ? 1 : 0;
    }
    return count;
}

// Columns c + idx[0..3] of row r, whose Jacobian is j.
template <class Pixels>
ZOLVIN_INLINE Pixel4 gather4(const Pixels& px, std::uint64_t r, std::uint64_t c,
                             const std::uint16_t* idx, const double j[4]) {
    Pixel4 q{{}, {}, {}, {}, splat(j[0]), splat(j[1]), splat(j[2]), splat(j[3])};
    for (int l = 0; l < 4; ++l) {
        const Pixel p = px.at(r, c + idx[l]);
        q.x[l] = p.x, q.y[l] = p.y, q.u[l] = p.u, q.v[l] = p.v;
    }
    return q;
}

// circle_rim for four pixels of one scale s, lane by lane; the centred case
// is selected rather than branched to. Over splat Jacobians the quotients of
// the half-plane step are the same for every call, and are formed once.
ZOLVIN_INLINE lanes circle_rim4(const Pixel4& p, const Circle& circle, double s) {
    const double cx = circle.cx, cy = circle.cy, radius = circle.radius;
    const lanes dx = p.x - cx;
    const lanes dy = p.y - cy;
    const lanes d2 = dx * dx + dy * dy;
    const lanes d = root(d2);
    const lanes px = (dx * radius) / d + cx;
    const lanes py = (radius * dy) / d + cy;
    const lanes f = half_plane_fraction<lanes>(px, py, (-dx) / d, dy / d, p.x, p.y, p.u, p.v,
                                               p.dxdu, p.dxdv, p.dydu, p.dydv);
    if ((radius - s) * (radius - s) == 0) return select(d2 == 0, splat(1.0), f);
    return f;
}

template <class Pixels, class Region>
ZOLVIN_INLINE void circle_rows(const Pixels& px, const Region& region, const Circle& circle,
                               double* out, bool zeroed) {
    const double cx = circle.cx, cy = circle.cy, radius = circle.radius;
    double buffer[kBlock];
    std::uint16_t rims[kBlock];
    const std::uint64_t n = px.cols();
    for (std::uint64_t r = 0; r < px.rows(); ++r) {
        double* row = out + r * n;
        const Span live = region.columns(r);
        clear_outside(row, live, n, zeroed);
        Span whole = region.inside(r);
        whole.lo = std::min(std::max(whole.lo, live.lo), live.hi);
        whole.hi = std::min(std::max(whole.hi, whole.lo), live.hi);
        std::fill(row + whole.lo, row + whole.hi, 1.0);
        for (std::uint64_t c = live.lo; c < live.hi;) {
            if (c == whole.lo && whole.hi > whole.lo) {
                c = whole.hi;
                continue;
            }
            const std::uint64_t end = c < whole.lo ? whole.lo : live.hi;
            const std::size_t m = static_cast<std::size_t>(end - c < kBlock ? end - c : kBlock);
            double* block = Pixels::in_place ? row + c : buffer;
            std::size_t rim = 0;
            double j[4];
            if (px.shared(r, c, m, j)) {
                const double s = pixel_scale(j[0], j[1], j[2], j[3]);
                px.for_centres(r, c, m, [&](std::size_t k, double x, double y) {
                    const double dx = x - cx;
                    const double dy = y - cy;
                    block[k] = circle_early(dx * dx + dy * dy, s, radius);
                    rim += block[k] == kRim ? 1 : 0;
                });
                // The rim four pixels at a time, the scalar rule for the rest.
                if (rim > 0) rim = rim_indices(block, m, rims);
                std::size_t q = 0;
                for (; q + 4 <= rim; q += 4) {
                    const lanes f = circle_rim4(gather4(px, r, c, rims + q, j), circle, s);
                    for (int l = 0; l < 4; ++l) block[rims[q + l]] = f[l];
                }
                for (; q < rim; ++q) {
                    block[rims[q]] = enclosed_circle_1(circle, px.at(r, c + rims[q]));
                }
            } else {
                for (std::size_t k = 0; k < m; ++k) {
                    const Pixel p = px.at(r, c + k);
                    const double s = pixel_scale(p);
                    const double dx = p.x - cx;
                    const double dy = p.y - cy;
                    block[k] = circle_early(dx * dx + dy * dy, s, radius);
                    rim += block[k] == kRim ? 1 : 0;
                }
                for (std::size_t k = 0; rim > 0 && k < m; ++k) {
                    if (block[k] == kRim) {
                        block[k] = enclosed_circle_1(circle, px.at(r, c + k));
                        --rim;
                    }
                }
            }
            // Written only now: out may be one of the input arrays.
            if (!Pixels::in_place) std::memcpy(row + c, block, m * sizeof(double));
            c += m;
        }
    }
}

template <class Pixels, class Region>
ZOLVIN_INLINE void strut_rows(const Pixels& px, const Region& region, const StrutRule& t,
                              double* out, bool zeroed) {
    double buffer[kBlock];
    unsigned char outside_disc[kBlock];
    const std::uint64_t n = px.cols();
    for (std::uint64_t r = 0; r < px.rows(); ++r) {
        double* row = out + r * n;
        const Span live = region.columns(r);
        clear_outside(row, live, n, zeroed);
        for (std::uint64_t c = live.lo; c < live.hi; c += kBlock) {
            const std::size_t m =
                static_cast<std::size_t>(live.hi - c < kBlock ? live.hi - c : kBlock);
            double* block = Pixels::in_place ? row + c : buffer;
            // Blocks wholly outside the disc need nothing but the centres.
            std::size_t in_disc = 0;
            px.for_centres(r, c, m, [&](std::size_t k, double x, double y) {
                const double d2 = (x - t.mx) * (x - t.mx) + (y - t.my) * (y - t.my);
                outside_disc[k] = d2 >= t.r2;
                in_disc += d2 >= t.r2 ? 0 : 1;
            });
            double j[4];
            if (in_disc == 0) {
                std::fill(block, block + m, 0.0);
            } else if (px.shared(r, c, m, j)) {
                const double near = 2 * pixel_scale(j[0], j[1], j[2], j[3]);
                std::size_t rim = 0;
                px.for_centres(r, c, m, [&](std::size_t k, double x, double y) {
                    const double l1 = edge_value(t.edge1, x, y);
                    const double l2 = edge_value(t.edge2, x, y);
                    const double far = l1 * l2 < 0 ? 1.0 : 0.0;
                    const double inside =
                        near > std::fabs(l1) || near > std::fabs(l2) ? kRim : far;
                    block[k] = outside_disc[k] ? 0.0 : inside;
                    rim += block[k] == kRim ? 1 : 0;
                });
                for (std::size_t k = 0; rim > 0 && k < m; ++k) {
                    if (block[k] == kRim) {
                        block[k] = strut_core(px.at(r, c + k), t);
                        --rim;
                    }
                }
            } else {
                // Per-pixel scales: the branch on the disc test saves their
                // roots for the pixels outside it.
                for (std::size_t k = 0; k < m; ++k) {
                    block[k] = strut_core(px.at(r, c + k), t);
                }
            }
            // Written only now: out may be one of the input arrays.
            if (!Pixels::in_place) std::memcpy(row + c, block, m * sizeof(double));
        }
    }
}

ZOLVIN_CLONES("avx2", "default")
void circle_batch(const ArrayPixels& px, const Circle& circle, double* out) {
    circle_rows(px, AllColumns{px.a.n}, circle, out, false);
}

ZOLVIN_CLONES("arch=x86-64-v4", "avx2", "default")
void circle_grid(const GridPixels& px, const Circle& circle, double* out, bool zeroed) {
    circle_rows(px, circle_region(px.g, circle), circle, out, zeroed);
}

ZOLVIN_CLONES("avx2", "default")
void strut_batch(const ArrayPixels& px, const StrutRule& t, double* out) {
    strut_rows(px, AllColumns{px.a.n}, t, out, false);
}

ZOLVIN_CLONES("avx2", "default")
void strut_grid(const GridPixels& px, const StrutRule& t, double* out, bool zeroed) {
    strut_rows(px, strut_region(px.g, t), t, out, zeroed);
}

}  // namespace

// ---- The array form ----

void pixel_frac(const Line& line, const PixelArrays& px, double* out) {
    pixel_frac_batch(&line, LineArrays{}, ArrayPixels{px}, out);
}

void pixel_frac(const LineArrays& lines, const PixelArrays& px, double* out) {
    pixel_frac_batch(nullptr, lines, ArrayPixels{px}, out);
}

void enclosed_circle(const PixelArrays& px, const Circle& circle, double* out) {
    circle_batch(ArrayPixels{px}, circle, out);
}

void enclosed_strut(const PixelArrays& px, const Strut& strut, double* out) {
    strut_batch(ArrayPixels{px}, strut_rule(strut), out);
}

// ---- The grid-window form ----

void grid_pixel_frac(const GridWindow& g, const Line& line, double* out) {
    if (g.rows == 0 || g.cols == 0) return;  // no pixels: no rows to walk
    pixel_frac_grid(GridPixels{g}, SharedLine{line}, out);
}

void grid_enclosed_circle(const GridWindow& g, const Circle& circle, double* out, bool zeroed) {
    if (g.rows == 0 || g.cols == 0) return;  // no pixels: no rows to walk
    circle_grid(GridPixels{g}, circle, out, zeroed);
}

void grid_enclosed_strut(const GridWindow& g, const Strut& strut, double* out, bool zeroed) {
    if (g.rows == 0 || g.cols == 0) return;  // no pixels: no rows to walk
    strut_grid(GridPixels{g}, strut_rule(strut), out, zeroed);
}

}  // namespace zolvin
