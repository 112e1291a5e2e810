// Sums of doubles without rounding, for exact signs of determinants.
#pragma once

namespace zolvin::exact {

// x + y == a + b exactly (no overflow), |y| at most half an ulp of x.
inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double b_virtual = x - a;
    const double a_virtual = x - b_virtual;
    y = (a - a_virtual) + (b - b_virtual);
}

// Sign of the exact sum of the terms. Each term is added to an expansion:
// components of increasing magnitude whose binary digits do not overlap, so
// the largest nonzero component outweighs all the others together.
template <int N>
int sum_sign(const double (&terms)[N]) {
    double expansion[N];
    int size = 0;
    for (int k = 0; k < N; ++k) {
        double carry = terms[k];
        for (int i = 0; i < size; ++i) {
            double sum, low;
            two_sum(carry, expansion[i], sum, low);
            expansion[i] = low;
            carry = sum;
        }
        expansion[size++] = carry;
    }
    for (int i = size; i-- > 0;) {
        if (expansion[i] != 0) return expansion[i] > 0 ? 1 : -1;
    }
    return 0;
}

}  // namespace zolvin::exact
