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

// Horner's rule in u along a row of pixels, the terms of each power of u
// given: one pixel per lane.
void along_row(const double* terms, size_t nterms, const double* __restrict u,
               double* __restrict val, i64 n) {
    if (nterms == 0) {
        for (i64 q = 0; q < n; ++q) val[q] = 0.0;
        return;
    }
    const double top = terms[nterms - 1];
    for (i64 q = 0; q < n; ++q) val[q] = top;
    for (size_t p = nterms - 1; p-- > 0;) {
        const double t = terms[p];
        for (i64 q = 0; q < n; ++q) val[q] = val[q] * u[q] + t;
    }
}

}  // namespace

void PlaneRow::reserve(std::size_t m, bool sip) {
    if (m <= size_ && (!sip || !poly[0].empty())) return;
    size_ = std::max(m, size_);
    for (auto* a : {&x, &y, &dxdu, &dxdv, &dydu, &dydv, &u, &oy}) a->resize(size_);
    if (sip)
        for (auto& a : poly) a.resize(size_);
}

void PlaneModel::sip_terms(i64 row, i64 n, PlaneRow& out) const {
    const double v = (static_cast<double>(row) + 1.0) - sip_->crpix1;
    double terms[kMaxRows];
    for (int i = 0; i < 6; ++i) {
        const Poly& poly = sip_->polys[static_cast<size_t>(i)];
        // The terms of each power of u are the row's.
        for (size_t p = 0; p < poly.size(); ++p) terms[p] = horner(poly[p], v);
        along_row(terms, poly.size(), out.u.data(), out.poly[i].data(), n);
    }
}

bool PlaneModel::row(i64 row, i64 col0, i64 n, PlaneRow& out) const {
    out.reserve(static_cast<size_t>(n), sip_.has_value());
    double* __restrict x = out.x.data();
    double* __restrict y = out.y.data();
    double* __restrict oy = out.oy.data();
    double* __restrict j0 = out.dxdu.data();
    double* __restrict j1 = out.dxdv.data();
    double* __restrict j2 = out.dydu.data();
    double* __restrict j3 = out.dydv.data();
    const double k0 = k_[0], k1 = k_[1], k2 = k_[2], k3 = k_[3];
    const double oy0 = (static_cast<double>(row) + 1.0) - crpix1_;
    // x holds ox until the end.
    for (i64 q = 0; q < n; ++q) x[q] = (static_cast<double>(col0 + q) + 1.0) - crpix0_;
    if (sip_) {
        double* __restrict u = out.u.data();
        for (i64 q = 0; q < n; ++q) u[q] = (static_cast<double>(col0 + q) + 1.0) - sip_->crpix0;
        sip_terms(row, n, out);
        const double* __restrict f = out.poly[0].data();
        const double* __restrict fu = out.poly[1].data();
        const double* __restrict fv = out.poly[2].data();
        const double* __restrict g = out.poly[3].data();
        const double* __restrict gu = out.poly[4].data();
        const double* __restrict gv = out.poly[5].data();
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
