// Region coverage in zolvin._native. A region is six arrays: segments (n x 4:
// x0, y0, x1, y1) and their leaves, arcs (m x 8: cx, cy, a, b, c, d, t0, t1)
// and their leaves, a rule code per leaf and the program (empty: the union).
// The package checks the leaves, codes and program before it calls in.
#include <span>
#include <tuple>
#include <utility>

#include "../region/region.hpp"
#include "native.hpp"

namespace zolvin::native {

namespace {

namespace R = zolvin::region;

// The array's elements as count records of T.
template <class T, class A>
std::span<const T> records(const A& a, u64 count) {
    return {reinterpret_cast<const T*>(a.data()), static_cast<std::size_t>(count)};
}

// The region's arrays viewed as the kernel's types; they stay alive (and
// read-only) in the caller for the call.
R::Region region_of(const Doubles& segments, const Ints& segment_leaf, const Doubles& arcs,
                    const Ints& arc_leaf, const Bytes& rules, const Ints& program) {
    const auto ns = static_cast<u64>(segment_leaf.size());
    const auto na = static_cast<u64>(arc_leaf.size());
    expect_size(segments, 4 * ns, "segments");
    expect_size(arcs, 8 * na, "arcs");
    return {records<R::Segment>(segments, ns), records<std::int32_t>(segment_leaf, ns),
            records<R::Arc>(arcs, na),         records<std::int32_t>(arc_leaf, na),
            records<R::Rule>(rules, static_cast<u64>(rules.size())),
            records<std::int32_t>(program, static_cast<u64>(program.size()))};
}

void region_grid(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0, double dxdu,
                 double dxdv, double dydu, double dydv, const Doubles& segments,
                 const Ints& segment_leaf, const Doubles& arcs, const Ints& arc_leaf,
                 const Bytes& rules, const Ints& program, bool simple, Doubles& out,
                 u64 n_threads) {
    R::Region region = region_of(segments, segment_leaf, arcs, arc_leaf, rules, program);
    region.simple = simple;
    const GridWindow window = grid_window(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    expect_size(out, rows * cols, "out");
    double* res = out.mutable_data();
    unlocked([&] { R::grid_coverage(region, window, res, n_threads); });
}

void region_pixels(const Doubles& x, const Doubles& y, const Doubles& u, const Doubles& v,
                   const Doubles& dxdu, const Doubles& dxdv, const Doubles& dydu,
                   const Doubles& dydv, const Doubles& segments, const Ints& segment_leaf,
                   const Doubles& arcs, const Ints& arc_leaf, const Bytes& rules,
                   const Ints& program, Doubles& out, u64 n_threads) {
    const R::Region region = region_of(segments, segment_leaf, arcs, arc_leaf, rules, program);
    const PixelArrays px = pixel_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv, out.size());
    double* res = out.mutable_data();
    unlocked([&] { R::pixels_coverage(region, px, res, n_threads); });
}

std::pair<std::int64_t, std::int64_t> find_crossing(const Doubles& segments, const Ints& group) {
    const auto n = static_cast<u64>(group.size());
    expect_size(segments, 4 * n, "segments");
    const auto segs = records<R::Segment>(segments, n);
    const auto grp = records<std::int32_t>(group, n);
    std::pair<std::int64_t, std::int64_t> found;
    unlocked([&] { found = R::find_crossing(segs, grp); });
    return found;
}

bool simple_rings(const Doubles& segments) {
    const auto n = static_cast<u64>(segments.size()) / 4;
    expect_size(segments, 4 * n, "segments");
    const auto segs = records<R::Segment>(segments, n);
    bool simple = false;
    unlocked([&] { simple = R::simple_rings(segs); });
    return simple;
}

}  // namespace

void bind_region(py::module_& m) {
    // After the grid window or the pixels: the region, out and n_threads.
    const auto region = std::make_tuple(
        py::arg("segments").noconvert(), py::arg("segment_leaf").noconvert(),
        py::arg("arcs").noconvert(), py::arg("arc_leaf").noconvert(),
        py::arg("rules").noconvert(), py::arg("program").noconvert());
    const auto rest = std::make_tuple(py::arg("out").noconvert(), py::arg("n_threads"));
    std::apply(
        [&](auto... a) {
            def_grid(m, "region_grid", &region_grid,
                     "Fraction of each pixel of a grid window inside a region (simple: its "
                     "winding is 0 or 1 everywhere, accumulated instead of swept).",
                     a...);
        },
        std::tuple_cat(region, std::make_tuple(py::arg("simple")), rest));
    std::apply(
        [&](auto... a) {
            def_pixels(m, "region_pixels", &region_pixels,
                       "Fraction of each parallelogram pixel inside a region (u and v are not "
                       "read).",
                       a...);
        },
        std::tuple_cat(region, rest));
    m.def("find_crossing", &find_crossing,
          "Indices (i, j) of two segments of one group that cross properly, or (-1, -1).",
          py::arg("segments").noconvert(), py::arg("group").noconvert());
    m.def("simple_rings", &simple_rings,
          "Whether closed rings of segments are simple together: no vertex twice, no two edges "
          "meeting but consecutive ones at their shared vertex.",
          py::arg("segments").noconvert());
}

}  // namespace zolvin::native
