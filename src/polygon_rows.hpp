// What both mask rules share: the vertices' y extent, byte fills, the scan
// of a row's edges and the row-by-row writer, each parametrised by its rule.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "geometry.hpp"

namespace zolvin::detail {

// Smallest and largest vertex y; (+inf, -inf) without vertices, so that
// every row lies outside and is cleared unscanned.
inline std::pair<double, double> y_extent(const double* py, std::uint64_t n) {
    double ymin = std::numeric_limits<double>::infinity();
    double ymax = -std::numeric_limits<double>::infinity();
    for (std::uint64_t i = 0; i < n; ++i) {
        if (py[i] < ymin) ymin = py[i];
        if (py[i] > ymax) ymax = py[i];
    }
    return {ymin, ymax};
}


inline void fill_bytes(unsigned char* p, unsigned char value, std::uint64_t n) {
    if (n > 0) {  // p may be null when nothing is to be written
        std::memset(p, value, static_cast<std::size_t>(n));
    }
}

// Calls add(i, j) for every edge i -> j = (i + 1) mod n, in edge order, that
// row y meets by the rule meets(P.y, Q.y, y). Few edges meet any row, so
// blocks of edges are tested without branching first, and eight edges that
// do not meet it are skipped at a time.
template <class Meets, class Add>
void scan_row(const double* py, std::uint64_t n, double y, Meets meets, Add add) {
    if (n == 0) {
        return;
    }
    constexpr std::uint64_t block = 256;
    unsigned char hits[block];
    for (std::uint64_t start = 0; start < n - 1; start += block) {
        const std::uint64_t len = std::min(block, n - 1 - start);
        for (std::uint64_t k = 0; k < len; ++k) {
            hits[k] = meets(py[start + k], py[start + k + 1], y);
        }
        std::uint64_t k = 0;
        while (k < len) {
            if (k + 8 <= len) {
                std::uint64_t eight;
                std::memcpy(&eight, hits + k, 8);
                if (eight == 0) {
                    k += 8;
                    continue;
                }
            }
            if (hits[k]) {
                add(start + k, start + k + 1);
            }
            ++k;
        }
    }
    // The closing edge, last in order.
    if (meets(py[n - 1], py[0], y)) {
        add(n - 1, 0);
    }
}

// Writes every row of the mask by a rule: rows that Rule::clear(extent, y)
// puts clear of the polygon's y extent are zeroed unscanned, the others
// written by rule.fill(row, y). Without rows nothing is read and nothing
// allocated.
template <class Rule>
void write_rows(const Polygon& polygon, const PointGrid& grid, unsigned char* mask) {
    if (grid.ny == 0) {
        return;
    }
    const std::pair<double, double> extent = y_extent(polygon.y, polygon.n);
    Rule rule(polygon, grid);
    for (std::uint64_t r = 0; r < grid.ny; ++r) {
        unsigned char* const row = mask + r * grid.nx;
        const double y = grid.y[r];
        if (Rule::clear(extent, y)) {
            fill_bytes(row, 0, grid.nx);
        } else {
            rule.fill(row, y);
        }
    }
}

}  // namespace zolvin::detail
