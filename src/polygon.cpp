#include "polygon.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace zolvin {

namespace {

// Smallest and largest vertex y; (+inf, -inf) without vertices, so that
// every row lies outside and is cleared unscanned.
std::pair<double, double> y_extent(const double* py, std::uint64_t n) {
    double ymin = std::numeric_limits<double>::infinity();
    double ymax = -std::numeric_limits<double>::infinity();
    for (std::uint64_t i = 0; i < n; ++i) {
        if (py[i] < ymin) ymin = py[i];
        if (py[i] > ymax) ymax = py[i];
    }
    return {ymin, ymax};
}


// One row's crossing x-coordinates, ascending. The buffer is the call's only
// allocation and keeps its capacity from row to row.
struct CrossingList {
    std::unique_ptr<double[]> x;
    std::uint64_t size;
    std::uint64_t capacity;
};

std::unique_ptr<double[]> allocate_crossings(std::uint64_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
        throw std::bad_alloc();
    }
    return std::unique_ptr<double[]>(new double[static_cast<std::size_t>(n)]);
}

// Index of the first of list[0, size) that is not less than x, by binary
// search: ahead of any equal values. Hand-written so that it stays defined
// when NaN crossings leave the list unordered.
std::uint64_t crossing_insert_index(const double* list, std::uint64_t size, double x) {
    std::uint64_t first = 0, count = size;
    while (count > 0) {
        const std::uint64_t half = count / 2;
        if (list[first + half] < x) {
            first += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return first;
}

void insert_crossing(CrossingList& list, double x) {
    const std::uint64_t at = crossing_insert_index(list.x.get(), list.size, x);
    double* const old = list.x.get();
    if (list.size < list.capacity) {
        std::copy_backward(old + at, old + list.size, old + list.size + 1);
        old[at] = x;
    } else {
        // Full: double, copying around the slot of the new value. The old
        // buffer stays owned until the new one exists.
        if (list.size > std::numeric_limits<std::uint64_t>::max() / 2) {
            throw std::bad_alloc();
        }
        const std::uint64_t grown = list.size + std::max<std::uint64_t>(list.size, 1);
        std::unique_ptr<double[]> bigger = allocate_crossings(grown);
        std::copy(old, old + at, bigger.get());
        bigger[at] = x;
        std::copy(old + at, old + list.size, bigger.get() + at + 1);
        list.x = std::move(bigger);
        list.capacity = grown;
    }
    ++list.size;
}

// Whether row y crosses the edge P -> Q: y in (min(P.y, Q.y), max(P.y, Q.y)].
// So a vertex on the row counts only for the edges it is the top of, and a
// horizontal edge never counts.
inline bool edge_counts(double p_y, double q_y, double y) {
    const double lo = q_y < p_y ? q_y : p_y;
    const double hi = q_y < p_y ? p_y : q_y;
    return (y > lo) & (y <= hi);
}

void add_crossing(CrossingList& list, const double* px, const double* py,
                  std::uint64_t i, std::uint64_t j, double y) {
    const double p_x = px[i], p_y = py[i], q_x = px[j], q_y = py[j];
    insert_crossing(list, ((y - p_y) * (q_x - p_x)) / (q_y - p_y) + p_x);
}

// Adds the crossings of row y with the edges i -> (i + 1) mod n, in edge
// order. Few edges count on any row, so blocks of edges are tested without
// branching first.
void scan_edges(CrossingList& list, const double* px, const double* py, std::uint64_t n,
                double y) {
    if (n == 0) {
        return;
    }
    constexpr std::uint64_t block = 256;
    unsigned char counts[block];
    for (std::uint64_t start = 0; start < n - 1; start += block) {
        const std::uint64_t len = std::min(block, n - 1 - start);
        const double* const p_y = py + start;
        for (std::uint64_t k = 0; k < len; ++k) {
            counts[k] = edge_counts(p_y[k], p_y[k + 1], y);
        }
        // Skip eight non-counting edges at a time.
        std::uint64_t k = 0;
        while (k < len) {
            if (k + 8 <= len) {
                std::uint64_t eight;
                std::memcpy(&eight, counts + k, 8);
                if (eight == 0) {
                    k += 8;
                    continue;
                }
            }
            if (counts[k]) {
                add_crossing(list, px, py, start + k, start + k + 1, y);
            }
            ++k;
        }
    }
    // The closing edge, last in order.
    if (edge_counts(py[n - 1], py[0], y)) {
        add_crossing(list, px, py, n - 1, 0, y);
    }
}

void fill_bytes(unsigned char* p, unsigned char value, std::uint64_t n) {
    if (n > 0) {  // p may be null when nothing is to be written
        std::memset(p, value, static_cast<std::size_t>(n));
    }
}

bool columns_ascending(const double* gx, std::uint64_t nx) {
    for (std::uint64_t c = 1; c < nx; ++c) {
        if (!(gx[c - 1] <= gx[c])) {  // NaN counts as out of order
            return false;
        }
    }
    return true;
}

// First column at or after `from` whose x is strictly greater than x, or nx.
// On ascending columns "greater" is monotone, so a galloping search (steps
// 1, 2, 4, ... then a binary search within the last step) finds the same
// column as the scan, in time logarithmic in the distance.
std::uint64_t next_column_past(const double* gx, std::uint64_t from, std::uint64_t nx,
                               double x, bool ascending) {
    if (ascending) {
        std::uint64_t first = from, count = 0;
        for (std::uint64_t step = 1;; step *= 2) {
            if (step > nx - first) {
                count = nx - first;
                break;
            }
            if (gx[first + step - 1] > x) {
                count = step - 1;
                break;
            }
            first += step;
        }
        while (count > 0) {
            const std::uint64_t half = count / 2;
            if (!(gx[first + half] > x)) {
                first += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        return first;
    }
    std::uint64_t c = from;
    while (c < nx && !(gx[c] > x)) {
        ++c;
    }
    return c;
}

// Column by column, a column whose x lies strictly past the next unused
// crossing flips the parity and uses that crossing, one crossing at most per
// column. The runs of columns between flips are block fills.
void fill_row(unsigned char* row, const double* gx, std::uint64_t nx,
              const double* xs, std::uint64_t n_crossings, bool ascending) {
    unsigned char parity = 0;
    std::uint64_t c = 0;
    for (std::uint64_t k = 0; k < n_crossings; ++k) {
        const std::uint64_t flip = next_column_past(gx, c, nx, xs[k], ascending);
        fill_bytes(row + c, parity, flip - c);
        if (flip == nx) {
            return;
        }
        parity ^= 1;
        row[flip] = parity;
        c = flip + 1;
    }
    fill_bytes(row + c, parity, nx - c);
}

}  // namespace

void poly_grid_contains(const Polygon& polygon, const PointGrid& grid, unsigned char* mask) {
    const double* px = polygon.x;
    const double* py = polygon.y;
    const double* gx = grid.x;
    const double* gy = grid.y;
    unsigned char* out = mask;
    const std::uint64_t n = polygon.n;
    const std::uint64_t nx = grid.nx, ny = grid.ny;
    if (ny == 0) {
        return;  // no row to write: nothing read, nothing allocated
    }

    // Only the y extent is needed: rows outside it are cleared unscanned.
    // Without vertices the extent is empty and every row is cleared.
    const auto [ymin, ymax] = y_extent(py, n);

    CrossingList list{allocate_crossings(16), 0, 16};
    const bool ascending = columns_ascending(gx, nx);

    for (std::uint64_t r = 0; r < ny; ++r) {
        unsigned char* const row = out + r * nx;
        const double y = gy[r];
        if (ymin > y || y > ymax) {
            fill_bytes(row, 0, nx);
            continue;
        }

        // Edge P -> Q counts when y lies in (min(P.y, Q.y), max(P.y, Q.y)]:
        // a vertex on the row counts only for the edges it is the top of, and
        // a horizontal edge never counts.
        list.size = 0;
        scan_edges(list, px, py, n, y);
        fill_row(row, gx, nx, list.x.get(), list.size, ascending);
    }
}

}  // namespace zolvin

// ---- The even-odd rule at every grid point ----

namespace zolvin {

namespace {

// x + y == a + b exactly (no overflow).
inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double b_virtual = x - a;
    const double a_virtual = x - b_virtual;
    y = (a - a_virtual) + (b - b_virtual);
}

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

// Sign of the exact sum of the terms. Each term is added to an expansion:
// components of increasing magnitude whose binary digits do not overlap, so
// the largest nonzero component outweighs all the others together.
int exact_sum_sign(const double* terms, int n) {
    double expansion[12];
    int size = 0;
    for (int k = 0; k < n; ++k) {
        double carry = terms[k];
        for (int i = 0; i < size; ++i) {
            double sum, low;
            two_sum(carry, expansion[i], sum, low);
            expansion[i] = low;
            carry = sum;
        }
        expansion[size++] = carry;
    }
    for (int i = size; i-- > 0;) {
        if (expansion[i] != 0) return expansion[i] > 0 ? 1 : -1;
    }
    return 0;
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
    return exact_sum_sign(terms, 12);
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

// Appends the crossings of row y, skipping blocks of edges clear of it.
void scan_point_edges(std::vector<PointCrossing>& list, const double* px, const double* py,
                      std::uint64_t n, double y) {
    if (n == 0) {
        return;
    }
    constexpr std::uint64_t block = 256;
    unsigned char spans[block];
    for (std::uint64_t start = 0; start < n - 1; start += block) {
        const std::uint64_t len = std::min(block, n - 1 - start);
        for (std::uint64_t k = 0; k < len; ++k) {
            spans[k] = edge_spans_row(py[start + k], py[start + k + 1], y);
        }
        std::uint64_t k = 0;
        while (k < len) {
            if (k + 8 <= len) {
                std::uint64_t eight;
                std::memcpy(&eight, spans + k, 8);
                if (eight == 0) {
                    k += 8;
                    continue;
                }
            }
            if (spans[k]) {
                add_point_crossing(list, px, py, start + k, start + k + 1, y);
            }
            ++k;
        }
    }
    if (edge_spans_row(py[n - 1], py[0], y)) {
        add_point_crossing(list, px, py, n - 1, 0, y);
    }
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

}  // namespace

void poly_grid_points(const Polygon& polygon, const PointGrid& grid, unsigned char* mask) {
    const double* px = polygon.x;
    const double* py = polygon.y;
    const double* gx = grid.x;
    const double* gy = grid.y;
    unsigned char* out = mask;
    const std::uint64_t n = polygon.n;
    const std::uint64_t nx = grid.nx, ny = grid.ny;
    if (ny == 0) {
        return;  // no row to write: nothing read, nothing allocated
    }

    // Rows outside [ymin, ymax) meet no edge and are cleared unscanned.
    const auto [ymin, ymax] = y_extent(py, n);

    const std::uint64_t m = ascending_run(gx, nx);
    std::vector<PointCrossing> list;  // keeps its capacity from row to row
    list.reserve(16);
    for (std::uint64_t r = 0; r < ny; ++r) {
        unsigned char* const row = out + r * nx;
        const double y = gy[r];
        if (!(y >= ymin && y < ymax)) {
            fill_bytes(row, 0, nx);
            continue;
        }
        list.clear();
        scan_point_edges(list, px, py, n, y);
        std::sort(list.begin(), list.end(), crossing_before);
        fill_point_row(row, gx, m, list.data(), list.size());
        settle_near_crossings(row, gx, m, list.data(), list.size(), px, py, y);
        test_columns(row, gx, m, nx, list.data(), list.size(), px, py, y);
    }
}

}  // namespace zolvin
