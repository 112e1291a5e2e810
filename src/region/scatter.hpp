// Input pixels spread exactly over the cells of an output grid: the kernel of
// flux-conserving resampling between a grid (or a mesh of corners) and a grid.
//
// Every input pixel is a quadrilateral in the output grid's cell frame (cell
// (i, j) = [j, j + 1] x [i, i + 1]); its coverage of each cell it overlaps is
// accumulated from its four edges by Green's theorem (each edge cut at the
// grid lines it crosses, each sub-piece giving its cell the area between it
// and the cell's right edge and the cells right of it its height), in a
// window of cells no larger than the pixel's bounding box. For a grid, all
// pixels are one parallelogram translated, so the edges' slopes and the
// window's size are worked out once.
//
// The bits rule: a pixel's coverages depend only on its four corners, and
// each corner only on its own indices. Threads own bands of output rows;
// each walks, in input order, the pixels whose window meets its band and
// adds only the rows of its band, so every output cell sums its inputs in
// input order, the same bits for every thread count and every band, and for
// any window of the output grid evaluated on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "accumulate.hpp"
#include "input_nodes.hpp"

namespace zolvin::region {

// The output grid's cells [row0, row0 + rows) x [col0, col0 + cols), row0
// and col0 not negative (a grid's own cells: QuadCover keeps its cells from
// column 0 on); an image on them holds cell (i, j) at (i - row0) x cols +
// (j - col0).
struct OutputCells {
    std::int64_t row0 = 0, col0 = 0, rows = 0, cols = 0;
};

enum class Conserve { flux, mean };

// bands x input rows x cols values in; per output cell p and band, over the
// input pixels k whose value (and variance) is not NaN, with f the fraction
// of cell p that pixel k covers and a_k the area of pixel k in cells:
// - flux: sum = sum (f / a_k) v, the fraction of pixel k that falls in cell
//   p times its value; footprint = sum f;
// - mean: with c = f w_k (w_k the pixel's weight, 1 without weights),
//   sum = sum c v, footprint = sum c and var = sum c^2 s2_k (s2_k the
//   pixel's variance).
// Unless accumulating, the sums start from 0 and finish as the result: NaN
// where the footprint is 0, and the mean's sum divided by the footprint.
struct ScatterImage {
    const double* data = nullptr;
    std::int64_t bands = 1;
    const double* weight = nullptr;    // rows x cols, or bands of them
    bool weight_per_band = false;
    const double* variance = nullptr;  // bands x rows x cols
    double* sum = nullptr;             // bands x output cells, each of these
    double* footprint = nullptr;
    double* var = nullptr;
    Conserve conserve = Conserve::flux;
    // Add to the sums as they stand (an image co-added after others).
    bool accumulate = false;
};

struct ScatterOptions {
    std::uint64_t n_threads = 1;
    // Called on the calling thread every few input rows; true stops the work
    // and makes the call throw Cancelled (see many.hpp).
    std::function<bool()> poll;
};

// Spreads the image over the output cells (both arrays written whole).
void scatter(const InputNodes& in, const OutputCells& cells, const ScatterImage& image,
             const ScatterOptions& options);

// The flux weights as compressed sparse columns: input pixel k (row-major)
// owns entries [indptr[k], indptr[k + 1]), the output cells it covers
// (f > 0) in its window's row-major order and f / a_k, the numbers scatter
// uses.
struct ScatterEntries {
    std::vector<std::int64_t> indptr;
    std::vector<std::int64_t> index;
    std::vector<double> value;
};
ScatterEntries scatter_entries(const InputNodes& in, const OutputCells& cells,
                               const ScatterOptions& options);

}  // namespace zolvin::region
