// The sweep of one strip. Inside the strip the boundary pieces are monotone
// curves; cut it at every piece end, every column boundary a piece passes and
// every crossing of two pieces, and between two cuts (a slab) the pieces are
// stacked in a fixed order. Walking up a slab each piece changes its leaf's
// winding by one, so every band between two pieces has known memberships, and
// the program says whether it is inside. The band's area is the difference of
// the two pieces' integrals over the slab (trapezoids for segments, closed
// form for arcs).
//
// Every clip point is computed from a piece's own data, never from a
// neighbouring row, so a row's bits depend only on the boundary: threads and
// windows give the same bits.
#include "strip.hpp"

#include <algorithm>

namespace zolvin::region {

namespace {

using u64 = std::uint64_t;

// ---- Pieces in the strip -----------------------------------------------------

// Piece p clipped to the strip [y, y + 1].
StripPiece clip(const Boundary& B, const Piece& p, double y) {
    const double top = y + 1;
    double ua, va, ta = p.t0, ub, vb, tb = p.t1;  // ends at the strip's bottom and top
    if (p.ellipse < 0) {
        ua = p.u0, va = p.v0, ub = p.u1, vb = p.v1;
        if (p.v0 < p.v1) {
            const double slope = (p.u1 - p.u0) / (p.v1 - p.v0);
            if (p.v0 < y) ua = p.u0 + (y - p.v0) * slope, va = y;
            if (p.v1 > top) ub = p.u0 + (top - p.v0) * slope, vb = top;
        }
    } else {
        const Ellipse& e = B.ellipses[p.ellipse];
        const bool rising = p.v1 > p.v0;  // v grows with t
        ua = rising ? p.u0 : p.u1, va = rising ? p.v0 : p.v1, ta = rising ? p.t0 : p.t1;
        ub = rising ? p.u1 : p.u0, vb = rising ? p.v1 : p.v0, tb = rising ? p.t1 : p.t0;
        if (p.vlo < y) {
            ta = solve_t(e.c, e.d, y - e.cv, p.t0, p.t1);
            ua = e.cu + e.a * std::cos(ta) + e.b * std::sin(ta), va = y;
        }
        if (p.vhi > top) {
            tb = solve_t(e.c, e.d, top - e.cv, p.t0, p.t1);
            ub = e.cu + e.a * std::cos(tb) + e.b * std::sin(tb), vb = top;
        }
    }
    StripPiece s{};
    s.p = &p;
    if (ua <= ub) {
        s.uL = ua, s.vL = va, s.tL = ta, s.uR = ub, s.vR = vb, s.tR = tb;
    } else {
        s.uL = ub, s.vL = vb, s.tL = tb, s.uR = ua, s.vR = va, s.tR = ta;
    }
    s.slope = s.uR > s.uL ? (s.vR - s.vL) / (s.uR - s.uL) : 0.0;
    return s;
}

// Integral of (v - y) du over [u0, u1] along the piece; moves its current
// end to u1.
inline double integral(const Boundary& B, StripPiece& s, double u1, double y) {
    double v1, t1;
    point_at_u(B, s, u1, v1, t1);
    double f = (u1 - s.cu) * ((s.cv - y) + (v1 - y)) * 0.5;
    if (s.p->ellipse >= 0) {
        const Ellipse& e = B.ellipses[s.p->ellipse];
        f -= e.det * 0.5 * x_minus_sin(t1 - s.ct);
    }
    s.cu = u1, s.cv = v1, s.ct = t1;
    return f;
}

// ---- The row writer ----------------------------------------------------------

// Pending run of slabs that add m x width to every cell they cover.
struct Run {
    double start;
    bool m;
};

// The row being written, left to right: cells before `written` hold their
// final sums (or partial sums for the last one), cells from it on are not
// written yet. The sweep only moves right, so every cell is stored once as
// 0.0 or 1.0 or a sum, instead of being zeroed first and written again.
struct RowOut {
    double* row;
    u64 cols;
    u64 written = 0;
    std::vector<u64>* touched;

