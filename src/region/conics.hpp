// Where two ellipses meet: every crossing and every touching point.
#pragma once

namespace zolvin::region {

// The ellipse (cu + a cos t + b sin t, cv + c cos t + d sin t), a d - b c != 0.
struct Conic {
    double cu, cv, a, b, c, d;
};

// A point on both ellipses and its parameter on each, in [-pi, pi].
struct ConicMeeting {
    double u, v;
    double t1, t2;  // on the first and on the second ellipse of the call
};

// Room enough for every meeting conic_meetings can report: two crossings of
// two circles; up to four crossings of two ellipses, and besides them the
// points where the two come within rounding of touching.
constexpr int kMaxMeetings = 20;

// Writes the points where the two ellipses cross or touch to out and returns
// their number. None of them is missed: a pair of crossings too close to tell
// apart in double precision comes back as one touching point between them.
// Two ellipses that coincide to rounding give none, and so do inputs whose
// frames overflow. The result depends only on the two ellipses, not on their
// order (the parameters follow the order).
int conic_meetings(const Conic& first, const Conic& second, ConicMeeting* out);

}  // namespace zolvin::region
