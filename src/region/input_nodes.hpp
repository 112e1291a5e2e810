// The corners of a resampled image's pixels, as the scatter kernel reads
// them: shared by its interface (scatter.hpp) and its walk over the input
// (scatter_walk.hpp).
#pragma once

#include <cstdint>

#include "cell_frame.hpp"

namespace zolvin::region {

// The corners of an input image's pixels (rows x cols of them) in the output
// grid's cell frame. Node (R, C), 0 <= R <= rows, 0 <= C <= cols, is the
// corner pixels (R - 1, C - 1) to (R, C) share, and pixel (r, c) is the
// quadrilateral node(r, c), node(r, c + 1), node(r + 1, c + 1),
// node(r + 1, c).
struct InputNodes {
    std::int64_t rows = 0, cols = 0;
    // A grid: node (R, C) = t + M (col0 + C - 1/2, row0 + R - 1/2), each
    // coordinate evaluated left to right.
    bool affine = true;
    double tu = 0, tv = 0, m00 = 1, m01 = 0, m10 = 0, m11 = 1;
    std::int64_t row0 = 0, col0 = 0;
    // A mesh: (rows + 1) x (cols + 1) nodes, row-major.
    const double* u = nullptr;
    const double* v = nullptr;

    CellPoint node(std::int64_t R, std::int64_t C) const {
        if (!affine) {
            const std::int64_t k = R * (cols + 1) + C;
            return {u[k], v[k]};
        }
        const double c = static_cast<double>(col0 + C) - 0.5;
        const double r = static_cast<double>(row0 + R) - 0.5;
        return {tu + m00 * c + m01 * r, tv + m10 * c + m11 * r};
    }
};

}  // namespace zolvin::region
