// Clipping of triangle lists to a circle or a strut: every piece written as a
// triangle of the list format, at most kCirclePieces or kStrutPieces per input
// triangle. Every expression below is evaluated in the order written, each
// operation rounded on its own: callers rely on the results bit for bit.
#include <cmath>
#include <cstdint>

#include "geometry.hpp"
#include "triangles.hpp"

namespace zolvin {

namespace {

struct ClipPoint {
    double x, y;
};

// Circle clipping: every edge adds at most 2 points, so 6 for a triangle,
// whose fan is the kCirclePieces triangles the caller sizes its output for.
constexpr int kCirclePolygonRoom = 8;
static_assert(kCirclePieces == 6 - 2);

// Strut cutting: a walk over W points appends at most floor(3W/2) points to
// each part (one point per point on that side, plus one per change of side,
// and there are at most twice as many changes as points on the smaller side).
// In exact geometry a part grows by at most one point per cut (3, 4, 5, 6, 7),
// but rounding on near-degenerate polygons, or NaN side values, can make more
// changes of side: 3, 4, 6, 9 and at most 13 for the last outer part. Room for
// 16 makes every walk safe without a check per point.
constexpr int kStrutPolygonRoom = 16;

// At most kStrutPieces pieces per triangle: what the caller sizes its output
// for. Should rounding produce more, the first kStrutPieces are kept and the
// rest skipped.

// Adds one event to a caller's int32 counter cell; INT32_MAX wraps to
// INT32_MIN (as the cell would on the hardware) instead of overflowing, so
// that differences of counter readings stay right modulo 2^32.
inline void count_event_cpp(std::int32_t* cell) {
    *cell = *cell == INT32_MAX ? INT32_MIN : *cell + 1;
}

// Triangles written per call can exceed the int32 result in principle
// (7 pieces per input triangle); the result then saturates, so that it still
// names a prefix of valid output.
inline std::int32_t written_count_cpp(std::int64_t written) {
    return written > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(written);
}

inline void copy_triangle_cpp(const double* tri, double* out) {
    for (int i = 0; i < kTriangleDoubles; ++i) out[i] = tri[i];
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
        double* o = out + kTriangleDoubles * written;
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

std::int32_t clip_triangles_to_circle(TriangleList triangles, const Circle& circle,
                                      bool keep_inside, double margin, double* out,
                                      ClipCounters counters) {
    const std::int32_t n_triangles = triangles.n;
    if (n_triangles <= 0) return 0;
    const double cx = circle.cx, cy = circle.cy;
    const double r = circle.radius;
    const double lo = r - margin;
    const double hi = r + margin;
    const bool inside = keep_inside;

    std::int64_t written = 0;
    for (std::int64_t t = 0; t < n_triangles; ++t) {
        const double* tri = triangles.at(t);
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
            copy_triangle_cpp(tri, out + kTriangleDoubles * written);
            ++written;
            continue;
        }
        if (drop) {
            count_event_cpp(counters.dropped);
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
            count_event_cpp(counters.dropped);
            continue;
        }
        count_event_cpp(counters.clipped);
        written += fan_cpp(q, k, out + kTriangleDoubles * written, kCirclePieces);
    }
    return written_count_cpp(written);
}

std::int32_t clip_triangles_to_strut(TriangleList triangles, const CappedStrut& strut,
                                     double margin, double* out, ClipCounters counters) {
    const Line& e1 = strut.edge1;
    const Line& e2 = strut.edge2;
    const double cx = strut.cx, cy = strut.cy;
    // Edge lines oriented so that the midpoint of their points, and with it
    // the strut, lies on the inner (non-negative) side.
    const double mx = (e1.x + e2.x) * 0.5;
    const double my = (e1.y + e2.y) * 0.5;
    HalfPlane h1{e1.x, e1.y, e1.dir_y, e1.dir_x};
    const double m1 = side_cpp(h1, mx, my);
    if (!(m1 >= 0)) {
        h1.dir_y = -h1.dir_y;
        h1.dir_x = -h1.dir_x;
    }
    HalfPlane h2{e2.x, e2.y, e2.dir_y, e2.dir_x};
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
    const double hx = (e1.dir_x + e2.dir_x) * 0.5;
    const double hy = (e1.dir_y + e2.dir_y) * 0.5;
    const double norm = std::sqrt(hx * hx + hy * hy);
    const double ux = hx / norm;
    const double uy = hy / norm;
    const double g = 0.5 * strut.length;

    const HalfPlane planes[4] = {
        h1,
        h2,
        {cx - ux * g, cy - uy * g, -ux, uy},  // cap at -G: side is G + a(p)
        {cx + ux * g, cy + uy * g, ux, -uy},  // cap at +G: side is G - a(p)
    };

    const std::int32_t n_triangles = triangles.n;
    if (n_triangles <= 0) return 0;
    if (empty) {
        for (std::int64_t t = 0; t < n_triangles; ++t) {
            copy_triangle_cpp(triangles.at(t), out + kTriangleDoubles * t);
        }
        return n_triangles;
    }
    const double neg_margin = -margin;

    std::int64_t written = 0;
    for (std::int64_t t = 0; t < n_triangles; ++t) {
        const double* tri = triangles.at(t);

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
            copy_triangle_cpp(tri, out + kTriangleDoubles * written);
            ++written;
            continue;
        }
        // Wholly inside all four lines: inside the strut.
        bool drop = true;
        for (int i = 0; i < 3; ++i)
            drop = drop && s1[i] >= margin && s2[i] >= margin && below[i] >= margin &&
                   above[i] >= margin;
        if (drop) {
            count_event_cpp(counters.dropped);
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
        double* pieces = out + kTriangleDoubles * written;
        int n_pieces = 0;
        for (const HalfPlane& h : planes) {
            int wo, wb;
            split_cpp(h, a, wa, outer, wo, b, wb);
            if (wo >= 3)
                n_pieces += fan_cpp(outer, wo, pieces + kTriangleDoubles * n_pieces,
                                    kStrutPieces - n_pieces);
            if (wb <= 2) break;
            ClipPoint* swap = a;
            a = b;
            b = swap;
            wa = wb;
        }
        if (n_pieces > 0) {
            count_event_cpp(counters.clipped);
            written += n_pieces;
        } else {
            count_event_cpp(counters.dropped);
        }
    }
    return written_count_cpp(written);
}

}  // namespace zolvin
