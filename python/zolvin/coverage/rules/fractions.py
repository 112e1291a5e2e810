"""The pupil by the line rules: fractions multiplied, not areas subtracted.

The obscuration's circle coverage is subtracted from the aperture's, every
strut's open fraction (1 - its strut coverage) multiplied in, each step
clipped to [0, 1]. A rim is its tangent across a pixel; where a strut
crosses a rim, or struts overlap, the fractions multiply rather than the
areas subtract; a circle narrower than a pixel scale covers the pixels near
its centre whole. ``zolvin.pupil(method="coverage")`` gives these bits, for
those who pinned them; ``zolvin.pupil`` itself is exact.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ...core import checks as V
from ...core.checks import FloatArray
from ...core.limits import REACH
from ...pixels.grid import Grid
from ...pixels.pixels import Pixels
from .geometry import PupilGeometry
from .lines import enclosed_circle, enclosed_strut

# The strut rule cuts a strut off at a disc around the midpoint of its edge
# points. Each strut's disc is centred this many radii out along the ray and
# passes through the centre: inside the aperture its rim stays within
# min(strut_width / 2, radius)^2 / (2 * STRUT_DISC * radius) of the square end.
STRUT_DISC = 8.0


def pupil_fractions(pixels: Pixels | Grid, radius: float, *, center: V.PairLike = (0.0, 0.0),
                    obscuration: float = 0.0, struts: Sequence[float] = (),
                    strut_width: float = 0.0, n_threads: int | None = None) -> FloatArray:
    """Open fraction of every pixel of a telescope pupil by the circle and
    strut rules, the fractions multiplied: what ``zolvin.pupil(...,
    method="coverage")`` gives, bit for bit.

    Parameters are those of ``zolvin.pupil``; any pixels. Approximate: a rim
    is its tangent across a pixel (see ``enclosed_circle``), and where a
    strut crosses a rim or struts overlap the fractions multiply, so a pixel
    there is off by up to the product of its covered fractions. For exact
    areas use ``zolvin.pupil``.
    """
    g = PupilGeometry(radius, center, obscuration, struts, strut_width)
    return fractions(pixels, g, n_threads)


def fractions(pixels: Any, g: PupilGeometry, n_threads: Any) -> FloatArray:
    """pupil_fractions of checked parameters."""
    # The strut rule squares distances across its disc: beyond REACH (centre
    # and disc together) they overflow, and the struts would cover nothing.
    reach = abs(g.center[0]) + abs(g.center[1]) + 2 * STRUT_DISC * g.radius
    if g.angles and reach > REACH:
        raise ValueError(f"radius: struts of the coverage method reach |center| + "
                         f"{2 * STRUT_DISC:g} * radius = {reach:.6g} from the origin, at most "
                         f"{REACH:g}")
    res = enclosed_circle(pixels, g.center, g.radius, n_threads=n_threads)
    if g.inner > 0:
        res -= enclosed_circle(pixels, g.center, g.inner, n_threads=n_threads)
    np.clip(res, 0.0, 1.0, out=res)
    far = STRUT_DISC * g.radius
    cx, cy = g.center
    h = g.half_width()
    for (dx, dy), (nx, ny), _, _ in g.struts():
        mx, my = cx + far * dx, cy + far * dy
        edge1 = ((mx - h * nx, my - h * ny), (dx, dy))
        edge2 = ((mx + h * nx, my + h * ny), (dx, dy))
        s = enclosed_strut(pixels, 2 * far, edge1, edge2, n_threads=n_threads)
        np.subtract(1.0, s, out=s)
        np.clip(s, 0.0, 1.0, out=s)
        res *= s
    return res
