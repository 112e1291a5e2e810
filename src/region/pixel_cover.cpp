// Single pixels of their own shape: the strip integral of a whole ellipse and
// of a segment in the pixel's frame, and the region made ready for them.
#include "pixel_cover.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace zolvin::region {

namespace {

// (u - cu, v - cv) = (du, dv) lies on the ellipse where
// pa du^2 + 2 pb du dv + pc dv^2 = det^2.
struct Form {
    double pa, pb, pc, absdet;
    explicit Form(const CellEllipse& e)
        : pa(e.m1v * e.m1v + e.m2v * e.m2v),
          pb(-(e.m1u * e.m1v + e.m2u * e.m2v)),
          pc(e.m1u * e.m1u + e.m2u * e.m2u),
          absdet(std::fabs(e.m1u * e.m2v - e.m2u * e.m1v)) {}
};

// Where the ellipse crosses the line t = const (t a height v or a column u):
// the other coordinate, centred at c_other, on its hi or lo branch; ct is the
// centre's t and p the form's coefficient that goes with the line (pa for
// heights, pc for columns).
double branch(double t, double ct, double c_other, double p, const Form& f, bool hi) {
    const double dk = t - ct;
    const double q = p - dk * dk;
    const double root = f.absdet * std::sqrt(q > 0.0 ? q : 0.0);
    const double base = -f.pb * dk;
    return c_other + (hi ? base + root : base - root) / p;
}

// u on the right (hi) or left branch where the ellipse crosses height v.
double row_u(const CellEllipse& e, const Form& f, double v, bool hi) {
    return branch(v, e.cv, e.cu, f.pa, f, hi);
}

// v on the upper (hi) or lower chain where the ellipse crosses column u.
double col_v(const CellEllipse& e, const Form& f, double u, bool hi) {
    return branch(u, e.cu, e.cv, f.pc, f, hi);
}

// The area between the chord a -> b and the ellipse's arc over it (an arc
// of at most a quarter turn): |det| g(s), s the chord's half-length in the
// frame where the ellipse is the unit circle.
double segment_area(const CellEllipse& e, const Form& f, CellPoint a, CellPoint b) {
    const double du = b.u - a.u, dv = b.v - a.v;
    const double xu = e.m2v * du - e.m2u * dv, xv = e.m1u * dv - e.m1v * du;
    const double s = std::min(std::sqrt(xu * xu + xv * xv) * (0.5 / f.absdet), 1.0);
    return f.absdet * unit_segment(s);
}

// The integral of clamp(1 - u, 0, 1) dv up a piece of one branch, from p to
// q (p.v <= q.v), along which u is monotone. The arc bulges to +u from its
// chords on the right branch (sigma +1), to -u on the left (-1); `upper`:
// the piece lies on the upper chain, whose crossings with a column line are
// the upper roots. The piece is cut where it crosses u = 0 and u = 1: left
// of the cell a part gives its height, right of it nothing, inside it the
// trapezoid right of its chord less or plus the elliptic segment.
double piece_strip(const CellEllipse& e, const Form& f, CellPoint p, CellPoint q, double sigma,
                   bool upper) {
    if (!(q.v > p.v)) return 0.0;
    const double ulo = std::min(p.u, q.u), uhi = std::max(p.u, q.u);
    if (uhi <= 0.0) return q.v - p.v;
    if (ulo >= 1.0) return 0.0;
    CellPoint pts[4];
    int n = 0;
    pts[n++] = p;
    auto cut = [&](double k) {
        if (!(ulo < k && k < uhi)) return;
        // Clamped so that the chain of points stays monotone in v.
        const double v = std::clamp(col_v(e, f, k, upper), pts[n - 1].v, q.v);
        pts[n++] = {k, v};
    };
    if (q.u > p.u) {
        cut(0.0), cut(1.0);
    } else {
        cut(1.0), cut(0.0);
    }
    pts[n++] = q;
    double sum = 0.0;
    for (int m = 0; m + 1 < n; ++m) {
        const CellPoint a = pts[m], b = pts[m + 1];
        const double h = b.v - a.v;
        const double mid = (a.u + b.u) * 0.5;
        if (mid <= 0.0) {
            sum += h;
        } else if (mid < 1.0 && h > 0.0) {
            sum += h * (1.0 - mid) - sigma * segment_area(e, f, a, b);
        }
    }
    return sum;
}

// One branch between heights va and vb: from p to q, cut at its extreme
// point x (rightmost for the right branch, leftmost for the left) when that
// lies between them.
double branch_strip(const CellEllipse& e, const Form& f, CellPoint p, CellPoint q, CellPoint x,
                    double sigma) {
    if (x.v > p.v && x.v < q.v)
        return piece_strip(e, f, p, x, sigma, false) + piece_strip(e, f, x, q, sigma, true);
    return piece_strip(e, f, p, q, sigma, x.v <= p.v);
}

}  // namespace

