// Exact coverage of pixels by a plane region: directed boundary pieces
// (segments and elliptic arcs) grouped into leaves, each leaf filled by its
// winding rule, and a boolean program over the leaves' memberships.
//
// The work is done in steps that other drivers can reuse: the boundary is
// prepared once in a grid's cell frame (prepare.hpp), and each row of pixels
// is swept as one strip into a row of results (strip.hpp), with the program
// deciding which bands are inside (program.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "../geometry.hpp"

namespace zolvin::region {

// A directed segment from (x0, y0) to (x1, y1).
struct Segment {
    double x0, y0, x1, y1;
};

// The arc (cx + a cos t + b sin t, cy + c cos t + d sin t) traversed from t0
// to t1; |t1 - t0| >= 2 pi is the whole ellipse.
struct Arc {
    double cx, cy, a, b, c, d, t0, t1;
};

// How a leaf's winding number makes its membership.
enum class Rule : std::uint8_t { nonzero = 0, evenodd = 1, positive = 2 };

// Program opcodes below zero; k >= 0 pushes leaf k's membership.
enum Op : std::int32_t { op_or = -1, op_and = -2, op_diff = -3, op_xor = -4, op_not = -5 };

// The most leaves a region may have: memberships are the bits of one word.
inline constexpr int kMaxLeaves = 64;

// Coordinates in a grid's cell frame beyond this are refused: their
// differences and products must stay finite.
inline constexpr double kReach = 1e150;

// A simple region whose box reaches further than this from a grid's cell
// (0, 0) is swept, not accumulated: the accumulator numbers cells by whole
// doubles.
inline constexpr double kAccumulateReach = 0x1p50;

// The region as the caller hands it in (checked by the caller: leaves in
// range, at most kMaxLeaves rules, a program that leaves one value, finite
// coordinates, ad - bc != 0 for arcs).
struct Region {
    std::span<const Segment> segments;
    std::span<const std::int32_t> segment_leaf;
    std::span<const Arc> arcs;
    std::span<const std::int32_t> arc_leaf;
    std::span<const Rule> rules;
    std::span<const std::int32_t> program;  // empty: the union of all leaves
    // The caller's word that the region's winding number, over all its
    // leaves, is 0 or 1 everywhere and the inside winds +1 (with the union of
    // its leaves): a grid then accumulates it instead of sweeping it.
    bool simple = false;
};

// Writes the covered fraction of every pixel of the window, row after row, to
// out (rows x cols, row-major), over up to n_threads threads. A simple region
// is accumulated (cost: the cells plus the grid lines the boundary crosses)
// unless it reaches beyond kAccumulateReach cells, others swept (cost per
// row: the slabs between its events times the pieces over each). Throws
// std::domain_error when the boundary leaves the range of finite numbers in
// the grid's frame (a singular or tiny Jacobian).
void grid_coverage(const Region& region, const GridWindow& window, double* out,
                   std::uint64_t n_threads);

// The same for pixels of their own shape each (u and v are not read): every
// pixel transforms the whole boundary, so the cost is pixels x pieces. When
// any pixel's frame is refused (as grid_coverage refuses the grid's), the
// std::domain_error comes before anything is written.
void pixels_coverage(const Region& region, const PixelArrays& pixels, double* out,
                     std::uint64_t n_threads);

// Index pair (i, j), i < j, of two segments of the same group that cross
// properly (each passes strictly through the other's line), or (-1, -1).
// Segments that only touch, or lie on one line, do not cross.
std::pair<std::int64_t, std::int64_t> find_crossing(std::span<const Segment> segments,
                                                    std::span<const std::int32_t> group);

// Whether closed rings of segments (each edge's end the next one's start,
// ring after ring) are simple, together: no vertex occurs twice, and no two
// edges meet anywhere but consecutive ones at their shared vertex. Such rings
// make a region whose winding number is 0 or +-1 around each ring alone, and
// the rings touch nowhere. Cost: n log n.
bool simple_rings(std::span<const Segment> segments);

}  // namespace zolvin::region
