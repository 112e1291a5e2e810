"""The zolvin package beside _zolvin: call overhead, and 1 against 2 threads.

    python bench/bench_package.py [SCALE] [--record[=DIR]]   (SCALE shrinks the 10^7 pixels, default 1)

Overhead: pixel_frac, enclosed_circle and clip_area through the package (which
checks its arguments and makes its result array) and through _zolvin (addresses
of arrays made beforehand), for n = 1, 10^3 and 10^7 pixels. Threads:
pixel_frac of one shared line on 10^7 pixels given as Pixels arrays and as a
Grid, n_threads = 1 and 2, into an existing out= array. Medians of repeated
runs; ratios are 2-thread time over 1-thread time.
"""
import os
import timeit

import numpy as np
import zolvin
from common import median_seconds, recording, scale_arg

import _zolvin

LINE = ((0.1, 0.2), (0.3, 1.0))
CIRCLE = ((0.1, 0.2), 0.7)
TITLE = "The package beside `_zolvin`: call overhead, and one thread against two"


def grid_for(n):
    cols = max(1, int(round(n ** 0.5)))
    rows = max(1, n // cols)
    step = 2.0 / cols
    return zolvin.Grid((rows, cols), (-1.0, -1.0), ((step, 0.1 * step), (0.0, step)))


def per_call(fn, n):
    """Median seconds per call, with enough calls per timing for small n."""
    number = max(1, int(2e5 // max(n, 1)))
    times = timeit.repeat(fn, number=number, repeat=7)
    return sorted(times)[3] / number


def overhead(n, record):
    p = grid_for(n).pixels()
    out = np.empty(p.shape)
    a = tuple(t.ctypes.data for t in p._native_args())
    o = out.ctypes.data
    x, y, u, v, ja, jb, jc, jd = a
    (px, py), (dx, dy) = LINE
    (cx, cy), r = CIRCLE
    tri = np.array([[0.1, 0.2], [0.9, -0.3], [0.4, 0.8]])
    ta = tri.ctypes.data
    rows = [
        ("pixel_frac",
         lambda: _zolvin.pixel_frac(px, py, dy, dx, *a, o, p.size),
         lambda: zolvin.pixel_frac(p, *LINE, n_threads=1)),
        ("enclosed_circle",
         lambda: _zolvin.enclosed_circle(u, v, x, y, cx, cy, r, ja, jb, jc, jd, o, p.size),
         lambda: zolvin.enclosed_circle(p, *CIRCLE, n_threads=1)),
    ]
    if n == 1:
        rows.append(("clip_area", lambda: _zolvin.clip_area(ta, 0, 0),
                     lambda: zolvin.clip_area(tri, 0, 0)))
    for name, low, high in rows:
        t0, t1 = per_call(low, p.size), per_call(high, p.size)
        print(f"  n = {p.size:<9} {name:<16} _zolvin {t0 * 1e6:10.2f} us   zolvin "
              f"{t1 * 1e6:10.2f} us   overhead {(t1 - t0) * 1e6:8.2f} us   ratio {t1 / t0:5.2f}")
        row_id = "overhead" if (name, n) == ("pixel_frac", 1) else f"overhead-{name}-{p.size}"
        record.add(row_id, f"call overhead of `{name}`", f"n = {p.size}, one thread",
                   (f"`zolvin.{name}`", t1), (f"`_zolvin.{name}` on arrays made beforehand", t0),
                   unit="us", note=f"the package's checks and result array: {(t1 - t0) * 1e6:.3g} us")


def threads(n, record):
    g = grid_for(n)
    p = g.pixels()
    out = np.empty(p.shape)
    for label, pixels in (("Pixels", p), ("Grid", g)):
        t = {k: median_seconds(lambda: zolvin.pixel_frac(pixels, *LINE, out=out, n_threads=k),
                               repeats=7) for k in (1, 2)}
        print(f"  pixel_frac on {p.size} pixels ({label:<6}) 1 thread {t[1] * 1e3:8.2f} ms   "
              f"2 threads {t[2] * 1e3:8.2f} ms   ratio {t[2] / t[1]:5.2f}")
        record.add(f"threads-{label.lower()}", "`pixel_frac` of one line, two threads against one",
                   f"{p.size} pixels as {'a ' if label == 'Grid' else ''}`{label}`, into `out=`",
                   ("2 threads", t[2]), ("1 thread", t[1]),
                   note=f"two threads take {t[2] / t[1]:.2f}x the one-thread time")


def machine(record):
    """How much two busy processes slow each other on this machine: the
    ceiling of any two-thread speed-up here."""
    import subprocess
    import sys
    code = "import time\nt=time.perf_counter()\ns=0\nfor i in range(3*10**6): s+=i\n" \
           "print(time.perf_counter()-t)"
    alone = float(subprocess.run([sys.executable, "-c", code], capture_output=True,
                                 text=True).stdout)
    procs = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
             for _ in range(2)]
    both = max(float(q.communicate()[0]) for q in procs)
    print(f"  machine: {len(os.sched_getaffinity(0))} usable cores; a busy loop takes "
          f"{alone:.3f} s alone, {both:.3f} s beside a second one (best 2-thread ratio "
          f"here about {both / alone / 2:.2f})")
    record.note(f"A busy loop took {alone:.3f} s alone and {both:.3f} s beside a second one: "
                f"the best two-thread ratio on the machine then was about {both / alone / 2:.2f}.")


def main():
    record = recording(__file__, TITLE)
    scale = scale_arg()
    print("call overhead, package beside _zolvin (one thread):")
    for n in (1, 10**3, 10**7):
        overhead(max(1, int(n * scale)) if n > 1 else 1, record)
    print("threads:")
    threads(int(10**7 * scale), record)
    machine(record)
    record.write()


if __name__ == "__main__":
    main()
