// What the C++ checks share: a failure count, and a digest of every
// result's bits to compare builds (tools/native-check --digests builds each
// check several ways).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int failures = 0;
std::uint64_t digest = 1469598103934665603ULL;

void mix(const double* v, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        std::uint64_t b;
        std::memcpy(&b, v + k, 8);
        digest = (digest ^ b) * 1099511628211ULL;
    }
}

void expect(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

}  // namespace
