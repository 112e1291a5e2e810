// The digest driver's shared pieces: the seeded generator, the digest, and
// generated pixel batches.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "geometry.hpp"

namespace digest {

using u64 = std::uint64_t;

// splitmix64.
struct Random {
    u64 state;
    u64 next() {
        u64 z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform(double lo, double hi) {
        return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1p-53);
    }
    u64 below(u64 n) { return next() % n; }
};

// A random unit vector (c, s), from the rational parametrisation of the
// circle: libm's sine and cosine may round differently from machine to machine.
inline void turn(Random& rng, double& c, double& s) {
    const double t0 = rng.uniform(-1, 1);
    const double t = t0 * (rng.below(2) ? 1.0 : 1e-3);
    const double q = rng.below(2) ? 1.0 : -1.0;
    c = q * (1 - t * t) / (1 + t * t);
    s = q * (2 * t) / (1 + t * t);
    if (rng.below(2)) std::swap(c, s);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// FNV-1a over the bytes of the values.
struct Digest {
    u64 h = 0xcbf29ce484222325ull;
    void bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001b3ull;
    }
    void add(double x) {
        if (std::isnan(x)) x = kNaN;
        u64 bits;
        std::memcpy(&bits, &x, sizeof bits);
        bytes(&bits, sizeof bits);
    }
    void add(const std::vector<double>& xs) {
        for (double x : xs) add(x);
    }
    void add_int(std::int64_t i) { bytes(&i, sizeof i); }
};

// One in `every` values replaced by a extreme one.
inline void sprinkle(std::vector<double>& xs, Random& rng, u64 every) {
    static const double extreme[] = {0.0, -0.0, kInf, -kInf, kNaN, 1e300, -1e-300};
    for (double& x : xs) {
        if (rng.below(every) == 0) x = extreme[rng.below(7)];
    }
}

// Random draws are never two arguments of one call: the order in which a
// call's arguments are evaluated differs between compilers.

// A batch of pixels: centres on a jittered row-major layout, Jacobians that
// are shared over runs (as on a grid) or differ pixel to pixel.
struct Pixels {
    std::vector<double> u, v, x, y, j00, j01, j10, j11;
    u64 n;

    zolvin::PixelArrays arrays() const {
        return {x.data(),   y.data(),   u.data(),   v.data(), j00.data(),
                j01.data(), j10.data(), j11.data(), n};
    }
};

inline Pixels make_pixels(Random& rng, u64 n, bool extremes) {
    Pixels p{{}, {}, {}, {}, {}, {}, {}, {}, n};
    double j[4] = {1, 0, 0, 1};
    for (u64 i = 0; i < n; ++i) {
        if (i % 300 == 0 || rng.below(40) == 0) {
            double ca, sa;
            turn(rng, ca, sa);
            const double s = rng.uniform(0.05, 2.0);
            const double shear = rng.below(3) == 0 ? rng.uniform(-0.5, 0.5) : 0.0;
            const double mirror = rng.below(4) == 0 ? -1.0 : 1.0;
            j[0] = s * ca * mirror;
            j[1] = s * (shear * ca - sa);
            j[2] = s * sa * mirror;
            j[3] = s * (shear * sa + ca);
            if (rng.below(5) == 0) j[0] = 0.25, j[1] = 0, j[2] = 0, j[3] = 0.25;
        }
        const double u = static_cast<double>(i % 64) + (rng.below(8) == 0 ? 1000.5 : 0.0);
        const double v = static_cast<double>(i / 64) - 7.0;
        p.u.push_back(u);
        p.v.push_back(v);
        p.x.push_back(rng.uniform(-6, 6));
        p.y.push_back(rng.uniform(-6, 6));
        p.j00.push_back(j[0]), p.j01.push_back(j[1]), p.j10.push_back(j[2]), p.j11.push_back(j[3]);
    }
    if (extremes) {
        for (auto* a : {&p.x, &p.y, &p.j00, &p.j11}) sprinkle(*a, rng, 400);
    }
    return p;
}

// The region kernel's digests (digest_region.cpp): regions of segments alone,
// and regions with elliptic arcs.
void region_segments(Random& rng, Digest& d);
void region_arcs(Random& rng, Digest& d);

}  // namespace digest
