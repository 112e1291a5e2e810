"""Telescope pupils: a disc minus a central obscuration minus radial spokes.

Three ways to the open fraction of every pixel:

- "exact" (the default) composes the pupil as a shape of zolvin.shapes (the
  disc minus the union of the obscuration and the spokes) and gives every
  pixel the exact area of its intersection with it (zolvin.aperture_coverage).
- "coverage" composes the circle and strut coverage rules: the obscuration's
  coverage is subtracted from the aperture's, every spoke's open fraction
  (1 - coverage) multiplied in, each step clipped to [0, 1]. A rim is its
  tangent across a pixel; where a spoke crosses a rim, or spokes overlap, the
  fractions multiply rather than the areas subtract; a circle narrower than a
  pixel scale covers the pixels near its centre whole.
- "mesh" covers the pupil's square with a lattice of triangles (thin strips
  across the rims), keeps their part inside the aperture and outside the
  obscuration with the circle clipper, removes every spoke with the strut
  clipper and spreads the exact areas of what is left over the pixels. Spokes
  are removed exactly, overlaps included; the only error is that of the
  chords that replace the rims' arcs, at most ``chord_error`` from the arc.

A spoke at angle t (radians, counter-clockwise from +x) is the half-band of
width ``strut_width`` along the ray from the centre in the direction t, cut
square at the centre: {p : (p - c).d >= 0, |(p - c) x d| <= strut_width / 2}.
"""
from __future__ import annotations

import itertools
import math
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

from . import _mesh
from . import _validate as V
from ._aperture import aperture_coverage
from ._coverage import enclosed_circle, enclosed_strut
from ._native import REACH
from ._pixels import Pixels
from ._validate import FloatArray
from .grid import Grid
from .shapes import Disc, Shape, Spider, Union

METHODS = ("exact", "coverage", "mesh")
# Most spokes a pupil takes: each costs a pass over every pixel (coverage) or
# every triangle (mesh).
MAX_STRUTS = 1000


# ---- Arguments ---------------------------------------------------------------

class _Pupil:
    """Checked pupil parameters."""

    def __init__(self, radius: Any, center: Any, obscuration: Any, struts: Any,
                 strut_width: Any) -> None:
        self.radius = V.real(radius, "radius")
        if not (math.isfinite(self.radius) and self.radius > 0):
            raise ValueError(f"radius must be positive and finite, not {self.radius}")
        self.center = V.pair(center, "center")
        if not all(map(math.isfinite, self.center)):
            raise ValueError(f"center must be finite, not {self.center}")
        self.obscuration = V.real(obscuration, "obscuration")
        if not 0.0 <= self.obscuration < 1.0:
            raise ValueError(f"obscuration is a fraction of the radius in [0, 1), "
                             f"not {self.obscuration}")
        try:
            angles = tuple(V.real(a, "struts") for a in struts)
        except TypeError:
            if isinstance(struts, Iterable):
                raise
            raise TypeError(f"struts must be a sequence of angles in radians, "
                            f"not {type(struts).__name__}") from None
        if len(angles) > MAX_STRUTS:
            raise ValueError(f"struts: at most {MAX_STRUTS} spokes, not {len(angles)}")
        if not all(map(math.isfinite, angles)):
            raise ValueError(f"strut angles must be finite, not {angles}")
        self.width = V.real(strut_width, "strut_width")
        if not (math.isfinite(self.width) and self.width >= 0):
            raise ValueError(f"strut_width must be non-negative and finite, not {self.width}")
        # Spokes of width 0 cover nothing.
        self.angles = angles if self.width > 0 else ()
        self.inner = self.obscuration * self.radius

    def spokes(self) -> list[tuple[tuple[float, float], tuple[float, float],
                                   tuple[float, float], tuple[float, float]]]:
        """Per spoke: its unit direction, its right-hand normal, and the
        points of edge 1 and edge 2 at distance radius along the ray."""
        cx, cy = self.center
        # Within the aperture a spoke wider than twice its diameter covers what
        # one that wide does (the half-disc beside its ray); capped, the edge
        # points keep the ray's point instead of losing it to rounding.
        h = min(0.5 * self.width, 2 * self.radius)
        out = []
        for t in self.angles:
            dx, dy = math.cos(t), math.sin(t)
            nx, ny = dy, -dx
            mx, my = cx + self.radius * dx, cy + self.radius * dy
            out.append(((dx, dy), (nx, ny), (mx - h * nx, my - h * ny),
                        (mx + h * nx, my + h * ny)))
        return out


