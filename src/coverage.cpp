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

}  // namespace zolvin
