// Resampling in zolvin._native: an image's pixels spread exactly over the
// cells of an output grid (see region/scatter.hpp), the input a grid given by
// its ten numbers. The package checks the values; the binding checks that the
// arrays agree in size. The work runs with the interpreter's lock released;
// Ctrl-C stops it within a few input rows.
#include <Python.h>

#include <cmath>
#include <string>
#include <tuple>

#include "../region/many.hpp"
#include "../region/scatter.hpp"
#include "native.hpp"

namespace zolvin::native {

namespace {

namespace R = zolvin::region;
using i64 = std::int64_t;

// An input grid's corners in the output grid's cell frame: with the output's
// inverse Jacobian D (as the region kernels invert it), M = D J and
// t = D (origin - output origin) + 1/2, the centre of output cell (0, 0)
// being (1/2, 1/2).
R::InputNodes grid_nodes(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                         double a, double b, double c, double d, double ox, double oy, double oa,
                         double ob, double oc, double od) {
    const double det = oa * od - ob * oc;
    if (!(std::isfinite(det) && det != 0.0))
        throw py::value_error("the output grid's Jacobian is singular or not finite");
    const double ia = od / det, ib = -ob / det, ic = -oc / det, id = oa / det;
    R::InputNodes in;
    in.rows = static_cast<i64>(rows), in.cols = static_cast<i64>(cols);
    in.row0 = static_cast<i64>(row0), in.col0 = static_cast<i64>(col0);
    in.m00 = ia * a + ib * c, in.m01 = ia * b + ib * d;
    in.m10 = ic * a + id * c, in.m11 = ic * b + id * d;
    const double dx = x0 - ox, dy = y0 - oy;
    in.tu = ia * dx + ib * dy + 0.5;
    in.tv = ic * dx + id * dy + 0.5;
    return in;
}

// Asks the interpreter, lock taken for a moment, whether a signal is pending
// (Ctrl-C): its exception stays set for the caller to raise.
bool interrupted() {
    py::gil_scoped_acquire locked;
    return PyErr_CheckSignals() != 0;
}

R::ScatterOptions options(u64 n_threads) {
    R::ScatterOptions o;
    o.n_threads = std::max<u64>(1, n_threads);
    o.poll = interrupted;
    return o;
}

// Runs f() without the lock; a Ctrl-C raises its KeyboardInterrupt.
template <class F>
void unlocked(const F& f) {
    bool cancelled = false;
    {
        py::gil_scoped_release released;
        try {
            f();
        } catch (const R::Cancelled&) {
            cancelled = true;
        }
    }
    if (cancelled) throw py::error_already_set();
}

// The image and its sums (see region/scatter.hpp); empty weight, variance and
// var arrays: none.
struct Image {
    const Doubles& data;
    u64 bands;
    bool mean;
    const Doubles& weight;
    bool weight_per_band;
    const Doubles& variance;
    Doubles& sum;
    Doubles& footprint;
    Doubles& var;
    bool accumulate;
};

void spread(const R::InputNodes& in, u64 rows, u64 cols, u64 row0, u64 col0, const Image& im,
            u64 n_threads) {
    const auto plane = static_cast<u64>(in.rows * in.cols);
    const u64 cells = im.bands * rows * cols;
    expect_size(im.data, im.bands * plane, "data");
    const bool weights = im.weight.size() != 0, variance = im.variance.size() != 0;
    if (weights) expect_size(im.weight, (im.weight_per_band ? im.bands : 1) * plane, "weight");
    if (variance) expect_size(im.variance, im.bands * plane, "variance");
    expect_size(im.sum, cells, "sum");
    expect_size(im.footprint, cells, "footprint");
    if (variance) expect_size(im.var, cells, "var");
    if (!im.mean && (weights || variance))
        throw py::value_error("weights and variances go with the mean");
    R::ScatterImage image;
    image.data = im.data.data();
    image.bands = static_cast<i64>(im.bands);
    image.weight = weights ? im.weight.data() : nullptr;
    image.weight_per_band = im.weight_per_band;
    image.variance = variance ? im.variance.data() : nullptr;
    image.sum = im.sum.mutable_data();
    image.footprint = im.footprint.mutable_data();
    image.var = variance ? im.var.mutable_data() : nullptr;
    image.conserve = im.mean ? R::Conserve::mean : R::Conserve::flux;
    image.accumulate = im.accumulate;
    const R::OutputCells out{static_cast<i64>(row0), static_cast<i64>(col0),
                             static_cast<i64>(rows), static_cast<i64>(cols)};
    const R::ScatterOptions o = options(n_threads);
    unlocked([&] { R::scatter(in, out, image, o); });
}

// The weights as compressed sparse columns: (indptr, indices, data), int32
// indices while every output cell's index fits.
py::tuple entries(const R::InputNodes& in, u64 rows, u64 cols, u64 row0, u64 col0,
                  u64 n_threads) {
    const R::OutputCells cells{static_cast<i64>(row0), static_cast<i64>(col0),
                               static_cast<i64>(rows), static_cast<i64>(cols)};
    const R::ScatterOptions o = options(n_threads);
    R::ScatterEntries e;
    unlocked([&] { e = R::scatter_entries(in, cells, o); });
    Int64s indptr(static_cast<py::ssize_t>(e.indptr.size()));
    std::copy(e.indptr.begin(), e.indptr.end(), indptr.mutable_data());
    const auto nnz = static_cast<py::ssize_t>(e.value.size());
    Doubles values(nnz);
    std::copy(e.value.begin(), e.value.end(), values.mutable_data());
    py::array indices;
    if (rows * cols <= static_cast<u64>(INT32_MAX)) {
        py::array_t<std::int32_t> idx(nnz);
        std::copy(e.index.begin(), e.index.end(), idx.mutable_data());
        indices = idx;
    } else {
        Int64s idx(nnz);
        std::copy(e.index.begin(), e.index.end(), idx.mutable_data());
        indices = idx;
    }
    return py::make_tuple(indptr, indices, values);
}

void resample_grid(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0, double dxdu,
                   double dxdv, double dydu, double dydv, u64 out_rows, u64 out_cols,
                   u64 out_row0, u64 out_col0, double out_x0, double out_y0, double out_dxdu,
                   double out_dxdv, double out_dydu, double out_dydv, const Doubles& data,
                   u64 bands, bool mean, const Doubles& weight, bool weight_per_band,
                   const Doubles& variance, Doubles& sum, Doubles& footprint, Doubles& var,
                   bool accumulate, u64 n_threads) {
    const R::InputNodes in = grid_nodes(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv,
                                        out_x0, out_y0, out_dxdu, out_dxdv, out_dydu, out_dydv);
    spread(in, out_rows, out_cols, out_row0, out_col0,
           {data, bands, mean, weight, weight_per_band, variance, sum, footprint, var,
            accumulate},
           n_threads);
}

py::tuple resample_grid_weights(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                                double dxdu, double dxdv, double dydu, double dydv, u64 out_rows,
                                u64 out_cols, u64 out_row0, u64 out_col0, double out_x0,
                                double out_y0, double out_dxdu, double out_dxdv,
                                double out_dydu, double out_dydv, u64 n_threads) {
    const R::InputNodes in = grid_nodes(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv,
                                        out_x0, out_y0, out_dxdu, out_dxdv, out_dydu, out_dydv);
    return entries(in, out_rows, out_cols, out_row0, out_col0, n_threads);
}

}  // namespace

void bind_resample(py::module_& m) {
    const auto in_grid = std::make_tuple(py::arg("rows"), py::arg("cols"), py::arg("row0"),
                                         py::arg("col0"), py::arg("x0"), py::arg("y0"),
                                         py::arg("dxdu"), py::arg("dxdv"), py::arg("dydu"),
                                         py::arg("dydv"));
    const auto out_grid = std::make_tuple(
        py::arg("out_rows"), py::arg("out_cols"), py::arg("out_row0"), py::arg("out_col0"),
        py::arg("out_x0"), py::arg("out_y0"), py::arg("out_dxdu"), py::arg("out_dxdv"),
        py::arg("out_dydu"), py::arg("out_dydv"));
    const auto image = std::make_tuple(
        py::arg("data").noconvert(), py::arg("bands"), py::arg("mean"),
        py::arg("weight").noconvert(), py::arg("weight_per_band"), py::arg("variance").noconvert(),
        py::arg("sum").noconvert(), py::arg("footprint").noconvert(), py::arg("var").noconvert(),
        py::arg("accumulate"));
    std::apply(
        [&](auto... a) {
            m.def("resample_grid", &resample_grid,
                  "An input grid's image spread exactly over an output grid's cells: per cell "
                  "and band the flux (or the mean, with weights and variances) and the "
                  "footprint.",
                  a..., py::arg("n_threads"));
        },
        std::tuple_cat(in_grid, out_grid, image));
    std::apply(
        [&](auto... a) {
            m.def("resample_grid_weights", &resample_grid_weights,
                  "The flux weights of an input grid over an output grid as compressed sparse "
                  "columns (one per input pixel): (indptr, indices, data).",
                  a..., py::arg("n_threads"));
        },
        std::tuple_cat(in_grid, out_grid));
}

}  // namespace zolvin::native