double ellipse_cell_area(const CellEllipse& e) {
    const Form f(e);
    if (!(f.absdet > 0.0)) return 0.0;
    const double su = std::sqrt(f.pc), sv = std::sqrt(f.pa);
    if (!(e.cu - su < 1.0 && e.cu + su > 0.0)) return 0.0;  // beside the cell
    const double bottom = e.cv - sv, top = e.cv + sv;
    const double va = std::max(bottom, 0.0), vb = std::min(top, 1.0);
    if (!(vb > va)) return 0.0;  // above or below it
    // The extreme points in u and in v.
    const CellPoint umax{e.cu + su, e.cv - f.pb / su}, umin{e.cu - su, e.cv + f.pb / su};
    const CellPoint vmax{e.cu - f.pb / sv, top}, vmin{e.cu + f.pb / sv, bottom};
    // Each branch between the strip's lines, or from the ellipse's own lowest
    // or highest point where that lies inside the strip; u kept within the
    // branch's range whatever the rounding.
    const double rlo = std::min(vmin.u, vmax.u), lhi = std::max(vmin.u, vmax.u);
    auto right_at = [&](double v) {
        return CellPoint{std::clamp(row_u(e, f, v, true), rlo, umax.u), v};
    };
    auto left_at = [&](double v) {
        return CellPoint{std::clamp(row_u(e, f, v, false), umin.u, lhi), v};
    };
    const CellPoint rp = va == bottom ? vmin : right_at(va);
    const CellPoint rq = vb == top ? vmax : right_at(vb);
    const CellPoint lp = va == bottom ? vmin : left_at(va);
    const CellPoint lq = vb == top ? vmax : left_at(vb);
    // At each height the cell holds the chord between the branches:
    // clamp(1 - u_left) - clamp(1 - u_right).
    return branch_strip(e, f, lp, lq, umin, -1.0) - branch_strip(e, f, rp, rq, umax, 1.0);
}

double segment_strip(CellPoint a, CellPoint b, bool& touched) {
    if (a.v == b.v) {
        // No height, but inside the cell it splits it: not wholly in or out.
        if (a.v > 0.0 && a.v < 1.0 && std::min(a.u, b.u) < 1.0 && std::max(a.u, b.u) > 0.0)
            touched = true;
        return 0.0;
    }
    const bool up = b.v > a.v;
    const CellPoint lo = up ? a : b, hi = up ? b : a;
    if (!(hi.v > 0.0 && lo.v < 1.0) || std::min(lo.u, hi.u) >= 1.0) return 0.0;
    const double va = std::max(lo.v, 0.0), vb = std::min(hi.v, 1.0);
    const double du_dv = (hi.u - lo.u) / (hi.v - lo.v);
    const double ua = va == lo.v ? lo.u : lo.u + (va - lo.v) * du_dv;
    const double ub = vb == hi.v ? hi.u : lo.u + (vb - lo.v) * du_dv;
    const double umin = std::min(ua, ub), umax = std::max(ua, ub);
    double sum = 0.0;
    if (umax <= 0.0) {
        sum = vb - va;
    } else if (umin < 1.0) {
        CellPoint pts[4];
        int n = 0;
        pts[n++] = {ua, va};
        auto cut = [&](double k) {
            if (!(umin < k && k < umax)) return;
            const double v = lo.v + (k - lo.u) * ((hi.v - lo.v) / (hi.u - lo.u));
            const double prev = pts[n - 1].v;
            pts[n++] = {k, std::clamp(v, prev, vb)};
        };
        if (ub > ua) {
            cut(0.0), cut(1.0);
        } else {
            cut(1.0), cut(0.0);
        }
        pts[n++] = {ub, vb};
        for (int m = 0; m + 1 < n; ++m) {
            const double h = pts[m + 1].v - pts[m].v;
            const double mid = (pts[m].u + pts[m + 1].u) * 0.5;
            if (mid <= 0.0) {
                sum += h;
            } else if (mid < 1.0) {
                sum += h * (1.0 - mid);
                touched = true;
            }
        }
    }
    return up ? sum : -sum;
}

// ---- The region ------------------------------------------------------------

void PixelRegion::reset(const Region& region, bool simple) {
    region_ = region;
    segments_ = region.segments;
    swept_ready_ = false;
    xlo = ylo = std::numeric_limits<double>::infinity();
    xhi = yhi = -std::numeric_limits<double>::infinity();
    for (const Segment& s : region.segments) {
        xlo = std::min({xlo, s.x0, s.x1}), xhi = std::max({xhi, s.x0, s.x1});
        ylo = std::min({ylo, s.y0, s.y1}), yhi = std::max({yhi, s.y0, s.y1});
    }
    wholes_.clear();
    fast_ = simple;
    for (const Arc& a : region.arcs) {
        // The whole ellipse's box: enough for any part of it.
        const double hx = std::hypot(a.a, a.b), hy = std::hypot(a.c, a.d);
        xlo = std::min(xlo, a.cx - hx), xhi = std::max(xhi, a.cx + hx);
        ylo = std::min(ylo, a.cy - hy), yhi = std::max(yhi, a.cy + hy);
        const double det = a.a * a.d - a.b * a.c;
        if (!(std::fabs(a.t1 - a.t0) >= kTwoPi)) {
            fast_ = false;  // a part of an ellipse: the sweep joins its ends
            continue;
        }
        if (!(det != 0.0)) continue;  // no area
        const double ia = a.d / det, ib = -a.b / det, ic = -a.c / det, id = a.a / det;
        const double norm = std::max(std::fabs(ia) + std::fabs(ib), std::fabs(ic) + std::fabs(id));
        const double sign = (a.t1 > a.t0) == (det > 0) ? 1.0 : -1.0;
        wholes_.push_back({a.cx, a.cy, a.a, a.b, a.c, a.d, ia, ib, ic, id, norm, sign});
    }
}

