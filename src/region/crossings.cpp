// Crossings of two pieces inside one strip: where the sweep must cut a slab
// so that no two pieces cross inside it.
#include <algorithm>
#include <cmath>

#include "conics.hpp"
#include "strip.hpp"

namespace zolvin::region {

namespace {

bool opposite(double f, double g) { return (f < 0 && g > 0) || (f > 0 && g < 0); }

// The vertical gap between two strip pieces, a's v minus b's, over the u
// both cover.
struct Gap {
    const Boundary& B;
    const StripPiece& a;
    const StripPiece& b;

    double at(double u) const {
        double va, vb, t;
        point_at_u(B, a, u, va, t);
        point_at_u(B, b, u, vb, t);
        return va - vb;
    }

    // A u in [l, h] where the gap changes sign (fl: its value at l), by
    // bisection down to adjacent numbers.
    double bisect(double l, double h, double fl) const {
        for (int k = 0; k < 200; ++k) {
            const double m = l + (h - l) * 0.5;
            if (!(m > l && m < h)) break;
            const double fm = at(m);
            if (fm == 0) return m;
            if ((fm < 0) == (fl < 0)) l = m, fl = fm;
            else h = m;
        }
        return l + (h - l) * 0.5;
    }
};

// Two segments cross at most once: where the gap, linear in u, is zero.
void segment_segment(const Gap& gap, double lo, double hi, std::vector<double>& events) {
    const double fl = gap.at(lo), fh = gap.at(hi);
    if (opposite(fl, fh)) {
        const double u = lo + (hi - lo) * (fl / (fl - fh));
        if (u > lo && u < hi) events.push_back(u);
    }
}

// A line and an ellipse: p cos t + q sin t = w, two solutions.
void segment_ellipse(const Gap& gap, const StripPiece& seg, const StripPiece& arc, double lo,
                     double hi, std::vector<double>& events) {
    const Ellipse& e = gap.B.ellipses[arc.p->ellipse];
    const double nu = -(seg.vR - seg.vL), nv = seg.uR - seg.uL;
    const double p = nu * e.a + nv * e.c, q = nu * e.b + nv * e.d;
    const double w = nu * (seg.uL - e.cu) + nv * (seg.vL - e.cv);
    const double r = length(p, q);
    if (!(r > 0) || std::fabs(w) > r) return;
    const double phi = std::atan2(q, p), alpha = std::acos(w / r);
    for (double t : {phi + alpha, phi - alpha}) {
        const double u = e.cu + e.a * std::cos(t) + e.b * std::sin(t);
        if (u > lo && u < hi) events.push_back(u);
    }
    // The analytic points may miss by rounding: a sign change at the
    // overlap's ends is settled by bisection too.
    const double fl = gap.at(lo), fh = gap.at(hi);
    if (opposite(fl, fh)) events.push_back(gap.bisect(lo, hi, fl));
}

// Two ellipses: every point where they meet, kept where its parameter lies
// on both pieces (within what the clip points' rounding may move).
void ellipse_ellipse(const Boundary& B, const StripPiece& a, const StripPiece& b, double lo,
                     double hi, std::vector<double>& events) {
    const Ellipse &ea = B.ellipses[a.p->ellipse], &eb = B.ellipses[b.p->ellipse];
    ConicMeeting meet[kMaxMeetings];
    const int n = conic_meetings({ea.cu, ea.cv, ea.a, ea.b, ea.c, ea.d},
                                 {eb.cu, eb.cv, eb.a, eb.b, eb.c, eb.d}, meet);
    auto on = [](const StripPiece& s, double t) {
        const double lo_t = std::min(s.tL, s.tR), hi_t = std::max(s.tL, s.tR);
        t += std::round(((lo_t + hi_t) * 0.5 - t) / kTwoPi) * kTwoPi;
        return t >= lo_t - 1e-7 && t <= hi_t + 1e-7;
    };
    for (int k = 0; k < n; ++k) {
        const double u = meet[k].u;
        if (u > lo && u < hi && on(a, meet[k].t1) && on(b, meet[k].t2)) events.push_back(u);
    }
}

}  // namespace

void crossings(const Boundary& B, const StripPiece& a, const StripPiece& b,
               std::vector<double>& events) {
    const double lo = std::max(a.uL, b.uL), hi = std::min(a.uR, b.uR);
    if (!(hi > lo)) return;
    if (std::max(a.vL, a.vR) < std::min(b.vL, b.vR) ||
        std::max(b.vL, b.vR) < std::min(a.vL, a.vR))
        return;
    const bool a_arc = a.p->ellipse >= 0, b_arc = b.p->ellipse >= 0;
    if (a_arc && a.p->ellipse == b.p->ellipse) return;  // one ellipse: meets at ends only
    const Gap gap{B, a, b};
    if (!a_arc && !b_arc) {
        segment_segment(gap, lo, hi, events);
    } else if (!a_arc || !b_arc) {
        segment_ellipse(gap, a_arc ? b : a, a_arc ? a : b, lo, hi, events);
    } else {
        ellipse_ellipse(B, a, b, lo, hi, events);
    }
}

}  // namespace zolvin::region
