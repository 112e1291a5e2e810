// Work split over threads: contiguous index ranges side by side, and bands of
// rows dealt out in turn.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace zolvin {

// Start of part k when [0, n) is cut into `parts` contiguous ranges whose
// sizes differ by at most one.
inline std::uint64_t part_start(std::uint64_t n, std::uint64_t parts, std::uint64_t k) {
    return n / parts * k + std::min(k, n % parts);
}

// Calls body(begin, end) once for each of up to n_threads contiguous ranges of
// [0, n), in parallel; the last range runs on the calling thread. The first
// exception thrown by any range is rethrown once all have finished.
template <class Body>
void split_range(std::uint64_t n, std::uint64_t n_threads, const Body& body) {
    const std::uint64_t parts = std::max<std::uint64_t>(1, std::min(n_threads, n));
    if (parts == 1) {
        body(std::uint64_t{0}, n);
        return;
    }
    std::vector<std::exception_ptr> errors(parts);
    std::vector<std::thread> threads;
    threads.reserve(parts - 1);
    auto run = [&](std::uint64_t k) {
        try {
            body(part_start(n, parts, k), part_start(n, parts, k + 1));
        } catch (...) {
            errors[k] = std::current_exception();
        }
    };
    for (std::uint64_t k = 0; k + 1 < parts; ++k) {
        try {
            threads.emplace_back(run, k);
        } catch (const std::system_error&) {
            run(k);  // no thread to be had: this range runs here instead
        }
    }
    run(parts - 1);
    for (auto& t : threads) t.join();
    for (auto& e : errors) {
        if (e) std::rethrow_exception(e);
    }
}

// Scratch of a band body that needs none.
struct NoScratch {};

// Rows [0, rows) cut into bands of band_rows rows (the last may be shorter)
// and dealt out in turn to up to n_threads workers: worker k takes bands k,
// k + workers, k + 2 workers, ..., so that work over one part of the rows
// still keeps every thread busy. Each worker makes one Scratch (its buffers,
// reused band after band) and calls body(scratch, begin, end) for its bands
// in order. Which rows share a band or a worker must not change any row's
// result: callers write every row from the row's own inputs.
template <class Scratch = NoScratch, class Body>
void deal_bands(std::uint64_t rows, std::uint64_t band_rows, std::uint64_t n_threads,
                const Body& body) {
    if (rows == 0) return;
    const std::uint64_t size = std::max<std::uint64_t>(1, band_rows);
    const std::uint64_t bands = rows / size + (rows % size != 0 ? 1 : 0);
    const std::uint64_t workers = std::max<std::uint64_t>(1, std::min(n_threads, bands));
    split_range(workers, workers, [&](std::uint64_t first, std::uint64_t last) {
        for (std::uint64_t k = first; k < last; ++k) {
            Scratch scratch{};
            for (std::uint64_t b = k; b < bands; b += workers) {
                body(scratch, b * size, std::min(rows, (b + 1) * size));
            }
        }
    });
}

}  // namespace zolvin
