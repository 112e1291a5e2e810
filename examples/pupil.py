"""Render a telescope pupil with the circle and strut coverage kernels.

The pupil is an outer circle minus a central obscuration minus four radial
struts (a spider), sampled on a grid of pixels that may be sheared. Writes a
grayscale PNG and prints the open area beside its exact value.

    python examples/pupil.py [OUT.png] [--size N] [--shear S]
"""
import argparse
import math
import time
from pathlib import Path

import numpy as np
from PIL import Image

import _zolvin

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


def render(size, shear=0.0):
    """Open fraction of every pixel, as a (size, size) array with rows along
    v, plus the pixel area and the seconds spent in the kernels."""
    u, v, x, y, js, area = pixel_grid(size, shear)
    n = u.size
    pix = [addr(u), addr(v), addr(x), addr(y)]
    jac = [addr(j) for j in js]
    # Filled now so that page faults on first write stay out of the timing.
    outer, inner, *struts = (np.full(n, np.nan) for _ in range(2 + len(STRUT_ANGLES)))
    t0 = time.perf_counter()
    _zolvin.enclosed_circle(*pix, 0.0, 0.0, R_OUTER, *jac, addr(outer), n)
    _zolvin.enclosed_circle(*pix, 0.0, 0.0, R_INNER, *jac, addr(inner), n)
    for a, strut in zip(STRUT_ANGLES, struts):
        _zolvin.enclosed_strut(*pix, *strut_params(a), *jac, addr(strut), n)
    seconds = time.perf_counter() - t0
    # The obscuration lies inside the aperture, so their coverages subtract.
    # A strut edge crossing a rim cuts the pixel the other way, so the
    # struts' open fractions multiply; clipping absorbs the pixels where
    # values meet beyond the figures (struts past the rim or the centre).
    open_ = np.clip(outer - inner, 0.0, 1.0)
    for s in struts:
        open_ *= np.clip(1.0 - s, 0.0, 1.0)
    return np.clip(open_, 0.0, 1.0).reshape(size, size), area, seconds


def analytic_area():
    """Exact open area: the annulus minus the four strut bands inside it
    (the bands are disjoint there and lie wholly within their discs)."""
    h = 0.5 * STRUT_WIDTH

    def chord_band(a):  # area of the disc of radius a within |t| <= h
        return 2 * (h * math.sqrt(a * a - h * h) + a * a * math.asin(h / a))

    # Half of each band lies on the strut's ray side of the centre.
    band = 0.5 * (chord_band(R_OUTER) - chord_band(R_INNER))
    return math.pi * (R_OUTER**2 - R_INNER**2) - len(STRUT_ANGLES) * band


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out", nargs="?", default="out/pupil.png", help="PNG path (default out/pupil.png)")
    ap.add_argument("--size", type=int, default=1024, help="pixels per side (default 1024)")
    ap.add_argument("--shear", type=float, default=0.0,
                    help="shear of the pixel grid, dx/dv over dy/dv (default 0; try 0.3)")
    args = ap.parse_args(argv)

    img, area, seconds = render(args.size, args.shear)
    measured = float(img.sum()) * area
    exact = analytic_area()
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    # Rows run along +y; flip so that +y points up in the picture.
    Image.fromarray(np.rint(img[::-1] * 255).astype(np.uint8), mode="L").save(out, optimize=True)

    print(f"grid       {args.size} x {args.size} pixels, shear {args.shear:g}")
    print(f"open area  {measured:.10f}  (coverage sum x pixel area)")
    print(f"analytic   {exact:.10f}  (relative difference {(measured - exact) / exact:+.2e})")
    print(f"kernels    {seconds * 1e3:.1f} ms for 2 circles and {len(STRUT_ANGLES)} struts "
          f"({seconds * 1e9 / (6 * img.size):.2f} ns per pixel and figure)")
    print(f"image      {out}")


if __name__ == "__main__":
    main()
