// Every expression below is evaluated in the order written, each operation
// rounded on its own (the build forbids contraction and reassociation):
// callers rely on the results bit for bit.
#include "coverage.hpp"

#include <cmath>
#include <utility>

#include "address.hpp"

namespace zolvin {

double pixel_scale(double dxdu, double dxdv, double dydu, double dydv) {
    const double a = dxdu + dydv, b = dxdv - dydu;
    const double c = dxdu - dydv, d = dxdv + dydu;
    return (std::sqrt(a * a + b * b) + std::sqrt(c * c + d * d)) * 0.5;
}

double pixel_frac_1(double x0, double y0, double dir_y, double dir_x,
                    double x, double y, double u, double v,
                    double dxdu, double dxdv, double dydu, double dydv) {
    // Line point relative to the pixel centre, in the plane.
    const double ox = x0 - x;
    const double oy = y0 - y;

    // Direction in pixel coordinates (det times the inverse Jacobian), unit length.
    double tv = dir_y * dxdu - dir_x * dydu;
    double tu = dir_x * dydv - dir_y * dxdv;
    const double len = std::sqrt(tv * tv + tu * tu);
    tu = tu / len;
    tv = tv / len;

    const double det = dydv * dxdu - dxdv * dydu;

    // Adding and removing u (v) rounds the offset to the spacing of u (v).
    double pu = (((-dxdv) / det) * oy + (dydv / det) * ox + u) - u;
    double pv = (((-dydu) / det) * ox + (dxdu / det) * oy + v) - v;

    // Fold into 0 <= tu <= tv; each reflection swaps inner and outer side.
    bool complement = true;
    if (tu < 0) {
        tu = -tu;
        pu = -pu;
        complement = !complement;
    }
    if (tv < 0) {
        tv = -tv;
        pv = -pv;
        complement = !complement;
    }
    if (!(tv > tu)) {
        std::swap(pu, pv);
        std::swap(tu, tv);
        complement = !complement;
    }

    // Crossings with the lower and upper pixel edges, 0 at the left edge.
    const double e = ((-0.5 - pv) * tu) / tv + pu + 0.5;
    double area;
    // E == 1 also lands here: the triangle it would cut off is empty, and for
    // tu == 0 (line along the edge at +0.5) its formula would give inf * 0.
    if (e >= 1) {
        area = 1;
    } else {
        const double f = ((0.5 - pv) * tu) / tv + pu + 0.5;
        if (f >= 1) {
            area = 1 - ((0.5 * tv) / tu) * (1 - e) * (1 - e);
        } else if (e > 0) {
            area = (f + e) * 0.5;
        } else if (f > 0) {
            area = f * (((tv * 0.5) / tu) * f);
        } else {
            area = 0;  // also where NaN fails every test above
        }
    }
    return complement ? 1 - area : area;
}

void pixel_frac(double x0, double y0, double dir_y, double dir_x,
                std::uint64_t x, std::uint64_t y, std::uint64_t u, std::uint64_t v,
                std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                std::uint64_t out, std::uint64_t n) {
    const double* px = array_at<const double>(x);
    const double* py = array_at<const double>(y);
    const double* pu = array_at<const double>(u);
    const double* pv = array_at<const double>(v);
    const double* j00 = array_at<const double>(dxdu);
    const double* j01 = array_at<const double>(dxdv);
    const double* j10 = array_at<const double>(dydu);
    const double* j11 = array_at<const double>(dydv);
    double* res = array_at<double>(out);
    for (std::uint64_t i = 0; i < n; ++i) {
        res[i] = pixel_frac_1(x0, y0, dir_y, dir_x, px[i], py[i], pu[i], pv[i],
                              j00[i], j01[i], j10[i], j11[i]);
    }
}

void pixel_frac(std::uint64_t x0, std::uint64_t y0, std::uint64_t dir_y, std::uint64_t dir_x,
                std::uint64_t x, std::uint64_t y, std::uint64_t u, std::uint64_t v,
                std::uint64_t dxdu, std::uint64_t dxdv, std::uint64_t dydu, std::uint64_t dydv,
                std::uint64_t out, std::uint64_t n) {
    const double* lx = array_at<const double>(x0);
    const double* ly = array_at<const double>(y0);
    const double* ldy = array_at<const double>(dir_y);
    const double* ldx = array_at<const double>(dir_x);
    const double* px = array_at<const double>(x);
    const double* py = array_at<const double>(y);
    const double* pu = array_at<const double>(u);
    const double* pv = array_at<const double>(v);
    const double* j00 = array_at<const double>(dxdu);
    const double* j01 = array_at<const double>(dxdv);
    const double* j10 = array_at<const double>(dydu);
    const double* j11 = array_at<const double>(dydv);
    double* res = array_at<double>(out);
    for (std::uint64_t i = 0; i < n; ++i) {
        res[i] = pixel_frac_1(lx[i], ly[i], ldy[i], ldx[i], px[i], py[i], pu[i], pv[i],
                              j00[i], j01[i], j10[i], j11[i]);
    }
}

// ---- Circle ----

namespace {

// The pixel near the rim: the tangent at the rim point nearest its centre.
inline double circle_rim(double u, double v, double x, double y, double cx, double cy,
                         double radius, double dx, double dy, double d2,
                         double dxdu, double dxdv, double dydu, double dydv) {
    // Centre on centre with radius == s: no tangent, but the pixel (at most
    // s/sqrt(2) from its centre) lies wholly inside. d2 == 0 iff d == 0.
    if (d2 == 0) {
        return 1;
    }
    const double d = std::sqrt(d2);
    const double px = (dx * radius) / d + cx;
    const double py = (radius * dy) / d + cy;
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
    return circle_rim(u, v, x, y, cx, cy, radius, dx, dy, d2, dxdu, dxdv, dydu, dydv);
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
    for (std::uint64_t i = 0; i < n; ++i) {
        res[i] = enclosed_circle_1(pu[i], pv[i], px[i], py[i], cx, cy, radius,
                                   j00[i], j01[i], j10[i], j11[i]);
    }
}

// ---- Strut ----

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
    const double near = 2 * s;
    if (near > std::fabs(l1) || near > std::fabs(l2)) {
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
    for (std::uint64_t i = 0; i < n; ++i) {
        res[i] = strut_core(pu[i], pv[i], px[i], py[i], mx, my, r2,
                            x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2,
                            j00[i], j01[i], j10[i], j11[i]);
    }
}

}  // namespace zolvin
