"""Segmented mirrors: regular hexagonal segments on a hexagonal lattice."""
from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.values import fmt, fmt_point, sealed
from .base import Box, Figure, Shape, figures
from .polygons import Hexagon, regular_offsets

__all__ = ["HexSegments"]

ORIENTATIONS = ("flat", "pointy")
Position = tuple[int, int]


def _lattice(orientation: str, pitch: float) -> tuple[tuple[float, float], tuple[float, float]]:
    """Lattice vectors (a, b): position (i, j) is centred at i a + j b."""
    s3 = math.sqrt(3.0)
    if orientation == "flat":
        return (0.5 * s3 * pitch, 0.5 * pitch), (0.0, pitch)
    return (pitch, 0.0), (0.5 * pitch, 0.5 * s3 * pitch)


def ring_of(position: Position) -> int:
    """The ring of a lattice position: its hexagonal distance from (0, 0)."""
    i, j = position
    return max(abs(i), abs(j), abs(i + j))


def _ring_positions(k: int) -> list[Position]:
    """Positions of ring k, counter-clockwise from (0, k)."""
    if k == 0:
        return [(0, 0)]
    steps = [(-1, 0), (0, -1), (1, -1), (1, 0), (0, 1), (-1, 1)]
    out, (i, j) = [], (0, k)
    for di, dj in steps:
        for _ in range(k):
            out.append((i, j))
            i, j = i + di, j + dj
    return out


