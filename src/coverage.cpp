// Every expression below is evaluated in the order written, each operation
// rounded on its own (the build forbids contraction and reassociation):
// callers rely on the results bit for bit.
#include "coverage.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "address.hpp"
#include "lanes.hpp"

namespace zolvin {

double pixel_scale(double dxdu, double dxdv, double dydu, double dydv) {
    const double a = dxdu + dydv, b = dxdv - dydu;
    const double c = dxdu - dydv, d = dxdv + dydu;
    return (std::sqrt(a * a + b * b) + std::sqrt(c * c + d * d)) * 0.5;
}

// The half-plane fraction for one pixel (T = double) or four (T = lanes).
// Every branch is computed and the taken one selected, which keeps the lanes
// in step; the selected value is the one the stepwise rule produces.
template <class T>
ZOLVIN_INLINE T half_plane_fraction(T x0, T y0, T dir_y, T dir_x, T x, T y, T u, T v,
                                    T dxdu, T dxdv, T dydu, T dydv) {
    // Line point relative to the pixel centre, in the plane.
    const T ox = x0 - x;
    const T oy = y0 - y;

    // Direction in pixel coordinates (det times the inverse Jacobian), unit length.
    T tv = dir_y * dxdu - dir_x * dydu;
    T tu = dir_x * dydv - dir_y * dxdv;
    const T len = root(tv * tv + tu * tu);
    tu = tu / len;
    tv = tv / len;

    const T det = dydv * dxdu - dxdv * dydu;

    // Adding and removing u (v) rounds the offset to the spacing of u (v).
    T pu = (((-dxdv) / det) * oy + (dydv / det) * ox + u) - u;
    T pv = (((-dydu) / det) * ox + (dxdu / det) * oy + v) - v;

    // Fold into 0 <= tu <= tv; each reflection swaps inner and outer side.
    const T zero = T{};
    const auto flip_u = tu < zero;
    tu = pick(flip_u, -tu, tu);
    pu = pick(flip_u, -pu, pu);
    const auto flip_v = tv < zero;
    tv = pick(flip_v, -tv, tv);
    pv = pick(flip_v, -pv, pv);
    const auto swap = invert(tv > tu);  // also when NaN
    const T su = pick(swap, pv, pu), sv = pick(swap, pu, pv);
    const T stu = pick(swap, tv, tu), stv = pick(swap, tu, tv);
    const auto complement = invert(differ(differ(flip_u, flip_v), swap));

    // Crossings with the lower and upper pixel edges, 0 at the left edge.
    const T e = ((-0.5 - sv) * stu) / stv + su + 0.5;
    const T f = ((0.5 - sv) * stu) / stv + su + 0.5;

    // Area left of the line. 0.5 * tv and tv * 0.5 are the same product, so
    // the two triangle formulas share one quotient.
    const T slope = (0.5 * stv) / stu;
    const T cut_right = 1 - slope * (1 - e) * (1 - e);
    const T trapezoid = (f + e) * 0.5;
    const T upper_left = f * (slope * f);
    T area = pick(f > zero, upper_left, zero);  // NaN falls through to 0
    area = pick(e > zero, trapezoid, area);
    area = pick(f >= 1, cut_right, area);
    // E == 1 is whole too: the triangle it would cut off is empty, and for
    // tu == 0 (the line along the edge at +0.5) its formula would give inf * 0.
    area = pick(e >= 1, zero + 1.0, area);
    return pick(complement, 1 - area, area);
}

double pixel_frac_1(double x0, double y0, double dir_y, double dir_x,
                    double x, double y, double u, double v,
                    double dxdu, double dxdv, double dydu, double dydv) {
    return half_plane_fraction<double>(x0, y0, dir_y, dir_x, x, y, u, v, dxdu, dxdv, dydu, dydv);
}

namespace {

// Both pixel_frac forms: a line array is read per pixel, a null one gives the
// shared line instead. Four pixels at a time, the rest one by one.
__attribute__((target_clones("avx2", "default")))
void pixel_frac_batch(const double line[4], const double* lx, const double* ly,
                      const double* ldy, const double* ldx,
                      const double* x, const double* y, const double* u, const double* v,
                      const double* j00, const double* j01, const double* j10,
                      const double* j11, double* out, std::uint64_t n) {
    const bool shared = lx == nullptr;
    std::uint64_t i = 0;
    for (; n >= 4 && i <= n - 4; i += 4) {
        const lanes x0 = shared ? splat(line[0]) : load4(lx + i);
        const lanes y0 = shared ? splat(line[1]) : load4(ly + i);
        const lanes dir_y = shared ? splat(line[2]) : load4(ldy + i);
        const lanes dir_x = shared ? splat(line[3]) : load4(ldx + i);
        store4(out + i, half_plane_fraction<lanes>(
                            x0, y0, dir_y, dir_x, load4(x + i), load4(y + i), load4(u + i),
                            load4(v + i), load4(j00 + i), load4(j01 + i), load4(j10 + i),
                            load4(j11 + i)));
    }
    for (; i < n; ++i) {
        out[i] = pixel_frac_1(shared ? line[0] : lx[i], shared ? line[1] : ly[i],
                              shared ? line[2] : ldy[i], shared ? line[3] : ldx[i], x[i], y[i],
                              u[i], v[i], j00[i], j01[i], j10[i], j11[i]);
    }
}

}  // namespace

void pixel_frac(double x0, double y0, double dir_y, double dir_x,
                std::uint64_t x, std::uint64_t y, std::uint64_t u, std::uint64_t v,
                std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                std::uint64_t out, std::uint64_t n) {
    const double line[4] = {x0, y0, dir_y, dir_x};
    pixel_frac_batch(line, nullptr, nullptr, nullptr, nullptr, array_at<const double>(x),
                     array_at<const double>(y), array_at<const double>(u),
                     array_at<const double>(v), array_at<const double>(dxdu),
                     array_at<const double>(dxdv), array_at<const double>(dydu),
                     array_at<const double>(dydv), array_at<double>(out), n);
}

void pixel_frac(std::uint64_t x0, std::uint64_t y0, std::uint64_t dir_y, std::uint64_t dir_x,
                std::uint64_t x, std::uint64_t y, std::uint64_t u, std::uint64_t v,
                std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                std::uint64_t out, std::uint64_t n) {
    pixel_frac_batch(nullptr, array_at<const double>(x0), array_at<const double>(y0),
                     array_at<const double>(dir_y), array_at<const double>(dir_x),
                     array_at<const double>(x), array_at<const double>(y),
                     array_at<const double>(u), array_at<const double>(v),
                     array_at<const double>(dxdu), array_at<const double>(dxdv),
                     array_at<const double>(dydu), array_at<const double>(dydv),
                     array_at<double>(out), n);
}

// ---- Circle and strut ----
//
// The batches work through blocks of pixels. A first pass without branches,
// which the compiler vectorises, applies the early tests and marks with kRim
// the pixels they leave open; a second pass gives those to the scalar rule.
// Pixels of one grid often share a single Jacobian: when a whole block does
// (bit for bit), its pixel scale is computed once, as the scalar rule would
// compute it for each of them. Every value thus equals the scalar rule's.

namespace {

constexpr std::size_t kBlock = 256;
constexpr double kRim = -2.0;  // never a decided value

inline std::uint64_t bits(double value) {
    std::uint64_t b;
    std::memcpy(&b, &value, sizeof b);
    return b;
}

// Whether the m (> 0) Jacobians of a block are all bitwise equal to the first.
inline bool shared_jacobian(const double* j00, const double* j01, const double* j10,
                            const double* j11, std::size_t m) {
    const std::uint64_t a = bits(j00[0]), b = bits(j01[0]), c = bits(j10[0]), d = bits(j11[0]);
    std::uint64_t diff = 0;
    for (std::size_t k = 0; k < m; ++k) {
        diff |= (bits(j00[k]) ^ a) | (bits(j01[k]) ^ b) | (bits(j10[k]) ^ c) | (bits(j11[k]) ^ d);
    }
    return diff == 0;
}

// Step of the circle rule for a pixel within one pixel scale of the rim.
inline double circle_rim(double u, double v, double x, double y, double cx, double cy,
                         double radius, double s, double dx, double dy, double d2,
                         double dxdu, double dxdv, double dydu, double dydv) {
    // Centre on centre with radius == s: no tangent, but the pixel (no point
    // of it farther than s/sqrt(2) from its centre) lies wholly inside.
    // d2 == 0 exactly when d == 0, which would divide 0 by 0 below. A NaN
    // radius or scale is not this case: it goes on to the steps (and to 0).
    if (d2 == 0 && (radius - s) * (radius - s) == 0) {
        return 1;
    }
    const double d = std::sqrt(d2);
    const double px = (dx * radius) / d + cx;
    const double py = (radius * dy) / d + cy;
    // Direction (dy, -dx)/d, passed y first: the circle's side is inner.
    return pixel_frac_1(px, py, (-dx) / d, dy / d, x, y, u, v, dxdu, dxdv, dydu, dydv);
}

}  // namespace

double enclosed_circle_1(double u, double v, double x, double y,
                         double cx, double cy, double radius,
                         double dxdu, double dxdv, double dydu, double dydv) {
    const double s = pixel_scale(dxdu, dxdv, dydu, dydv);
    const double dx = x - cx;
    const double dy = y - cy;
    const double d2 = dx * dx + dy * dy;
    if ((radius - s) * (radius - s) > d2) {
        return 1;
    }
    if (d2 > (s + radius) * (s + radius)) {
        return 0;
    }
    return circle_rim(u, v, x, y, cx, cy, radius, s, dx, dy, d2, dxdu, dxdv, dydu, dydv);
}

void enclosed_circle(std::uint64_t u, std::uint64_t v, std::uint64_t x, std::uint64_t y,
                     double cx, double cy, double radius,
                     std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                     std::uint64_t out, std::uint64_t n) {
    const double* pu = array_at<const double>(u);
    const double* pv = array_at<const double>(v);
    const double* px = array_at<const double>(x);
    const double* py = array_at<const double>(y);
    const double* j00 = array_at<const double>(dxdu);
    const double* j01 = array_at<const double>(dxdv);
    const double* j10 = array_at<const double>(dydu);
    const double* j11 = array_at<const double>(dydv);
    double* res = array_at<double>(out);
    double block[kBlock];
    for (std::uint64_t base = 0; base < n; base += kBlock) {
        const std::size_t m = static_cast<std::size_t>(n - base < kBlock ? n - base : kBlock);
        const double* bx = px + base;
        const double* by = py + base;
        const double* b00 = j00 + base;
        const double* b01 = j01 + base;
        const double* b10 = j10 + base;
        const double* b11 = j11 + base;
        if (shared_jacobian(b00, b01, b10, b11, m)) {
            const double s = pixel_scale(b00[0], b01[0], b10[0], b11[0]);
            const double in2 = (radius - s) * (radius - s);
            const double out2 = (s + radius) * (s + radius);
            for (std::size_t k = 0; k < m; ++k) {
                const double dx = bx[k] - cx;
                const double dy = by[k] - cy;
                const double d2 = dx * dx + dy * dy;
                const double far = d2 > out2 ? 0.0 : kRim;
                block[k] = in2 > d2 ? 1.0 : far;
            }
        } else {
            for (std::size_t k = 0; k < m; ++k) {
                const double s = pixel_scale(b00[k], b01[k], b10[k], b11[k]);
                const double dx = bx[k] - cx;
                const double dy = by[k] - cy;
                const double d2 = dx * dx + dy * dy;
                const double far = d2 > (s + radius) * (s + radius) ? 0.0 : kRim;
                block[k] = (radius - s) * (radius - s) > d2 ? 1.0 : far;
            }
        }
        for (std::size_t k = 0; k < m; ++k) {
            if (block[k] == kRim) {
                const std::uint64_t i = base + k;
                block[k] = enclosed_circle_1(pu[i], pv[i], px[i], py[i], cx, cy, radius,
                                             j00[i], j01[i], j10[i], j11[i]);
            }
        }
        // Written only now: out may be one of the input arrays.
        std::memcpy(res + base, block, m * sizeof(double));
    }
}

namespace {

// The strut rule with the disc's centre (mx, my) and squared radius r2
// already formed; the batch forms them once per call.
inline double strut_core(double u, double v, double x, double y,
                         double mx, double my, double r2,
                         double x1, double y1, double dir_y1, double dir_x1,
                         double x2, double y2, double dir_y2, double dir_x2,
                         double dxdu, double dxdv, double dydu, double dydv) {
    const double d2 = (x - mx) * (x - mx) + (y - my) * (y - my);
    if (d2 >= r2) {
        return 0;
    }
    const double s = pixel_scale(dxdu, dxdv, dydu, dydv);
    const double l1 = (y - y1) * dir_x1 - (x - x1) * dir_y1;
    const double l2 = (y - y2) * dir_x2 - (x - x2) * dir_y2;
    if (2 * s > std::fabs(l1) || 2 * s > std::fabs(l2)) {
        return pixel_frac_1(x1, y1, dir_y1, dir_x1, x, y, u, v, dxdu, dxdv, dydu, dydv) -
               pixel_frac_1(x2, y2, dir_y2, dir_x2, x, y, u, v, dxdu, dxdv, dydu, dydv);
    }
    // Far from both edges: inside iff the centre is on the inner side of
    // exactly one of them, whichever order the edges come in.
    return l1 * l2 < 0 ? 1 : 0;
}

}  // namespace

double enclosed_strut_1(double u, double v, double x, double y, double diameter,
                        double x1, double y1, double dir_y1, double dir_x1,
                        double x2, double y2, double dir_y2, double dir_x2,
                        double dxdu, double dxdv, double dydu, double dydv) {
    const double mx = 0.5 * (x2 + x1);
    const double my = 0.5 * (y1 + y2);
    const double r2 = (0.5 * diameter) * (0.5 * diameter);
    return strut_core(u, v, x, y, mx, my, r2, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2,
                      dxdu, dxdv, dydu, dydv);
}

void enclosed_strut(std::uint64_t u, std::uint64_t v, std::uint64_t x, std::uint64_t y,
                    double diameter, double x1, double y1, double dir_y1, double dir_x1,
                    double x2, double y2, double dir_y2, double dir_x2,
                    std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                    std::uint64_t out, std::uint64_t n) {
    const double mx = 0.5 * (x2 + x1);
    const double my = 0.5 * (y1 + y2);
    const double r2 = (0.5 * diameter) * (0.5 * diameter);
    const double* pu = array_at<const double>(u);
    const double* pv = array_at<const double>(v);
    const double* px = array_at<const double>(x);
    const double* py = array_at<const double>(y);
    const double* j00 = array_at<const double>(dxdu);
    const double* j01 = array_at<const double>(dxdv);
    const double* j10 = array_at<const double>(dydu);
    const double* j11 = array_at<const double>(dydv);
    double* res = array_at<double>(out);
    double block[kBlock];
    unsigned char outside_disc[kBlock];
    for (std::uint64_t base = 0; base < n; base += kBlock) {
        const std::size_t m = static_cast<std::size_t>(n - base < kBlock ? n - base : kBlock);
        const double* bx = px + base;
        const double* by = py + base;
        // Blocks wholly outside the disc need nothing but the centres.
        std::size_t in_disc = 0;
        for (std::size_t k = 0; k < m; ++k) {
            const double d2 = (bx[k] - mx) * (bx[k] - mx) + (by[k] - my) * (by[k] - my);
            outside_disc[k] = d2 >= r2;
            in_disc += d2 >= r2 ? 0 : 1;
        }
        if (in_disc == 0) {
            std::fill(block, block + m, 0.0);
        } else if (shared_jacobian(j00 + base, j01 + base, j10 + base, j11 + base, m)) {
            const double near = 2 * pixel_scale(j00[base], j01[base], j10[base], j11[base]);
            for (std::size_t k = 0; k < m; ++k) {
                const double xk = bx[k];
                const double yk = by[k];
                const double l1 = (yk - y1) * dir_x1 - (xk - x1) * dir_y1;
                const double l2 = (yk - y2) * dir_x2 - (xk - x2) * dir_y2;
                const double far = l1 * l2 < 0 ? 1.0 : 0.0;
                const double inside = near > std::fabs(l1) || near > std::fabs(l2) ? kRim : far;
                block[k] = outside_disc[k] ? 0.0 : inside;
            }
            for (std::size_t k = 0; k < m; ++k) {
                if (block[k] == kRim) {
                    const std::uint64_t i = base + k;
                    block[k] = strut_core(pu[i], pv[i], px[i], py[i], mx, my, r2,
                                          x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2,
                                          j00[i], j01[i], j10[i], j11[i]);
                }
            }
        } else {
            // Per-pixel scales: the branch on the disc test saves their roots
            // for the pixels outside it.
            for (std::size_t k = 0; k < m; ++k) {
                const std::uint64_t i = base + k;
                block[k] = strut_core(pu[i], pv[i], px[i], py[i], mx, my, r2,
                                      x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2,
                                      j00[i], j01[i], j10[i], j11[i]);
            }
        }
        // Written only now: out may be one of the input arrays.
        std::memcpy(res + base, block, m * sizeof(double));
    }
}

}  // namespace zolvin
