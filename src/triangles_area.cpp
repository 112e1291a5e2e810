// Exact areas of triangles inside unit pixels, and their accumulation onto a
// grid. Every expression below is evaluated in the order written, each
// operation rounded on its own: callers rely on the results bit for bit.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "geometry.hpp"
#include "triangles.hpp"

namespace zolvin {

namespace {

// Each pass at most doubles the vertex count (every edge adds at most two), so
// four passes over a triangle never need more than 3 * 2^4 = 48 vertices. With
// exact arithmetic a convex polygon gains at most one vertex per pass and 7
// would do, but rounded intersection points break convexity (measured from a
// far vertex they can land whole pixels off the line), and 8 has been seen.
constexpr int kMaxVertices = 48;

// One pass with the axis and the kept side fixed at compile time: this is the
// innermost loop of accumulate_triangles.
template <int Axis, int Side>
int clip_pass(const double* poly, int n_in, double* out, double edge_pos) {
    constexpr int a = Axis == 0 ? 0 : 1;
    // Ordered comparisons: a NaN coordinate is outside on either side.
    const auto inside = [edge_pos](double v) { return Side == 1 ? v >= edge_pos : v <= edge_pos; };
    int k = 0;
    // The closing edge, from the last vertex to vertex 0, comes first.
    const double* prev = poly + 2 * (n_in - 1);
    bool prev_in = inside(prev[a]);
    for (int j = 0; j < n_in; ++j) {
        const double* cur = poly + 2 * j;
        const bool cur_in = inside(cur[a]);
        if (cur_in != prev_in) {
            // Measured from the edge's start whichever end is inside, so that
            // every caller gets the same rounding.
            const double t = (edge_pos - prev[a]) / (cur[a] - prev[a]);
            out[2 * k] = (cur[0] - prev[0]) * t + prev[0];
            out[2 * k + 1] = (cur[1] - prev[1]) * t + prev[1];
            ++k;
        }
        if (cur_in) {
            out[2 * k] = cur[0];
            out[2 * k + 1] = cur[1];
            ++k;
        }
        prev = cur;
        prev_in = cur_in;
    }
    return k;
}

// Passes 1 and 2: the triangle cut to the column ix - 0.5 <= x <= ix + 0.5,
// into col (room for 12 vertices). Returns 0 where fewer than 3 vertices remain.
int clip_column(const double* tri, double fx, double* col) {
    double b[2 * 6];
    const int nb = clip_pass<0, 1>(tri, 3, b, fx - 0.5);
    if (nb < 3) return 0;
    const int na = clip_pass<0, -1>(b, nb, col, fx + 0.5);
    return na < 3 ? 0 : na;
}

// Passes 3 and 4 on the column polygon (n <= 12 vertices), then the shoelace.
double clip_row_area(const double* col, int n, double fy) {
    double b[2 * 24];
    double a[2 * kMaxVertices];
    const int nb = clip_pass<1, 1>(col, n, b, fy - 0.5);
    if (nb < 3) return 0.0;
    const int na = clip_pass<1, -1>(b, nb, a, fy + 0.5);
    if (na < 3) return 0.0;
    double s = 0.0;
    s = s + (a[2 * (na - 1)] * a[1] - a[2 * (na - 1) + 1] * a[0]);
    for (int k = 1; k < na; ++k) {
        s = s + (a[2 * (k - 1)] * a[2 * k + 1] - a[2 * (k - 1) + 1] * a[2 * k]);
    }
    return std::fabs(s) * 0.5;
}

// Pixel index ranges of a triangle's bounding box, clamped to -lim ... lim.
struct PixelBox {
    std::int64_t xlo, xhi, ylo, yhi;
    bool empty;
};

// floor(v + 0.5) is the pixel that holds v. The clamp is done while still
// floating point, so that far and infinite coordinates never reach an integer
// conversion. A NaN coordinate would spoil every overlap: no pixels then.
PixelBox bounding_pixels(const double* tri, double lim) {
    const double x0 = tri[0], y0 = tri[1], x1 = tri[2], y1 = tri[3], x2 = tri[4], y2 = tri[5];
    if (std::isnan(x0) || std::isnan(y0) || std::isnan(x1) || std::isnan(y1) ||
        std::isnan(x2) || std::isnan(y2)) {
        return {0, 0, 0, 0, true};
    }
    const double xlo = std::max(std::floor(std::min(std::min(x0, x1), x2) + 0.5), -lim);
    const double xhi = std::min(std::floor(std::max(std::max(x0, x1), x2) + 0.5), lim);
    const double ylo = std::max(std::floor(std::min(std::min(y0, y1), y2) + 0.5), -lim);
    const double yhi = std::min(std::floor(std::max(std::max(y0, y1), y2) + 0.5), lim);
    if (yhi < ylo || xhi < xlo) return {0, 0, 0, 0, true};  // wholly beside the grid
    return {static_cast<std::int64_t>(xlo), static_cast<std::int64_t>(xhi),
            static_cast<std::int64_t>(ylo), static_cast<std::int64_t>(yhi), false};
}

// Asks for the grid rows of a box ahead of its turn: the grid is far larger
// than the cache and the triangles may fall anywhere on it.
// Pixel row iy is stored row iy + shift of g.
inline void prefetch_rows(const PixelBox& box, double* g, std::int64_t n, std::int64_t half,
                          std::int64_t shift) {
#if defined(__GNUC__)
    if (box.empty) return;
    const std::int64_t last = std::min(box.yhi, box.ylo + 7);
    for (std::int64_t iy = box.ylo; iy <= last; ++iy) {
        double* row = g + (iy + shift) * n + half;
        __builtin_prefetch(row + box.xlo, 1);
        __builtin_prefetch(row + box.xhi, 1);
    }
#else
    (void)box, (void)g, (void)n, (void)half, (void)shift;
#endif
}

}  // namespace

int sh_clip_edge_cpp(const double* poly, std::int32_t n_in, double* out,
                     std::int32_t axis, double edge_pos, std::int32_t side) {
    if (axis == 0) {
        return side == 1 ? clip_pass<0, 1>(poly, n_in, out, edge_pos)
                         : clip_pass<0, -1>(poly, n_in, out, edge_pos);
    }
    return side == 1 ? clip_pass<1, 1>(poly, n_in, out, edge_pos)
                     : clip_pass<1, -1>(poly, n_in, out, edge_pos);
}

double clip_area_cpp(const double* tri, std::int32_t ix, std::int32_t iy) {
    double col[2 * 12];
    const int n = clip_column(tri, static_cast<double>(ix), col);
    if (n == 0) return 0.0;
    return clip_row_area(col, n, static_cast<double>(iy));
}

double clip_area(const double* tri, std::int32_t ix, std::int32_t iy) {
    double copy[kTriangleDoubles];
    for (int i = 0; i < kTriangleDoubles; ++i) copy[i] = tri[i];
    return clip_area_cpp(copy, ix, iy);
}

void accumulate_triangles(TriangleList triangles, const double* values, const double* weights,
                          double* grid, std::int32_t grid_size) {
    accumulate_triangles_rows(triangles, values, weights, grid, grid_size, 0, grid_size);
}

void accumulate_triangles_rows(TriangleList triangles, const double* values,
                               const double* weights, double* band, std::int32_t grid_size,
                               std::int32_t row_begin, std::int32_t row_end) {
    const std::int32_t n_triangles = triangles.n;
    // An empty or negative grid has no pixel to write.
    if (n_triangles <= 0 || grid_size <= 0 || row_end <= row_begin) return;
    const double* vals = values;
    const double* wts = weights;
    double* g = band;
    // 64-bit offsets: no overflow however large the counts.
    const std::int64_t n = grid_size;
    const std::int64_t half = (n - 1) / 2;
    // Pixel row iy is grid row iy + half, stored row iy + shift of the band.
    const std::int64_t shift = half - row_begin;
    const double lim = static_cast<double>(half);
    // Pixel rows iy of the band: grid rows row_begin .. row_end - 1.
    const std::int64_t band_lo = std::int64_t{row_begin} - half;
    const std::int64_t band_hi = std::int64_t{row_end} - 1 - half;

    // Boxes are found kAhead triangles early, to prefetch their rows.
    constexpr std::int64_t kAhead = 8, kRing = 16;
    PixelBox boxes[kRing];
    for (std::int64_t t = 0; t < kAhead && t < n_triangles; ++t) {
        boxes[t] = bounding_pixels(triangles.at(t), lim);
    }
    for (std::int64_t t = 0; t < n_triangles; ++t) {
        if (t + kAhead < n_triangles) {
            PixelBox& ahead = boxes[(t + kAhead) % kRing];
            ahead = bounding_pixels(triangles.at(t + kAhead), lim);
            PixelBox rows = ahead;
            rows.ylo = std::max(rows.ylo, band_lo);
            rows.yhi = std::min(rows.yhi, band_hi);
            if (rows.ylo <= rows.yhi) prefetch_rows(rows, g, n, half, shift);
        }
        const double w = wts[t];
        if (w <= 0) continue;  // NaN is not skipped
        const double factor = vals[t] / w;
        const double* tri = triangles.at(t);
        PixelBox box = boxes[t % kRing];
        box.ylo = std::max(box.ylo, band_lo);
        box.yhi = std::min(box.yhi, band_hi);
        if (box.empty || box.yhi < box.ylo) continue;

        // Column by column: passes 1 and 2 depend on ix alone, so they run once
        // per column. Each pixel is added to at most once per triangle, so the
        // order of the pixels within a triangle does not change any sum.
        for (std::int64_t ix = box.xlo; ix <= box.xhi; ++ix) {
            double col[2 * 12];
            const int m = clip_column(tri, static_cast<double>(ix), col);
            if (m == 0) continue;
            double cy_lo = col[1], cy_hi = col[1];
            for (int k = 1; k < m; ++k) {
                cy_lo = std::min(cy_lo, col[2 * k + 1]);
                cy_hi = std::max(cy_hi, col[2 * k + 1]);
            }
            double* column = g + (ix + half);
            for (std::int64_t iy = box.ylo; iy <= box.yhi; ++iy) {
                const double fy = static_cast<double>(iy);
                // Rows that no vertex reaches: pass 3 or pass 4 would keep
                // nothing. Same comparisons as the passes, so the same verdict.
                if (cy_hi < fy - 0.5 || cy_lo > fy + 0.5) continue;
                const double a = clip_row_area(col, m, fy);
                if (a > 0) column[(iy + shift) * n] += a * factor;
            }
        }
    }
}

}  // namespace zolvin
