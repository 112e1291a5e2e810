"""Polygons: any polygons with holes, and the regular polygon."""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.values import fmt, fmt_point
from .base import TAU, Box, Figure, box_of
from .rings import accumulable, polygon_rings, ring_edges, simple_polygons

__all__ = ["Hexagon", "Polygon", "RegularPolygon"]

# Polygons with more vertices than this are shown abbreviated by repr.
REPR_VERTICES = 8


def _signed_area(ring: FloatArray) -> float:
    x, y = ring[:, 0], ring[:, 1]
    return 0.5 * float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))


def _polygon_list(value: Any) -> bool:
    """Whether value is a sequence of polygons (each a sequence of rings)
    rather than one ring or one polygon's rings."""
    try:
        return bool(np.ndim(value[0][0]) == 2)
    except (TypeError, IndexError, KeyError, ValueError):
        return False


def _parse_polygons(value: Any, name: str) -> tuple[tuple[FloatArray, ...], ...]:
    """Polygons as tuples of rings (exterior counter-clockwise first, holes
    clockwise), parsed as polygon coverage parses them, or a sequence of such
    polygons; none for an empty polygon."""
    if getattr(value, "__geo_interface__", None) is None and _polygon_list(value):
        parts = [p for i, v in enumerate(value) for p in polygon_rings(v, f"{name}[{i}]")]
    else:
        parts = polygon_rings(value, name)
    return tuple(tuple(p) for p in parts)


class Polygon(Figure):
    """Polygons with holes: an ``(n, 2)`` ring, a sequence of rings (the
    exterior first, then its holes), a sequence of such polygons, or a
    geometry with ``__geo_interface__`` (Polygon or MultiPolygon).

    Whatever the rings' orientation, exteriors are taken counter-clockwise and
    holes clockwise; the figure is the union of the polygons, each its
    exterior minus its holes. Rings should be simple (a self-crossing ring
    keeps only the parts it winds positively around); rings with fewer than 3
    distinct vertices or all on one line are dropped, as polygon coverage
    drops them. A polygon left with no ring, or given none (``[]``, an empty
    geometry), is empty: it covers nothing and has no bounds (None).
    """

    __slots__ = ("polygons",)
    polygons: tuple[tuple[FloatArray, ...], ...]

    def __init__(self, rings: Any) -> None:
        self._set(polygons=_parse_polygons(rings, "rings"))

    def _args(self) -> tuple[Any, ...]:
        return ([[r.tolist() for r in p] for p in self.polygons],)

    def _key(self) -> tuple[Any, ...]:
        return ("Polygon", tuple(tuple((r.shape, r.tobytes()) for r in p)
                                 for p in self.polygons))

    def __repr__(self) -> str:
        def ring(r: FloatArray) -> str:
            pts = [fmt_point((x, y)) for x, y in r.tolist()]
            if len(pts) > REPR_VERTICES:
                pts = pts[:3] + [f"... {len(pts) - 4} more"] + pts[-1:]
            return "[" + ", ".join(pts) + "]"
        if len(self.polygons) == 1:
            return f"Polygon([{', '.join(map(ring, self.polygons[0]))}])"
        polys = ", ".join("[" + ", ".join(map(ring, p)) + "]" for p in self.polygons)
        return f"Polygon([{polys}])"

    @property
    def bounds(self) -> Box | None:
        if not self.polygons:
            return None
        return box_of(np.concatenate([p[0] for p in self.polygons]))

    @property
    def area(self) -> float:
        """Shoelace area: exteriors minus holes (overlapping polygons counted twice)."""
        return sum(_signed_area(r) for p in self.polygons for r in p)

    def _simple(self) -> bool:
        return simple_polygons([list(p) for p in self.polygons])

    def _empty(self) -> bool:
        return not self.polygons

    def _accumulated(self) -> bool:
        return accumulable([list(p) for p in self.polygons])


    def _pieces(self, box: Box | None) -> tuple[FloatArray, FloatArray]:
        return ring_edges([r for p in self.polygons for r in p]), np.empty((0, 8))


