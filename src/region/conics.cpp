// Where two ellipses meet.
//
// Everything happens in the frame of the larger ellipse, where it is the unit
// circle and the other is q2 + N (cos t, sin t). If N is a similarity the
// other is a circle too (two plane circles seen through one grid) and the
// meeting points have a closed form. Otherwise the points of the second
// ellipse on the unit circle are the roots of
//     g(t) = |q2 + N (cos t, sin t)|^2 - 1,
// a trigonometric polynomial of degree two. With z = tan(t / 2) on two charts,
// t in [-pi/2, pi/2] and t in [pi/2, 3pi/2], each a quartic on z in [-1, 1],
// the roots are isolated without a guess: the quartic is monotone between the
// roots of its derivative (found the same way, down to a line), so each
// monotone interval holds a root exactly when its ends differ in sign, and a
// bracketed Newton iteration finds it. Two crossings closer than rounding can
// separate leave no sign change; they sit at a critical point where the
// quartic is within rounding of zero, which is reported as a touching point.
//
// The coverage sweep needs a crossing's u as a cut between two slabs, and a
// cut misplaced by e costs only the area between the two rims over e, about
// half the angle between them times e^2: double precision is plenty, even
// where the rims are nearly tangent (the angle is small there).
#include "conics.hpp"

#include <algorithm>
#include <cmath>

#include "ellipse.hpp"

