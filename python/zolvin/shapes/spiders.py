"""The spider: a straight bar across an aperture.

One bar has one name: a Spider wherever it is a shape; the kernels, and the
pupil's parameters, call the same bar a strut (``enclosed_strut``,
``pupil(struts=...)``).
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.values import fmt, fmt_point
from .base import Box, Figure, box_of
from .rings import ring_edges

__all__ = ["Spider"]


class Spider(Figure):
    """A straight bar: from ``start`` in the direction ``angle``
    (radians from +x), ``width`` across (centred on that line), ``length``
    long, cut square at both ends. ``length=None`` runs beyond everything else
    in the shape it is composed into (the union of the other figures' bounding
    boxes); alone it has no extent and cannot be drawn."""

    __slots__ = ("angle", "length", "start", "width")
    start: tuple[float, float]
    angle: float
    width: float
    length: float | None

    def __init__(self, start: Any, angle: Any, width: Any, length: Any = None) -> None:
        self._set(start=V.point(start, "start"), angle=V.finite(angle, "angle"),
                  width=V.positive(width, "width"),
                  length=None if length is None else V.positive(length, "length"))

    def _args(self) -> tuple[Any, ...]:
        return (self.start, self.angle, self.width, self.length)

    def __repr__(self) -> str:
        tail = "" if self.length is None else f", {fmt(self.length)}"
        return (f"Spider({fmt_point(self.start)}, {fmt(self.angle)}, {fmt(self.width)}"
                f"{tail})")

    def corners(self, length: float | None = None) -> FloatArray:
        """(4, 2) corners, counter-clockwise; length overrides a length of None."""
        ell = self.length if self.length is not None else length
        if ell is None:
            raise ValueError("a Spider of length None needs another figure to run beyond: "
                             "compose it with one (e.g. disc - spider)")
        (sx, sy), h = self.start, 0.5 * self.width
        dx, dy = math.cos(self.angle), math.sin(self.angle)
        nx, ny = -dy, dx
        ex, ey = sx + ell * dx, sy + ell * dy
        return np.array([(sx - h * nx, sy - h * ny), (ex - h * nx, ey - h * ny),
                         (ex + h * nx, ey + h * ny), (sx + h * nx, sy + h * ny)])

    @property
    def bounds(self) -> Box | None:
        if self.length is None:
            return None
        return box_of(self.corners())

    def reach(self, box: Box) -> float:
        """A length that takes the bar beyond the box, whatever its direction."""
        (sx, sy), (x0, y0, x1, y1) = self.start, box
        far = max(math.hypot(x - sx, y - sy) for x in (x0, x1) for y in (y0, y1))
        return 1.01 * far + self.width

    def _pieces(self, box: Box | None) -> tuple[FloatArray, FloatArray]:
        # Without a length of its own, beyond the box (and with no box, refused).
        length = self.reach(box) if self.length is None and box is not None else None
        return ring_edges([self.corners(length)]), np.empty((0, 8))
