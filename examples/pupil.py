"""A telescope pupil every way zolvin.pupil offers: exact, composed coverage, and a mesh.

The pupil is an outer circle minus a central obscuration minus four radial
struts (a spider), sampled on a grid of pixels that may be sheared. Prints
each method's open area and time beside the exact area.

    python examples/pupil.py [--size N] [--shear S]

``python -m zolvin pupil`` writes the same pupil to a file (.png, .npy, .zarr).
The helpers below also give the benchmarks the pupil's pixels as arrays for
``_zolvin``.
"""
import argparse
import math
import time

import numpy as np
import zolvin

R_OUTER = 1.0  # radius of the aperture
R_INNER = 0.3  # radius of the central obscuration
STRUT_WIDTH = 0.02
STRUT_ANGLES = (45.0, 135.0, 225.0, 315.0)  # degrees, counter-clockwise from +x
# Each strut runs along its ray from just behind the centre (hidden by the
# obscuration) to beyond the rim, so its bounding disc never cuts the annulus.
STRUT_FROM = -0.2 * R_OUTER
STRUT_TO = 1.2 * R_OUTER


def addr(a):
    return a.ctypes.data


def pixel_grid(size, shear=0.0):
    """Pixel batch of a size x size grid whose pixels all share one Jacobian
    [[p, shear*p], [0, p]], with pixel coordinates centred on the pupil.
    Returns (u, v, x, y, jacobian arrays, pixel area)."""
    # Pixel pitch such that the whole aperture fits the grid, shear included.
    p = 2.06 * R_OUTER * math.hypot(1.0, shear) / size
    jac = (p, shear * p, 0.0, p)
    c = (size - 1) / 2
    v, u = np.meshgrid(np.arange(size) - c, np.arange(size) - c, indexing="ij")
    u = np.ascontiguousarray(u.ravel())
    v = np.ascontiguousarray(v.ravel())
    x = jac[0] * u + jac[1] * v
    y = jac[2] * u + jac[3] * v
    js = [np.full(u.size, j) for j in jac]
    area = abs(jac[0] * jac[3] - jac[1] * jac[2])
    return u, v, x, y, js, area


def strut_params(angle_deg):
    """Diameter and the two edges of a strut along the ray at this angle:
    both edges share the ray's direction and edge 2 lies on edge 1's inner
    (right-hand) side, so the band between them counts positive."""
    t = math.radians(angle_deg)
    dx, dy = math.cos(t), math.sin(t)
    nx, ny = dy, -dx  # right of the direction
    mid = 0.5 * (STRUT_FROM + STRUT_TO)
    mx, my = mid * dx, mid * dy
    h = 0.5 * STRUT_WIDTH
    x1, y1 = mx - h * nx, my - h * ny
    x2, y2 = mx + h * nx, my + h * ny
    return (STRUT_TO - STRUT_FROM, x1, y1, dy, dx, x2, y2, dy, dx)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=1024, help="pixels per side (default 1024)")
    ap.add_argument("--shear", type=float, default=0.0,
                    help="shear of the pixel grid, dx/dv over dy/dv (default 0; try 0.3)")
    # Other options of python -m zolvin pupil (tools/demo passes them all) are left alone.
    args, _ = ap.parse_known_args(argv)

    grid = zolvin.Grid.spanning(1.0, args.size, shear=args.shear)
    area = grid.pixel_area
    pupil = dict(obscuration=R_INNER / R_OUTER, strut_width=STRUT_WIDTH,
                 struts=[math.radians(t) for t in STRUT_ANGLES])
    exact = zolvin.analytic_area(R_OUTER, **pupil)
    print(f"grid       {args.size} x {args.size} pixels, shear {args.shear:g}")
    print(f"analytic   {exact:.12f}  (annulus minus spokes)")
    for method in zolvin._pupil.METHODS:
        zolvin.pupil(grid[:8, :8], R_OUTER, method=method, **pupil)  # warm-up
        t0 = time.perf_counter()
        img = zolvin.pupil(grid, R_OUTER, method=method, **pupil)
        seconds = time.perf_counter() - t0
        measured = float(img.sum()) * area
        print(f"{method:<10} {measured:.12f}  (relative difference {(measured - exact) / exact:+.2e}, "
              f"{seconds * 1e3:.0f} ms)")


if __name__ == "__main__":
    main()