def strut_angles(count: int, start: float = math.pi / 4) -> tuple[float, ...]:
    """count spokes evenly spaced, the first at start (radians); at most
    MAX_STRUTS of them."""
    count = V.index(count, "count", 0, MAX_STRUTS)
    return tuple(start + 2 * math.pi * k / count for k in range(count))


# ---- Exact area --------------------------------------------------------------

def analytic_area(radius: float, *, obscuration: float = 0.0, struts: Sequence[float] = (),
                  strut_width: float = 0.0) -> float:
    """Exact open area of the pupil: the annulus minus the union of the spokes,
    overlapping spokes included.

    On the circle of radius r a spoke covers the angles within asin(h / r) of
    its own (all of its half-plane's, pi, when r <= h), h = strut_width / 2;
    between two neighbouring spokes g apart the union covers min(g, 2 asin(h / r)).
    The covered area integrates r times that over r, in closed form:
    the integral of 2 r asin(h / r) is r^2 asin(h / r) + h sqrt(r^2 - h^2).
    """
    p = _Pupil(radius, (0.0, 0.0), obscuration, struts, strut_width)
    big, small, h = p.radius, p.inner, 0.5 * p.width
    area = math.pi * (big * big - small * small)
    if not p.angles or h == 0:  # (a width of 5e-324 halves to 0: spokes of no area)
        return area
    turn = 2 * math.pi
    angles = sorted(a % turn for a in p.angles)
    gaps = [b - a for a, b in itertools.pairwise(angles)] + [angles[0] + turn - angles[-1]]

    def primitive(r: float) -> float:
        return r * r * math.asin(min(1.0, h / r)) + h * math.sqrt(max(0.0, r * r - h * h))

    covered = 0.0
    for g in gaps:
        c = min(g, math.pi)
        if c <= 0:
            continue
        full = h / math.sin(0.5 * c)  # below this radius the whole gap is covered
        top = min(big, full)
        if top > small:
            covered += 0.5 * c * (top * top - small * small)
        low = max(small, full)
        if big > low:
            covered += primitive(big) - primitive(low)
    return area - covered


# ---- Exact -------------------------------------------------------------------

def pupil_shape(p: _Pupil) -> Shape:
    """The pupil as a composed shape: the disc minus the obscuration and the
    spokes, each a bar from the centre to beyond the rim. A spoke wider than
    twice the aperture's diameter covers the same part of it as one that
    wide, which keeps its corners near the aperture's scale."""
    width = min(p.width, 4 * p.radius)
    cut = ([Disc(p.center, p.inner)] if p.inner > 0 else []) \
        + [Spider(p.center, t, width) for t in p.angles]
    disc = Disc(p.center, p.radius)
    return disc - Union(*cut) if cut else disc


# ---- Coverage ----------------------------------------------------------------

# The coverage rule cuts a strut off at a disc around the midpoint of its edge
# points. Each spoke's disc is centred this many radii out along the ray and
# passes through the centre: inside the aperture its rim stays within
# min(strut_width / 2, radius)^2 / (2 * SPOKE_DISC * radius) of the square end.
SPOKE_DISC = 8.0
# The strut rule squares distances across its disc: beyond the reach (centre
# and disc together) whose squares stay finite they overflow, and the spokes
# would cover nothing.
MAX_SPOKE_REACH = REACH