class HexSegments(Figure):
    """A segmented mirror: regular hexagonal segments on a hexagonal lattice.

    ``flat_to_flat`` is each segment's size between opposite flat edges (the
    point-to-point size is 2 / sqrt(3) times it), ``gap`` the clear space
    between neighbouring segments' facing edges, so neighbours' centres are
    ``flat_to_flat + gap`` apart (the pitch).

    Positions are lattice indices (i, j), centred at ``center + i a + j b``
    for two lattice steps a and b of one pitch each, 60 degrees apart (b
    counter-clockwise of a); the ring of (i, j) is max(|i|, |j|, |i + j|).
    ``orientation`` "flat" puts each segment's flat edges at top and bottom
    (corners on +-x) and its neighbours straight above and below: a points
    30 degrees above +x and b straight up, so (1, 0) is centred at
    ``pitch * (sqrt(3) / 2, 1 / 2)`` and (0, 1) at ``pitch * (0, 1)``.
    "pointy" is that lattice and its segments turned 30 degrees clockwise:
    corners at top and bottom, neighbours straight left and right, a along
    +x and b 60 degrees above it, so (1, 0) is centred at ``pitch * (1, 0)``
    and (0, 1) at ``pitch * (1 / 2, sqrt(3) / 2)``.
    The array spans ``rings`` rings around (0, 0). ``keep`` chooses the
    segments: None for all, a sequence of positions (kept in that order), or
    a function ``keep(x, y, ring) -> bool`` of a position's centre and ring,
    applied once here (the shape stores the positions it kept). Without an
    explicit list, positions run ring by ring from (0, 0), each ring
    counter-clockwise from its position on b's axis.
    """

    __slots__ = ("center", "flat_to_flat", "gap", "orientation", "positions", "rings")
    flat_to_flat: float
    gap: float
    rings: int
    orientation: str
    center: tuple[float, float]
    positions: tuple[Position, ...]

    def __init__(self, flat_to_flat: Any, gap: Any, rings: Any, orientation: str = "flat",
                 keep: Callable[[float, float, int], bool] | Sequence[Position] | None = None,
                 *, center: Any = (0.0, 0.0)) -> None:
        f2f = V.positive(flat_to_flat, "flat_to_flat")
        gap_ = V.finite(gap, "gap")
        if gap_ < 0:
            raise ValueError(f"gap must be at least 0, not {gap_}")
        n = V.index(rings, "rings", 0, 1000)
        if orientation not in ORIENTATIONS:
            raise ValueError(f"orientation must be one of {ORIENTATIONS}, not {orientation!r}")
        self._set(flat_to_flat=f2f, gap=gap_, rings=n, orientation=orientation,
                  center=V.point(center, "center"))
        self._set(positions=self._choose(keep))

    def _choose(self, keep: Any) -> tuple[Position, ...]:
        every = [p for k in range(self.rings + 1) for p in _ring_positions(k)]
        if keep is None:
            return tuple(every)
        if callable(keep):
            chosen = []
            for p, (x, y) in zip(every, self._centers(every).tolist()):
                if keep(x, y, ring_of(p)):
                    chosen.append(p)
            return tuple(chosen)
        if isinstance(keep, (str, bytes)) or not isinstance(keep, Iterable):
            raise TypeError(f"keep must be None, a sequence of (i, j) positions or a function "
                            f"of (x, y, ring), not {type(keep).__name__}")
        out: list[Position] = []
        for k, p in enumerate(keep):
            try:
                i, j = p
            except (TypeError, ValueError):
                raise TypeError(f"keep[{k}] must be an (i, j) pair of ints, not {p!r}") from None
            pos = (V.index(i, f"keep[{k}][0]"), V.index(j, f"keep[{k}][1]"))
            if ring_of(pos) > self.rings:
                raise ValueError(f"keep[{k}] = {pos} lies in ring {ring_of(pos)}, beyond "
                                 f"rings = {self.rings}")
            out.append(pos)
        if len(set(out)) != len(out):
            raise ValueError("keep lists a position twice")
        return tuple(out)

    @property
    def pitch(self) -> float:
        """Distance between neighbouring centres."""
        return self.flat_to_flat + self.gap

    @property
    def point_to_point(self) -> float:
        """Each segment's corner-to-corner size."""
        return self._circumradius() * 2

    def _circumradius(self) -> float:
        return self.flat_to_flat / math.sqrt(3.0)

    def _centers(self, positions: Sequence[Position]) -> FloatArray:
        (ax, ay), (bx, by) = _lattice(self.orientation, self.pitch)
        ij = np.array(positions, dtype=np.float64).reshape(-1, 2)
        i, j = ij[:, 0], ij[:, 1]
        cx, cy = self.center
        return np.stack([cx + (i * ax + j * bx), cy + (i * ay + j * by)], axis=1)

    @property
    def centers(self) -> FloatArray:
        """(n, 2) segment centres, in the order of ``positions``."""
        return sealed(self._centers(self.positions))

    def _angle(self) -> float:
        return 0.0 if self.orientation == "flat" else math.pi / 6

    @property
    def segments(self) -> tuple[Hexagon, ...]:
        """Each segment as a Hexagon, in the order of ``positions``."""
        f2f, a = self.flat_to_flat, self._angle()
        return tuple(Hexagon((x, y), angle=a, flat_to_flat=f2f)
                     for x, y in self._centers(self.positions).tolist())

    def segment(self, index: int) -> Hexagon:
        """Segment ``index`` (into ``positions``)."""
        k = V.index(index, "index", -len(self.positions), len(self.positions) - 1)
        ((x, y),) = self._centers([self.positions[k]]).tolist()
        return Hexagon((x, y), angle=self._angle(), flat_to_flat=self.flat_to_flat)

    def vertices(self) -> FloatArray:
        """(n, 6, 2): every segment's vertices, counter-clockwise, bit for bit
        those of ``segments``."""
        off = regular_offsets(0.5 * self.flat_to_flat / math.cos(math.pi / 6), 6, self._angle())
        return self._centers(self.positions)[:, None, :] + off[None, :, :]

    @property
    def area(self) -> float:
        """Total segment area."""
        return len(self.positions) * 0.5 * math.sqrt(3.0) * self.flat_to_flat ** 2

    def per_pixel(self, pixel_area: float) -> float:
        """How many segments a pixel of this area holds where the mirror
        covers it (no more than there are): the pixel area over one
        segment's."""
        n = len(self.positions)
        return float(min(n, pixel_area / (0.5 * math.sqrt(3.0) * self.flat_to_flat ** 2)))

    def _args(self) -> tuple[Any, ...]:
        return (self.flat_to_flat, self.gap, self.rings, self.orientation, self.positions)

    def _kwargs(self) -> dict[str, Any]:
        return {"center": self.center}

    def __repr__(self) -> str:
        full = self.positions == tuple(p for k in range(self.rings + 1)
                                       for p in _ring_positions(k))
        if full:
            keep = ""
        elif len(self.positions) <= 8:
            keep = f", keep={list(self.positions)}"
        else:
            keep = f", keep=<{len(self.positions)} positions>"
        centre = "" if self.center == (0.0, 0.0) else f", center={fmt_point(self.center)}"
        return (f"HexSegments(flat_to_flat={fmt(self.flat_to_flat)}, gap={fmt(self.gap)}, "
                f"rings={self.rings}, orientation={self.orientation!r}{keep}{centre})")

    @property
    def bounds(self) -> Box | None:
        if not self.positions:
            return None
        v = self.vertices().reshape(-1, 2)
        return (float(v[:, 0].min()), float(v[:, 1].min()),
                float(v[:, 0].max()), float(v[:, 1].max()))

    def _pieces(self, box: Box | None) -> tuple[FloatArray, FloatArray]:
        return self._edges(self.vertices())

    def _pieces_near(self, box: Box | None, near: Box) -> tuple[FloatArray, FloatArray]:
        """Only the edges of the hexagons whose bounding boxes meet ``near``.
        A closed ring away from every pixel changes no winding there, and the
        kernel meets the others in the same order: dropping the far ones keeps
        every result bit."""
        v = self.vertices()
        x0, y0, x1, y1 = near
        lo, hi = v.min(axis=1), v.max(axis=1)
        return self._edges(v[(hi[:, 0] >= x0) & (lo[:, 0] <= x1) & (hi[:, 1] >= y0) &
                             (lo[:, 1] <= y1)])

    @staticmethod
    def _edges(v: FloatArray) -> tuple[FloatArray, FloatArray]:
        """The edges of hexagons v (k, 6, 2), hexagon after hexagon."""
        segs = np.concatenate([v, np.roll(v, -1, axis=1)], axis=2).reshape(-1, 4)
        return segs, np.empty((0, 8))


def hex_segments(shape: Shape) -> HexSegments | None:
    """The one HexSegments in the shape, or None; ValueError if several."""
    found = [f for f in figures(shape) if isinstance(f, HexSegments)]
    if len(set(found)) > 1:
        raise ValueError("shape holds more than one HexSegments: per-segment maps need one")
    return found[0] if found else None
