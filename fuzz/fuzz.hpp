// Shared pieces of the libFuzzer targets: reading numbers from the fuzzer's
// bytes, output buffers with guard regions, and the checks.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

using u64 = std::uint64_t;

[[noreturn]] inline void fail(const char* what, long a = 0, long b = 0) {
    std::fprintf(stderr, "check failed: %s (%ld, %ld)\n", what, a, b);
    std::abort();
}

#define FUZZ_REQUIRE(cond, ...) \
    do {                        \
        if (!(cond)) ::fuzz::fail(#cond, ##__VA_ARGS__); \
    } while (0)

inline u64 bits(double x) {
    u64 b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// The fuzzer's bytes as numbers; zeros once they run out. `tame` stays true
// while every coordinate read is finite and within kTame of the origin, where
// the kernels promise finite values (and areas within rounding of [0, 1]).
struct Input {
    const std::uint8_t* p;
    std::size_t n;
    bool tame = true;

    static constexpr double kTame = 1e4;

    std::uint8_t byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    u64 word() {
        u64 w = 0;
        for (int i = 0; i < 8; ++i) w = (w << 8) | byte();
        return w;
    }
    // An integer in [lo, hi].
    long range(long lo, long hi) {
        const u64 span = static_cast<u64>(hi - lo) + 1;
        const u64 r = (static_cast<u64>(byte()) << 8 | byte()) % span;
        return lo + static_cast<long>(r);
    }
    // Mostly multiples of 1/256 (which hit pixel sides and shared rows
    // exactly) and uniform values near the origin; now and then any double.
    double coord() {
        static const double extreme[] = {0.0, -0.0, 0.5, -0.5, 1e-300, 1e300,
                                         INFINITY, -INFINITY, NAN, 0x1p-1074};
        const std::uint8_t mode = byte();
        double x;
        if (mode < 128) {
            const auto k = static_cast<std::int16_t>(static_cast<std::uint16_t>(byte() << 8 | byte()));
            x = static_cast<double>(k) / 256.0;
        } else if (mode < 224) {
            x = static_cast<double>(word() >> 11) * 0x1p-53 * 8.0 - 4.0;
        } else if (mode < 240) {
            x = extreme[byte() % 10];
        } else {
            const u64 w = word();
            std::memcpy(&x, &w, sizeof x);
        }
        if (!(std::fabs(x) <= kTame)) tame = false;
        return x;
    }
};

// An output array of n elements with guard regions on both sides, all of
// it filled with `fill`; intact() tells whether the guards still hold it.
template <class T>
struct Guarded {
    static constexpr std::size_t kGuard = 16;
    std::vector<T> all;
    T fill;

    Guarded(std::size_t n, T value) : all(n + 2 * kGuard, value), fill(value) {}
    T* data() { return all.data() + kGuard; }
    std::size_t size() const { return all.size() - 2 * kGuard; }
    bool intact() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (std::memcmp(&all[i], &fill, sizeof(T)) != 0) return false;
            if (std::memcmp(&all[all.size() - 1 - i], &fill, sizeof(T)) != 0) return false;
        }
        return true;
    }
};

// A NaN that no kernel makes: any element still holding it was not written.
inline double unwritten() {
    const u64 b = 0x7ff4dead0000beefull;
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

inline bool same_bits(const double* a, const double* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0;
}

}  // namespace fuzz
