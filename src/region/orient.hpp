// The exact side of a line a point lies on. A sweep that orders segments by
// these signs must never see two answers that contradict each other, which
// rounding would give for points close to a line; here the rounded value is
// used only where its error bound proves its sign, and the sign is otherwise
// taken from the exact sum of the products' parts.
#pragma once

#include <cmath>

#include "../exact_sum.hpp"

namespace zolvin::region {

namespace orient_detail {

inline void two_diff(double a, double b, double& x, double& y) {
    x = a - b;
    const double bv = a - x, av = x + bv;
    y = (a - av) + (bv - b);
}

// a * b = x + y exactly (barring underflow).
inline void two_product(double a, double b, double& x, double& y) {
    x = a * b;
    y = std::fma(a, b, -x);
}

// The sign of (bx - ax)(py - ay) - (by - ay)(px - ax), summed without
// rounding: each difference is two doubles, each product of two of them
// four pairs, and the sixteen parts are added into an expansion whose
// largest part carries the sign.
inline int exact_sign(double ax, double ay, double bx, double by, double px, double py) {
    double d[4][2];
    two_diff(bx, ax, d[0][0], d[0][1]);
    two_diff(py, ay, d[1][0], d[1][1]);
    two_diff(by, ay, d[2][0], d[2][1]);
    two_diff(px, ax, d[3][0], d[3][1]);
    double terms[16];
    int n = 0;
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) {
            two_product(d[0][i], d[1][j], terms[n], terms[n + 1]);
            two_product(d[2][i], d[3][j], terms[n + 2], terms[n + 3]);
            terms[n + 2] = -terms[n + 2], terms[n + 3] = -terms[n + 3];
            n += 4;
        }
    }
    return exact::sum_sign(terms);
}

}  // namespace orient_detail

// +1 when p lies left of the line from a to b, -1 right of it, 0 on it.
// Coordinates whose differences or products overflow give 0.
inline int orient(double ax, double ay, double bx, double by, double px, double py) {
    const double l = (bx - ax) * (py - ay), r = (by - ay) * (px - ax);
    const double det = l - r;
    // The rounding of the two differences, two products and one difference
    // stays within this bound of |l| + |r|.
    const double bound = (3.0 + 16.0 * 0x1p-53) * 0x1p-53 * (std::fabs(l) + std::fabs(r));
    if (det > bound) return 1;
    if (-det > bound) return -1;
    if (!std::isfinite(det) || !std::isfinite(bound)) return 0;
    // A point at a's or b's place, or on an axis-parallel line through them:
    // a difference is exactly zero in each product (common where rings
    // share vertices), so the sum is too.
    if ((bx == ax || py == ay) && (by == ay || px == ax)) return 0;
    return orient_detail::exact_sign(ax, ay, bx, by, px, py);
}

}  // namespace zolvin::region
