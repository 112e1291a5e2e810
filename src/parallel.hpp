// Work split over threads: contiguous index ranges side by side, and bands of
// rows dealt out in turn; and the stop that lets a caller interrupt them.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace zolvin {

// ---- Stopping long work --------------------------------------------------------

// Thrown out of work that was stopped; the caller that asked for the stop
// knows why (for Python: the pending KeyboardInterrupt).
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

// A stop request shared by the threads of one call. The thread that made it
// (the owner, which released the interpreter's lock) asks `ask` at most every
// kInterval whether to stop: ask re-takes the lock and runs the interpreter's
// signal handlers. Workers only read the flag. Results written before a stop
// are whatever the work had reached.
class Stop {
public:
    using Ask = bool (*)();  // true: stop now
    static constexpr std::chrono::milliseconds kInterval{50};

    explicit Stop(Ask ask) : ask_(ask), owner_(std::this_thread::get_id()) {}

    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

    // On the owner thread, asks when an interval has passed.
    void poll() {
        if (stopped() || std::this_thread::get_id() != owner_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + kInterval;
        if (ask_()) stopped_.store(true, std::memory_order_relaxed);
    }

private:
    Ask ask_;
    std::thread::id owner_;
    std::chrono::steady_clock::time_point next_{};
    std::atomic<bool> stopped_{false};
};

// The stop of the call this thread works for (null: none, the work runs to
// its end). The workers of split_range take their caller's.
inline thread_local Stop* current_stop = nullptr;

// Throws Interrupted when the current call is to stop. Cheap enough to call
// per row, band or chunk of work; on the owner thread it asks at most every
// Stop::kInterval.
inline void check_stop() {
    if (Stop* s = current_stop) {
        s->poll();
        if (s->stopped()) throw Interrupted{};
    }
}

// Makes a stop the current one of this thread for a scope.
class StopScope {
public:
    explicit StopScope(Stop* stop) : saved_(current_stop) { current_stop = stop; }
    ~StopScope() { current_stop = saved_; }
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    Stop* saved_;
};

// ---- Ranges and bands ----------------------------------------------------------

// Start of part k when [0, n) is cut into `parts` contiguous ranges whose
// sizes differ by at most one.
inline std::uint64_t part_start(std::uint64_t n, std::uint64_t parts, std::uint64_t k) {
    return n / parts * k + std::min(k, n % parts);
}

namespace detail {

// Counts the workers still running; the owner waits for them in short
// steps, polling its stop in between, so that an interrupt is seen while
// workers are busy.
class Latch {
public:
    explicit Latch(std::uint64_t n) : left_(n) {}
    void done() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--left_ == 0) cv_.notify_all();
    }
    void wait(Stop* stop) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (left_ != 0) {
            cv_.wait_for(lock, Stop::kInterval, [&] { return left_ == 0; });
            if (left_ != 0 && stop != nullptr) {
                lock.unlock();
                stop->poll();
                lock.lock();
            }
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::uint64_t left_;
};

}  // namespace detail

// Calls body(begin, end) once for each of up to n_threads contiguous ranges of
// [0, n), in parallel; the last range runs on the calling thread. The first
// exception thrown by any range is rethrown once all have finished. Bodies
// that loop over much work call check_stop() as they go.
template <class Body>
void split_range(std::uint64_t n, std::uint64_t n_threads, const Body& body) {
    const std::uint64_t parts = std::max<std::uint64_t>(1, std::min(n_threads, n));
    if (parts == 1) {
        body(std::uint64_t{0}, n);
        return;
    }
    Stop* stop = current_stop;
    std::vector<std::exception_ptr> errors(parts);
    std::vector<std::thread> threads;
    threads.reserve(parts - 1);
    detail::Latch latch(parts - 1);
    auto run = [&](std::uint64_t k) {
        try {
            body(part_start(n, parts, k), part_start(n, parts, k + 1));
        } catch (...) {
            errors[k] = std::current_exception();
        }
    };
    auto work = [&](std::uint64_t k) {
        const StopScope scope(stop);
        run(k);
        latch.done();
    };
    for (std::uint64_t k = 0; k + 1 < parts; ++k) {
        try {
            threads.emplace_back(work, k);
        } catch (const std::system_error&) {
            work(k);  // no thread to be had: this range runs here instead
        }
    }
    run(parts - 1);
    latch.wait(stop);
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
// in order, checking for a stop before each. Which rows share a band or a
// worker must not change any row's result: callers write every row from the
// row's own inputs.
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
                check_stop();
                body(scratch, b * size, std::min(rows, (b + 1) * size));
            }
        }
    });
}

// Calls body(begin, end) for consecutive chunks of [first, last) of at most
// chunk elements, checking for a stop before each.
template <class Body>
void in_chunks(std::uint64_t first, std::uint64_t last, std::uint64_t chunk, const Body& body) {
    const std::uint64_t size = std::max<std::uint64_t>(1, chunk);
    for (std::uint64_t b = first; b < last;) {
        check_stop();
        const std::uint64_t e = last - b > size ? b + size : last;
        body(b, e);
        b = e;
    }
}

}  // namespace zolvin
