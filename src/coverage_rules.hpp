// The per-pixel rules of the coverage kernels: the half-plane fraction (for
// one pixel or four side by side), the pixel scale, and the steps of the
// circle and strut rules. Every expression is evaluated in the order written,
// each operation rounded on its own (the build forbids contraction and
// reassociation): callers rely on the results bit for bit.
#pragma once

#include <cmath>

#include "geometry.hpp"
#include "lanes.hpp"

namespace zolvin::detail {

// A value no rule decides on: marks the pixels left to the full rule.
inline constexpr double kRim = -2.0;

// Largest singular value of the pixel Jacobian.
ZOLVIN_INLINE double pixel_scale(double dxdu, double dxdv, double dydu, double dydv) {
    const double a = dxdu + dydv, b = dxdv - dydu;
    const double c = dxdu - dydv, d = dxdv + dydu;
    return (std::sqrt(a * a + b * b) + std::sqrt(c * c + d * d)) * 0.5;
}

ZOLVIN_INLINE double pixel_scale(const Pixel& p) {
    return pixel_scale(p.dxdu, p.dxdv, p.dydu, p.dydv);
}

// The half-plane fraction for one pixel (T = double) or four (T = lanes),
// element by element; the line's direction comes y first.
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
    tu = select(flip_u, -tu, tu);
    pu = select(flip_u, -pu, pu);
    const auto flip_v = tv < zero;
    tv = select(flip_v, -tv, tv);
    pv = select(flip_v, -pv, pv);
    const auto swap = invert(tv > tu);  // also when NaN
    const T su = select(swap, pv, pu), sv = select(swap, pu, pv);
    const T stu = select(swap, tv, tu), stv = select(swap, tu, tv);
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
    T area = select(f > zero, upper_left, zero);  // NaN falls through to 0
    area = select(e > zero, trapezoid, area);
    area = select(f >= 1, cut_right, area);
    // E == 1 is whole too: the triangle it would cut off is empty, and for
    // tu == 0 (the line along the edge at +0.5) its formula would give inf * 0.
    area = select(e >= 1, zero + 1.0, area);
    return select(complement, 1 - area, area);
}

// The fraction of one pixel on the inner side of a line (right of its
// direction): what pixel_frac_1 gives, and the circle's and strut's rim step.
inline double line_fraction(const Line& line, const Pixel& p) {
    return half_plane_fraction<double>(line.x, line.y, line.dir_y, line.dir_x, p.x, p.y, p.u,
                                       p.v, p.dxdu, p.dxdv, p.dydu, p.dydv);
}

// ---- Circle ----

// The circle's early tests: 1 inside, 0 outside, kRim for the rim step.
ZOLVIN_INLINE double circle_early(double d2, double s, double radius) {
    const double far = d2 > (s + radius) * (s + radius) ? 0.0 : kRim;
    return (radius - s) * (radius - s) > d2 ? 1.0 : far;
}

// Step of the circle rule for a pixel within one pixel scale s of the rim;
// (dx, dy) is its centre relative to the circle's, d2 their squared length.
inline double circle_rim(const Pixel& p, const Circle& c, double s, double dx, double dy,
                         double d2) {
    // Centre on centre with radius == s: no tangent, but the pixel (no point
    // of it farther than s/sqrt(2) from its centre) lies wholly inside.
    // d2 == 0 exactly when d == 0, which would divide 0 by 0 below. A NaN
    // radius or scale is not this case: it goes on to the steps (and to 0).
    if (d2 == 0 && (c.radius - s) * (c.radius - s) == 0) {
        return 1;
    }
    const double d = std::sqrt(d2);
    const double px = (dx * c.radius) / d + c.cx;
    const double py = (c.radius * dy) / d + c.cy;
    // Direction (dy, -dx)/d: the circle's side is inner.
    return line_fraction(Line{px, py, dy / d, (-dx) / d}, p);
}

// ---- Strut ----

// A strut with its disc's centre (mx, my) and squared radius r2 formed once
// per call.
struct StrutRule {
    double mx, my, r2;
    Line edge1, edge2;
};

inline StrutRule strut_rule(const Strut& s) {
    const Line& e1 = s.edge1;
    const Line& e2 = s.edge2;
    return {0.5 * (e2.x + e1.x), 0.5 * (e1.y + e2.y), (0.5 * s.diameter) * (0.5 * s.diameter),
            e1, e2};
}

// The line's value at (x, y): zero on it, negative on its inner side, scaled
// by the direction's length.
ZOLVIN_INLINE double edge_value(const Line& e, double x, double y) {
    return (y - e.y) * e.dir_x - (x - e.x) * e.dir_y;
}

inline double strut_core(const Pixel& p, const StrutRule& t) {
    const double x = p.x, y = p.y;
    const double d2 = (x - t.mx) * (x - t.mx) + (y - t.my) * (y - t.my);
    if (d2 >= t.r2) {
        return 0;
    }
    const double s = pixel_scale(p);
    const double l1 = edge_value(t.edge1, x, y);
    const double l2 = edge_value(t.edge2, x, y);
    if (2 * s > std::fabs(l1) || 2 * s > std::fabs(l2)) {
        return line_fraction(t.edge1, p) - line_fraction(t.edge2, p);
    }
    // Far from both edges: inside iff the centre is on the inner side of
    // exactly one of them, whichever order the edges come in.
    return l1 * l2 < 0 ? 1 : 0;
}

}  // namespace zolvin::detail
