// Regions over pixels of their own shape in zolvin._native: the index of an
// image's pixels (PixelIndex, made once per set of pixels and kept by the
// package), sums of an image per region over the whole image's pixels or
// over pixels evaluated in a window per region, and one region's coverage of
// every pixel of an image; and the plane model of TAN and TAN-SIP images,
// with sums over windows whose pixels it makes itself. The package checks
// the pixels and the batch; the binding checks that the arrays agree in size.
// The work runs with the interpreter's lock released; Ctrl-C stops a batch
// within a few hundred regions.
#include <Python.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <tuple>

#include "../region/many_pixels.hpp"
#include "batch.hpp"
#include "native.hpp"

namespace zolvin::native {

namespace {

struct Shapes {
    const Doubles &x, &y, &dxdu, &dxdv, &dydu, &dydv;

    R::PixelShapes view(u64 n) const {
        const char* names[] = {"x", "y", "dxdu", "dxdv", "dydu", "dydv"};
        const Doubles* arrays[] = {&x, &y, &dxdu, &dxdv, &dydu, &dydv};
        for (int k = 0; k < 6; ++k) expect_size(*arrays[k], n, names[k]);
        return {x.data(), y.data(), dxdu.data(), dxdv.data(), dydu.data(), dydv.data()};
    }
};

// rows x cols must count the arrays' elements without wrapping around.
void expect_image(u64 rows, u64 cols) {
    if (rows > (u64{1} << 40) || cols > (u64{1} << 40) || (cols != 0 && rows > UINT64_MAX / cols))
        throw py::value_error("rows x cols must be a size the arrays can have");
}

// n windows (row0, col0, rows, cols), each inside a rows x cols image, and
// with offsets: each window's pixels between its offsets. Compared without
// adding, so that no window can overflow.
void expect_windows(const Int64s& windows, u64 n, u64 rows, u64 cols, const i64* offsets) {
    expect_size(windows, 4 * n, "windows");
    const i64* w = windows.data();
    for (u64 k = 0; k < n; ++k) {
        const i64 r0 = w[4 * k], c0 = w[4 * k + 1], nr = w[4 * k + 2], nc = w[4 * k + 3];
        const bool inside = r0 >= 0 && c0 >= 0 && nr >= 0 && nc >= 0 &&
                            static_cast<u64>(r0) <= rows && static_cast<u64>(c0) <= cols &&
                            static_cast<u64>(nr) <= rows - static_cast<u64>(r0) &&
                            static_cast<u64>(nc) <= cols - static_cast<u64>(c0);
        if (!inside)
            throw py::value_error("windows[" + std::to_string(k) + "] must lie inside the image");
        if (offsets && offsets[k + 1] - offsets[k] != nr * nc)
            throw py::value_error("windows[" + std::to_string(k) + "] must match its offsets");
    }
}

std::unique_ptr<R::PixelIndex> make_index(const Doubles& x, const Doubles& y,
                                          const Doubles& dxdu, const Doubles& dxdv,
                                          const Doubles& dydu, const Doubles& dydv, u64 rows,
                                          u64 cols, u64 n_threads) {
    expect_image(rows, cols);
    const R::PixelShapes px = Shapes{x, y, dxdu, dxdv, dydu, dydv}.view(rows * cols);
    py::gil_scoped_release unlocked;
    return std::make_unique<R::PixelIndex>(px, static_cast<i64>(rows), static_cast<i64>(cols),
                                           n_threads);
}

// The Sums sink's inputs and outputs, checked against n regions over an
// image of `plane` pixels.
struct SumsArrays {
    const Doubles& data;
    u64 bands;
    const Doubles& error;
    const Bytes& mask;
    bool has_nodata;
    double nodata;
    Doubles &sum, &count, &area, &var;

