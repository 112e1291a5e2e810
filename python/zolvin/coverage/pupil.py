"""Telescope pupils: a disc minus a central obscuration minus radial struts.

``pupil`` gives every pixel the exact area of its intersection with the pupil,
composed as a shape of zolvin.shapes (the disc minus the union of the
obscuration and the struts) through ``zolvin.aperture_coverage``. Two older
methods stay for those who pinned their results, under names that say what
they are: ``method="coverage"`` is ``zolvin.rules.pupil_fractions`` (the circle
and strut rules, fractions multiplied) and ``method="mesh"`` is
``zolvin.rules.pupil_mesh`` (exact areas of a mesh whose rims are chords).
See ``geometry.py`` beside the rules for what a strut is.
"""
from __future__ import annotations

import itertools
import math
from collections.abc import Sequence

from ..core import checks as V
from ..core.checks import FloatArray
from ..pixels.grid import Grid
from ..pixels.pixels import Pixels
from ..shapes.base import Shape, Union
from ..shapes.ellipses import Disc
from ..shapes.spiders import Spider
from .apertures import aperture_coverage
from .rules.fractions import fractions
from .rules.geometry import MAX_STRUTS, PupilGeometry
from .rules.mesh import mesh

METHODS = ("exact", "coverage", "mesh")


def strut_angles(count: int, start: float = math.pi / 4) -> tuple[float, ...]:
    """count struts evenly spaced, the first at start (radians); at most
    MAX_STRUTS of them."""
    count = V.index(count, "count", 0, MAX_STRUTS)
    return tuple(start + 2 * math.pi * k / count for k in range(count))


def analytic_area(radius: float, *, obscuration: float = 0.0, struts: Sequence[float] = (),
                  strut_width: float = 0.0) -> float:
    """Exact open area of the pupil: the annulus minus the union of the struts,
    overlapping struts included.

    On the circle of radius r a strut covers the angles within asin(h / r) of
    its own (all of its half-plane's, pi, when r <= h), h = strut_width / 2;
    between two neighbouring struts g apart the union covers min(g, 2 asin(h / r)).
    The covered area integrates r times that over r, in closed form:
    the integral of 2 r asin(h / r) is r^2 asin(h / r) + h sqrt(r^2 - h^2).
    """
    p = PupilGeometry(radius, (0.0, 0.0), obscuration, struts, strut_width)
    big, small, h = p.radius, p.inner, 0.5 * p.width
    area = math.pi * (big * big - small * small)
    if not p.angles or h == 0:  # (a width of 5e-324 halves to 0: struts of no area)
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


def pupil_shape(p: PupilGeometry) -> Shape:
    """The pupil as a composed shape: the disc minus the obscuration and the
    struts, each a Spider from the centre to beyond the rim. A strut wider than
    twice the aperture's diameter covers the same part of it as one that
    wide, which keeps its corners near the aperture's scale."""
    width = min(p.width, 4 * p.radius)
    cut = ([Disc(p.center, p.inner)] if p.inner > 0 else []) \
        + [Spider(p.center, t, width) for t in p.angles]
    disc = Disc(p.center, p.radius)
    return disc - Union(*cut) if cut else disc


def pupil(pixels: Pixels | Grid, radius: float, *, center: V.PairLike = (0.0, 0.0),
          obscuration: float = 0.0, struts: Sequence[float] = (), strut_width: float = 0.0,
          method: str = "exact", chord_error: float | None = None,
          n_threads: int | None = None) -> FloatArray:
    """Open fraction of every pixel of a telescope pupil: the disc of the given
    radius around center, minus a central obscuration of radius
    obscuration * radius, minus radial struts of width strut_width at the
    angles in struts (radians, counter-clockwise from +x).

    Every pixel gets the exact area of its intersection with the pupil,
    through ``zolvin.aperture_coverage`` (see there for its exactness). At
    most MAX_STRUTS (1000) struts.

    ``method`` keeps two older methods for those who pinned their results:
    "coverage" is ``zolvin.rules.pupil_fractions`` (the circle and strut
    rules, fractions multiplied; any pixels) and "mesh" is
    ``zolvin.rules.pupil_mesh`` (exact areas of a triangulation whose rims
    are chords at most ``chord_error`` from their arcs, over the pixels of a
    Grid), each bit for bit; see there for what they cost and refuse.
    """
    p = PupilGeometry(radius, center, obscuration, struts, strut_width)
    if method == "exact":
        exact: FloatArray = aperture_coverage(pixels, pupil_shape(p), n_threads=n_threads)
        return exact
    if method == "coverage":
        return fractions(pixels, p, n_threads)
    if method == "mesh":
        return mesh(pixels, p, chord_error, n_threads)
    raise ValueError(f"method must be one of {METHODS}, not {method!r}")
