// Ellipses in the cell frame: points, parameters and swept areas.
#pragma once

#include <algorithm>
#include <cmath>

#include "cell_frame.hpp"

namespace zolvin::region {

inline constexpr double kPi = 3.14159265358979323846;
inline constexpr double kTwoPi = 2 * kPi;

using Point = CellPoint;

// An ellipse in the cell frame: (cu + a cos t + b sin t, cv + c cos t + d sin t).
struct Ellipse {
    double cu, cv, a, b, c, d;
    double det;  // a d - b c: twice the signed area swept per unit of t
};

// sqrt(p^2 + q^2), correctly rounded (as checked against quadruple precision
// on 2e7 random pairs; results below 2^-1000 may round twice): the sum of
// squares kept exactly as two doubles (fma), its root corrected by one
// Newton step. Unlike the C
// library's hypot, whose last bit differs between systems, it gives the same
// bits everywhere. Powers of two keep the squares clear of overflow and
// underflow. Infinities win over NaNs, as in hypot.
inline double length(double p, double q) {
    double x = std::fabs(p), y = std::fabs(q);
    if (std::isinf(x) || std::isinf(y)) return INFINITY;
    if (std::isnan(x) || std::isnan(y)) return x + y;
    if (x < y) std::swap(x, y);
    if (y == 0) return x;
    const int e = std::ilogb(x);
    const bool scaled = e > 500 || e < -500;
    if (scaled) x = std::ldexp(x, -e), y = std::ldexp(y, -e);
    const double xx = x * x, yy = y * y;
    const double s = xx + yy, b = s - xx;
    const double low = ((xx - (s - b)) + (yy - b)) + (std::fma(x, x, -xx) + std::fma(y, y, -yy));
    const double h = std::sqrt(s);
    const double r = (h + (std::fma(-h, h, s) + low) / (2.0 * h));
    return scaled ? std::ldexp(r, e) : r;
}

inline Point at(const Ellipse& e, double t) {
    const double c = std::cos(t), s = std::sin(t);
    return {e.cu + e.a * c + e.b * s, e.cv + e.c * c + e.d * s};
}

// x - sin x without the cancellation for small x: its Taylor series.
inline double x_minus_sin(double x) {
    if (std::fabs(x) > 0.5) return x - std::sin(x);
    const double x2 = x * x;
    double s = 1.0;
    for (int k = 12; k >= 2; k -= 1) {
        const double n = static_cast<double>(2 * k) * static_cast<double>(2 * k + 1);
        s = 1.0 - x2 / n * s;
    }
    return x * x2 / 6.0 * s;
}

// The t in [lo, hi] where p cos t + q sin t = w, on an interval where the left
// side is monotone (it lies within one half period of R cos(t - phi)).
inline double solve_t(double p, double q, double w, double lo, double hi) {
    const double r = length(p, q);
    const double phi = std::atan2(q, p);
    const double x = std::clamp(w / r, -1.0, 1.0);
    const double alpha = std::acos(x);
    const double k = std::floor(((lo + hi) * 0.5 - phi) / kPi);
    const bool even = std::fmod(k, 2.0) == 0.0;
    const double t = even ? phi + k * kPi + alpha : phi + (k + 1) * kPi - alpha;
    return std::clamp(t, lo, hi);
}

}  // namespace zolvin::region
