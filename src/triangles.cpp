#include "triangles.hpp"

#include <cmath>

#include "address.hpp"

namespace zolvin {

// ---- Overlap of triangles with unit pixels ----

// ---- Clipping triangle lists to a circle or a strut ----

namespace {

struct ClipPoint {
    double x, y;
};

// Circle clipping: every edge adds at most 2 points, so 6 for a triangle.
constexpr int kCirclePolygonRoom = 8;

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

// Oriented half-plane: inside where side_cpp >= 0.
struct HalfPlane {
    double qx, qy, alpha, beta;
};

inline double side_cpp(const HalfPlane& h, double px, double py) {
    return (py - h.qy) * h.beta - (px - h.qx) * h.alpha;
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
        written += fan_cpp(q, k, out + 6 * written, 4);
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
    if (!(side_cpp(h1, mx, my) >= 0)) {
        h1.alpha = -h1.alpha;
        h1.beta = -h1.beta;
    }
    HalfPlane h2{x2, y2, dir_y2, dir_x2};
    if (!(side_cpp(h2, mx, my) >= 0)) {
        h2.alpha = -h2.alpha;
        h2.beta = -h2.beta;
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
