// Regions of a grid window: for each row, the columns where a coverage rule
// can give something other than 0 (and, for the circle, those where it can
// only give 1), so that the drivers skip the rest.
//
// These regions are widened by many orders of magnitude more than the
// rounding of the rules' arithmetic, and by two columns; with a non-finite or
// outsized parameter no column is skipped.
#pragma once

#include <cstdint>

#include "coverage_rules.hpp"
#include "geometry.hpp"

namespace zolvin::detail {

// Columns [lo, hi) of one row.
struct Span {
    std::uint64_t lo, hi;
};

// Every column live, none known to be 1: the array form's region.
struct AllColumns {
    std::uint64_t n;
    Span columns(std::uint64_t) const { return {0, n}; }
    Span inside(std::uint64_t) const { return {0, 0}; }
};

// A row's centres are, in exact arithmetic, P + u (dxdu, dydu) with
// P = (x0 + dxdv v, y0 + dydv v): a straight line in the column index u.
struct Rows {
    GridWindow g;
    double alpha, root_alpha;  // squared length of the step, and the length
    double mag_x, mag_y;       // bounds of the terms of x and of y
    bool trusted;
};

// The circle rule gives 0 beyond |radius| + s from the centre, and 1 within
// |radius - s| of it.
struct CircleRegion {
    Rows w;
    double cx, cy, outer, inner;
    bool trusted;

    Span columns(std::uint64_t r) const;  // not known to be 0
    Span inside(std::uint64_t r) const;   // known to be 1
};

CircleRegion circle_region(const GridWindow& g, const Circle& c);

// The strut rule gives 0 outside its disc and where both edge values are at
// least 2 s, or both at most -2 s.
struct StrutRegion {
    Rows w;
    StrutRule t;
    double reach, t1, t2;
    bool trusted;

    Span columns(std::uint64_t r) const;  // not known to be 0
    Span inside(std::uint64_t) const { return {0, 0}; }
};

StrutRegion strut_region(const GridWindow& g, const StrutRule& t);

}  // namespace zolvin::detail
