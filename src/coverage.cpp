// Every expression below is evaluated in the order written, each operation
// rounded on its own (the build forbids contraction and reassociation):
// callers rely on the results bit for bit.
#include "coverage.hpp"

#include <cmath>

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
    const T zero = x0 - x0 + 0.0;
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

}  // namespace zolvin