    std::pair<R::SumsInput, R::SumsOutput> view(u64 n, u64 plane) {
        expect_size(data, bands * plane, "data");
        const bool errors = error.size() != 0, masked = mask.size() != 0;
        if (errors) expect_size(error, bands * plane, "error");
        if (masked) expect_size(mask, plane, "mask");
        for (const auto& [a, name] :
             {std::pair{&sum, "sum"}, {&count, "count"}, {&area, "area"}})
            expect_size(*a, n * bands, name);
        if (errors) expect_size(var, n * bands, "var");
        const R::SumsInput in{data.data(), static_cast<i64>(bands),
                              errors ? error.data() : nullptr, masked ? mask.data() : nullptr,
                              has_nodata, nodata, 1.0};
        const R::SumsOutput out{sum.mutable_data(), count.mutable_data(), area.mutable_data(),
                                errors ? var.mutable_data() : nullptr};
        return {in, out};
    }
};

// Runs the sums without the lock; a Ctrl-C raises its KeyboardInterrupt.
void run_sums(const R::RegionBatch& batch, const R::PixelsTarget& target,
              const std::pair<R::SumsInput, R::SumsOutput>& io, std::uint8_t* border,
              u64 n_threads) {
    R::DriverOptions options;
    options.n_threads = std::max<u64>(1, std::min<u64>(n_threads, std::max<u64>(batch.size(), 1)));
    options.poll = interrupted;
    bool cancelled = false;
    {
        py::gil_scoped_release unlocked;
        try {
            R::pixels_sums(batch, target, io.first, io.second, border, options);
        } catch (const R::Cancelled&) {
            cancelled = true;
        }
    }
    if (cancelled) throw py::error_already_set();
}

void pixels_sums(const Doubles& x, const Doubles& y, const Doubles& dxdu, const Doubles& dxdv,
                 const Doubles& dydu, const Doubles& dydv, const R::PixelIndex& index,
                 const Doubles& segments, const Int64s& segment_start, const Ints& segment_leaf,
                 const Doubles& arcs, const Int64s& arc_start, const Ints& arc_leaf,
                 const Bytes& rules, const Int64s& rule_start, const Ints& program,
                 const Int64s& program_start, const Bytes& simple, const Doubles& data, u64 bands,
                 const Doubles& error, const Bytes& mask, bool has_nodata, double nodata,
                 Doubles& sum, Doubles& count, Doubles& area, Doubles& var, u64 n_threads) {
    const R::RegionBatch batch =
        batch_of({segments, segment_start, segment_leaf, arcs, arc_start, arc_leaf, rules,
                  rule_start, program, program_start, simple});
    const auto plane = static_cast<u64>(index.rows() * index.cols());
    const R::PixelsTarget target{Shapes{x, y, dxdu, dxdv, dydu, dydv}.view(plane), index.rows(),
                                 index.cols(), &index};
    SumsArrays io{data, bands, error, mask, has_nodata, nodata, sum, count, area, var};
    run_sums(batch, target, io.view(batch.size(), plane), nullptr, n_threads);
}

void windows_sums(const Doubles& x, const Doubles& y, const Doubles& dxdu, const Doubles& dxdv,
                  const Doubles& dydu, const Doubles& dydv, const Int64s& windows,
                  const Int64s& offsets, u64 rows, u64 cols, const Doubles& segments,
                  const Int64s& segment_start, const Ints& segment_leaf, const Doubles& arcs,
                  const Int64s& arc_start, const Ints& arc_leaf, const Bytes& rules,
                  const Int64s& rule_start, const Ints& program, const Int64s& program_start,
                  const Bytes& simple, const Doubles& data, u64 bands, const Doubles& error,
                  const Bytes& mask, bool has_nodata, double nodata, Doubles& sum,
                  Doubles& count, Doubles& area, Doubles& var, Bytes& border, u64 n_threads) {
    const R::RegionBatch batch =
        batch_of({segments, segment_start, segment_leaf, arcs, arc_start, arc_leaf, rules,
                  rule_start, program, program_start, simple});
    const u64 n = batch.size();
    expect_image(rows, cols);
    expect_size(border, n, "border");
    const auto total = static_cast<u64>(x.size());
    expect_offsets(offsets, n, total, "offsets");
    expect_windows(windows, n, rows, cols, offsets.data());
    const R::PixelsTarget target{Shapes{x, y, dxdu, dxdv, dydu, dydv}.view(total),
                                 static_cast<i64>(rows), static_cast<i64>(cols), nullptr,
                                 windows.data(), offsets.data()};
    SumsArrays io{data, bands, error, mask, has_nodata, nodata, sum, count, area, var};
    run_sums(batch, target, io.view(n, rows * cols), border.mutable_data(), n_threads);
}

void pixels_region(const Doubles& x, const Doubles& y, const Doubles& dxdu, const Doubles& dxdv,
                   const Doubles& dydu, const Doubles& dydv, const R::PixelIndex& index,
                   const Doubles& segments, const Ints& segment_leaf, const Doubles& arcs,
                   const Ints& arc_leaf, const Bytes& rules, const Ints& program, bool simple,
                   double outside, Doubles& out, u64 n_threads) {
    const auto ns = static_cast<u64>(segment_leaf.size());
    const auto na = static_cast<u64>(arc_leaf.size());
    expect_size(segments, 4 * ns, "segments");
    expect_size(arcs, 8 * na, "arcs");
    const R::Region region{records<R::Segment>(segments, ns), records<std::int32_t>(segment_leaf, ns),
                           records<R::Arc>(arcs, na), records<std::int32_t>(arc_leaf, na),
                           records<R::Rule>(rules, static_cast<u64>(rules.size())),
                           records<std::int32_t>(program, static_cast<u64>(program.size()))};
    const auto plane = static_cast<u64>(index.rows() * index.cols());
    expect_size(out, plane, "out");
    const R::PixelsTarget target{Shapes{x, y, dxdu, dxdv, dydu, dydv}.view(plane), index.rows(),
                                 index.cols(), &index};
    double* res = out.mutable_data();
    unlocked([&] { R::pixels_region(region, simple, target, outside, res, n_threads); });
}

// The plane model from typed arrays: linear = crpix (2) and the matrix K
// (4); sip = its reference pixel (2) and then the coefficients of f, f_u,
// f_v, g, g_u, g_v row after row, layout = per polynomial its row count and
// then each row's length (both empty: no SIP); projective = the 3 x 3 map
// row-major, or empty.
std::unique_ptr<R::PlaneModel> make_plane_model(const Doubles& linear, const Doubles& sip,
                                                const Int64s& layout,
                                                const Doubles& projective) {
    expect_size(linear, 6, "linear");
    const double* l = linear.data();
    std::optional<R::PlaneModel::Sip> terms;
    if (sip.size() != 0 || layout.size() != 0) {
        const double* c = sip.data();
        const std::int64_t* n = layout.data();
        const auto nc = static_cast<std::int64_t>(sip.size()), nl = layout.size();
        if (nc < 2) throw py::value_error("sip must start with its reference pixel");
        terms.emplace();
        terms->crpix0 = c[0], terms->crpix1 = c[1];
        constexpr auto kRows = static_cast<std::int64_t>(R::PlaneModel::kMaxRows);
        std::int64_t at = 2, li = 0;
        auto next = [&](std::int64_t limit) {
            if (li >= nl || n[li] < 0 || n[li] > limit)
                throw py::value_error("layout does not describe six polynomials");
            return n[li++];
        };
        for (auto& poly : terms->polys) {
            poly.resize(static_cast<std::size_t>(next(kRows)));
            for (auto& row : poly) {
                const std::int64_t len = next(kRows);
                if (at + len > nc) throw py::value_error("sip holds fewer terms than layout");
                row.assign(c + at, c + at + len);
                at += len;
            }
        }
        if (at != nc || li != nl) throw py::value_error("sip and layout disagree in length");
    }
    std::optional<std::array<double, 9>> h;
    if (projective.size() != 0) {
        expect_size(projective, 9, "projective");
        h.emplace();
        std::copy(projective.data(), projective.data() + 9, h->begin());
    }
    return std::make_unique<R::PlaneModel>(l[0], l[1], std::array<double, 4>{l[2], l[3], l[4], l[5]},
                                           std::move(terms), h);
}

// Pixels (rows[k], cols[k]) through the model; the first one it cannot place,
// or -1.
std::int64_t plane_pixels(const R::PlaneModel& model, const Int64s& rows, const Int64s& cols,
                          Doubles& x, Doubles& y, Doubles& dxdu, Doubles& dxdv, Doubles& dydu,
                          Doubles& dydv) {
    const auto n = static_cast<u64>(rows.size());
    expect_size(cols, n, "cols");
    Doubles* outs[] = {&x, &y, &dxdu, &dxdv, &dydu, &dydv};
    const char* names[] = {"x", "y", "dxdu", "dxdv", "dydu", "dydv"};
    double* o[6];
    for (int k = 0; k < 6; ++k) expect_size(*outs[k], n, names[k]), o[k] = outs[k]->mutable_data();
    const std::int64_t *r = rows.data(), *c = cols.data();
    for (u64 k = 0; k < n; ++k) {
        constexpr std::int64_t kFar = std::int64_t{1} << 40;
        if (!(r[k] > -kFar && r[k] < kFar && c[k] > -kFar && c[k] < kFar))
            throw py::value_error("rows and cols must lie within +-2**40");
    }
    py::gil_scoped_release unlocked;
    R::PlaneRow row;
    std::int64_t bad = -1;
    for (u64 k = 0; k < n; ++k) {
        if (!model.row(r[k], c[k], 1, row) && bad < 0) bad = static_cast<std::int64_t>(k);
        const R::PixelShape p = row.at(0);
        o[0][k] = p.x, o[1][k] = p.y, o[2][k] = p.dxdu, o[3][k] = p.dxdv, o[4][k] = p.dydu,
        o[5][k] = p.dydv;
    }
    return bad;
}

// Sums over a window per region whose pixels the plane model makes.
void model_sums(const R::PlaneModel& model, const Int64s& windows, u64 rows, u64 cols,
                const Doubles& segments, const Int64s& segment_start, const Ints& segment_leaf,
                const Doubles& arcs, const Int64s& arc_start, const Ints& arc_leaf,
                const Bytes& rules, const Int64s& rule_start, const Ints& program,
                const Int64s& program_start, const Bytes& simple, const Doubles& data, u64 bands,
                const Doubles& error, const Bytes& mask, bool has_nodata, double nodata,
                Doubles& sum, Doubles& count, Doubles& area, Doubles& var, Bytes& border,
                u64 n_threads) {
    const R::RegionBatch batch =
        batch_of({segments, segment_start, segment_leaf, arcs, arc_start, arc_leaf, rules,
                  rule_start, program, program_start, simple});
    const u64 n = batch.size();
    expect_image(rows, cols);
    expect_size(border, n, "border");
    expect_windows(windows, n, rows, cols, nullptr);
    R::PixelsTarget target{{}, static_cast<i64>(rows), static_cast<i64>(cols), nullptr,
                           windows.data(), nullptr, &model};
    SumsArrays io{data, bands, error, mask, has_nodata, nodata, sum, count, area, var};
    run_sums(batch, target, io.view(n, rows * cols), border.mutable_data(), n_threads);
}

py::tuple index_window(const R::PixelIndex& index, double xlo, double ylo, double xhi,
                       double yhi) {
    const R::CellWindow w = index.window(xlo, ylo, xhi, yhi);
    return py::make_tuple(w.row0, w.col0, w.rows, w.cols);
}

}  // namespace

void bind_pixels(py::module_& m) {
    py::class_<R::PixelIndex>(m, "PixelIndex",
                              "Boxes of tiles of an image's pixels, for finding the pixels "
                              "near a plane box.")
        .def(py::init(&make_index), py::arg("x").noconvert(), py::arg("y").noconvert(),
             py::arg("dxdu").noconvert(), py::arg("dxdv").noconvert(),
             py::arg("dydu").noconvert(), py::arg("dydv").noconvert(), py::arg("rows"),
             py::arg("cols"), py::arg("n_threads"))
        .def_property_readonly("rows", &R::PixelIndex::rows)
        .def_property_readonly("cols", &R::PixelIndex::cols)
        .def_property_readonly("bad", &R::PixelIndex::bad,
                               "The first pixel with a non-finite centre or Jacobian, or a "
                               "singular Jacobian; -1: none.")
        .def("window", &index_window,
             "(row0, col0, rows, cols) of the tiles whose box meets the plane box.",
             py::arg("xlo"), py::arg("ylo"), py::arg("xhi"), py::arg("yhi"));
    py::class_<R::PlaneModel>(m, "PlaneModel",
                              "The pixels of a TAN or TAN-SIP image on a tangent plane, by "
                              "plain arithmetic.")
        .def(py::init(&make_plane_model), py::arg("linear").noconvert(),
             py::arg("sip").noconvert(), py::arg("layout").noconvert(),
             py::arg("projective").noconvert());
    m.def("plane_pixels", &plane_pixels,
          "Centres and Jacobians of pixels (rows[k], cols[k]) through a PlaneModel; the first "
          "pixel it cannot place, or -1.",
          py::arg("model"), py::arg("rows").noconvert(), py::arg("cols").noconvert(),
          py::arg("x").noconvert(), py::arg("y").noconvert(), py::arg("dxdu").noconvert(),
          py::arg("dxdv").noconvert(), py::arg("dydu").noconvert(), py::arg("dydv").noconvert());
    const auto shapes = std::make_tuple(
        py::arg("x").noconvert(), py::arg("y").noconvert(), py::arg("dxdu").noconvert(),
        py::arg("dxdv").noconvert(), py::arg("dydu").noconvert(), py::arg("dydv").noconvert());
    const auto batch = batch_args();
    const auto sums = std::make_tuple(
        py::arg("data").noconvert(), py::arg("bands"), py::arg("error").noconvert(),
        py::arg("mask").noconvert(), py::arg("has_nodata"), py::arg("nodata"),
        py::arg("sum").noconvert(), py::arg("count").noconvert(), py::arg("area").noconvert(),
        py::arg("var").noconvert());
    std::apply([&](auto... a) {
        m.def("pixels_sums", &pixels_sums,
              "Per region and band, over the counted pixels of an image whose pixels have "
              "their own shape: sums of f x data, f, f x pixel area and f^2 x error^2.",
              a...);
    }, std::tuple_cat(shapes, std::make_tuple(py::arg("index")), batch, sums,
                      std::make_tuple(py::arg("n_threads"))));
    std::apply([&](auto... a) {
        m.def("windows_sums", &windows_sums,
              "pixels_sums over pixels given in a window per region (laid out window after "
              "window); border gets whether a window is too small.",
              a...);
    }, std::tuple_cat(shapes,
                      std::make_tuple(py::arg("windows").noconvert(),
                                      py::arg("offsets").noconvert(), py::arg("rows"),
                                      py::arg("cols")),
                      batch, sums,
                      std::make_tuple(py::arg("border").noconvert(), py::arg("n_threads"))));
    std::apply([&](auto... a) {
        m.def("model_sums", &model_sums,
              "pixels_sums over a window per region whose pixels a PlaneModel makes; border "
              "gets 1 where a window is too small, 2 where the model cannot place a pixel.",
              a...);
    }, std::tuple_cat(std::make_tuple(py::arg("model"), py::arg("windows").noconvert(),
                                      py::arg("rows"), py::arg("cols")),
                      batch, sums,
                      std::make_tuple(py::arg("border").noconvert(), py::arg("n_threads"))));
    std::apply([&](auto... a) {
        m.def("pixels_region", &pixels_region,
              "Fraction of every pixel of an image (pixels of their own shape) inside a region; "
              "pixels away from its box get `outside`.",
              a...);
    }, std::tuple_cat(shapes,
                      std::make_tuple(py::arg("index"), py::arg("segments").noconvert(),
                                      py::arg("segment_leaf").noconvert(),
                                      py::arg("arcs").noconvert(),
                                      py::arg("arc_leaf").noconvert(),
                                      py::arg("rules").noconvert(),
                                      py::arg("program").noconvert(), py::arg("simple"),
                                      py::arg("outside"), py::arg("out").noconvert(),
                                      py::arg("n_threads"))));
}

}  // namespace zolvin::native
