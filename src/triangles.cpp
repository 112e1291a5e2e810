#include "triangles.hpp"

#include <algorithm>
#include <cmath>

#include "address.hpp"

namespace zolvin {

// ---- Overlap of triangles with unit pixels ----

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

double clip_area(std::uint64_t tri_addr, std::int32_t ix, std::int32_t iy) {
    const double* src = array_at<const double>(tri_addr);
    double tri[6];
    for (int i = 0; i < 6; ++i) tri[i] = src[i];
    return clip_area_cpp(tri, ix, iy);
}

void accumulate_triangles(std::uint64_t triangles, std::uint64_t values, std::uint64_t weights,
                          std::uint64_t grid, std::int32_t n_triangles, std::int32_t grid_size) {
    accumulate_triangles_rows(triangles, values, weights, grid, n_triangles, grid_size, 0,
                              grid_size);
}

void accumulate_triangles_rows(std::uint64_t triangles, std::uint64_t values,
                               std::uint64_t weights, std::uint64_t band,
                               std::int32_t n_triangles, std::int32_t grid_size,
                               std::int32_t row_begin, std::int32_t row_end) {
    // An empty or negative grid has no pixel to write.
    if (n_triangles <= 0 || grid_size <= 0 || row_end <= row_begin) return;
    const double* tris = array_at<const double>(triangles);
    const double* vals = array_at<const double>(values);
    const double* wts = array_at<const double>(weights);
    double* g = array_at<double>(band);
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
        boxes[t] = bounding_pixels(tris + 6 * t, lim);
    }
    for (std::int64_t t = 0; t < n_triangles; ++t) {
        if (t + kAhead < n_triangles) {
            PixelBox& ahead = boxes[(t + kAhead) % kRing];
            ahead = bounding_pixels(tris + 6 * (t + kAhead), lim);
            PixelBox rows = ahead;
            rows.ylo = std::max(rows.ylo, band_lo);
            rows.yhi = std::min(rows.yhi, band_hi);
            if (rows.ylo <= rows.yhi) prefetch_rows(rows, g, n, half, shift);
        }
        const double w = wts[t];
        if (w <= 0) continue;  // NaN is not skipped
        const double factor = vals[t] / w;
        const double* tri = tris + 6 * t;
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

// ---- Clipping triangle lists to a circle or a strut ----

namespace {

struct ClipPoint {
    double x, y;
};

// Circle clipping: every edge adds at most 2 points, so 6 for a triangle.
constexpr int kCirclePolygonRoom = 8;

// At most 4 pieces per triangle (the fan of 6 points): what the caller sizes
// its output for.
constexpr int kCirclePieceRoom = 4;

// Strut cutting: a walk over W points appends at most floor(3W/2) points to
// each part (one point per point on that side, plus one per change of side,
// and there are at most twice as many changes as points on the smaller side).
// In exact geometry a part grows by at most one point per cut (3, 4, 5, 6, 7),
// but rounding on near-degenerate polygons, or NaN side values, can make more
// changes of side: 3, 4, 6, 9 and at most 13 for the last outer part. Room for
// 16 makes every walk safe without a check per point.
constexpr int kStrutPolygonRoom = 16;

// At most 7 pieces per triangle: what the caller sizes its output for. Should
// rounding produce more, the first 7 are kept and the rest skipped.
constexpr int kStrutPieceRoom = 7;

// Adds one event to a caller's int32 counter cell; INT32_MAX wraps to
// INT32_MIN (as the cell would on the hardware) instead of overflowing, so
// that differences of counter readings stay right modulo 2^32.
inline void count_event_cpp(std::uint64_t counter) {
    std::int32_t* cell = array_at<std::int32_t>(counter);
    *cell = *cell == INT32_MAX ? INT32_MIN : *cell + 1;
}

// Triangles written per call can exceed the int32 result in principle
// (7 pieces per input triangle); the result then saturates, so that it still
// names a prefix of valid output.
inline std::int32_t written_count_cpp(std::int64_t written) {
    return written > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(written);
}

inline void copy_triangle_cpp(const double* tri, double* out) {
    for (int i = 0; i < 6; ++i) out[i] = tri[i];
}

// Fan of the convex polygon q[0..k) from its first point, skipping triangles
// of (doubled) area below 2e-30; writes at most `room` triangles and returns
// how many it wrote.
inline int fan_cpp(const ClipPoint* q, int k, double* out, int room) {
    int written = 0;
    for (int i = 1; i + 1 < k && written < room; ++i) {
        const double cross = (q[i].x - q[0].x) * (q[i + 1].y - q[0].y) -
                             (q[i].y - q[0].y) * (q[i + 1].x - q[0].x);
        if (std::fabs(cross) < 2e-30) continue;
        double* o = out + 6 * written;
        o[0] = q[0].x;
        o[1] = q[0].y;
        o[2] = q[i].x;
        o[3] = q[i].y;
        o[4] = q[i + 1].x;
        o[5] = q[i + 1].y;
        ++written;
    }
    return written;
}

// One edge v -> w of the triangle against the circle: appends to q the kept
// start point and the crossings where the edge enters or leaves the kept side.
inline void circle_edge_cpp(ClipPoint v, ClipPoint w, bool kv, bool kw,
                            double cx, double cy, double r, ClipPoint* q, int& k) {
    const double bx = w.x - v.x;
    const double by = w.y - v.y;
    const double a = bx * bx + by * by;
    if (a < 1e-30) {  // degenerate edge
        if (kv) q[k++] = v;
        return;
    }
    const double fx = v.x - cx;
    const double fy = v.y - cy;
    const double e = 2.0 * (bx * fx + by * fy);
    const double d = e * e - (fx * fx + fy * fy - r * r) * (4.0 * a);
    if (d < 0) {  // the line misses the circle
        if (kv) q[k++] = v;
        return;
    }
    const double s = std::sqrt(d > 0 ? d : 0.0);
    const double t1 = (-e - s) / (a + a);
    const double t2 = (s - e) / (a + a);

    // Crossings within the edge, in increasing t; roots closer than 1e-12
    // count as one (a tangent touch). A NaN t1 gives no crossing.
    ClipPoint h[2];
    int nh = 0;
    if (t1 >= 0 && t1 <= 1) {
        h[nh++] = ClipPoint{v.x + t1 * bx, v.y + t1 * by};
        if (t2 > t1 + 1e-12 && t2 <= 1) h[nh++] = ClipPoint{v.x + t2 * bx, v.y + t2 * by};
    } else if (t1 < 0) {
        if (t2 > t1 + 1e-12 && t2 >= 0 && t2 <= 1)
            h[nh++] = ClipPoint{v.x + t2 * bx, v.y + t2 * by};
    }

    if (nh == 0) {
        if (kv) q[k++] = v;
    } else if (kv && kw) {
        q[k++] = v;  // an edge kept at both ends is never cut
    } else if (kv) {
        q[k++] = v;
        q[k++] = h[nh - 1];  // leaves the kept side
    } else if (kw) {
        q[k++] = h[0];  // enters the kept side
    } else if (nh == 2) {
        q[k++] = h[0];
        q[k++] = h[1];
    }
}

// Oriented half-plane through (qx, qy) with direction (dir_x, dir_y), passed
// y first: inside where side_cpp >= 0.
struct HalfPlane {
    double qx, qy, dir_y, dir_x;
};

inline double side_cpp(const HalfPlane& h, double px, double py) {
    return (py - h.qy) * h.dir_x - (px - h.qx) * h.dir_y;
}

// Bound on the rounding of side_cpp(h, px, py) for a point rounded once on
// its way in (the strut's midpoint): four roundings in the side value and one
// in each coordinate, with room to spare. A computed value beyond it has the
// sign of the exact one.
inline double side_rounding_cpp(const HalfPlane& h, double px, double py) {
    const double scale = std::fabs(h.dir_x) * (std::fabs(py) + std::fabs(h.qy)) +
                         std::fabs(h.dir_y) * (std::fabs(px) + std::fabs(h.qx));
    return 0x1p-50 * scale + 0x1p-1060;
}

// Splits polygon a[0..wa) by the half-plane into its outer part (side <= 0)
// and inner part (side >= 0); points on the line go to both.
inline void split_cpp(const HalfPlane& h, const ClipPoint* a, int wa,
                      ClipPoint* o, int& wo, ClipPoint* b, int& wb) {
    double f[kStrutPolygonRoom];
    for (int l = 0; l < wa; ++l) f[l] = side_cpp(h, a[l].x, a[l].y);
    wo = 0;
    wb = 0;
    for (int l = 0; l < wa; ++l) {
        const int n = l + 1 == wa ? 0 : l + 1;
        const ClipPoint cur = a[l], next = a[n];
        const double fc = f[l], fn = f[n];
        const bool out_c = fc <= 0, out_n = fn <= 0;
        const bool in_c = fc >= 0, in_n = fn >= 0;
        ClipPoint cross{0.0, 0.0};
        if (out_c != out_n || in_c != in_n) {
            const double t = fc / (fc - fn);
            cross = ClipPoint{(next.x - cur.x) * t + cur.x, (next.y - cur.y) * t + cur.y};
        }
        if (out_c) o[wo++] = cur;
        if (out_c != out_n) o[wo++] = cross;
        if (in_c) b[wb++] = cur;
        if (in_c != in_n) b[wb++] = cross;
    }
}

}  // namespace

std::int32_t clip_triangles_to_circle(std::uint64_t triangles, std::int32_t n_triangles,
                                      double cx, double cy, double radius,
                                      std::int32_t keep_inside, double margin,
                                      std::uint64_t out_triangles,
                                      std::uint64_t dropped_counter,
                                      std::uint64_t clipped_counter) {
    if (n_triangles <= 0) return 0;
    const double* in = array_at<const double>(triangles);
    double* out = array_at<double>(out_triangles);
    const double r = radius;
    const double lo = r - margin;
    const double hi = r + margin;
    const bool inside = keep_inside != 0;

    std::int64_t written = 0;
    for (std::int64_t t = 0; t < n_triangles; ++t) {
        const double* tri = in + 6 * t;
        double d[3];
        for (int i = 0; i < 3; ++i) {
            const double dx = tri[2 * i] - cx;
            const double dy = tri[2 * i + 1] - cy;
            d[i] = std::sqrt(dx * dx + dy * dy);
        }

        // Copy test first, then drop test; both on the vertices only.
        bool copy, drop;
        if (inside) {
            copy = d[0] <= hi && d[1] <= hi && d[2] <= hi;
            drop = d[0] >= lo && d[1] >= lo && d[2] >= lo;
        } else {
            copy = d[0] >= lo && d[1] >= lo && d[2] >= lo;
            drop = d[0] <= hi && d[1] <= hi && d[2] <= hi;
        }
        if (copy) {
            copy_triangle_cpp(tri, out + 6 * written);
            ++written;
            continue;
        }
        if (drop) {
            count_event_cpp(dropped_counter);
            continue;
        }

        // A vertex exactly on the circle is kept in both modes.
        bool kept[3];
        for (int i = 0; i < 3; ++i) kept[i] = inside ? d[i] <= r : d[i] >= r;
        const ClipPoint p[3] = {{tri[0], tri[1]}, {tri[2], tri[3]}, {tri[4], tri[5]}};

        ClipPoint q[kCirclePolygonRoom];
        int k = 0;
        for (int i = 0; i < 3; ++i) {
            const int j = i == 2 ? 0 : i + 1;
            circle_edge_cpp(p[i], p[j], kept[i], kept[j], cx, cy, r, q, k);
        }
        if (k < 3) {
            count_event_cpp(dropped_counter);
            continue;
        }
        count_event_cpp(clipped_counter);
        written += fan_cpp(q, k, out + 6 * written, kCirclePieceRoom);
    }
    return written_count_cpp(written);
}

std::int32_t clip_triangles_to_strut(std::uint64_t triangles, std::int32_t n_triangles,
                                     double x1, double y1, double dir_y1, double dir_x1,
                                     double x2, double y2, double dir_y2, double dir_x2,
                                     double cx, double cy, double length, double margin,
                                     std::uint64_t out_triangles,
                                     std::uint64_t dropped_counter,
                                     std::uint64_t clipped_counter) {
    // Edge lines oriented so that the midpoint of their points, and with it
    // the strut, lies on the inner (non-negative) side.
    const double mx = (x1 + x2) * 0.5;
    const double my = (y1 + y2) * 0.5;
    HalfPlane h1{x1, y1, dir_y1, dir_x1};
    const double m1 = side_cpp(h1, mx, my);
    if (!(m1 >= 0)) {
        h1.dir_y = -h1.dir_y;
        h1.dir_x = -h1.dir_x;
    }
    HalfPlane h2{x2, y2, dir_y2, dir_x2};
    const double m2 = side_cpp(h2, mx, my);
    if (!(m2 >= 0)) {
        h2.dir_y = -h2.dir_y;
        h2.dir_x = -h2.dir_x;
    }

    // The midpoint's side tells nothing when it lies within rounding of an
    // edge line: then that side was chosen by rounding noise (or, at exactly
    // zero, by the direction as passed), and both half-planes may face the
    // same way, so that their common part is a half-plane rather than the band
    // between the lines and the cuts remove all of one side within the caps.
    // Within rounding of both lines, the two points lie on each other's line:
    // the strut has no width there and covers nothing. Within rounding of one
    // only, that line is turned to face the other, the orientation that puts
    // a band between them.
    const bool unsure1 = std::fabs(m1) <= side_rounding_cpp(h1, mx, my);
    const bool unsure2 = std::fabs(m2) <= side_rounding_cpp(h2, mx, my);
    const bool empty = unsure1 && unsure2;
    const bool same_way = h1.dir_x * h2.dir_x + h1.dir_y * h2.dir_y > 0;
    if (!empty && same_way && (unsure1 || unsure2)) {
        HalfPlane& h = unsure1 ? h1 : h2;
        h.dir_y = -h.dir_y;
        h.dir_x = -h.dir_x;
    }

    // Axis from the directions as passed: parallel edges given with the same
    // direction average to that direction.
    const double hx = (dir_x1 + dir_x2) * 0.5;
    const double hy = (dir_y1 + dir_y2) * 0.5;
    const double norm = std::sqrt(hx * hx + hy * hy);
    const double ux = hx / norm;
    const double uy = hy / norm;
    const double g = 0.5 * length;

    const HalfPlane planes[4] = {
        h1,
        h2,
        {cx - ux * g, cy - uy * g, -ux, uy},  // cap at -G: side is G + a(p)
        {cx + ux * g, cy + uy * g, ux, -uy},  // cap at +G: side is G - a(p)
    };

    if (n_triangles <= 0) return 0;
    const double* in = array_at<const double>(triangles);
    double* out = array_at<double>(out_triangles);
    if (empty) {
        for (std::int64_t t = 0; t < n_triangles; ++t) copy_triangle_cpp(in + 6 * t, out + 6 * t);
        return n_triangles;
    }
    const double neg_margin = -margin;

    std::int64_t written = 0;
    for (std::int64_t t = 0; t < n_triangles; ++t) {
        const double* tri = in + 6 * t;

        // Twelve test values: both edge sides and both cap sides per vertex.
        double s1[3], s2[3], below[3], above[3];
        for (int i = 0; i < 3; ++i) {
            const double px = tri[2 * i], py = tri[2 * i + 1];
            s1[i] = side_cpp(h1, px, py);
            s2[i] = side_cpp(h2, px, py);
            const double a = (px - cx) * ux + (py - cy) * uy;
            below[i] = g + a;
            above[i] = g - a;
        }

        // Wholly beyond one boundary line: outside the strut.
        const bool copy =
            (s1[0] <= neg_margin && s1[1] <= neg_margin && s1[2] <= neg_margin) ||
            (s2[0] <= neg_margin && s2[1] <= neg_margin && s2[2] <= neg_margin) ||
            (below[0] <= neg_margin && below[1] <= neg_margin && below[2] <= neg_margin) ||
            (above[0] <= neg_margin && above[1] <= neg_margin && above[2] <= neg_margin);
        if (copy) {
            copy_triangle_cpp(tri, out + 6 * written);
            ++written;
            continue;
        }
        // Wholly inside all four lines: inside the strut.
        bool drop = true;
        for (int i = 0; i < 3; ++i)
            drop = drop && s1[i] >= margin && s2[i] >= margin && below[i] >= margin &&
                   above[i] >= margin;
        if (drop) {
            count_event_cpp(dropped_counter);
            continue;
        }

        // Cut by H1..H4 in turn; the outer part of each cut is a piece, the
        // inner part goes on to the next cut, and what is left is the strut's.
        ClipPoint buf_a[kStrutPolygonRoom], buf_b[kStrutPolygonRoom], outer[kStrutPolygonRoom];
        ClipPoint* a = buf_a;
        ClipPoint* b = buf_b;
        a[0] = ClipPoint{tri[0], tri[1]};
        a[1] = ClipPoint{tri[2], tri[3]};
        a[2] = ClipPoint{tri[4], tri[5]};
        int wa = 3;
        double* pieces = out + 6 * written;
        int n_pieces = 0;
        for (const HalfPlane& h : planes) {
            int wo, wb;
            split_cpp(h, a, wa, outer, wo, b, wb);
            if (wo >= 3)
                n_pieces += fan_cpp(outer, wo, pieces + 6 * n_pieces, kStrutPieceRoom - n_pieces);
            if (wb <= 2) break;
            ClipPoint* swap = a;
            a = b;
            b = swap;
            wa = wb;
        }
        if (n_pieces > 0) {
            count_event_cpp(clipped_counter);
            written += n_pieces;
        } else {
            count_event_cpp(dropped_counter);
        }
    }
    return written_count_cpp(written);
}

}  // namespace zolvin
