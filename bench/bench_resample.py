"""Flux-conserving resampling: an image whose pixels are rotated 17 degrees
and scaled 0.9 against the target's, onto the target grid, one thread, beside
reproject's exact and adaptive modes and drizzle's square kernel, in the same
run.

    python bench/bench_resample.py [SCALE] [--record[=DIR]]   (SCALE 1: 4096^2 onto 4096^2)

1. `zolvin.resample` (flux) at the full size, one thread and two, against
   drizzle's square kernel (pixfrac 1), its pixel map computed through
   astropy's WCS (included) and handed to it ready (excluded).
   The calls take turns, round after round; one-thread figures are CPU time.
2. At 512^2 (reproject's modes take about 1 and 0.5 s there, a minute or
   more at 4096^2): `resample` against `reproject_exact` (both giving surface
   brightness: conserve="mean") and `reproject_adaptive(conserve_flux=True)`.
Every row gives the medians per input pixel, their ratio, and the largest
difference per output pixel against the peer (where both have a value and
the output pixel is wholly covered), relative to the image's largest value.
The two WCSs share one tangent point, so the peers see the same pixels as
the plane's grids, to the projection's curvature.
"""
import math
import statistics
import time

import numpy as np
import zolvin
from common import recording, scale_arg

TITLE = "`resample` beside reproject and drizzle, per input pixel, one thread"
ANGLE, SCALE = 17.0, 0.9
ARCSEC = 1.0 / 3600.0  # the target's pixel, in degrees


def grids(n):
    """(src, dst): n^2 unit pixels; n^2 pixels rotated and scaled about its centre."""
    c, s = math.cos(math.radians(ANGLE)) * SCALE, math.sin(math.radians(ANGLE)) * SCALE
    jac = ((c, -s), (s, c))
    mid = (n - 1) / 2
    origin = (mid - (c * mid - s * mid) + 0.23, mid - (s * mid + c * mid) - 0.31)
    return zolvin.Grid((n, n), origin, jac), zolvin.Grid((n, n))


def image(n, rng):
    """Random values inside a disc (its pixels wholly inside the target), 0 outside."""
    v, u = np.mgrid[0:n, 0:n] - (n - 1) / 2
    return np.where(u * u + v * v < (0.45 * n) ** 2, rng.uniform(1, 2, (n, n)), 0.0)


def wcs_of(grid, dst):
    """A TAN WCS for grid whose intermediate coordinates are the plane's, one
    plane unit being one arcsecond, tangent at dst's centre."""
    from astropy.wcs import WCS
    (a, b), (c, d) = grid.jac
    xc = (dst.shape[1] - 1) / 2
    dx, dy = grid.origin[0] - xc, grid.origin[1] - xc
    det = a * d - b * c
    # The pixel (0-based) at the tangent point: -J^-1 (origin - centre).
    pu, pv = -(d * dx - b * dy) / det, -(a * dy - c * dx) / det
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval = [180.0, 0.0]
    w.wcs.crpix = [pu + 1, pv + 1]
    w.wcs.cd = np.array([[a, b], [c, d]]) * ARCSEC
    w.pixel_shape = (grid.shape[1], grid.shape[0])
    return w


def pixmap(src):
    rows, cols = src.shape
    v, u = np.mgrid[0:rows, 0:cols].astype(float)
    (a, b), (c, d) = src.jac
    return np.dstack([src.origin[0] + a * u + b * v, src.origin[1] + c * u + d * v])


def interleaved(calls, repeats):
    """Median seconds of each call, wall clock and the process's CPU time,
    the calls taking turns round after round, so that a change in the
    machine's load falls on all of them alike; and each call's last result.
    On one thread the CPU time leaves out the time the call waited for a
    core the machine's other work held."""
    wall, cpu = [[] for _ in calls], [[] for _ in calls]
    results = [None] * len(calls)
    for _ in range(repeats):
        for k, fn in enumerate(calls):
            results[k] = None
            t0, c0 = time.perf_counter(), time.process_time()
            results[k] = fn()
            cpu[k].append(time.process_time() - c0)
            wall[k].append(time.perf_counter() - t0)
    median = statistics.median
    return [median(t) for t in wall], [median(t) for t in cpu], results


def largest(ours, theirs, full, top):
    ok = full & np.isfinite(ours) & np.isfinite(theirs)
    return float(np.max(np.abs(ours[ok] - theirs[ok]))) / top


