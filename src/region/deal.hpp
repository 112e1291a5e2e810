// What the many-region drivers take (threads, a way to stop, a block size),
// and how they hand regions to threads: chunks of the walking order taken in
// turn, the last thread asking whether to stop.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "../parallel.hpp"

namespace zolvin::region {

// Raised out of the driver when `poll` asked it to stop.
struct Cancelled {};

struct DriverOptions {
    std::uint64_t n_threads = 1;
    // Called on the calling thread every few hundred regions; returning true
    // stops every thread and makes the driver throw Cancelled.
    std::function<bool()> poll;
    // Cells per block handed to a sink (at least one row): bounds the
    // scratch memory of a region that spans a large part of the grid.
    std::int64_t block_cells = std::int64_t{1} << 20;
};

// Deals positions 0..n-1 of a walking order to the workers in chunks (small
// enough that the threads finish together, large enough that taking one is
// rare). Each worker makes its own state with make() and calls
// body(thread, position, state) for every position it takes, in order. The
// last worker calls options.poll every few hundred regions; when it answers
// true every worker stops after its chunk and Cancelled is thrown.
template <class Make, class Body>
void deal_regions(std::size_t n, std::uint64_t workers, const DriverOptions& options,
                  const Make& make, const Body& body) {
    const std::size_t chunk = std::clamp<std::size_t>(n / (workers * 16), 1, 64);
    constexpr std::size_t kPollEvery = 256;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    split_range(workers, workers, [&](std::uint64_t first, std::uint64_t) {
        const int thread = static_cast<int>(first);
        const bool polls = first + 1 == workers && options.poll;
        auto state = make();
        std::size_t since_poll = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t a = next.fetch_add(chunk, std::memory_order_relaxed);
            if (a >= n) break;
            const std::size_t e = std::min(n, a + chunk);
            for (std::size_t m = a; m < e; ++m) body(thread, m, state);
            since_poll += e - a;
            if (polls && since_poll >= kPollEvery) {
                since_poll = 0;
                if (options.poll()) stop.store(true, std::memory_order_relaxed);
            }
        }
    });
    if (stop.load()) throw Cancelled{};
}

}  // namespace zolvin::region
