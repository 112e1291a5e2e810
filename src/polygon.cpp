// The even-odd mask by a scan of each row: crossings sorted, the columns
// between them filled, one crossing at most per column.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "polygon.hpp"
#include "polygon_rows.hpp"

namespace zolvin {

namespace {

using namespace detail;

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
// order, by the scan rule.
void scan_edges(CrossingList& list, const double* px, const double* py, std::uint64_t n,
                double y) {
    scan_row(py, n, y, [](double p, double q, double at) { return edge_counts(p, q, at); },
             [&](std::uint64_t i, std::uint64_t j) { add_crossing(list, px, py, i, j, y); });
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

// The scan rule: rows outside the vertices' y extent are clear (without
// vertices the extent is empty and every row is); edge P -> Q counts when y
// lies in (min(P.y, Q.y), max(P.y, Q.y)]: a vertex on the row counts only for
// the edges it is the top of, and a horizontal edge never counts.
class ScanRule {
public:
    ScanRule(const Polygon& polygon, const PointGrid& grid)
        : polygon_(polygon),
          grid_(grid),
          list_{allocate_crossings(16), 0, 16},
          ascending_(columns_ascending(grid.x, grid.nx)) {}

    static bool clear(std::pair<double, double> extent, double y) {
        return extent.first > y || y > extent.second;
    }

    void fill(unsigned char* row, double y) {
        list_.size = 0;
        scan_edges(list_, polygon_.x, polygon_.y, polygon_.n, y);
        fill_row(row, grid_.x, grid_.nx, list_.x.get(), list_.size, ascending_);
    }

private:
    const Polygon& polygon_;
    const PointGrid& grid_;
    CrossingList list_;
    bool ascending_;
};

}  // namespace

void poly_grid_contains(const Polygon& polygon, const PointGrid& grid, unsigned char* mask) {
    write_rows<ScanRule>(polygon, grid, mask);
}

}  // namespace zolvin
