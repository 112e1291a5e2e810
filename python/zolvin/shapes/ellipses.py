"""Round figures: the disc and the ellipse, each bounded by one exact arc."""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.values import fmt, fmt_point
from .base import TAU, Box, Figure

__all__ = ["Disc", "Ellipse"]


def _extent(value: Any, name: str) -> float:
    """A radius or semi-axis: positive, its square neither underflowing to 0
    nor overflowing (an arc's determinant is a product of two of them)."""
    x = V.positive(value, name)
    if not 0.0 < x * x < math.inf:
        raise ValueError(f"{name} must lie between 1e-150 and 1e150, not {x}")
    return x


class Disc(Figure):
    """The closed disc of ``radius`` around ``center``; its rim is one exact
    circular arc."""

    __slots__ = ("center", "radius")
    center: tuple[float, float]
    radius: float

    def __init__(self, center: Any, radius: Any) -> None:
        self._set(center=V.point(center, "center"), radius=_extent(radius, "radius"))

    def _args(self) -> tuple[Any, ...]:
        return (self.center, self.radius)

    def __repr__(self) -> str:
        return f"Disc({fmt_point(self.center)}, {fmt(self.radius)})"

    @property
    def bounds(self) -> Box:
        (x, y), r = self.center, self.radius
        return x - r, y - r, x + r, y + r

    def _simple(self) -> bool:
        return True

    def _pieces(self, box: Box | None) -> tuple[FloatArray, FloatArray]:
        (x, y), r = self.center, self.radius
        return np.empty((0, 4)), np.array([[x, y, r, 0.0, 0.0, r, 0.0, TAU]])


class Ellipse(Figure):
    """The closed ellipse around ``center`` with semi-axes ``(p, q)``, the
    first along ``angle`` (radians from +x); its rim is one exact arc."""

    __slots__ = ("angle", "center", "semi_axes")
    center: tuple[float, float]
    semi_axes: tuple[float, float]
    angle: float

    def __init__(self, center: Any, semi_axes: Any, angle: Any = 0.0) -> None:
        p, q = V.pair(semi_axes, "semi_axes")
        self._set(center=V.point(center, "center"),
                  semi_axes=(_extent(p, "semi_axes[0]"), _extent(q, "semi_axes[1]")),
                  angle=V.finite(angle, "angle"))

    def _args(self) -> tuple[Any, ...]:
        return (self.center, self.semi_axes, self.angle)

    def __repr__(self) -> str:
        return (f"Ellipse({fmt_point(self.center)}, {fmt_point(self.semi_axes)}, "
                f"{fmt(self.angle)})")

    def _coefficients(self) -> tuple[float, float, float, float]:
        """(a, b, c, d): the rim is centre + (a cos t + b sin t, c cos t + d sin t)."""
        (p, q), th = self.semi_axes, self.angle
        co, si = math.cos(th), math.sin(th)
        return p * co, -q * si, p * si, q * co

    @property
    def bounds(self) -> Box:
        (x, y) = self.center
        a, b, c, d = self._coefficients()
        hx, hy = math.hypot(a, b), math.hypot(c, d)
        return x - hx, y - hy, x + hx, y + hy

    def _simple(self) -> bool:
        return True

    def _pieces(self, box: Box | None) -> tuple[FloatArray, FloatArray]:
        x, y = self.center
        return np.empty((0, 4)), np.array([[x, y, *self._coefficients(), 0.0, TAU]])
