// Four doubles processed side by side with GCC vector extensions. Every lane
// goes through the same IEEE operations as the scalar code, so results are
// identical bit for bit; only branches become selects.
#pragma once

#include <cmath>
#include <cstring>

namespace zolvin {

typedef double lanes __attribute__((vector_size(32)));
typedef decltype(lanes{} < lanes{}) lane_mask;

#define ZOLVIN_INLINE inline __attribute__((always_inline))

// Selection and mask logic with one spelling for scalars and lanes.
ZOLVIN_INLINE double pick(bool m, double a, double b) { return m ? a : b; }
ZOLVIN_INLINE lanes pick(lane_mask m, lanes a, lanes b) { return m ? a : b; }
ZOLVIN_INLINE bool invert(bool m) { return !m; }
ZOLVIN_INLINE lane_mask invert(lane_mask m) { return ~m; }
ZOLVIN_INLINE bool differ(bool a, bool b) { return a != b; }
ZOLVIN_INLINE lane_mask differ(lane_mask a, lane_mask b) { return a ^ b; }

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
