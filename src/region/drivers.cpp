// The region over a window of a grid and over pixels of their own shapes:
// prepare the boundary in a frame, then sweep rows into the output.
#include <limits>
#include <stdexcept>

#include "../parallel.hpp"
#include "prepare.hpp"
#include "program.hpp"
#include "simple_region.hpp"
#include "strip.hpp"

namespace zolvin::region {

namespace {

using u64 = std::uint64_t;

// Rows go to the threads in bands of this many, dealt out in turn, so that a
// region over one part of the grid still keeps every thread busy.
constexpr u64 kBandRows = 16;

}  // namespace

void grid_coverage(const Region& region, const GridWindow& window, double* out,
                   u64 n_threads) {
    // An empty window has nothing to write, however many rows it claims: no
    // per-row buckets for it. It still refuses what a window with pixels
    // would (a singular frame, pieces beyond reach): callers check their
    // arguments on a window of none.
    if (window.rows == 0 || window.cols == 0) {
        check_frame(region, window);
        return;
    }
    if (region.simple && accumulate_coverage(region, window, out, n_threads)) return;
    Boundary boundary;
    ArcEnds ends = join_arc_ends(region);
    count_copies(region, ends);
    prepare(region, ends, window, boundary);
    const Program program(region.rules, region.program);
    deal_bands<Scratch>(window.rows, kBandRows, n_threads, [&](Scratch& S, u64 r0, u64 r1) {
        for (u64 r = r0; r < r1; ++r) sweep_row(boundary, program, r, out + r * window.cols, S);
    });
}

void pixels_coverage(const Region& region, const PixelArrays& px, double* out, u64 n_threads) {
    ArcEnds ends = join_arc_ends(region);
    count_copies(region, ends);
    const Program program(region.rules, region.program);
    // Every pixel's frame is checked before any is written: a refusal leaves
    // out as it was, as on a grid.
    split_range(px.n, n_threads, [&](u64 first, u64 last) {
        for (u64 k = first; k < last; ++k) {
            if ((k - first) % 64 == 0) check_stop();
            check_frame(region, GridWindow{px.x[k], px.y[k], px.dxdu[k], px.dxdv[k], px.dydu[k],
                                           px.dydv[k], 0, 0, 1, 1});
        }
    });
    split_range(px.n, n_threads, [&](u64 first, u64 last) {
        Boundary boundary;
        Scratch S;
        for (u64 k = first; k < last; ++k) {
            if ((k - first) % 64 == 0) check_stop();
            // The pixel as the one cell of a grid in its own frame.
            const GridWindow w{px.x[k], px.y[k], px.dxdu[k], px.dxdv[k], px.dydu[k], px.dydv[k],
                               0, 0, 1, 1};
            prepare(region, ends, w, boundary);
            sweep_row(boundary, program, 0, out + k, S);
        }
    });
}

}  // namespace zolvin::region
