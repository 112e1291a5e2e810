// zolvin._native: the kernels for the zolvin package, on NumPy arrays, with
// the interpreter's lock released around the work and the work split over
// n_threads threads. Results are the same bits for every n_threads.
#include "../geometry.hpp"
#include "../region/region.hpp"
#include "native.hpp"

namespace R = zolvin::region;

PYBIND11_MODULE(_native, m, pybind11::mod_gil_not_used()) {
    using namespace zolvin::native;
    m.doc() = "The kernels on NumPy arrays, with the lock released and n_threads threads.";
    bind_coverage(m);
    bind_triangles(m);
    bind_masks(m);
    bind_region(m);
    bind_many(m);
    bind_resample(m);
    // The triangle list format, for the package to size and walk its buffers by.
    m.attr("TRIANGLE_BYTES") = zolvin::kTriangleBytes;
    m.attr("CIRCLE_PIECES") = zolvin::kCirclePieces;
    m.attr("STRUT_PIECES") = zolvin::kStrutPieces;
    // The region's limits and codes, for the package to check regions by.
    m.attr("MAX_LEAVES") = R::kMaxLeaves;
    m.attr("REACH") = R::kReach;
    m.attr("OP_OR") = static_cast<int>(R::op_or);
    m.attr("OP_AND") = static_cast<int>(R::op_and);
    m.attr("OP_DIFF") = static_cast<int>(R::op_diff);
    m.attr("OP_XOR") = static_cast<int>(R::op_xor);
    m.attr("OP_NOT") = static_cast<int>(R::op_not);
    m.attr("RULE_NONZERO") = static_cast<int>(R::Rule::nonzero);
    m.attr("RULE_EVENODD") = static_cast<int>(R::Rule::evenodd);
    m.attr("RULE_POSITIVE") = static_cast<int>(R::Rule::positive);
}
