// Many regions over one grid in zolvin._native: the batch as its flat arrays
// (see region/many.hpp), the grid as its ten numbers, and per region either
// sums of an image (photometry, zonal statistics) or its covered pixels as
// compressed sparse rows. The package builds and checks the batch; the
// binding checks that the arrays agree in size. The work runs with the
// interpreter's lock released; Ctrl-C stops it within a few hundred regions.
#include <Python.h>

#include <span>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "../region/many.hpp"
#include "batch.hpp"
#include "native.hpp"

namespace zolvin::native {

namespace {

namespace R = zolvin::region;
using i64 = std::int64_t;

R::GridTarget grid_of(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                      double dxdu, double dxdv, double dydu, double dydv) {
    return {x0,
            y0,
            dxdu,
            dxdv,
            dydu,
            dydv,
            static_cast<i64>(rows),
            static_cast<i64>(cols),
            static_cast<i64>(row0),
            static_cast<i64>(col0)};
}

// Runs the driver without the lock; a Ctrl-C raises its KeyboardInterrupt.
void run(const R::RegionBatch& batch, const R::GridTarget& grid, R::Sink& sink, u64 n_threads) {
    R::DriverOptions options;
    options.n_threads = n_threads;
    options.poll = interrupted;
    bool cancelled = false;
    {
        py::gil_scoped_release unlocked;
        try {
            R::evaluate_regions(batch, grid, sink, options);
        } catch (const R::Cancelled&) {
            cancelled = true;
        }
    }
    if (cancelled) throw py::error_already_set();
}

void regions_sums(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0, double dxdu,
                  double dxdv, double dydu, double dydv, const Doubles& segments,
                  const Int64s& segment_start, const Ints& segment_leaf, const Doubles& arcs,
                  const Int64s& arc_start, const Ints& arc_leaf, const Bytes& rules,
                  const Int64s& rule_start, const Ints& program, const Int64s& program_start,
                  const Bytes& simple, const Doubles& data, u64 bands, const Doubles& error,
                  const Bytes& mask, bool has_nodata, double nodata, double pixel_area,
                  Doubles& sum, Doubles& count, Doubles& area, Doubles& var, u64 n_threads) {
    const R::RegionBatch batch =
        batch_of({segments, segment_start, segment_leaf, arcs, arc_start, arc_leaf, rules,
                  rule_start, program, program_start, simple});
    const R::GridTarget grid = grid_of(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    const u64 plane = rows * cols, n = batch.size();
    expect_size(data, bands * plane, "data");
    const bool errors = error.size() != 0, masked = mask.size() != 0;
    if (errors) expect_size(error, bands * plane, "error");
    if (masked) expect_size(mask, plane, "mask");
    for (const auto& [a, name] : {std::pair{&sum, "sum"}, {&count, "count"}, {&area, "area"}})
        expect_size(*a, n * bands, name);
    if (errors) expect_size(var, n * bands, "var");
    const R::SumsInput in{data.data(),   static_cast<i64>(bands),
                          errors ? error.data() : nullptr,
                          masked ? mask.data() : nullptr,
                          has_nodata,    nodata,
                          pixel_area};
    const R::SumsOutput out{sum.mutable_data(), count.mutable_data(), area.mutable_data(),
                            errors ? var.mutable_data() : nullptr};
    const u64 threads = std::max<u64>(1, std::min<u64>(n_threads, std::max<u64>(n, 1)));
    R::SumsSink sink(in, out, grid, static_cast<int>(threads));
    run(batch, grid, sink, threads);
}

py::tuple regions_entries(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                          double dxdu, double dxdv, double dydu, double dydv,
                          const Doubles& segments, const Int64s& segment_start,
                          const Ints& segment_leaf, const Doubles& arcs, const Int64s& arc_start,
                          const Ints& arc_leaf, const Bytes& rules, const Int64s& rule_start,
                          const Ints& program, const Int64s& program_start, const Bytes& simple,
                          u64 n_threads) {
    const R::RegionBatch batch =
        batch_of({segments, segment_start, segment_leaf, arcs, arc_start, arc_leaf, rules,
                  rule_start, program, program_start, simple});
    const R::GridTarget grid = grid_of(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    const u64 n = batch.size();
    const u64 threads = std::max<u64>(1, std::min<u64>(n_threads, std::max<u64>(n, 1)));
    R::EntriesSink sink(n, grid, static_cast<int>(threads));
    run(batch, grid, sink, threads);  // the first pass counts
    const std::vector<i64> ptr = sink.indptr();
    const auto nnz = static_cast<py::ssize_t>(ptr.back());
    Int64s indptr(static_cast<py::ssize_t>(ptr.size()));
    std::copy(ptr.begin(), ptr.end(), indptr.mutable_data());
    Doubles values(nnz);
    py::array indices;
    // int32 indices while every pixel index fits, as scipy.sparse keeps them.
    if (rows * cols <= static_cast<u64>(INT32_MAX)) {
        py::array_t<std::int32_t> idx(nnz);
        sink.fill(idx.mutable_data(), values.mutable_data());
        indices = idx;
    } else {
        Int64s idx(nnz);
        sink.fill(idx.mutable_data(), values.mutable_data());
        indices = idx;
    }
    run(batch, grid, sink, threads);  // the second writes
    const std::vector<std::size_t> bad = sink.failures();
    Int64s failed(static_cast<py::ssize_t>(bad.size()));
    std::copy(bad.begin(), bad.end(), failed.mutable_data());
    return py::make_tuple(indptr, indices, values, failed);
}

// The image and its companions of a statistics pass, checked against the
// plane's size and the number of regions n.
R::StatsInput stats_input(const Doubles& data, u64 bands, u64 plane, const Doubles& weights,
                          u64 weight_bands, const Bytes& mask, bool has_nodata, double nodata,
                          bool minmax, const Doubles& centre, u64 n) {
    expect_size(data, bands * plane, "data");
    const bool weighted = weights.size() != 0, masked = mask.size() != 0;
    const bool deviations = centre.size() != 0;
    if (weighted) {
        if (weight_bands != 1 && weight_bands != bands)
            throw py::value_error("weight_bands must be 1 or bands");
        expect_size(weights, weight_bands * plane, "weights");
    }
    if (masked) expect_size(mask, plane, "mask");
    if (deviations) expect_size(centre, n * bands, "centre");
    return {data.data(),
            static_cast<i64>(bands),
            weighted ? weights.data() : nullptr,
            static_cast<i64>(weight_bands),
            masked ? mask.data() : nullptr,
            has_nodata,
            nodata,
            minmax,
            deviations ? centre.data() : nullptr};
}

// Per region and band, the statistics of an image (see StatsSink): the
// sums pass, or with `centre` the deviations pass; `open` leaves each
// quantity's four lanes unclosed, continuing from `start` when it is given.
void regions_stats(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0, double dxdu,
                   double dxdv, double dydu, double dydv, const Doubles& segments,
                   const Int64s& segment_start, const Ints& segment_leaf, const Doubles& arcs,
                   const Int64s& arc_start, const Ints& arc_leaf, const Bytes& rules,
                   const Int64s& rule_start, const Ints& program, const Int64s& program_start,
                   const Bytes& simple, const Doubles& data, u64 bands, const Doubles& weights,
                   u64 weight_bands, const Bytes& mask, bool has_nodata, double nodata,
                   bool minmax, const Doubles& centre, Doubles& values, bool open,
                   const Doubles& start, u64 n_threads) {
    const R::RegionBatch batch =
        batch_of({segments, segment_start, segment_leaf, arcs, arc_start, arc_leaf, rules,
                  rule_start, program, program_start, simple});
    const R::GridTarget grid = grid_of(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    const u64 plane = rows * cols, n = batch.size();
    const R::StatsInput in = stats_input(data, bands, plane, weights, weight_bands, mask,
                                         has_nodata, nodata, minmax, centre, n);
    const bool deviations = in.centre != nullptr;
    const u64 per = bands * static_cast<u64>(deviations ? R::kStatsDeviations : R::kStatsSums) *
                    (open ? 4 : 1);
    expect_size(values, n * per, "values");
    if (start.size() != 0) {
        if (!open) throw py::value_error("start needs open");
        expect_size(start, n * per, "start");
    }
    const R::StatsOutput out{values.mutable_data(), open,
                             start.size() != 0 ? start.data() : nullptr};
    const u64 threads = std::max<u64>(1, std::min<u64>(n_threads, std::max<u64>(n, 1)));
    R::StatsSink sink(in, out, grid, static_cast<int>(threads));
    run(batch, grid, sink, threads);
}

// Every region's window on the grid as (row0, col0, rows, cols): rows 0 for
// a region wholly off it, -1 for one that reaches too far to be evaluated.
Int64s regions_windows(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                       double dxdu, double dxdv, double dydu, double dydv,
                       const Doubles& segments, const Int64s& segment_start,
                       const Ints& segment_leaf, const Doubles& arcs, const Int64s& arc_start,
                       const Ints& arc_leaf, const Bytes& rules, const Int64s& rule_start,
                       const Ints& program, const Int64s& program_start, const Bytes& simple) {
    const R::RegionBatch batch =
        batch_of({segments, segment_start, segment_leaf, arcs, arc_start, arc_leaf, rules,
                  rule_start, program, program_start, simple});
    const R::GridTarget grid = grid_of(rows, cols, row0, col0, x0, y0, dxdu, dxdv, dydu, dydv);
    std::vector<R::CellWindow> windows;
    try {
        windows = R::region_windows(batch, grid);
    } catch (const std::domain_error& e) {
        throw py::value_error(e.what());
    }
    Int64s out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(windows.size()), 4});
    i64* o = out.mutable_data();
    for (const R::CellWindow& w : windows) {
        *o++ = w.row0, *o++ = w.col0, *o++ = w.rows, *o++ = w.cols;
    }
    return out;
}

// Runs csr_stats for one index type: ValueError when an index is not a
// pixel of the image.
template <class Index>
void csr_stats_of(const Int64s& indptr, const py::array& indices, const Doubles& f, u64 rows,
                  u64 cols, const R::StatsInput& in, Doubles& values, u64 n_threads) {
    const auto nnz = static_cast<u64>(f.size());
    const auto n = static_cast<u64>(indptr.size()) - 1;
    expect_size(indices, nnz, "indices");
    expect_offsets(indptr, n, nnz, "indptr");
    const auto* idx = static_cast<const Index*>(indices.data());
    const R::CoverageRows<Index> m{indptr.data(), idx, f.data(), static_cast<std::size_t>(n)};
    double* out = values.mutable_data();
    bool ok;
    {
        py::gil_scoped_release unlocked;
        ok = R::csr_stats(m, static_cast<i64>(rows), static_cast<i64>(cols), in, out, n_threads);
    }
    if (!ok) {
        throw py::value_error("indices must name pixels of the image (0 .. " +
                              std::to_string(rows * cols) + " - 1)");
    }
}

// The statistics of regions_stats over the rows of a coverage matrix
// (indices int32 or int64).
void csr_stats(const Int64s& indptr, const py::array& indices, const Doubles& f, u64 rows,
               u64 cols, const Doubles& data, u64 bands, const Doubles& weights,
               u64 weight_bands, const Bytes& mask, bool has_nodata, double nodata, bool minmax,
               const Doubles& centre, Doubles& values, u64 n_threads) {
    if (indptr.size() < 1) throw py::value_error("indptr must hold at least one value");
    const u64 plane = rows * cols, n = static_cast<u64>(indptr.size()) - 1;
    const R::StatsInput in = stats_input(data, bands, plane, weights, weight_bands, mask,
                                         has_nodata, nodata, minmax, centre, n);
    const bool deviations = in.centre != nullptr;
    expect_size(values,
                n * bands * static_cast<u64>(deviations ? R::kStatsDeviations : R::kStatsSums),
                "values");
    if (!(indices.flags() & py::array::c_style))
        throw py::type_error("indices must be C-contiguous");
    const u64 threads = std::max<u64>(1, n_threads);
    if (indices.dtype().is(py::dtype::of<std::int32_t>())) {
        csr_stats_of<std::int32_t>(indptr, indices, f, rows, cols, in, values, threads);
    } else if (indices.dtype().is(py::dtype::of<std::int64_t>())) {
        csr_stats_of<std::int64_t>(indptr, indices, f, rows, cols, in, values, threads);
    } else {
        throw py::type_error("indices must hold int32 or int64");
    }
}

}  // namespace

void bind_many(py::module_& m) {
    const auto batch = batch_args();
    std::apply(
        [&](auto... region) {
            def_grid(m, "regions_sums", &regions_sums,
                     "Per region and band: sums of f x data, f, f x pixel area and f^2 x error^2 "
                     "over the counted pixels of its window.",
                     region..., py::arg("data").noconvert(), py::arg("bands"),
                     py::arg("error").noconvert(), py::arg("mask").noconvert(),
                     py::arg("has_nodata"), py::arg("nodata"), py::arg("pixel_area"),
                     py::arg("sum").noconvert(), py::arg("count").noconvert(),
                     py::arg("area").noconvert(), py::arg("var").noconvert(),
                     py::arg("n_threads"));
            def_grid(m, "regions_entries", &regions_entries,
                     "Every region's covered pixels as compressed sparse rows: (indptr, "
                     "indices, data, failed regions).",
                     region..., py::arg("n_threads"));
            def_grid(m, "regions_stats", &regions_stats,
                     "Per region and band: sums of f v and f, min and max, sums of f w and "
                     "f w v over the counted pixels of its window; with centre, sums of "
                     "f (v - c) and f (v - c)^2.",
                     region..., py::arg("data").noconvert(), py::arg("bands"),
                     py::arg("weights").noconvert(), py::arg("weight_bands"),
                     py::arg("mask").noconvert(), py::arg("has_nodata"), py::arg("nodata"),
                     py::arg("minmax"), py::arg("centre").noconvert(),
                     py::arg("values").noconvert(), py::arg("open"),
                     py::arg("start").noconvert(), py::arg("n_threads"));
            m.def("csr_stats", &csr_stats,
                  "regions_stats over the rows of a coverage matrix (indptr, indices, f) of "
                  "an image of rows x cols pixels.",
                  py::arg("indptr").noconvert(), py::arg("indices"), py::arg("f").noconvert(),
                  py::arg("rows"), py::arg("cols"), py::arg("data").noconvert(),
                  py::arg("bands"), py::arg("weights").noconvert(), py::arg("weight_bands"),
                  py::arg("mask").noconvert(), py::arg("has_nodata"), py::arg("nodata"),
                  py::arg("minmax"), py::arg("centre").noconvert(),
                  py::arg("values").noconvert(), py::arg("n_threads"));
            def_grid(m, "regions_windows", &regions_windows,
                     "Every region's window of grid cells as (row0, col0, rows, cols).",
                     region...);
        },
        batch);
}

}  // namespace zolvin::native
