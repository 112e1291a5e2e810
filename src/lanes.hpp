// Four doubles processed side by side. Every lane goes through the same IEEE
// operations as the scalar code, so results are identical bit for bit; only
// branches become selects.
//
// With GCC or clang the lanes are a vector extension type. Defining
// ZOLVIN_SCALAR (the CMake option of that name), or building with another
// compiler, makes them a plain struct whose operators loop over the four
// elements: the same operations in the same order, without vector types.
#pragma once

#include <cmath>
#include <cstring>

#if !defined(ZOLVIN_SCALAR) && !(defined(__GNUC__) || defined(__clang__))
#define ZOLVIN_SCALAR 1
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define ZOLVIN_INLINE __forceinline
#else
#define ZOLVIN_INLINE inline __attribute__((always_inline))
#endif

// Batch entry points compiled once per listed x86-64 instruction set and
// chosen at load time. Elsewhere, on the scalar path, or with
// ZOLVIN_NO_CLONES (to pin one instruction set, e.g. with -mavx2), there is a
// single version for the target the compiler was given.
#if defined(__x86_64__) && !defined(ZOLVIN_SCALAR) && !defined(ZOLVIN_NO_CLONES) && \
    (defined(__GNUC__) || defined(__clang__))
#define ZOLVIN_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#else
#define ZOLVIN_CLONES(...)
#endif

namespace zolvin {

#ifndef ZOLVIN_SCALAR

typedef double lanes __attribute__((vector_size(32)));
typedef decltype(lanes{} < lanes{}) lane_mask;

// Selection and mask logic with one spelling for scalars and lanes.
ZOLVIN_INLINE lanes select(lane_mask m, lanes a, lanes b) { return m ? a : b; }
ZOLVIN_INLINE lane_mask invert(lane_mask m) { return ~m; }
ZOLVIN_INLINE lane_mask differ(lane_mask a, lane_mask b) { return a ^ b; }

#else

struct lanes {
    double e[4];
    double& operator[](int l) { return e[l]; }
    double operator[](int l) const { return e[l]; }
};

struct lane_mask {
    bool e[4];
};

// The body of an element-by-element operation: lane l of the result is expr.
#define ZOLVIN_LANEWISE(result, expr)                \
    result r;                                        \
    for (int l = 0; l < 4; ++l) r.e[l] = (expr);     \
    return r

#define ZOLVIN_ARITHMETIC(op)                                                                 \
    ZOLVIN_INLINE lanes operator op(const lanes& a, const lanes& b) {                         \
        ZOLVIN_LANEWISE(lanes, a.e[l] op b.e[l]);                                             \
    }                                                                                         \
    ZOLVIN_INLINE lanes operator op(const lanes& a, double b) {                               \
        ZOLVIN_LANEWISE(lanes, a.e[l] op b);                                                  \
    }                                                                                         \
    ZOLVIN_INLINE lanes operator op(double a, const lanes& b) {                               \
        ZOLVIN_LANEWISE(lanes, a op b.e[l]);                                                  \
    }
ZOLVIN_ARITHMETIC(+)
ZOLVIN_ARITHMETIC(-)
ZOLVIN_ARITHMETIC(*)
ZOLVIN_ARITHMETIC(/)
#undef ZOLVIN_ARITHMETIC

#define ZOLVIN_COMPARISON(op)                                                                 \
    ZOLVIN_INLINE lane_mask operator op(const lanes& a, const lanes& b) {                     \
        ZOLVIN_LANEWISE(lane_mask, a.e[l] op b.e[l]);                                         \
    }                                                                                         \
    ZOLVIN_INLINE lane_mask operator op(const lanes& a, double b) {                           \
        ZOLVIN_LANEWISE(lane_mask, a.e[l] op b);                                              \
    }
ZOLVIN_COMPARISON(<)
ZOLVIN_COMPARISON(<=)
ZOLVIN_COMPARISON(>)
ZOLVIN_COMPARISON(>=)
ZOLVIN_COMPARISON(==)
#undef ZOLVIN_COMPARISON

ZOLVIN_INLINE lanes operator-(const lanes& a) { ZOLVIN_LANEWISE(lanes, -a.e[l]); }

ZOLVIN_INLINE lanes select(const lane_mask& m, const lanes& a, const lanes& b) {
    ZOLVIN_LANEWISE(lanes, m.e[l] ? a.e[l] : b.e[l]);
}
ZOLVIN_INLINE lane_mask invert(const lane_mask& m) { ZOLVIN_LANEWISE(lane_mask, !m.e[l]); }
ZOLVIN_INLINE lane_mask differ(const lane_mask& a, const lane_mask& b) {
    ZOLVIN_LANEWISE(lane_mask, a.e[l] != b.e[l]);
}

#undef ZOLVIN_LANEWISE

#endif

ZOLVIN_INLINE double select(bool m, double a, double b) { return m ? a : b; }
ZOLVIN_INLINE bool invert(bool m) { return !m; }
ZOLVIN_INLINE bool differ(bool a, bool b) { return a != b; }

ZOLVIN_INLINE double root(double a) { return std::sqrt(a); }
ZOLVIN_INLINE lanes root(lanes a) {
    lanes r;
    for (int l = 0; l < 4; ++l) r[l] = std::sqrt(a[l]);  // becomes one vector sqrt
    return r;
}

ZOLVIN_INLINE lanes splat(double a) { return lanes{a, a, a, a}; }
ZOLVIN_INLINE lanes load4(const double* p) {
    lanes r;
    std::memcpy(&r, p, sizeof r);
    return r;
}
ZOLVIN_INLINE void store4(double* p, lanes a) { std::memcpy(p, &a, sizeof a); }

}  // namespace zolvin
