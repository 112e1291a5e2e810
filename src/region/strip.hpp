// One row of pixels as a strip [y, y + 1] of the cell frame: the boundary's
// pieces clipped to it, and the sweep that writes the row's coverage.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "program.hpp"
#include "prepare.hpp"

namespace zolvin::region {

// A piece clipped to the strip: its ends ordered by u, and where the sweep
// has reached along it.
struct StripPiece {
    const Piece* p;
    double uL, vL, tL, uR, vR, tR;
    double slope;       // of a segment: dv / du between its ends in the strip
    double cu, cv, ct;  // the current slab's left end on the piece
    double f;           // the current slab's integral of (v - bottom) du
};

// A piece that crosses the strip's bottom line at u.
struct BottomCross {
    double u;
    std::int32_t leaf;
    std::int32_t ray;
};

// A sweeping thread's buffers, reused row after row.
struct Scratch {
    std::vector<StripPiece> strip;
    std::vector<double> events;
    std::vector<BottomCross> bottom;
    std::vector<std::int32_t> order;   // strip pieces by uL
    std::vector<std::int32_t> active;
    std::vector<std::uint64_t> touched;  // cells given part of their area
    std::array<std::int32_t, kMaxLeaves> w_bottom{};
    std::array<std::int32_t, kMaxLeaves> w{};
};

// Writes the coverage of row r of the boundary's window (cols values) to row.
void sweep_row(const Boundary& boundary, const Program& program, std::uint64_t r, double* row,
               Scratch& scratch);

// v on a piece at u (within its strip range), and the arc parameter there.
inline void point_at_u(const Boundary& B, const StripPiece& s, double u, double& v, double& t) {
    const Piece& p = *s.p;
    if (p.ellipse < 0) {
        t = 0;
        if (u == s.uR) {
            v = s.vR;
        } else if (u == s.uL) {
            v = s.vL;
        } else {
            v = s.vL + (u - s.uL) * s.slope;
        }
        return;
    }
    const Ellipse& e = B.ellipses[p.ellipse];
    if (u == s.uR) {
        v = s.vR, t = s.tR;
        return;
    }
    if (u == s.uL) {
        v = s.vL, t = s.tL;
        return;
    }
    t = solve_t(e.a, e.b, u - e.cu, std::min(s.tL, s.tR), std::max(s.tL, s.tR));
    v = e.cv + e.c * std::cos(t) + e.d * std::sin(t);
}

// Adds the u of every crossing of two strip pieces inside the open overlap of
// their u-ranges to events (crossings.cpp).
void crossings(const Boundary& B, const StripPiece& a, const StripPiece& b,
               std::vector<double>& events);

}  // namespace zolvin::region
