// What the binding files of zolvin._native share. Every function takes NumPy
// arrays of the kernels' element types, C-contiguous and bound without
// conversion (so that nothing is copied and outputs are written in place),
// and named scalars; directions come x component first. The bindings check
// that the arrays' sizes agree and build the kernels' structs; the zolvin
// package checks the values (finite, in range, not overlapping) before it
// calls in. The work runs with the interpreter's lock released (unlocked),
// and Ctrl-C stops it with KeyboardInterrupt within about a tenth of a second
// of the work's next check (per row, band or chunk).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "../geometry.hpp"
#include "../parallel.hpp"

namespace zolvin::native {

namespace py = pybind11;
using u64 = std::uint64_t;

using Doubles = py::array_t<double, py::array::c_style>;
using Ints = py::array_t<std::int32_t, py::array::c_style>;
using Int64s = py::array_t<std::int64_t, py::array::c_style>;
using Bytes = py::array_t<std::uint8_t, py::array::c_style>;

// Whether the user asked to stop: runs the interpreter's signal handlers
// (with the lock re-taken), which leave KeyboardInterrupt set on Ctrl-C.
inline bool signals_pending() {
    py::gil_scoped_acquire locked;
    return PyErr_CheckSignals() != 0;
}

// Runs work() with the interpreter's lock released; a pending signal stops
// it (the work checks per row, band or chunk) and raises the signal's
// exception (KeyboardInterrupt for Ctrl-C) in place of a result. What the
// work wrote before it stopped stays written.
template <class Work>
void unlocked(const Work& work) {
    Stop stop(&signals_pending);
    const StopScope scope(&stop);
    {
        py::gil_scoped_release released;
        try {
            work();
        } catch (const Interrupted&) {
        }
    }
    if (stop.stopped()) throw py::error_already_set();
}

// ValueError unless the array holds n elements.
inline void expect_size(const py::array& a, u64 n, const char* name) {
    if (static_cast<u64>(a.size()) != n) {
        throw py::value_error(std::string(name) + " must hold " + std::to_string(n) +
                              " elements, not " + std::to_string(a.size()));
    }
}

// A batch of pixels from its eight arrays, each of n elements.
inline PixelArrays pixel_arrays(const Doubles& x, const Doubles& y, const Doubles& u,
                                const Doubles& v, const Doubles& dxdu, const Doubles& dxdv,
                                const Doubles& dydu, const Doubles& dydv, u64 n) {
    const char* names[] = {"x", "y", "u", "v", "dxdu", "dxdv", "dydu", "dydv"};
    const Doubles* arrays[] = {&x, &y, &u, &v, &dxdu, &dxdv, &dydu, &dydv};
    for (int k = 0; k < 8; ++k) expect_size(*arrays[k], n, names[k]);
    return {x.data(),    y.data(),    u.data(),    v.data(),
            dxdu.data(), dxdv.data(), dydu.data(), dydv.data(), n};
}

inline GridWindow grid_window(u64 rows, u64 cols, u64 row0, u64 col0, double x0, double y0,
                              double dxdu, double dxdv, double dydu, double dydv) {
    return {x0, y0, dxdu, dxdv, dydu, dydv, row0, col0, rows, cols};
}

// m.def with the pixels' eight arrays as the first arguments.
template <class F, class... Extra>
void def_pixels(py::module_& m, const char* name, F f, const char* doc, Extra... extra) {
    m.def(name, f, doc, py::arg("x").noconvert(), py::arg("y").noconvert(),
          py::arg("u").noconvert(), py::arg("v").noconvert(), py::arg("dxdu").noconvert(),
          py::arg("dxdv").noconvert(), py::arg("dydu").noconvert(), py::arg("dydv").noconvert(),
          extra...);
}

// m.def with a grid window's ten numbers as the first arguments.
template <class F, class... Extra>
void def_grid(py::module_& m, const char* name, F f, const char* doc, Extra... extra) {
    m.def(name, f, doc, py::arg("rows"), py::arg("cols"), py::arg("row0"), py::arg("col0"),
          py::arg("x0"), py::arg("y0"), py::arg("dxdu"), py::arg("dxdv"), py::arg("dydu"),
          py::arg("dydv"), extra...);
}

// The kernel families, one binding file each.
void bind_coverage(py::module_& m);   // bind_coverage.cpp: lines, circles, struts
void bind_triangles(py::module_& m);  // bind_triangles.cpp
void bind_masks(py::module_& m);      // bind_masks.cpp
void bind_region(py::module_& m);
void bind_many(py::module_& m);       // bind_many.cpp: many regions over one grid     // bind_region.cpp
void bind_resample(py::module_& m);   // bind_resample.cpp: pixels spread over a grid

}  // namespace zolvin::native