def run_drizzle(n, record, rng, repeats):
    from drizzle.resample import Drizzle
    from drizzle.utils import calc_pixmap
    src, dst = grids(n)
    data = image(n, rng)
    fp = np.empty(dst.shape)
    mean = zolvin.resample(data, src, dst, conserve="mean", n_threads=2)
    pm = pixmap(src)

    def drizzled(pm, part=data):
        d = Drizzle(kernel="square", out_shape=dst.shape)
        d.add_image(part, exptime=1.0, pixmap=pm, pixfrac=1.0)
        return d.out_img

    w_src, w_dst = wcs_of(src, dst), wcs_of(dst, dst)
    drizzled(pm[:64, :64], data[:64, :64])  # warm up
    (w1, t2, _, _), (t1, _, td, tm), (flux, _, out, _) = interleaved([
        lambda: zolvin.resample(data, src, dst, n_threads=1, footprint=fp),
        lambda: zolvin.resample(data, src, dst, n_threads=2),
        lambda: drizzled(pm),
        lambda: drizzled(calc_pixmap(w_src, w_dst))], repeats)
    conserved = abs(np.nansum(flux) / data.sum() - 1)
    full = fp == 1.0
    diff = largest(mean, out, full, data.max())
    px = n * n
    print(f"{n}^2: resample 1 thread {t1 / px * 1e9:6.1f} ns/pixel (CPU; wall "
          f"{w1 / px * 1e9:6.1f}), 2 threads {t2 / px * 1e9:6.1f} wall (x{w1 / t2:4.2f}); "
          f"flux conserved to {conserved:.1e}")
    print(f"  drizzle square, pixel map given {td / px * 1e9:6.1f} ns (x{td / t1:5.2f}), through "
          f"astropy {tm / px * 1e9:6.1f} ns (x{tm / t1:5.2f}); largest difference {diff:.1e}")
    label = f"{n}^2 rotated {ANGLE:g} deg, scaled {SCALE:g}, onto {n}^2"
    what = "float64 image, random values in a disc inside the target"
    note = (f"largest difference against our conserve='mean' {diff:.1e} of the largest value "
            f"(wholly covered pixels); our flux conserved to {conserved:.1e}")
    record.add(f"drizzle-{n}", label, what, ("resample, 1 thread", t1 / px),
               ("drizzle square kernel, pixel map given", td / px), unit="ns/pixel", note=note)
    record.add(f"drizzle-pixmap-{n}", label, what, ("resample, 1 thread", t1 / px),
               ("drizzle square kernel + astropy pixel map", tm / px), unit="ns/pixel")
    record.add(f"threads-{n}", label, what, ("resample, 2 threads (wall)", t2 / px),
               ("resample, 1 thread (wall)", w1 / px), unit="ns/pixel")


def run_reproject(n, record, rng):
    from reproject import reproject_adaptive, reproject_exact
    src, dst = grids(n)
    data = image(n, rng)
    fp = np.empty(dst.shape)
    w_src, w_dst = wcs_of(src, dst), wcs_of(dst, dst)
    _, (t1, _, te, ta), (mean, flux, (exact, _), (adaptive, _)) = interleaved([
        lambda: zolvin.resample(data, src, dst, conserve="mean", n_threads=1, footprint=fp),
        lambda: zolvin.resample(data, src, dst, n_threads=1),
        lambda: reproject_exact((data, w_src), w_dst, shape_out=dst.shape, parallel=False),
        lambda: reproject_adaptive((data, w_src), w_dst, shape_out=dst.shape,
                                   conserve_flux=True)], 3)
    full = fp == 1.0
    de, da = largest(mean, exact, full, data.max()), largest(flux, adaptive, full, data.max())
    px = n * n
    print(f"{n}^2: resample 1 thread {t1 / px * 1e9:6.1f} ns/pixel; reproject_exact "
          f"{te / px * 1e9:7.0f} ns (x{te / t1:5.0f}, differs {de:.1e}); reproject_adaptive "
          f"{ta / px * 1e9:7.0f} ns (x{ta / t1:5.0f}, differs {da:.1e})")
    label = f"{n}^2 rotated {ANGLE:g} deg, scaled {SCALE:g}, onto {n}^2"
    what = "float64 image, TAN WCSs with 1 arcsec target pixels"
    record.add(f"reproject-exact-{n}", label, what, ("resample mean, 1 thread", t1 / px),
               ("reproject_exact", te / px), unit="ns/pixel",
               note=f"largest difference {de:.1e} of the largest value (spherical areas)")
    record.add(f"reproject-adaptive-{n}", label, what, ("resample flux, 1 thread", t1 / px),
               ("reproject_adaptive conserve_flux", ta / px), unit="ns/pixel",
               note=f"largest difference {da:.1e} of the largest value (a smoothing kernel)")


def main():
    record = recording(__file__, TITLE)
    scale = scale_arg()
    rng = np.random.default_rng(0)
    n = max(64, int(4096 * scale))
    run_drizzle(n, record, rng, 5)
    run_reproject(max(64, int(512 * min(scale, 1.0))), record, rng)
    record.note("One-thread figures are CPU time (the process's, median of the calls "
                "taking turns), so that waits for a core the machine's other work holds "
                "do not count; the two-thread row is wall-clock time.")
    record.note("reproject's modes are timed at 512^2 (a minute or more each at 4096^2), "
                "ours beside them at the same size; the ratios are per input pixel.")
    record.write()


if __name__ == "__main__":
    main()
