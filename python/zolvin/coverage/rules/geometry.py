"""A telescope pupil's parameters, checked once: the disc of an aperture, a
central obscuration and radial struts.

A strut at angle t (radians, counter-clockwise from +x) is the half-band of
width ``strut_width`` along the ray from the centre in the direction t, cut
square at the centre: {p : (p - c).d >= 0, |(p - c) x d| <= strut_width / 2}.
"""
from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any

from ...core import checks as V

# Most struts a pupil takes: each costs a pass over every pixel (fractions) or
# every triangle (mesh).
MAX_STRUTS = 1000

Pair = tuple[float, float]


class PupilGeometry:
    """Checked pupil parameters: radius, center, obscuration (a fraction of
    the radius) and its radius ``inner``, strut ``angles`` (none when their
    ``width`` is 0)."""

    def __init__(self, radius: Any, center: Any, obscuration: Any, struts: Any,
                 strut_width: Any) -> None:
        self.radius = V.positive(radius, "radius")
        self.center = V.point(center, "center")
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
            raise ValueError(f"struts: at most {MAX_STRUTS}, not {len(angles)}")
        if not all(map(math.isfinite, angles)):
            raise ValueError(f"strut angles must be finite, not {angles}")
        self.width = V.real(strut_width, "strut_width")
        if not (math.isfinite(self.width) and self.width >= 0):
            raise ValueError(f"strut_width must be non-negative and finite, not {self.width}")
        # Struts of width 0 cover nothing.
        self.angles = angles if self.width > 0 else ()
        self.inner = self.obscuration * self.radius

    def half_width(self) -> float:
        """Half a strut's width, capped: within the aperture a strut wider
        than twice its diameter covers what one that wide does (the half-disc
        beside its ray); capped, the edge points keep the ray's point instead
        of losing it to rounding."""
        return min(0.5 * self.width, 2 * self.radius)

    def struts(self) -> list[tuple[Pair, Pair, Pair, Pair]]:
        """Per strut: its unit direction, its right-hand normal, and the
        points of edge 1 and edge 2 at distance radius along the ray."""
        cx, cy = self.center
        h = self.half_width()
        out = []
        for t in self.angles:
            dx, dy = math.cos(t), math.sin(t)
            nx, ny = dy, -dx
            mx, my = cx + self.radius * dx, cy + self.radius * dy
            out.append(((dx, dy), (nx, ny), (mx - h * nx, my - h * ny),
                        (mx + h * nx, my + h * ny)))
        return out