namespace zolvin::region {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEps = 0x1p-52;

// The second ellipse in the first one's unit-circle frame.
struct Relative {
    double qu, qv;              // its centre
    double n11, n12, n21, n22;  // its matrix
};

// ---- Real roots of a polynomial of degree four at most -----------------------

// p(x) and p'(x) for ascending coefficients p[0..n].
double horner(const double* p, int n, double x, double& dp) {
    double f = p[n];
    dp = 0.0;
    for (int k = n - 1; k >= 0; --k) {
        dp = dp * x + f;
        f = f * x + p[k];
    }
    return f;
}

// The root of p in (lo, hi), where p is monotone and p(lo), p(hi) have the
// signs of flo and -flo: Newton steps kept inside the bracket, bisection
// where a step would leave it or converge too slowly.
double bracketed_root(const double* p, int n, double lo, double hi, double flo) {
    double x = lo + (hi - lo) * 0.5;
    double step = hi - lo, last = step;
    for (int k = 0; k < 100; ++k) {
        double df;
        const double f = horner(p, n, x, df);
        if (f == 0.0) return x;
        if ((f < 0) == (flo < 0)) lo = x;
        else hi = x;
        const double next = x - f / df;
        if (!(next > lo && next < hi) || std::fabs(2 * f) > std::fabs(last * df)) {
            last = step;
            step = (hi - lo) * 0.5;
            const double mid = lo + step;
            if (!(mid > lo && mid < hi)) return mid;
            x = mid;
        } else {
            last = step;
            step = f / df;
            if (std::fabs(step) <= 2 * kEps * (std::fabs(x) + 0x1p-60)) return next;
            x = next;
        }
    }
    return x;
}

// The roots of p (degree n, ascending coefficients) in [lo, hi] where p
// changes sign, ascending; at most n of them. p is monotone between the sign
// changes of p', so each such interval has one root or none.
int sign_changes(const double* p, int n, double lo, double hi, double* roots) {
    if (n <= 0) return 0;
    double dp[4], crit[4];
    for (int k = 1; k <= n; ++k) dp[k - 1] = k * p[k];
    const int nc = sign_changes(dp, n - 1, lo, hi, crit);
    int count = 0;
    double a = lo, df;
    double fa = horner(p, n, a, df);
    for (int k = 0; k <= nc; ++k) {
        const double b = k < nc ? crit[k] : hi;
        const double fb = horner(p, n, b, df);
        if ((fa < 0 && fb > 0) || (fa > 0 && fb < 0)) roots[count++] = bracketed_root(p, n, a, b, fa);
        a = b, fa = fb;
    }
    return count;
}

// ---- Two circles ----------------------------------------------------------------

bool similarity(const Relative& r) {
    // N = rho R (a rotation) or rho R F (with a reflection), to rounding.
    const double size = std::fabs(r.n11) + std::fabs(r.n12) + std::fabs(r.n21) + std::fabs(r.n22);
    const double tol = 1e-12 * size;
    const bool turn = std::fabs(r.n11 - r.n22) + std::fabs(r.n12 + r.n21) <= tol;
    const bool mirror = std::fabs(r.n11 + r.n22) + std::fabs(r.n12 - r.n21) <= tol;
    return turn || mirror;
}

// The parameter on the second ellipse of the point (cos s, sin s).
double second_parameter(const Relative& r, double s) {
    const double eu = std::cos(s) - r.qu, ev = std::sin(s) - r.qv;
    // N^-1 e up to the factor 1 / det N, whose sign alone matters.
    const double sign = r.n11 * r.n22 - r.n12 * r.n21 < 0 ? -1.0 : 1.0;
    return std::atan2(sign * (r.n11 * ev - r.n21 * eu), sign * (r.n22 * eu - r.n12 * ev));
}

// The unit circle and the circle of radius rho <= 1 around q: from the
// distance d of the centres, the foot x of the common chord on the line of
// centres and its half length h, h^2 as a product of four factors that keep
// their accuracy when the circles nearly touch.
int circles(const Relative& r, double* s_out, double* t_out) {
    const double rho = 0.5 * (length(r.n11, r.n21) + length(r.n12, r.n22));
    const double d = length(r.qu, r.qv);
    if (!(d > 0)) return 0;  // concentric (or coincident): no crossing
    const double slack = 1e-12 * (1 + d);
    const double f1 = (1 + rho) - d, f2 = d - (1 - rho), f3 = d + (1 - rho), f4 = (1 + rho) + d;
    if (f1 < -slack || f2 < -slack || f3 < -slack) return 0;  // apart, or one inside the other
    const double h2 = std::max(f1, 0.0) * std::max(f2, 0.0) * std::max(f3, 0.0) * f4 / (4 * d * d);
    const double h = std::sqrt(h2);
    const double x = (d + (1 - rho) * (1 + rho) / d) * 0.5;
    const double phi = std::atan2(r.qv, r.qu), alpha = std::atan2(h, x);
    const int n = h > 0 ? 2 : 1;
    for (int k = 0; k < n; ++k) {
        const double s = std::remainder(k == 0 ? phi - alpha : phi + alpha, 2 * kPi);
        s_out[k] = s;
        t_out[k] = second_parameter(r, s);
    }
    return n;
}

// ---- Two ellipses ---------------------------------------------------------------

// One root t of g polished by Newton's method on the pair of equations
// (cos s, sin s) = q + N (cos t, sin t), kept while the residual shrinks.
void polish(const Relative& r, double& s, double& t) {
    auto residual = [&](double s_, double t_, double& fu, double& fv) {
        const double ct = std::cos(t_), st = std::sin(t_);
        fu = std::cos(s_) - (r.qu + r.n11 * ct + r.n12 * st);
        fv = std::sin(s_) - (r.qv + r.n21 * ct + r.n22 * st);
        return std::max(std::fabs(fu), std::fabs(fv));
    };
    double fu, fv;
    double size = residual(s, t, fu, fv);
    for (int k = 0; k < 3 && size > 0; ++k) {
        // Columns: d/ds of the left side, -d/dt of the right.
        const double ju = -std::sin(s), jv = std::cos(s);
        const double ct = std::cos(t), st = std::sin(t);
        const double ku = -(-r.n11 * st + r.n12 * ct), kv = -(-r.n21 * st + r.n22 * ct);
        const double det = ju * kv - ku * jv;
        // Near a tangency the step is not defined; the root stays as found.
        if (!(std::fabs(det) > 1e-8 * length(ku, kv))) return;
        const double ds = -(fu * kv - ku * fv) / det, dt = -(ju * fv - fu * jv) / det;
        double gu, gv;
        const double next = residual(s + ds, t + dt, gu, gv);
        if (!(next < size)) return;
        s += ds, t += dt, size = next, fu = gu, fv = gv;
    }
}

int ellipses(const Relative& r, double* s_out, double* t_out) {
    // g(t) = a0 + a1 cos t + b1 sin t + a2 cos 2t + b2 sin 2t.
    const double g11 = r.n11 * r.n11 + r.n21 * r.n21, g22 = r.n12 * r.n12 + r.n22 * r.n22;
    const double g12 = r.n11 * r.n12 + r.n21 * r.n22;
    const double k1 = r.n11 * r.qu + r.n21 * r.qv, k2 = r.n12 * r.qu + r.n22 * r.qv;
    const double a0 = ((g11 + g22) * 0.5 - 1) + (r.qu * r.qu + r.qv * r.qv);
    const double a1 = 2 * k1, b1 = 2 * k2, a2 = (g11 - g22) * 0.5, b2 = g12;
    // The size of the terms before they cancel: the rounding of g is a few
    // ulps of it.
    const double reach = 1 + length(r.qu, r.qv) + std::sqrt(g11 + g22);
    const double size = reach * reach;
    if (!std::isfinite(size)) return 0;
    const double largest = std::max({std::fabs(a0), std::fabs(a1), std::fabs(b1), std::fabs(a2),
                                     std::fabs(b2)});
    if (largest <= 8 * kEps * size) return 0;  // the same ellipse to rounding
    // A critical point where the quartic (1 + z^2)^2 g is this close to zero
    // may hide two crossings that rounding cannot separate.
    const double touch = 4 * 1e-13 * size;
    int count = 0;
    for (int chart = 0; chart < 2; ++chart) {
        // t = chart pi + 2 atan z: the second chart flips cos t and sin t.
        const double c1 = chart ? -a1 : a1, s1 = chart ? -b1 : b1;
        const double p[5] = {a0 + c1 + a2, 2 * s1 + 4 * b2, 2 * a0 - 6 * a2, 2 * s1 - 4 * b2,
                             a0 - c1 + a2};
        double dp[4], crit[4];
        for (int k = 1; k <= 4; ++k) dp[k - 1] = k * p[k];
        const int nc = sign_changes(dp, 3, -1.0, 1.0, crit);
        double z[12];
        int nz = 0;
        double a = -1.0, df;
        double fa = horner(p, 4, a, df);
        if (std::fabs(fa) <= touch) z[nz++] = a;
        for (int k = 0; k <= nc; ++k) {
            const double b = k < nc ? crit[k] : 1.0;
            const double fb = horner(p, 4, b, df);
            if ((fa < 0 && fb > 0) || (fa > 0 && fb < 0)) z[nz++] = bracketed_root(p, 4, a, b, fa);
            if (std::fabs(fb) <= touch) z[nz++] = b;
            a = b, fa = fb;
        }
        for (int k = 0; k < nz; ++k) {
            const double t = std::remainder(chart * kPi + 2 * std::atan(z[k]), 2 * kPi);
            const double ct = std::cos(t), st = std::sin(t);
            double s = std::atan2(r.qv + r.n21 * ct + r.n22 * st, r.qu + r.n11 * ct + r.n12 * st);
            double tt = t;
            polish(r, s, tt);
            s_out[count] = std::remainder(s, 2 * kPi);
            t_out[count] = std::remainder(tt, 2 * kPi);
            ++count;
        }
    }
    return count;
}

// Whether e is the larger of the two (by area; ties settled by the numbers,
// so that the result does not depend on the order of the call).
bool larger(const Conic& e, const Conic& f) {
    const double de = std::fabs(e.a * e.d - e.b * e.c), df = std::fabs(f.a * f.d - f.b * f.c);
    if (de != df) return de > df;
    const double x[6] = {e.cu, e.cv, e.a, e.b, e.c, e.d}, y[6] = {f.cu, f.cv, f.a, f.b, f.c, f.d};
    return std::lexicographical_compare(y, y + 6, x, x + 6);
}

}  // namespace

