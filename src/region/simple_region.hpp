// A region whose winding number is 0 or 1 everywhere, its inside winding +1,
// handed to an accumulator piece by piece, and a region's box in a cell
// frame: shared by the many-region driver and the one-region driver that
// accumulates such regions over a grid.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "accumulate.hpp"
#include "cell_frame.hpp"
#include "prepare.hpp"
#include "region.hpp"

namespace zolvin::region {

// A region's box in the cell frame; empty (ulo > uhi) without pieces.
struct CellBox {
    double ulo = std::numeric_limits<double>::infinity();
    double uhi = -std::numeric_limits<double>::infinity();
    double vlo = std::numeric_limits<double>::infinity();
    double vhi = -std::numeric_limits<double>::infinity();
    void add(double u, double v) {
        ulo = std::min(ulo, u), uhi = std::max(uhi, u);
        vlo = std::min(vlo, v), vhi = std::max(vhi, v);
    }
    // Every side within kReach of the frame's origin.
    bool near() const {
        return std::fabs(ulo) <= kReach && std::fabs(uhi) <= kReach && std::fabs(vlo) <= kReach &&
               std::fabs(vhi) <= kReach;
    }
};

// The segments' ends and the arcs' whole ellipses' boxes, in the frame.
CellBox region_box(const Region& region, const CellFrame& T);

// The ends of the region's partial arcs as the sweep joins them (no ends when
// every arc is a whole ellipse: none are needed).
ArcEnds accumulated_arc_ends(const Region& region);

// Every piece into an accumulator started on its window, in the frame T,
// segments first, each in its order; partial arcs from and to their joined
// ends.
void accumulate_region(const Region& region, const ArcEnds& ends, const CellFrame& T,
                       Accumulator& acc);

// Coverage of a grid window by a simple region (region.simple), written whole
// (see grid_coverage): its cost is the window's cells plus the grid lines the
// boundary crosses, however densely the pieces crowd a row. False, writing
// nothing, when the region reaches beyond kAccumulateReach cells.
bool accumulate_coverage(const Region& region, const GridWindow& window, double* out,
                         std::uint64_t n_threads);

}  // namespace zolvin::region
