// What the many-region bindings share: a batch of regions from its flat
// arrays (sizes and offsets checked), and the poll that lets Ctrl-C stop a
// long call.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <tuple>

#include "../region/many.hpp"
#include "native.hpp"

namespace zolvin::native {

namespace R = zolvin::region;
using i64 = std::int64_t;

template <class T, class A>
inline std::span<const T> records(const A& a, u64 count) {
    return {reinterpret_cast<const T*>(a.data()), static_cast<std::size_t>(count)};
}

// Offsets of n regions into a list of `total` records: n + 1 values rising
// from 0 to total.
inline void expect_offsets(const Int64s& start, u64 n, u64 total, const char* name) {
    expect_size(start, n + 1, name);
    const i64* s = start.data();
    bool ok = s[0] == 0 && static_cast<u64>(s[n]) == total;
    for (u64 k = 0; ok && k < n; ++k) ok = s[k] <= s[k + 1];
    if (!ok) {
        throw py::value_error(std::string(name) + " must rise from 0 to " +
                              std::to_string(total));
    }
}

struct BatchArrays {
    const Doubles& segments;
    const Int64s& segment_start;
    const Ints& segment_leaf;
    const Doubles& arcs;
    const Int64s& arc_start;
    const Ints& arc_leaf;
    const Bytes& rules;
    const Int64s& rule_start;
    const Ints& program;
    const Int64s& program_start;
    const Bytes& simple;
};

inline R::RegionBatch batch_of(const BatchArrays& a) {
    const auto n = static_cast<u64>(a.simple.size());
    const auto ns = static_cast<u64>(a.segment_leaf.size());
    const auto na = static_cast<u64>(a.arc_leaf.size());
    expect_size(a.segments, 4 * ns, "segments");
    expect_size(a.arcs, 8 * na, "arcs");
    expect_offsets(a.segment_start, n, ns, "segment_start");
    expect_offsets(a.arc_start, n, na, "arc_start");
    expect_offsets(a.rule_start, n, static_cast<u64>(a.rules.size()), "rule_start");
    expect_offsets(a.program_start, n, static_cast<u64>(a.program.size()), "program_start");
    return {records<R::Segment>(a.segments, ns),
            records<i64>(a.segment_start, n + 1),
            records<std::int32_t>(a.segment_leaf, ns),
            records<R::Arc>(a.arcs, na),
            records<i64>(a.arc_start, n + 1),
            records<std::int32_t>(a.arc_leaf, na),
            records<R::Rule>(a.rules, static_cast<u64>(a.rules.size())),
            records<i64>(a.rule_start, n + 1),
            records<std::int32_t>(a.program, static_cast<u64>(a.program.size())),
            records<i64>(a.program_start, n + 1),
            records<std::uint8_t>(a.simple, n)};
}

// The Python names of a batch's eleven arrays, in BatchArrays' order, for
// the bindings that take a batch.
inline auto batch_args() {
    return std::make_tuple(
        py::arg("segments").noconvert(), py::arg("segment_start").noconvert(),
        py::arg("segment_leaf").noconvert(), py::arg("arcs").noconvert(),
        py::arg("arc_start").noconvert(), py::arg("arc_leaf").noconvert(),
        py::arg("rules").noconvert(), py::arg("rule_start").noconvert(),
        py::arg("program").noconvert(), py::arg("program_start").noconvert(),
        py::arg("simple").noconvert());
}

// Asks the interpreter, lock taken for a moment, whether a signal is pending
// (Ctrl-C): its exception stays set for the caller to raise.
inline bool interrupted() {
    py::gil_scoped_acquire locked;
    return PyErr_CheckSignals() != 0;
}

}  // namespace zolvin::native
