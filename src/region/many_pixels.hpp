// Many regions over pixels of their own shape (each pixel the parallelogram
// of its centre and Jacobian), the pixels of an image in its row-major order.
//
// A region is evaluated only over the pixels whose parallelogram's box meets
// the region's box (its candidates): every other pixel is exactly 0 for it.
// The candidates are found through the pixels' index order, within a window
// of image rows and columns: from a tree of the boxes of tiles of pixels made
// once per set of pixels (exact for any arrangement of the pixels: scattered
// ones only make the tiles' boxes larger), or from windows the caller gives
// with the pixels evaluated over them alone (sky images whose pixels are made
// where the sources lie), each window reporting whether a pixel the region
// covers lies on its border, which the caller then widens.
//
// The bits rule: a region's sums run over the pixels with f > 0 in the
// image's row-major order into four partial sums by (image column mod 4),
// combined as (s0 + s1) + (s2 + s3). Pixels outside a window have f = 0 and
// add nothing, so the sums do not depend on the window, the tree, the
// thread count or the order of the regions.
#pragma once

#include <cstdint>
#include <vector>

#include "many.hpp"
#include "pixel_cover.hpp"
#include "plane_model.hpp"

namespace zolvin::region {

// The six arrays of pixels (centre and Jacobian), element k for pixel k.
struct PixelShapes {
    const double *x, *y, *dxdu, *dxdv, *dydu, *dydv;
    PixelShape at(std::int64_t k) const {
        return {x[k], y[k], dxdu[k], dxdv[k], dydu[k], dydv[k]};
    }
};

// Boxes of tiles of pixels and of groups of tiles, up to one box for all:
// the candidates of a plane box found in about log(pixels) steps.
class PixelIndex {
public:
    // Pixels of an image of rows x cols (row-major). `bad` becomes the first
    // pixel whose centre or Jacobian is not finite or whose Jacobian is
    // singular (-1: none).
    PixelIndex(const PixelShapes& px, std::int64_t rows, std::int64_t cols,
               std::uint64_t n_threads);

    std::int64_t rows() const { return rows_; }
    std::int64_t cols() const { return cols_; }
    std::int64_t bad() const { return bad_; }

    // The rows and columns of the tiles whose box meets the plane box
    // (rows 0: none).
    CellWindow window(double xlo, double ylo, double xhi, double yhi) const;

private:
    struct Box {
        double xlo, ylo, xhi, yhi;
        bool meets(double a, double b, double c, double d) const {
            return xlo <= c && xhi >= a && ylo <= d && yhi >= b;
        }
    };
    struct Level {
        std::int64_t ny, nx;
        std::vector<Box> box;
    };
    static constexpr std::int64_t kFan = 4;  // groups of kFan x kFan boxes
    std::int64_t rows_, cols_, tile_rows_, tile_cols_;
    std::int64_t bad_ = -1;
    std::vector<Level> levels_;  // tiles first
};

// Where each region is evaluated: the whole image's pixels and its index, or
// a window per region with its pixels laid out window after window, or a
// window per region whose pixels the plane model makes row by row.
struct PixelsTarget {
    PixelShapes px;
    std::int64_t rows, cols;                 // the image
    const PixelIndex* index = nullptr;       // whole-image pixels
    const std::int64_t* windows = nullptr;   // or per region: row0, col0, rows, cols
    const std::int64_t* offsets = nullptr;   // and its first pixel in px
    const PlaneModel* model = nullptr;       // or its pixels made here
};

// What pixels_sums reports per region through `border` (window targets).
constexpr std::uint8_t kOnBorder = 1;  // a covered pixel on an open border
constexpr std::uint8_t kOffPlane = 2;  // a window pixel the model cannot place

// Evaluates every region over its candidates and sums the image there (the
// Sums sink's inputs and outputs; area sums f times each pixel's own area).
// border, when given (window targets), gets per region kOnBorder when a
// pixel it covers lies on its window's border away from the image's edge,
// and kOffPlane (its sums NaN) when the model cannot place a pixel of its
// window. Throws Cancelled
// when options.poll asks it to stop.
void pixels_sums(const RegionBatch& batch, const PixelsTarget& target, const SumsInput& in,
                 const SumsOutput& out, std::uint8_t* border, const DriverOptions& options);

// Fraction of every pixel of an image (with its index) inside one region:
// out holds rows x cols values; pixels off the region's box get `outside`.
// Looks for the caller's stop (check_stop) as it goes and throws
// Interrupted when asked; the pixels reached by then are written.
void pixels_region(const Region& region, bool simple, const PixelsTarget& target,
                   double outside, double* out, std::uint64_t n_threads);

}  // namespace zolvin::region