    // Zero cells up to (not including) j.
    void zero_to(u64 j) {
        if (j > written) {
            std::fill(row + written, row + j, 0.0);
            written = j;
        }
    }
    // Adds part of a cell, noting the cell: only such cells can leave [0, 1].
    // The first part is added to 0.0 as before, so a -0.0 becomes +0.0.
    void add(u64 j, double a) {
        zero_to(j);
        if (j == written) {
            row[j] = 0.0 + a;
            written = j + 1;
        } else {
            row[j] += a;
        }
        touched->push_back(j);
    }
    void ones(u64 j0, u64 j1) {
        zero_to(j0);
        std::fill(row + j0, row + j1, 1.0);
        written = std::max(written, j1);
    }
    void finish() { zero_to(cols); }
};

void flush(const Run& run, double end, double col0, RowOut& out) {
    if (!run.m || !(end > run.start)) return;
    // Cells the run covers whole hold nothing else: they are 1 exactly.
    const double first = std::ceil(run.start), last = std::floor(end);
    if (first > last) {  // inside one cell
        out.add(static_cast<u64>(std::floor(run.start) - col0), end - run.start);
        return;
    }
    if (first > run.start) out.add(static_cast<u64>(first - 1 - col0), first - run.start);
    out.ones(static_cast<u64>(first - col0), static_cast<u64>(last - col0));
    if (end > last) out.add(static_cast<u64>(last - col0), end - last);
}

// Continues the fill run with membership m from u on: a run of another
// membership ends at u.
void extend_run(Run& run, bool m, double u, double col0, RowOut& out) {
    if (m != run.m) {
        flush(run, u, col0, out);
        run = {u, m};
    }
}

// ---- Events ------------------------------------------------------------------

// The row's pieces clipped to the strip: the bottom line's crossings (also of
// pieces left of the window, which count on the leftward ray only), the
// clamped ends of the others as events, and those of positive width as strip
// pieces. A piece whose clip starts at or right of the window's right end
// has no effect on the window: deciding this by the clip point, not by the
// piece's own range, keeps a cell's bits whatever the window's extent.
void gather_pieces(const Boundary& B, u64 r, double y, Scratch& S) {
    S.strip.clear();
    S.bottom.clear();
    S.events.clear();
    for (u64 k = B.row_start[r]; k < B.row_start[r + 1]; ++k) {
        const Piece& p = B.pieces[B.row_pieces[k]];
        const StripPiece s = clip(B, p, y);
        if (s.uL >= B.uhi) continue;
        if (p.vlo <= y && p.vhi > y) {
            S.bottom.push_back({s.vL == y ? s.uL : s.uR, p.leaf, p.ray});
        }
        if (s.uR <= B.ulo) continue;
        S.events.push_back(std::clamp(s.uL, B.ulo, B.uhi));
        S.events.push_back(std::clamp(s.uR, B.ulo, B.uhi));
        if (s.uR > s.uL) S.strip.push_back(s);
    }
    std::sort(S.bottom.begin(), S.bottom.end(),
              [](const BottomCross& a, const BottomCross& b) { return a.u < b.u; });
}

// Strip pieces ordered by left end (ties by id), and the crossings of every
// two whose u-ranges overlap added to the events.
void order_and_cross(const Boundary& B, Scratch& S) {
    const auto n = static_cast<std::int32_t>(S.strip.size());
    S.order.resize(n);
    for (std::int32_t k = 0; k < n; ++k) S.order[k] = k;
    std::sort(S.order.begin(), S.order.end(), [&](std::int32_t a, std::int32_t b) {
        const auto &sa = S.strip[a], &sb = S.strip[b];
        return sa.uL < sb.uL || (sa.uL == sb.uL && sa.p->id < sb.p->id);
    });
    S.active.clear();
    for (std::int32_t k = 0; k < n; ++k) {
        const StripPiece& s = S.strip[S.order[k]];
        std::size_t keep = 0;
        for (std::size_t q = 0; q < S.active.size(); ++q) {
            const StripPiece& o = S.strip[S.active[q]];
            if (o.uR > s.uL) {
                S.active[keep++] = S.active[q];
                crossings(B, o, s, S.events);
            }
        }
        S.active.resize(keep);
        S.active.push_back(S.order[k]);
    }
}

// The window's ends joined to the events; all clamped to the window, sorted,
// each once.
void settle_events(Scratch& S, double ulo, double uhi) {
    S.events.push_back(ulo);
    S.events.push_back(uhi);
    for (double& e : S.events) e = std::clamp(e, ulo, uhi);
    std::sort(S.events.begin(), S.events.end());
    S.events.erase(std::unique(S.events.begin(), S.events.end()), S.events.end());
}

// ---- The sweep ---------------------------------------------------------------

// Where the sweep stands: the memberships just above the strip's bottom line,
// the next bottom crossing and strip piece to reach, and the pending run.
struct Sweep {
    std::uint64_t mask_bottom = 0;
    std::size_t next_bottom = 0, next_piece = 0;
    Run run;
};

// Takes in the bottom crossings left of u: the windings just above the
// bottom line there.
void pass_bottom(const Program& prog, Scratch& S, Sweep& at, double u) {
    while (at.next_bottom < S.bottom.size() && S.bottom[at.next_bottom].u < u) {
        const auto& b = S.bottom[at.next_bottom++];
        S.w_bottom[b.leaf] += b.ray;
        const std::uint64_t bit = std::uint64_t{1} << b.leaf;
        at.mask_bottom = member(prog.rule(b.leaf), S.w_bottom[b.leaf]) ? at.mask_bottom | bit
                                                                       : at.mask_bottom & ~bit;
    }
}

// The active pieces of the slab from ua on: those whose u-range covers it,
// the new ones started at ua.
void update_active(const Boundary& B, Scratch& S, Sweep& at, double ua) {
    std::size_t keep = 0;
    for (std::size_t q = 0; q < S.active.size(); ++q) {
        if (S.strip[S.active[q]].uR > ua) S.active[keep++] = S.active[q];
    }
    S.active.resize(keep);
    while (at.next_piece < S.order.size() && S.strip[S.order[at.next_piece]].uL <= ua) {
        const std::int32_t id = S.order[at.next_piece++];
        StripPiece& s = S.strip[id];
        if (s.uR <= ua) continue;
        point_at_u(B, s, ua, s.cv, s.ct);
        s.cu = ua;
        S.active.push_back(id);
    }
}

// Integrates the active pieces up to ub and orders them lowest first: pieces
// do not cross inside a slab, so the one below has the smaller integral; ties
// (coincident pieces) by id.
void stack_active(const Boundary& B, Scratch& S, double ub, double y) {
    for (const std::int32_t id : S.active) S.strip[id].f = integral(B, S.strip[id], ub, y);
    for (std::size_t q = 1; q < S.active.size(); ++q) {
        const std::int32_t id = S.active[q];
        const double f = S.strip[id].f;
        const std::int32_t pid = S.strip[id].p->id;
        std::size_t z = q;
        for (; z > 0; --z) {
            const StripPiece& o = S.strip[S.active[z - 1]];
            if (o.f < f || (o.f == f && o.p->id < pid)) break;
            S.active[z] = S.active[z - 1];
        }
        S.active[z] = id;
    }
}

// Walking up the stacked pieces of a slab: the area inside, below the top
// piece, whether any piece changed the membership, and the membership above.
struct Climb {
    double area;
    bool changed;
    bool top;
};

Climb climb(const Program& prog, Scratch& S, bool m0, std::uint64_t mask_bottom) {
    std::copy(S.w_bottom.begin(), S.w_bottom.begin() + prog.leaves(), S.w.begin());
    std::uint64_t mask = mask_bottom;
    bool below = m0, changed = false;
    double area = 0;
    for (const std::int32_t id : S.active) {
        const StripPiece& s = S.strip[id];
        const std::int32_t leaf = s.p->leaf;
        S.w[leaf] += s.p->up;
        const std::uint64_t bit = std::uint64_t{1} << leaf;
        mask = member(prog.rule(leaf), S.w[leaf]) ? mask | bit : mask & ~bit;
        const bool above = prog.inside(mask);
        if (above != below) {
            area += below ? s.f : -s.f;
            changed = true;
        }
        below = above;
    }
    return {area, changed, below};
}

// One slab [ua, ub] inside one column, with the pieces active over it: adds
// the covered area to the column's cell, or extends the fill run when no
// piece changes the membership.
void slab(const Boundary& B, const Program& prog, Scratch& S, double ua, double ub, double y,
          bool m0, Sweep& at, RowOut& out) {
    stack_active(B, S, ub, y);
    Climb c = climb(prog, S, m0, at.mask_bottom);
    if (!c.changed) {
        extend_run(at.run, c.top, ua, B.ulo, out);
        return;
    }
    flush(at.run, ua, B.ulo, out);
    if (c.top) c.area += ub - ua;
    out.add(static_cast<u64>(std::floor(ua) - B.ulo), c.area);
    at.run = {ub, false};
}

// The slabs between the events, left to right.
void sweep_slabs(const Boundary& B, const Program& prog, Scratch& S, double y, RowOut& out) {
    std::fill(S.w_bottom.begin(), S.w_bottom.begin() + prog.leaves(), 0);
    S.active.clear();
    Sweep at{0, 0, 0, {B.ulo, false}};
    for (std::size_t k = 0; k + 1 < S.events.size(); ++k) {
        const double ua = S.events[k], ub = S.events[k + 1];
        const double um = ua + (ub - ua) * 0.5;
        pass_bottom(prog, S, at, um);
        update_active(B, S, at, ua);
        const bool m0 = prog.inside(at.mask_bottom);
        if (S.active.empty()) {
            extend_run(at.run, m0, ua, B.ulo, out);
            continue;
        }
        // Column boundaries inside the slab cut it into cells.
        for (double a = ua; a < ub;) {
            const double b = std::min(ub, std::floor(a) + 1);
            slab(B, prog, S, a, b, y, m0, at, out);
            a = b;
        }
    }
    flush(at.run, B.uhi, B.ulo, out);
}

}  // namespace

void sweep_row(const Boundary& B, const Program& prog, u64 r, double* row, Scratch& S) {
    const double y = static_cast<double>(B.row0 + r);
    S.touched.clear();
    RowOut out{row, static_cast<u64>(B.uhi - B.ulo), 0, &S.touched};
    gather_pieces(B, r, y, S);
    order_and_cross(B, S);
    settle_events(S, B.ulo, B.uhi);
    sweep_slabs(B, prog, S, y, out);
    out.finish();
    // Sums of parts may stray from [0, 1] by rounding.
    for (const u64 j : S.touched) row[j] = std::clamp(row[j], 0.0, 1.0);
}

}  // namespace zolvin::region
