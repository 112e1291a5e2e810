// Region coverage in zolvin._native: NumPy arrays in, the work done with the
// interpreter's lock released and the rows split over n_threads threads. The
// zolvin package checks every array (dtype, shape, contiguity, leaf indices,
// program) before it calls in here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>

#include "region/region.hpp"

namespace py = pybind11;
using u64 = std::uint64_t;
namespace R = zolvin::region;

namespace {

using Doubles = py::array_t<double, py::array::c_style>;
using Ints = py::array_t<std::int32_t, py::array::c_style>;
using Bytes = py::array_t<std::uint8_t, py::array::c_style>;

template <class T, class A>
std::span<const T> rows_of(const A& a, u64 width) {
    return {reinterpret_cast<const T*>(a.data()), static_cast<std::size_t>(a.size()) / width};
}

// The region's arrays viewed as the kernel's types; they stay alive (and
// read-only) in the caller for the call.
R::Region view(const Doubles& segments, const Ints& segment_leaf, const Doubles& arcs,
               const Ints& arc_leaf, const Bytes& rules, const Ints& program) {
    return {rows_of<R::Segment>(segments, 4), rows_of<std::int32_t>(segment_leaf, 1),
            rows_of<R::Arc>(arcs, 8),         rows_of<std::int32_t>(arc_leaf, 1),
            rows_of<R::Rule>(rules, 1),       rows_of<std::int32_t>(program, 1)};
}

void region_grid(const Doubles& segments, const Ints& segment_leaf, const Doubles& arcs,
                 const Ints& arc_leaf, const Bytes& rules, const Ints& program, u64 rows,
                 u64 cols, u64 row0, u64 col0, double x0, double y0, double dxdu, double dxdv,
                 double dydu, double dydv, Doubles& out, u64 n_threads) {
    const R::Region region = view(segments, segment_leaf, arcs, arc_leaf, rules, program);
    const zolvin::GridWindow window{x0, y0, dxdu, dxdv, dydu, dydv, row0, col0, rows, cols};
    double* res = out.mutable_data();
    py::gil_scoped_release unlocked;
    R::grid_coverage(region, window, res, n_threads);
}

void region_pixels(const Doubles& segments, const Ints& segment_leaf, const Doubles& arcs,
                   const Ints& arc_leaf, const Bytes& rules, const Ints& program,
                   const Doubles& x, const Doubles& y, const Doubles& dxdu, const Doubles& dxdv,
                   const Doubles& dydu, const Doubles& dydv, Doubles& out, u64 n_threads) {
    const R::Region region = view(segments, segment_leaf, arcs, arc_leaf, rules, program);
    const zolvin::PixelArrays px{x.data(),    y.data(),    nullptr,     nullptr,
                                 dxdu.data(), dxdv.data(), dydu.data(), dydv.data(),
                                 static_cast<u64>(x.size())};
    double* res = out.mutable_data();
    py::gil_scoped_release unlocked;
    R::pixels_coverage(region, px, res, n_threads);
}

py::tuple find_crossing(const Doubles& segments, const Ints& group) {
    const auto segs = rows_of<R::Segment>(segments, 4);
    const auto grp = rows_of<std::int32_t>(group, 1);
    std::pair<std::int64_t, std::int64_t> hit;
    {
        py::gil_scoped_release unlocked;
        hit = R::find_crossing(segs, grp);
    }
    return py::make_tuple(hit.first, hit.second);
}

}  // namespace

void bind_region(py::module_& m) {
    m.def("region_grid", &region_grid,
          "Fraction of each pixel of a grid window inside a region.", py::arg("segments").noconvert(),
          py::arg("segment_leaf").noconvert(), py::arg("arcs").noconvert(),
          py::arg("arc_leaf").noconvert(), py::arg("rules").noconvert(),
          py::arg("program").noconvert(), py::arg("rows"), py::arg("cols"), py::arg("row0"),
          py::arg("col0"), py::arg("x0"), py::arg("y0"), py::arg("dxdu"), py::arg("dxdv"),
          py::arg("dydu"), py::arg("dydv"), py::arg("out").noconvert(), py::arg("n_threads"));
    m.def("region_pixels", &region_pixels,
          "Fraction of each parallelogram pixel inside a region.", py::arg("segments").noconvert(),
          py::arg("segment_leaf").noconvert(), py::arg("arcs").noconvert(),
          py::arg("arc_leaf").noconvert(), py::arg("rules").noconvert(),
          py::arg("program").noconvert(), py::arg("x").noconvert(), py::arg("y").noconvert(),
          py::arg("dxdu").noconvert(), py::arg("dxdv").noconvert(), py::arg("dydu").noconvert(),
          py::arg("dydv").noconvert(), py::arg("out").noconvert(), py::arg("n_threads"));
    m.def("find_crossing", &find_crossing,
          "Indices (i, j) of two segments of one group that cross properly, or (-1, -1).",
          py::arg("segments").noconvert(),
          py::arg("group").noconvert());
}
