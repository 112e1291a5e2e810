// The even-odd mask at every grid point, exactly: near a crossing the side
// of a point is the sign of an orientation determinant, evaluated exactly.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "exact_sum.hpp"
#include "polygon.hpp"
#include "polygon_rows.hpp"

namespace zolvin {

namespace {

using namespace detail;

// x + y == a * b exactly, by splitting each factor into two 26-bit halves
// (no fused multiply-add is needed; none is generated).
inline void two_product(double a, double b, double& x, double& y) {
    constexpr double splitter = 134217729.0;  // 2^27 + 1
    const double ca = splitter * a, cb = splitter * b;
    const double a_hi = ca - (ca - a), b_hi = cb - (cb - b);
    const double a_lo = a - a_hi, b_lo = b - b_hi;
    x = a * b;
    const double err = ((x - a_hi * b_hi) - a_lo * b_hi) - a_hi * b_lo;
    y = a_lo * b_lo - err;
}

// Sign of (a - c) x (b - c): positive when a, b, c turn counter-clockwise.
// The rounded determinant decides when it is clear of its error bound (the
// bound covers the rounded differences too); otherwise the six products
// of the expanded determinant are summed exactly.
int orientation(double a_x, double a_y, double b_x, double b_y, double c_x, double c_y) {
    const double left = (a_x - c_x) * (b_y - c_y);
    const double right = (a_y - c_y) * (b_x - c_x);
    const double det = left - right;
    const double bound = (3.0 + 16.0 * 0x1p-53) * 0x1p-53 * (std::fabs(left) + std::fabs(right));
    if (det > bound) return 1;
    if (-det > bound) return -1;
    double terms[12];
    two_product(a_x, b_y, terms[0], terms[1]);
    two_product(-a_x, c_y, terms[2], terms[3]);
    two_product(-c_x, b_y, terms[4], terms[5]);
    two_product(-a_y, b_x, terms[6], terms[7]);
    two_product(a_y, c_x, terms[8], terms[9]);
    two_product(c_y, b_x, terms[10], terms[11]);
    return exact::sum_sign(terms);
}

// One crossing of a row with an edge from its lower end to its upper end.
struct PointCrossing {
    double x;             // rounded crossing abscissa
    double err;           // bound on its distance from the exact crossing
    std::uint64_t lower;  // vertex indices of the edge's ends
    std::uint64_t upper;
    std::uint64_t flip;   // first column of the ascending run at or past x
};

// Whether row y meets the edge P -> Q: y in [min(P.y, Q.y), max(P.y, Q.y)).
// A vertex on the row counts for the edges it is the bottom of; a horizontal
// edge never counts. NaN never counts.
inline bool edge_spans_row(double p_y, double q_y, double y) {
    const double lo = q_y < p_y ? q_y : p_y;
    const double hi = q_y < p_y ? p_y : q_y;
    return (y >= lo) & (y < hi);
}

void add_point_crossing(std::vector<PointCrossing>& list, const double* px, const double* py,
                        std::uint64_t i, std::uint64_t j, double y) {
    // From the lower end, so the crossing does not depend on the edge's
    // direction and a vertex on the row is its own crossing, exactly.
    const std::uint64_t lower = py[i] < py[j] ? i : j;
    const std::uint64_t upper = lower == i ? j : i;
    const double a_x = px[lower], a_y = py[lower];
    const double t = ((y - a_y) * (px[upper] - a_x)) / (py[upper] - a_y);
    const double x = t + a_x;
    // Five roundings in t and one in x put x within 6 * 2^-53 (|t| + |x|) of
    // the exact crossing; the bound is eight times that, wide enough for the
    // window's own rounding, and its absolute term covers a t that
    // underflows.
    const double err = 0x1p-48 * (std::fabs(t) + std::fabs(x)) + 0x1p-1000;
    list.push_back({x, err, lower, upper, 0});
}

// Appends the crossings of row y by the rule at every point.
void scan_point_edges(std::vector<PointCrossing>& list, const double* px, const double* py,
                      std::uint64_t n, double y) {
    scan_row(py, n, y, [](double p, double q, double at) { return edge_spans_row(p, q, at); },
             [&](std::uint64_t i, std::uint64_t j) { add_point_crossing(list, px, py, i, j, y); });
}

// Ascending, NaN last: a strict weak order even with NaN crossings.
inline bool crossing_before(const PointCrossing& a, const PointCrossing& b) {
    return a.x < b.x || (!std::isnan(a.x) && std::isnan(b.x));
}

// Length of the ascending run of columns from the first, without NaN.
std::uint64_t ascending_run(const double* gx, std::uint64_t nx) {
    if (nx == 0 || std::isnan(gx[0])) {
        return 0;
    }
    std::uint64_t c = 1;
    while (c < nx && gx[c - 1] <= gx[c]) {
        ++c;
    }
    return c;
}

// First column in [from, m) of the ascending run whose x is at least x, or
// m: galloping steps 1, 2, 4, ... then a binary search within the last.
std::uint64_t first_column_at_least(const double* gx, std::uint64_t from, std::uint64_t m,
                                    double x) {
    std::uint64_t first = from, count = 0;
    for (std::uint64_t step = 1;; step *= 2) {
        if (step > m - first) {
            count = m - first;
            break;
        }
        if (gx[first + step - 1] >= x) {
            count = step - 1;
            break;
        }
        first += step;
    }
    while (count > 0) {
        const std::uint64_t half = count / 2;
        if (!(gx[first + half] >= x)) {
            first += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return first;
}

// The crossing, exactly, counts for the point (x, y) when x is at or right
// of it: the point lies right of the upward edge or on it.
inline bool counts_exactly(const PointCrossing& k, const double* px, const double* py, double x,
                           double y) {
    return orientation(px[k.lower], py[k.lower], px[k.upper], py[k.upper], x, y) <= 0;
}

// Whether the crossing's rounded position may disagree with the exact one
// at x. Non-finite windows (from non-finite input) are left to the rounding.
inline bool near_crossing(const PointCrossing& k, double x) {
    const double lo = k.x - k.err, hi = k.x + k.err;
    return std::isfinite(lo) && std::isfinite(hi) && lo <= x && x <= hi;
}

// Over the ascending run, by rounded crossings: the parity flips at the
// first column at or past each; the runs between flips are block fills.
void fill_point_row(unsigned char* row, const double* gx, std::uint64_t m, PointCrossing* xs,
                    std::uint64_t n_crossings) {
    unsigned char parity = 0;
    std::uint64_t c = 0;
    for (std::uint64_t k = 0; k < n_crossings; ++k) {
        const std::uint64_t flip = first_column_at_least(gx, c, m, xs[k].x);
        xs[k].flip = flip;
        fill_bytes(row + c, parity, flip - c);
        parity ^= 1;
        c = flip;
    }
    fill_bytes(row + c, parity, m - c);
}

// Each crossing's parity flip is independent of the others: where the
// rounded and the exact side of a column near a crossing differ, the
// column's byte flips once more.
void settle_near_crossings(unsigned char* row, const double* gx, std::uint64_t m,
                           const PointCrossing* xs, std::uint64_t n_crossings, const double* px,
                           const double* py, double y) {
    for (std::uint64_t k = 0; k < n_crossings; ++k) {
        const PointCrossing& cross = xs[k];
        for (std::uint64_t c = cross.flip; c > 0 && near_crossing(cross, gx[c - 1]); --c) {
            row[c - 1] ^= static_cast<unsigned char>(counts_exactly(cross, px, py, gx[c - 1], y));
        }
        for (std::uint64_t c = cross.flip; c < m && near_crossing(cross, gx[c]); ++c) {
            row[c] ^= static_cast<unsigned char>(!counts_exactly(cross, px, py, gx[c], y));
        }
    }
}

// Columns after the ascending run, one at a time, by the same decisions.
void test_columns(unsigned char* row, const double* gx, std::uint64_t from, std::uint64_t nx,
                  const PointCrossing* xs, std::uint64_t n_crossings, const double* px,
                  const double* py, double y) {
    for (std::uint64_t c = from; c < nx; ++c) {
        const double x = gx[c];
        unsigned char parity = 0;
        for (std::uint64_t k = 0; k < n_crossings; ++k) {
            const bool counts = near_crossing(xs[k], x) ? counts_exactly(xs[k], px, py, x, y)
                                                         : xs[k].x <= x;
            parity ^= static_cast<unsigned char>(counts);
        }
        row[c] = parity;
    }
}

// The rule at every point: rows outside [ymin, ymax) meet no edge and are
// clear; the others fill the ascending run of columns by rounded crossings,
// settle the columns near a crossing exactly, and test the columns after the
// run one at a time.
class PointRule {
public:
    PointRule(const Polygon& polygon, const PointGrid& grid)
        : polygon_(polygon), grid_(grid), run_(ascending_run(grid.x, grid.nx)) {
        list_.reserve(16);  // keeps its capacity from row to row
    }

    static bool clear(std::pair<double, double> extent, double y) {
        return !(y >= extent.first && y < extent.second);
    }

    void fill(unsigned char* row, double y) {
        const double *px = polygon_.x, *py = polygon_.y, *gx = grid_.x;
        list_.clear();
        scan_point_edges(list_, px, py, polygon_.n, y);
        std::sort(list_.begin(), list_.end(), crossing_before);
        fill_point_row(row, gx, run_, list_.data(), list_.size());
        settle_near_crossings(row, gx, run_, list_.data(), list_.size(), px, py, y);
        test_columns(row, gx, run_, grid_.nx, list_.data(), list_.size(), px, py, y);
    }

private:
    const Polygon& polygon_;
    const PointGrid& grid_;
    std::uint64_t run_;  // length of the ascending run of columns
    std::vector<PointCrossing> list_;
};

}  // namespace

void poly_grid_points(const Polygon& polygon, const PointGrid& grid, unsigned char* mask) {
    write_rows<PointRule>(polygon, grid, mask);
}

}  // namespace zolvin
