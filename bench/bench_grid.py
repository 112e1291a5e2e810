"""Coverage over a regular grid without coordinate arrays, beside photutils'
exact overlap grids and our own array form, on the pupil's grid.

    python bench/bench_grid.py [SIZE] [--record[=DIR]]    (grid SIZE x SIZE, default 4096)

The grid spans [-1.03, 1.03]^2. Circle: the aperture, radius 1. Struts: the
pupil's four radial spokes of width 0.02, against photutils' rectangles of the
same length, width, angle and centre (four calls, one per spoke). Every call
makes its own result array. Ours runs on 2 threads; photutils on one (it has
no threads).
"""
import math
import sys
from pathlib import Path

import numpy as np
import zolvin
from photutils.geometry import circular_overlap_grid, rectangular_overlap_grid
from zolvin.grid import Grid

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from common import recording, timed  # noqa: E402
from pupil import STRUT_ANGLES, STRUT_FROM, STRUT_TO, STRUT_WIDTH, strut_params  # noqa: E402

HALF = 1.03
THREADS = 2
TITLE = "Coverage over a `Grid` beside photutils' exact overlap grids"


def pupil_grid(size):
    p = 2 * HALF / size
    return Grid((size, size), (-HALF + 0.5 * p, -HALF + 0.5 * p), ((p, 0.0), (0.0, p)))


def spokes():
    """Each spoke as our strut and as photutils' rectangle (centre, length, angle)."""
    mid = 0.5 * (STRUT_FROM + STRUT_TO)
    for a in STRUT_ANGLES:
        t = math.radians(a)
        yield strut_params(a), (mid * math.cos(t), mid * math.sin(t), STRUT_TO - STRUT_FROM, t)


def photutils_rect(size, cx, cy, length, theta):
    # photutils centres the rectangle on the origin: move the grid instead.
    return rectangular_overlap_grid(-HALF - cx, HALF - cx, -HALF - cy, HALF - cy, size, size,
                                    length, STRUT_WIDTH, theta, 1, 1)


def array_form(pixels, kind, params):
    """Our array form: the same pixels as coordinate arrays, read by the kernels."""
    u, v, x, y, jac = pixels
    out = np.empty(u.size)
    kernel = getattr(zolvin._native, kind)
    kernel(x, y, u, v, *jac, *params, out, THREADS)
    return out


def main():
    record = recording(__file__, TITLE)
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    grid = pupil_grid(size)
    n = grid.size
    u, v, x, y = (np.ascontiguousarray(t.ravel()) for t in grid.coordinates())
    jac = [np.full(n, j) for j in grid.jac[0] + grid.jac[1]]
    pixels = (u, v, x, y, jac)
    struts = list(spokes())

    def grid_circle():
        return zolvin.enclosed_circle(grid, (0.0, 0.0), 1.0, n_threads=THREADS)

    def grid_struts():
        return [zolvin.enclosed_strut(grid, d, ((x1, y1), (dx1, dy1)), ((x2, y2), (dx2, dy2)),
                                      n_threads=THREADS)
                for (d, x1, y1, dy1, dx1, x2, y2, dy2, dx2), _ in struts]

    cases = [
        ("circle", "circle of radius 1", "`enclosed_circle` on a `Grid`", grid_circle,
         lambda: circular_overlap_grid(-HALF, HALF, -HALF, HALF, size, size, 1.0, 1, 1),
         lambda: array_form(pixels, "enclosed_circle", (0.0, 0.0, 1.0)),
         "photutils `circular_overlap_grid`"),
        ("struts", f"{len(struts)} spokes 0.02 wide",
         f"`enclosed_strut` on a `Grid`, {len(struts)} calls", grid_struts,
         lambda: [photutils_rect(size, *r) for _, r in struts],
         lambda: [array_form(pixels, "enclosed_strut", (d, x1, y1, dx1, dy1, x2, y2, dx2, dy2))
                  for (d, x1, y1, dy1, dx1, x2, y2, dy2, dx2), _ in struts],
         f"photutils `rectangular_overlap_grid`, {len(struts)} calls"),
    ]
    print(f"grid {size} x {size} over [-{HALF}, {HALF}]^2, ours on {THREADS} threads; "
          f"medians, every call allocating its result")
    print(f"{'figure':12} {'grid form':>10} {'photutils':>10} {'ratio':>7} "
          f"{'array form':>11} {'ratio':>7}  max |ours - photutils|")
    data = f"{size}^2 grid"
    for row_id, label, ours_name, ours, theirs, arrays, what in cases:
        t_ours, a = timed(ours, 7)
        t_theirs, b = timed(theirs, 5)
        t_arrays, c = timed(arrays, 5)
        a, b, c = (np.asarray(t, dtype=np.float64).reshape(-1, size, size) for t in (a, b, c))
        assert np.array_equal(a.ravel().view(np.uint64), c.ravel().view(np.uint64)), \
            "grid form and array form differ"
        diff = np.abs(a - b).max()
        print(f"{row_id:12} {t_ours * 1e3:8.1f}ms {t_theirs * 1e3:8.1f}ms {t_theirs / t_ours:6.1f}x "
              f"{t_arrays * 1e3:9.1f}ms {t_arrays / t_ours:6.1f}x  {diff:.2g}")
        print(f"{'':12} {what} (use_exact=1, subpixels=1)")
        ours_named = (f"{ours_name}, {THREADS} threads", t_ours)
        record.add(row_id, label, data, ours_named, (what, t_theirs),
                   note=f"largest difference {diff:.2g}; every call allocates its result")
        record.add("array-form" if row_id == "circle" else f"array-form-{row_id}",
                   f"{label}: the same pixels as coordinate arrays", data, ("grid form", t_ours),
                   ("array form", t_arrays), note="the benchmark checks that both give the same bits")
    record.write()


if __name__ == "__main__":
    main()