def regular_offsets(circumradius: float, sides: int, angle: float) -> FloatArray:
    """Vertices of a regular polygon around the origin, counter-clockwise from
    ``angle``. Computed with the scalar math library once per polygon kind, so
    that every copy of it (a segment alone or in its array) has the same bits."""
    return np.array([(circumradius * math.cos(angle + TAU * k / sides),
                      circumradius * math.sin(angle + TAU * k / sides)) for k in range(sides)])


class RegularPolygon(Figure):
    """A regular polygon of ``sides`` vertices around ``center``, the first
    vertex in the direction ``angle`` (radians from +x). Its size is the
    ``circumradius`` (centre to vertex) or ``flat_to_flat``, twice the
    inradius (the distance between opposite flat edges when sides is even);
    give one of them."""

    __slots__ = ("_kind", "_size", "angle", "center", "sides")
    center: tuple[float, float]
    sides: int
    angle: float
    _size: float
    _kind: str

    def __init__(self, center: Any, circumradius: Any = None, sides: Any = 6,
                 angle: Any = 0.0, *, flat_to_flat: Any = None) -> None:
        if (circumradius is None) == (flat_to_flat is None):
            raise TypeError("give one of circumradius and flat_to_flat")
        kind = "circumradius" if flat_to_flat is None else "flat_to_flat"
        size = V.positive(circumradius if flat_to_flat is None else flat_to_flat, kind)
        self._set(center=V.point(center, "center"), sides=V.index(sides, "sides", 3, 1 << 20),
                  angle=V.finite(angle, "angle"), _size=size, _kind=kind)

    @property
    def circumradius(self) -> float:
        """Centre to vertex."""
        if self._kind == "circumradius":
            return self._size
        return 0.5 * self._size / math.cos(math.pi / self.sides)

    @property
    def flat_to_flat(self) -> float:
        """Twice the inradius."""
        if self._kind == "flat_to_flat":
            return self._size
        return 2 * self._size * math.cos(math.pi / self.sides)

    def _args(self) -> tuple[Any, ...]:
        return (self.center,) + ((self._size,) if self._kind == "circumradius" else (None,)) \
            + (self.sides, self.angle)

    def _kwargs(self) -> dict[str, Any]:
        return {"flat_to_flat": self._size} if self._kind == "flat_to_flat" else {}

    def _key(self) -> tuple[Any, ...]:
        # A Hexagon is the six-sided RegularPolygon with the same numbers.
        return ("RegularPolygon", self.center, self.sides, self.angle, self._kind, self._size)

    def __repr__(self) -> str:
        size = f"{self._kind}={fmt(self._size)}"
        return (f"{type(self).__name__}({fmt_point(self.center)}, {size}, "
                + ("" if type(self) is Hexagon else f"sides={self.sides}, ")
                + f"angle={fmt(self.angle)})")

    def vertices(self) -> FloatArray:
        """(sides, 2) vertices, counter-clockwise."""
        cx, cy = self.center
        out: FloatArray = regular_offsets(self.circumradius, self.sides, self.angle) \
            + np.array([cx, cy])
        return out

    @property
    def area(self) -> float:
        n, r = self.sides, self.circumradius
        return 0.5 * n * r * r * math.sin(TAU / n)

    @property
    def bounds(self) -> Box:
        return box_of(self.vertices())

    def _simple(self) -> bool:
        return True

    def _pieces(self, box: Box | None) -> tuple[FloatArray, FloatArray]:
        return ring_edges([self.vertices()]), np.empty((0, 8))


class Hexagon(RegularPolygon):
    """A regular hexagon: ``RegularPolygon(center, circumradius, 6, angle)``.
    At angle 0 its corners are on +-x and its flat edges at top and bottom."""

    __slots__ = ()

    def __init__(self, center: Any, circumradius: Any = None, angle: Any = 0.0, *,
                 flat_to_flat: Any = None) -> None:
        super().__init__(center, circumradius, 6, angle, flat_to_flat=flat_to_flat)

    def _args(self) -> tuple[Any, ...]:
        return (self.center, self._size if self._kind == "circumradius" else None, self.angle)