double PixelRegion::cover(const PixelShape& p) {
    return fast_ ? cover_simple(p) : cover_swept(p);
}

double PixelRegion::cover_simple(const PixelShape& p) const {
    // The pixel's frame, with the arithmetic of the sweep's; its inverse is
    // made only for a pixel a piece passes through.
    const double det = p.dxdu * p.dydv - p.dxdv * p.dydu;
    double ia = 0, ib = 0, ic = 0, id = 0;
    bool framed = false;
    auto frame = [&] {
        if (framed) return;
        ia = p.dydv / det, ib = -p.dxdv / det, ic = -p.dydu / det, id = p.dxdu / det;
        framed = true;
    };
    auto cell = [&](double x, double y) {
        const double dx = x - p.x, dy = y - p.y;
        return CellPoint{ia * dx + ib * dy + 0.5, ic * dx + id * dy + 0.5};
    };
    double total = 0.0;
    bool touched = false;
    const double reach = std::fabs(p.x) + std::fabs(p.y);
    for (const Whole& w : wholes_) {
        // In the ellipse's own frame, where it is the unit circle: the
        // pixel's centre q and the half-diagonals of its parallelogram. A
        // pixel within 1 - rho of its centre is inside, one beyond 1 + rho
        // outside (a margin over the rounding of q and rho).
        const double dx = p.x - w.cx, dy = p.y - w.cy;
        const double qu = w.ia * dx + w.ib * dy, qv = w.ic * dx + w.id * dy;
        const double gu = (w.ia * p.dxdu + w.ib * p.dydu) * 0.5;
        const double gv = (w.ic * p.dxdu + w.id * p.dydu) * 0.5;
        const double hu = (w.ia * p.dxdv + w.ib * p.dydv) * 0.5;
        const double hv = (w.ic * p.dxdv + w.id * p.dydv) * 0.5;
        const double d1 = (gu + hu) * (gu + hu) + (gv + hv) * (gv + hv);
        const double d2 = (gu - hu) * (gu - hu) + (gv - hv) * (gv - hv);
        const double rho = std::sqrt(std::max(d1, d2));
        const double q = std::sqrt(qu * qu + qv * qv);
        const double slack = 1e-9 + 1e-15 * (reach + std::fabs(w.cx) + std::fabs(w.cy)) * w.norm;
        if (q + rho <= 1.0 - slack) {
            total += w.sign;
            continue;
        }
        if (q - rho >= 1.0 + slack) continue;
        frame();
        const CellPoint c = cell(w.cx, w.cy);
        const CellEllipse e{c.u, c.v, ia * w.a + ib * w.c, ia * w.b + ib * w.d,
                            ic * w.a + id * w.c, ic * w.b + id * w.d};
        total += w.sign * ellipse_cell_area(e);
        touched = true;
    }
    if (!segments_.empty()) {
        frame();
        double strip = 0.0;
        for (const Segment& s : segments_) strip += segment_strip(cell(s.x0, s.y0), cell(s.x1, s.y1), touched);
        // The area is minus the integral along a boundary that winds
        // counter-clockwise in the cell's frame: the plane's, unless the
        // pixel mirrors it.
        total += det > 0 ? -strip : strip;
    }
    if (!std::isfinite(total)) return std::numeric_limits<double>::quiet_NaN();
    // A pixel no piece passed through is wholly in or out: the heights on its
    // left add up to a whole number but for rounding.
    if (!touched) return total > 0.5 ? 1.0 : 0.0;
    return std::clamp(total, 0.0, 1.0) + 0.0;
}

double PixelRegion::cover_swept(const PixelShape& p) {
    if (!swept_ready_) {
        ends_ = join_arc_ends(region_);
        // Copies of an edge are one piece with their count, as on a grid: a
        // ring repeating one triangle costs what the triangle costs.
        count_copies(region_, ends_);
        program_.emplace(region_.rules, region_.program);
        swept_ready_ = true;
    }
    // The pixel as the one cell of a grid in its own frame.
    const GridWindow w{p.x, p.y, p.dxdu, p.dxdv, p.dydu, p.dydv, 0, 0, 1, 1};
    double out = 0.0;
    try {
        prepare(region_, ends_, w, boundary_);
        sweep_row(boundary_, *program_, 0, &out, scratch_);
    } catch (const std::domain_error&) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

}  // namespace zolvin::region
