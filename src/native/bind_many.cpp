// Many regions over one grid in zolvin._native: the batch as its flat arrays
// (see region/many.hpp), the grid as its ten numbers, and per region either
// sums of an image (photometry, zonal statistics) or its covered pixels as
// compressed sparse rows. The package builds and checks the batch; the
// binding checks that the arrays agree in size. The work runs with the
// interpreter's lock released; Ctrl-C stops it within a few hundred regions.
#include <Python.h>

#include <span>
#include <tuple>
#include <utility>

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
    run(batch, grid, sink, threads);
    const std::vector<i64> ptr = sink.indptr();
    const auto nnz = static_cast<py::ssize_t>(ptr.back());
    Int64s indptr(static_cast<py::ssize_t>(ptr.size()));
    std::copy(ptr.begin(), ptr.end(), indptr.mutable_data());
    Doubles values(nnz);
    py::array indices;
    // int32 indices while every pixel index fits, as scipy.sparse keeps them.
    if (rows * cols <= static_cast<u64>(INT32_MAX)) {
        py::array_t<std::int32_t> idx(nnz);
        sink.write(idx.mutable_data(), values.mutable_data());
        indices = idx;
    } else {
        Int64s idx(nnz);
        sink.write(idx.mutable_data(), values.mutable_data());
        indices = idx;
    }
    const std::vector<std::size_t> bad = sink.failures();
    Int64s failed(static_cast<py::ssize_t>(bad.size()));
    std::copy(bad.begin(), bad.end(), failed.mutable_data());
    return py::make_tuple(indptr, indices, values, failed);
}

}  // namespace

void bind_many(py::module_& m) {
    const auto batch = std::make_tuple(
        py::arg("segments").noconvert(), py::arg("segment_start").noconvert(),
        py::arg("segment_leaf").noconvert(), py::arg("arcs").noconvert(),
        py::arg("arc_start").noconvert(), py::arg("arc_leaf").noconvert(),
        py::arg("rules").noconvert(), py::arg("rule_start").noconvert(),
        py::arg("program").noconvert(), py::arg("program_start").noconvert(),
        py::arg("simple").noconvert());
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
        },
        batch);
}

}  // namespace zolvin::native
