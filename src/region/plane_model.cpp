// The per-pixel plane model of TAN and TAN-SIP images, row by row.
#include "plane_model.hpp"

namespace zolvin::region {

namespace {

using i64 = std::int64_t;
using std::size_t;

// sum row[j] t^j by Horner's rule; 0 for no terms.
double horner(const std::vector<double>& row, double t) {
    if (row.empty()) return 0.0;
    double acc = row.back();
    for (size_t j = row.size() - 1; j-- > 0;) acc = acc * t + row[j];
    return acc;
}

}  // namespace

void PlaneModel::sip_terms(i64 row, i64 n, PlaneRow& out) const {
    const double v = (static_cast<double>(row) + 1.0) - sip_->crpix1;
    for (int i = 0; i < 6; ++i) {
        const Poly& poly = sip_->polys[static_cast<size_t>(i)];
        double* val = out.poly[i].data();
        // The terms of each power of u are the row's; Horner's rule in u
        // runs along the row, one pixel per lane.
        out.terms.resize(poly.size());
        for (size_t p = 0; p < poly.size(); ++p) out.terms[p] = horner(poly[p], v);
        if (poly.empty()) {
            for (i64 q = 0; q < n; ++q) val[q] = 0.0;
            continue;
        }
        const double top = out.terms.back();
        for (i64 q = 0; q < n; ++q) val[q] = top;
        for (size_t p = poly.size() - 1; p-- > 0;) {
            const double t = out.terms[p];
            const double* u = out.u.data();
            for (i64 q = 0; q < n; ++q) val[q] = val[q] * u[q] + t;
        }
    }
}

bool PlaneModel::row(i64 row, i64 col0, i64 n, PlaneRow& out) const {
    const auto m = static_cast<size_t>(n);
    for (auto* a : {&out.x, &out.y, &out.dxdu, &out.dxdv, &out.dydu, &out.dydv, &out.u, &out.oy})
        a->resize(m);
    double *x = out.x.data(), *y = out.y.data(), *oy = out.oy.data();
    double *j0 = out.dxdu.data(), *j1 = out.dxdv.data(), *j2 = out.dydu.data(),
           *j3 = out.dydv.data();
    const double k0 = k_[0], k1 = k_[1], k2 = k_[2], k3 = k_[3];
    const double oy0 = (static_cast<double>(row) + 1.0) - crpix1_;
    // x holds ox until the end.
    for (i64 q = 0; q < n; ++q) x[q] = (static_cast<double>(col0 + q) + 1.0) - crpix0_;
    if (sip_) {
        for (auto& a : out.poly) a.resize(m);
        for (i64 q = 0; q < n; ++q)
            out.u[static_cast<size_t>(q)] = (static_cast<double>(col0 + q) + 1.0) - sip_->crpix0;
        sip_terms(row, n, out);
        const double *f = out.poly[0].data(), *fu = out.poly[1].data(), *fv = out.poly[2].data();
        const double *g = out.poly[3].data(), *gu = out.poly[4].data(), *gv = out.poly[5].data();
        for (i64 q = 0; q < n; ++q) {
            x[q] = x[q] + f[q];
            oy[q] = oy0 + g[q];
            const double s0 = fu[q] + 1.0, s1 = fv[q], s2 = gu[q], s3 = gv[q] + 1.0;
            j0[q] = k0 * s0 + k1 * s2;
            j1[q] = k0 * s1 + k1 * s3;
            j2[q] = k2 * s0 + k3 * s2;
            j3[q] = k2 * s1 + k3 * s3;
        }
    } else {
        for (i64 q = 0; q < n; ++q) oy[q] = oy0, j0[q] = k0, j1[q] = k1, j2[q] = k2, j3[q] = k3;
    }
    for (i64 q = 0; q < n; ++q) {
        const double ox = x[q];
        x[q] = k0 * ox + k1 * oy[q];
        y[q] = k2 * ox + k3 * oy[q];
    }
    if (!h_) return true;
    const std::array<double, 9>& h = *h_;
    bool ok = true;
    for (i64 q = 0; q < n; ++q) {
        const double s = x[q], t = y[q];
        const double w = h[6] * s + h[7] * t + h[8];
        ok = ok && w > 0.0;
        const double nx = (h[0] * s + h[1] * t + h[2]) / w;
        const double ny = (h[3] * s + h[4] * t + h[5]) / w;
        const double a00 = (h[0] - nx * h[6]) / w, a01 = (h[1] - nx * h[7]) / w;
        const double a10 = (h[3] - ny * h[6]) / w, a11 = (h[4] - ny * h[7]) / w;
        const double d0 = j0[q], d1 = j1[q], d2 = j2[q], d3 = j3[q];
        x[q] = nx, y[q] = ny;
        j0[q] = a00 * d0 + a01 * d2;
        j1[q] = a00 * d1 + a01 * d3;
        j2[q] = a10 * d0 + a11 * d2;
        j3[q] = a10 * d1 + a11 * d3;
    }
    return ok;
}

}  // namespace zolvin::region