int conic_meetings(const Conic& first, const Conic& second, ConicMeeting* out) {
    const bool swap = !larger(first, second);
    const Conic& e = swap ? second : first;
    const Conic& f = swap ? first : second;
    const double det = e.a * e.d - e.b * e.c;
    const double du = f.cu - e.cu, dv = f.cv - e.cv;
    Relative r{(e.d * du - e.b * dv) / det, (e.a * dv - e.c * du) / det,
               (e.d * f.a - e.b * f.c) / det, (e.d * f.b - e.b * f.d) / det,
               (e.a * f.c - e.c * f.a) / det, (e.a * f.d - e.c * f.b) / det};
    for (double x : {r.qu, r.qv, r.n11, r.n12, r.n21, r.n22}) {
        if (!std::isfinite(x)) return 0;
    }
    double s[kMaxMeetings], t[kMaxMeetings];
    const int n = similarity(r) ? circles(r, s, t) : ellipses(r, s, t);
    for (int k = 0; k < n; ++k) {
        const double cs = std::cos(s[k]), ss = std::sin(s[k]);
        out[k].u = e.cu + e.a * cs + e.b * ss;
        out[k].v = e.cv + e.c * cs + e.d * ss;
        out[k].t1 = swap ? t[k] : s[k];
        out[k].t2 = swap ? s[k] : t[k];
    }
    return n;
}

}  // namespace zolvin::region