def _coverage(pix: Any, p: _Pupil, n_threads: Any) -> FloatArray:
    reach = abs(p.center[0]) + abs(p.center[1]) + 2 * SPOKE_DISC * p.radius
    if p.angles and reach > MAX_SPOKE_REACH:
        raise ValueError(f"radius: spokes of the coverage method reach |center| + "
                         f"{2 * SPOKE_DISC:g} * radius = {reach:.6g} from the origin, at most "
                         f"{MAX_SPOKE_REACH:g}")
    res = enclosed_circle(pix, p.center, p.radius, n_threads=n_threads)
    if p.inner > 0:
        res -= enclosed_circle(pix, p.center, p.inner, n_threads=n_threads)
    np.clip(res, 0.0, 1.0, out=res)
    far = SPOKE_DISC * p.radius
    cx, cy = p.center
    h = min(0.5 * p.width, 2 * p.radius)  # as in _Pupil.spokes
    for (dx, dy), (nx, ny), _, _ in p.spokes():
        mx, my = cx + far * dx, cy + far * dy
        edge1 = ((mx - h * nx, my - h * ny), (dx, dy))
        edge2 = ((mx + h * nx, my + h * ny), (dx, dy))
        s = enclosed_strut(pix, 2 * far, edge1, edge2, n_threads=n_threads)
        np.subtract(1.0, s, out=s)
        np.clip(s, 0.0, 1.0, out=s)
        res *= s
    return res


# ---- Mesh --------------------------------------------------------------------

def check_mesh_windows(windows: Iterable[Grid], radius: float, *,
                       center: V.PairLike = (0.0, 0.0), obscuration: float = 0.0,
                       struts: Sequence[float] = (), strut_width: float = 0.0,
                       chord_error: float | None = None) -> None:
    """Raises the ValueError that pupil(window, method="mesh", ...) would
    raise for any of the windows, without computing them: the argument
    checks and the triangles per band, counted."""
    p = _Pupil(radius, center, obscuration, struts, strut_width)
    _mesh.check_windows(windows, p, chord_error)


def pupil(pixels: Pixels | Grid, radius: float, *, center: V.PairLike = (0.0, 0.0),
          obscuration: float = 0.0, struts: Sequence[float] = (), strut_width: float = 0.0,
          method: str = "exact", chord_error: float | None = None,
          n_threads: int | None = None) -> FloatArray:
    """Open fraction of every pixel of a telescope pupil: the disc of the given
    radius around center, minus a central obscuration of radius
    obscuration * radius, minus radial spokes of width strut_width at the
    angles in struts (radians, counter-clockwise from +x).

    method "exact" (the default) gives every pixel the exact area of its
    intersection with the pupil, through ``zolvin.aperture_coverage`` (see
    there for its exactness). "coverage" composes the circle and strut
    coverage rules (any pixels); "mesh" spreads the exact areas of a
    triangulation, with the rims replaced by chords at most chord_error from their arcs (plane units;
    default 1e-5 pixel scales), over the pixels of a Grid.

    At most MAX_STRUTS (1000) spokes. The mesh refuses, with a ValueError that
    gives the supported range, what it cannot compute to its chord error or
    in bounded memory: a chord_error below 1e-9 pixel scales; a radius or
    obscuration * radius so small that the accumulation's rounding (up to
    about 1e-9 pixel areas) exceeds the area between the rim and its chords;
    |center| + radius beyond chord_error * 2**49; a band of 1020 rows that
    needs more than 2**21 triangles.
    """
    p = _Pupil(radius, center, obscuration, struts, strut_width)
    if method == "exact":
        exact: FloatArray = aperture_coverage(pixels, pupil_shape(p), n_threads=n_threads)
        return exact
    if method == "coverage":
        return _coverage(pixels, p, n_threads)
    if method == "mesh":
        return _mesh.mesh(pixels, p, chord_error, n_threads)
    raise ValueError(f"method must be one of {METHODS}, not {method!r}")
