// The grid's cell frame, where cell (row i, column j) is the unit square
// [j, j + 1] x [i, i + 1], and the map into it from the plane. The strip
// sweep and the accumulator both take their pieces through this one map, so
// that both kernels see the same points, bit for bit.
#pragma once

#include <cmath>
#include <stdexcept>

namespace zolvin::region {

// A point in the cell frame.
struct CellPoint {
    double u, v;
};

// Plane -> cell frame for a grid whose pixel (0, 0) is centred at (x0, y0)
// and whose Jacobian is [[dxdu, dxdv], [dydu, dydv]]: the inverse Jacobian,
// formed once, and the half cell that puts pixel centres at cell centres.
struct CellFrame {
    double x0, y0, ia, ib, ic, id;  // the inverse Jacobian
    int orientation;                // sign of det J: -1 mirrors windings

    // Grid: anything with x0, y0 and the four Jacobian terms.
    template <class Grid>
    explicit CellFrame(const Grid& g) : x0(g.x0), y0(g.y0) {
        const double det = g.dxdu * g.dydv - g.dxdv * g.dydu;
        if (!(std::isfinite(det) && det != 0.0))
            throw std::domain_error("the grid's Jacobian is singular or not finite");
        ia = g.dydv / det;
        ib = -g.dxdv / det;
        ic = -g.dydu / det;
        id = g.dxdu / det;
        orientation = det > 0 ? 1 : -1;
    }
    CellPoint point(double x, double y) const {
        const double dx = x - x0, dy = y - y0;
        return {ia * dx + ib * dy + 0.5, ic * dx + id * dy + 0.5};
    }
    CellPoint vector(double x, double y) const { return {ia * x + ib * y, ic * x + id * y}; }
    bool mirrored() const { return orientation < 0; }
};

}  // namespace zolvin::region
