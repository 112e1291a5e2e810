"""Timing helpers shared by the benchmarks: medians of repeated runs."""
import statistics
import sys
import time


def timed(fn, repeats=5, setup=None):
    """Median seconds of fn() over the repeats (setup() runs untimed before each),
    and fn's last result."""
    times = []
    result = None
    for _ in range(repeats):
        result = None  # the last result is released before the clock starts
        if setup is not None:
            setup()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def median_seconds(fn, repeats=5, setup=None):
    return timed(fn, repeats, setup)[0]


def scale_arg(default=1.0):
    """Optional first argument: a factor that shrinks (or grows) the problem sizes."""
    return float(sys.argv[1]) if len(sys.argv) > 1 else default


def report(label, items, unit, ours, baseline, baseline_name):
    print(f"{label:<34} {ours / items * 1e9:9.2f} ns/{unit}   "
          f"{baseline_name} {baseline / items * 1e9:9.2f} ns/{unit}"
          f"   speed-up x{baseline / ours:6.1f}")
