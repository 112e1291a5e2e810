// Exact coverage of single pixels of their own shape: each pixel is the
// parallelogram its centre and Jacobian span, and a region is evaluated in
// that pixel's own frame, where the pixel is the unit cell [0, 1] x [0, 1].
//
// Simple regions (winding 0 or 1 everywhere, the inside winding +1) made of
// segments and whole ellipses take a short path: by Green's theorem the area
// inside the cell is the integral, along the boundary, of the cell's width
// right of each point, clamp(1 - u, 0, 1), over the cell's strip 0 <= v <= 1.
// A whole ellipse is measured directly (the integral over its two branches
// between the strip's lines, cut where they cross the cell's sides: chords
// plus elliptic segments, no trigonometry for short chords), after a test in
// the ellipse's own frame that settles most pixels as wholly inside or
// outside it without any of that. Any other region goes through the strip
// sweep, one pixel at a time.
//
// Guarantees: exact to rounding; a pixel no boundary piece passes through is
// exactly 0.0 or 1.0; values lie in [0, 1]; a pixel's value depends only on
// the region and the pixel's own six numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "accumulate.hpp"
#include "prepare.hpp"
#include "program.hpp"
#include "region.hpp"
#include "strip.hpp"

namespace zolvin::region {

// A pixel as the kernels read it: its centre and its Jacobian.
struct PixelShape {
    double x, y, dxdu, dxdv, dydu, dydv;
};

// The axis-aligned plane box of a pixel's parallelogram.
inline void pixel_box(const PixelShape& p, double& xlo, double& ylo, double& xhi, double& yhi) {
    const double hx = (std::fabs(p.dxdu) + std::fabs(p.dxdv)) * 0.5;
    const double hy = (std::fabs(p.dydu) + std::fabs(p.dydv)) * 0.5;
    xlo = p.x - hx, xhi = p.x + hx, ylo = p.y - hy, yhi = p.y + hy;
}

// Area of the disc of an ellipse inside the unit cell, in cell units (the
// ellipse's orientation does not matter).
double ellipse_cell_area(const CellEllipse& e);

// The integral of clamp(1 - u, 0, 1) dv along the directed segment a -> b
// over 0 <= v <= 1; sets touched when part of it runs inside the cell.
double segment_strip(CellPoint a, CellPoint b, bool& touched);

// One region made ready for pixel after pixel.
class PixelRegion {
public:
    // Region k of the batch's arrays; `simple` as the batch says.
    void reset(const Region& region, bool simple);

    // The region's plane box; empty (xlo > xhi) for a region without pieces.
    double xlo = 0, ylo = 0, xhi = -1, yhi = -1;

    // Fraction of the pixel inside the region; NaN when the boundary leaves
    // the finite range in the pixel's frame.
    double cover(const PixelShape& p);

private:
    struct Whole {
        double cx, cy, a, b, c, d;      // the plane ellipse
        double ia, ib, ic, id;          // its inverse matrix
        double norm;                    // the inverse's largest row sum
        double sign;                    // +1 counter-clockwise, -1 clockwise
    };
    double cover_simple(const PixelShape& p) const;
    double cover_swept(const PixelShape& p);

    Region region_{};
    bool fast_ = false;
    std::vector<Whole> wholes_;
    std::span<const Segment> segments_;
    // The sweep's state, made when first needed.
    bool swept_ready_ = false;
    ArcEnds ends_;
    std::optional<Program> program_;
    Boundary boundary_;
    Scratch scratch_;
};

}  // namespace zolvin::region
