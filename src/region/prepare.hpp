// A region's boundary in a grid window's cell frame, where pixel (i, j) is
// the unit cell [j, j+1] x [i, i+1]: segments and arcs cut into pieces
// monotone in u and in v, and bucketed by the rows they pass.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "ellipse.hpp"
#include "region.hpp"

namespace zolvin::region {

// A piece monotone in u and in v: a segment stored lower end first (left end
// first when horizontal), or part [t0, t1] (t0 < t1) of an ellipse.
struct Piece {
    double u0, v0, u1, v1;  // ends: lower first for segments, at t0 and t1 for arcs
    double t0, t1;
    double vlo, vhi, ulo, uhi;
    std::int32_t ellipse;  // -1: a segment
    std::int32_t leaf;
    std::int32_t id;       // position in the boundary's piece list: breaks ties
    std::int32_t up;       // winding change when crossed upwards
    std::int32_t ray;      // winding change when crossed by a leftward ray (not horizontal)
};

// What depends on the region alone, worked out once for every frame it is
// prepared in: the plane points where each arc starts and ends (x0, y0, x1,
// y1), joined to segment ends and to earlier arc ends nearby, so that chains
// of segments and arcs close exactly in every frame (join_arc_ends); and,
// where count_copies has counted them, how many times each segment and arc
// occurs, traversed the same way in the same leaf, as the first of its copies
// (its later copies count 0). Copies are one piece whose crossing changes the
// winding by their number: a ring that runs round one triangle ten thousand
// times costs three pieces.
struct ArcEnds {
    std::vector<std::array<double, 4>> ends;
    std::vector<std::int32_t> segment_count;  // empty: every segment once
    std::vector<std::int32_t> arc_count;      // empty: every arc once
};

ArcEnds join_arc_ends(const Region& region);
void count_copies(const Region& region, ArcEnds& ends);

// The boundary in the cell frame of one window: built once, read by every
// thread that sweeps the window's rows.
struct Boundary {
    std::vector<Ellipse> ellipses;
    std::vector<Piece> pieces;
    std::vector<std::uint64_t> row_start;  // CSR over the window's rows
    std::vector<std::int32_t> row_pieces;
    std::uint64_t row0 = 0, rows = 0;
    double ulo = 0, uhi = 0;  // the window's columns
};

// Transforms the region into the window's cell frame and buckets its pieces
// by row, reusing the buffers of out. Throws std::domain_error when the
// window's Jacobian is singular or not finite, or when the boundary reaches
// beyond kReach in the frame.
void prepare(const Region& region, const ArcEnds& ends, const GridWindow& window,
             Boundary& out);

// Throws the std::domain_error prepare would throw for the window, building
// nothing: a singular frame, or a region beyond the reach from it.
void check_frame(const Region& region, const GridWindow& window);

}  // namespace zolvin::region
