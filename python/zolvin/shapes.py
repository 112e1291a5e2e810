"""Plane figures for apertures, and their union, difference and intersection.

Shapes live in plane coordinates (x, y); angles are radians, counter-clockwise
from +x. Every shape is a value: immutable, hashable, picklable (unpickling runs
the same checks as construction), equal to another when it describes the same
figure with the same numbers, and shown by a readable repr.

- ``Disc(center, radius)``, ``Ellipse(center, semi_axes, angle)``
- ``Polygon(rings)``: an ``(n, 2)`` ring, a sequence of rings (the exterior
  first, then holes), a sequence of such polygons, or anything with a
  ``__geo_interface__`` of type Polygon or MultiPolygon
- ``RegularPolygon(center, circumradius, sides, angle)`` (or ``flat_to_flat=``)
  and ``Hexagon``, its six-sided case
- ``Spider(start, angle, width, length=None)``: a straight bar; length None
  reaches beyond everything else in the shape it is composed into
- ``HexSegments(flat_to_flat, gap, rings, ...)``: a segmented mirror, each
  segment addressable (``.positions``, ``.centers``, ``.segments``)
- ``a | b``, ``a - b``, ``a & b``: union, difference, intersection, nested freely

``compile_shape`` turns a shape into the region description that the exact
rasterizer takes: directed boundary pieces grouped into leaves, and a postfix
boolean program over the leaves. Every union of plain figures (polygons,
discs, ellipses, bars, segments) is one leaf whose pieces are positively
oriented (exteriors counter-clockwise, holes clockwise): a point is inside the
union exactly where their winding number is positive, so the 798 segments of
a large telescope cost one leaf. Differences and intersections are the
program's operations.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _validate as V
from ._native import MAX_LEAVES, OP_AND, OP_DIFF, OP_OR
from ._region import polygon_rings
from ._validate import FloatArray

__all__ = ["Compiled", "Difference", "Disc", "Ellipse", "HexSegments", "Hexagon", "Intersection",
           "Polygon", "RegularPolygon", "Shape", "Spider", "Union", "compile_shape"]

TAU = 2 * math.pi
# Program operations (postfix): leaf indices push, these combine the top two.
OR, AND, DIFF = OP_OR, OP_AND, OP_DIFF
# Polygons with more vertices than this are shown abbreviated by repr.
REPR_VERTICES = 8


# ---- Arguments ---------------------------------------------------------------

def _finite(value: Any, name: str) -> float:
    x = V.real(value, name)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, not {x}")
    return x


def _positive(value: Any, name: str) -> float:
    x = _finite(value, name)
    if not x > 0:
        raise ValueError(f"{name} must be positive, not {x}")
    return x


def _extent(value: Any, name: str) -> float:
    """A radius or semi-axis: positive, its square neither underflowing to 0
    nor overflowing (an arc's determinant is a product of two of them)."""
    x = _positive(value, name)
    if not 0.0 < x * x < math.inf:
        raise ValueError(f"{name} must lie between 1e-150 and 1e150, not {x}")
    return x


def _point(value: Any, name: str) -> tuple[float, float]:
    x, y = V.pair(value, name)
    if not (math.isfinite(x) and math.isfinite(y)):
        raise ValueError(f"{name} must be finite, not {(x, y)}")
    return x, y


def _fmt(x: float) -> str:
    return repr(float(x))


def _fmt_point(p: tuple[float, float]) -> str:
    return f"({_fmt(p[0])}, {_fmt(p[1])})"


# ---- Base --------------------------------------------------------------------

class Shape:
    """A plane figure; combine with ``|`` (union), ``-`` (difference) and
    ``&`` (intersection)."""

    __slots__ = ()

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"{type(self).__name__} is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} is immutable")

    def _set(self, **values: Any) -> None:
        for k, v in values.items():
            object.__setattr__(self, k, v)

    # Value semantics: _args() are the constructor's arguments, enough to
    # rebuild the shape (pickle) and to compare it.
    def _args(self) -> tuple[Any, ...]:
        raise NotImplementedError

    def _kwargs(self) -> dict[str, Any]:
        return {}

    def _key(self) -> tuple[Any, ...]:
        return (type(self).__name__, self._args(), tuple(sorted(self._kwargs().items())))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Shape):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (type(self), self._args(), self._kwargs()))

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        return self._key()

    def __or__(self, other: Shape) -> Shape:
        return Union(self, _shape(other, "right operand of |"))

    def __sub__(self, other: Shape) -> Shape:
        return Difference(self, _shape(other, "right operand of -"))

    def __and__(self, other: Shape) -> Shape:
        return Intersection(self, _shape(other, "right operand of &"))

    @property
    def bounds(self) -> tuple[float, float, float, float] | None:
        """(xmin, ymin, xmax, ymax) enclosing the shape; None for what has no
        extent of its own (a Spider of length None, an empty shape)."""
        raise NotImplementedError


def _rebuild(cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Shape:
    return cls(*args, **kwargs)  # type: ignore[no-any-return]


def _shape(value: Any, name: str) -> Shape:
    if not isinstance(value, Shape):
        raise TypeError(f"{name} must be a zolvin.shapes.Shape, not {type(value).__name__}")
    return value


class _Figure(Shape):
    """A figure with a boundary of its own: its pieces, positively oriented."""

    __slots__ = ()

    def _pieces(self, reach: float | None) -> tuple[FloatArray, FloatArray]:
        """(segments (n, 4), arcs (m, 8)) of the boundary: exteriors
        counter-clockwise, holes clockwise. reach resolves lengths of None."""
        raise NotImplementedError


def _box(xs: Iterable[float], ys: Iterable[float]) -> tuple[float, float, float, float]:
    xs, ys = list(xs), list(ys)
    return min(xs), min(ys), max(xs), max(ys)


# ---- Discs and ellipses ------------------------------------------------------

class Disc(_Figure):
    """The closed disc of ``radius`` around ``center``; its rim is one exact
    circular arc."""

    __slots__ = ("center", "radius")
    center: tuple[float, float]
    radius: float

    def __init__(self, center: Any, radius: Any) -> None:
        self._set(center=_point(center, "center"), radius=_extent(radius, "radius"))

    def _args(self) -> tuple[Any, ...]:
        return (self.center, self.radius)

    def __repr__(self) -> str:
        return f"Disc({_fmt_point(self.center)}, {_fmt(self.radius)})"

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        (x, y), r = self.center, self.radius
        return x - r, y - r, x + r, y + r

    def _pieces(self, reach: float | None) -> tuple[FloatArray, FloatArray]:
        (x, y), r = self.center, self.radius
        return np.empty((0, 4)), np.array([[x, y, r, 0.0, 0.0, r, 0.0, TAU]])


class Ellipse(_Figure):
    """The closed ellipse around ``center`` with semi-axes ``(p, q)``, the
    first along ``angle`` (radians from +x); its rim is one exact arc."""

    __slots__ = ("angle", "center", "semi_axes")
    center: tuple[float, float]
    semi_axes: tuple[float, float]
    angle: float

    def __init__(self, center: Any, semi_axes: Any, angle: Any = 0.0) -> None:
        p, q = V.pair(semi_axes, "semi_axes")
        self._set(center=_point(center, "center"),
                  semi_axes=(_extent(p, "semi_axes[0]"), _extent(q, "semi_axes[1]")),
                  angle=_finite(angle, "angle"))

    def _args(self) -> tuple[Any, ...]:
        return (self.center, self.semi_axes, self.angle)

    def __repr__(self) -> str:
        return (f"Ellipse({_fmt_point(self.center)}, {_fmt_point(self.semi_axes)}, "
                f"{_fmt(self.angle)})")

    def _coefficients(self) -> tuple[float, float, float, float]:
        """(a, b, c, d): the rim is centre + (a cos t + b sin t, c cos t + d sin t)."""
        (p, q), th = self.semi_axes, self.angle
        co, si = math.cos(th), math.sin(th)
        return p * co, -q * si, p * si, q * co

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        (x, y) = self.center
        a, b, c, d = self._coefficients()
        hx, hy = math.hypot(a, b), math.hypot(c, d)
        return x - hx, y - hy, x + hx, y + hy

    def _pieces(self, reach: float | None) -> tuple[FloatArray, FloatArray]:
        x, y = self.center
        return np.empty((0, 4)), np.array([[x, y, *self._coefficients(), 0.0, TAU]])


# ---- Polygons ----------------------------------------------------------------

def _ring_segments(ring: FloatArray) -> FloatArray:
    """The closed ring's edges as (x0, y0, x1, y1) rows."""
    return np.concatenate([ring, np.roll(ring, -1, axis=0)], axis=1)


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
    polygons."""
    if getattr(value, "__geo_interface__", None) is None and _polygon_list(value):
        parts = [p for i, v in enumerate(value) for p in polygon_rings(v, f"{name}[{i}]")]
    else:
        parts = polygon_rings(value, name)
    if not parts:
        raise ValueError(f"{name} has no ring of 3 or more vertices that encloses an area")

    def frozen(ring: FloatArray) -> FloatArray:
        out = np.array(ring, dtype=np.float64)
        out.flags.writeable = False
        return out
    return tuple(tuple(frozen(r) for r in p) for p in parts)


class Polygon(_Figure):
    """Polygons with holes: an ``(n, 2)`` ring, a sequence of rings (the
    exterior first, then its holes), a sequence of such polygons, or a
    geometry with ``__geo_interface__`` (Polygon or MultiPolygon).

    Whatever the rings' orientation, exteriors are taken counter-clockwise and
    holes clockwise; the figure is the union of the polygons, each its
    exterior minus its holes. Rings should be simple (a self-crossing ring
    keeps only the parts it winds positively around); rings with fewer than 3
    distinct vertices or all on one line are dropped, as polygon coverage
    drops them.
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
            pts = [_fmt_point((x, y)) for x, y in r.tolist()]
            if len(pts) > REPR_VERTICES:
                pts = pts[:3] + [f"... {len(pts) - 4} more"] + pts[-1:]
            return "[" + ", ".join(pts) + "]"
        if len(self.polygons) == 1:
            return f"Polygon([{', '.join(map(ring, self.polygons[0]))}])"
        polys = ", ".join("[" + ", ".join(map(ring, p)) + "]" for p in self.polygons)
        return f"Polygon([{polys}])"

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        pts = np.concatenate([p[0] for p in self.polygons])
        return _box(pts[:, 0].tolist(), pts[:, 1].tolist())

    @property
    def area(self) -> float:
        """Shoelace area: exteriors minus holes (overlapping polygons counted twice)."""
        return sum(_signed_area(r) for p in self.polygons for r in p)

    def _pieces(self, reach: float | None) -> tuple[FloatArray, FloatArray]:
        segs = [_ring_segments(r) for p in self.polygons for r in p]
        return np.concatenate(segs), np.empty((0, 8))


def _regular_offsets(circumradius: float, sides: int, angle: float) -> FloatArray:
    """Vertices of a regular polygon around the origin, counter-clockwise from
    ``angle``. Computed with the scalar math library once per polygon kind, so
    that every copy of it (a segment alone or in its array) has the same bits."""
    return np.array([(circumradius * math.cos(angle + TAU * k / sides),
                      circumradius * math.sin(angle + TAU * k / sides)) for k in range(sides)])


class RegularPolygon(_Figure):
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
        size = _positive(circumradius if flat_to_flat is None else flat_to_flat, kind)
        self._set(center=_point(center, "center"), sides=V.index(sides, "sides", 3, 1 << 20),
                  angle=_finite(angle, "angle"), _size=size, _kind=kind)

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
        size = f"{self._kind}={_fmt(self._size)}"
        return (f"{type(self).__name__}({_fmt_point(self.center)}, {size}, "
                + ("" if type(self) is Hexagon else f"sides={self.sides}, ")
                + f"angle={_fmt(self.angle)})")

    def vertices(self) -> FloatArray:
        """(sides, 2) vertices, counter-clockwise."""
        cx, cy = self.center
        out: FloatArray = _regular_offsets(self.circumradius, self.sides, self.angle) \
            + np.array([cx, cy])
        return out

    @property
    def area(self) -> float:
        n, r = self.sides, self.circumradius
        return 0.5 * n * r * r * math.sin(TAU / n)

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        v = self.vertices()
        return _box(v[:, 0].tolist(), v[:, 1].tolist())

    def _pieces(self, reach: float | None) -> tuple[FloatArray, FloatArray]:
        return _ring_segments(self.vertices()), np.empty((0, 8))


class Hexagon(RegularPolygon):
    """A regular hexagon: ``RegularPolygon(center, circumradius, 6, angle)``.
    At angle 0 its corners are on +-x and its flat edges at top and bottom."""

    __slots__ = ()

    def __init__(self, center: Any, circumradius: Any = None, angle: Any = 0.0, *,
                 flat_to_flat: Any = None) -> None:
        super().__init__(center, circumradius, 6, angle, flat_to_flat=flat_to_flat)

    def _args(self) -> tuple[Any, ...]:
        return (self.center, self._size if self._kind == "circumradius" else None, self.angle)



# ---- Spider vanes ------------------------------------------------------------

class Spider(_Figure):
    """A straight bar (a spider vane): from ``start`` in the direction ``angle``
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
        self._set(start=_point(start, "start"), angle=_finite(angle, "angle"),
                  width=_positive(width, "width"),
                  length=None if length is None else _positive(length, "length"))

    def _args(self) -> tuple[Any, ...]:
        return (self.start, self.angle, self.width, self.length)

    def __repr__(self) -> str:
        tail = "" if self.length is None else f", {_fmt(self.length)}"
        return (f"Spider({_fmt_point(self.start)}, {_fmt(self.angle)}, {_fmt(self.width)}"
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
    def bounds(self) -> tuple[float, float, float, float] | None:
        if self.length is None:
            return None
        c = self.corners()
        return _box(c[:, 0].tolist(), c[:, 1].tolist())

    def reach(self, box: tuple[float, float, float, float]) -> float:
        """A length that takes the bar beyond the box, whatever its direction."""
        (sx, sy), (x0, y0, x1, y1) = self.start, box
        far = max(math.hypot(x - sx, y - sy) for x in (x0, x1) for y in (y0, y1))
        return 1.01 * far + self.width

    def _pieces(self, reach: float | None) -> tuple[FloatArray, FloatArray]:
        return _ring_segments(self.corners(reach)), np.empty((0, 8))


# ---- Segmented mirrors -------------------------------------------------------

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


class HexSegments(_Figure):
    """A segmented mirror: regular hexagonal segments on a hexagonal lattice.

    ``flat_to_flat`` is each segment's size between opposite flat edges (the
    point-to-point size is 2 / sqrt(3) times it), ``gap`` the clear space
    between neighbouring segments' facing edges, so neighbours' centres are
    ``flat_to_flat + gap`` apart. ``orientation`` "flat" puts each segment's
    flat edges at top and bottom (corners on +-x) and neighbours along +-y;
    "pointy" turns it all by 30 degrees.

    Positions are lattice indices (i, j), centred at ``center + i a + j b``
    with b the step to the neighbour straight up ("flat") or straight right
    ("pointy") and a the step 60 degrees clockwise of b ("flat") or
    counter-clockwise ("pointy"); the ring of (i, j) is max(|i|, |j|, |i + j|).
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
        f2f = _positive(flat_to_flat, "flat_to_flat")
        gap_ = _finite(gap, "gap")
        if gap_ < 0:
            raise ValueError(f"gap must be at least 0, not {gap_}")
        n = V.index(rings, "rings", 0, 1000)
        if orientation not in ORIENTATIONS:
            raise ValueError(f"orientation must be one of {ORIENTATIONS}, not {orientation!r}")
        self._set(flat_to_flat=f2f, gap=gap_, rings=n, orientation=orientation,
                  center=_point(center, "center"))
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
        out = self._centers(self.positions)
        out.flags.writeable = False
        return out

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
        off = _regular_offsets(0.5 * self.flat_to_flat / math.cos(math.pi / 6), 6, self._angle())
        return self._centers(self.positions)[:, None, :] + off[None, :, :]

    @property
    def area(self) -> float:
        """Total segment area."""
        return len(self.positions) * 0.5 * math.sqrt(3.0) * self.flat_to_flat ** 2

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
        centre = "" if self.center == (0.0, 0.0) else f", center={_fmt_point(self.center)}"
        return (f"HexSegments(flat_to_flat={_fmt(self.flat_to_flat)}, gap={_fmt(self.gap)}, "
                f"rings={self.rings}, orientation={self.orientation!r}{keep}{centre})")

    @property
    def bounds(self) -> tuple[float, float, float, float] | None:
        if not self.positions:
            return None
        v = self.vertices().reshape(-1, 2)
        return (float(v[:, 0].min()), float(v[:, 1].min()),
                float(v[:, 0].max()), float(v[:, 1].max()))

    def _pieces(self, reach: float | None) -> tuple[FloatArray, FloatArray]:
        v = self.vertices()
        segs = np.concatenate([v, np.roll(v, -1, axis=1)], axis=2).reshape(-1, 4)
        return segs, np.empty((0, 8))


# ---- Composition -------------------------------------------------------------

class _Combination(Shape):
    """Parts joined by one operator; nested joins of the same kind are flattened."""

    __slots__ = ("parts",)
    parts: tuple[Shape, ...]
    _symbol = ""

    def __init__(self, *parts: Shape) -> None:
        flat: list[Shape] = []
        for k, p in enumerate(parts):
            p = _shape(p, f"parts[{k}]")
            flat.extend(p.parts if type(p) is type(self) else (p,))
        if not flat:
            raise ValueError(f"a {type(self).__name__} needs at least one part")
        self._set(parts=tuple(flat))

    def _args(self) -> tuple[Any, ...]:
        return self.parts

    def __repr__(self) -> str:
        return "(" + f" {self._symbol} ".join(map(repr, self.parts)) + ")"

    def _boxes(self) -> list[tuple[float, float, float, float]]:
        return [b for b in (p.bounds for p in self.parts) if b is not None]


class Union(_Combination):
    """Points in any of the parts. ``a | b``; nested unions are flattened."""

    __slots__ = ()
    _symbol = "|"

    @property
    def bounds(self) -> tuple[float, float, float, float] | None:
        boxes = self._boxes()
        if not boxes:
            return None
        return (min(b[0] for b in boxes), min(b[1] for b in boxes),
                max(b[2] for b in boxes), max(b[3] for b in boxes))


class Intersection(_Combination):
    """Points in all of the parts. ``a & b``; nested intersections are flattened."""

    __slots__ = ()
    _symbol = "&"

    @property
    def bounds(self) -> tuple[float, float, float, float] | None:
        boxes = self._boxes()
        if not boxes:
            return None
        return (max(b[0] for b in boxes), max(b[1] for b in boxes),
                min(b[2] for b in boxes), min(b[3] for b in boxes))


class Difference(Shape):
    """Points in ``base`` and not in ``cut``: ``base - cut``."""

    __slots__ = ("base", "cut")
    base: Shape
    cut: Shape

    def __init__(self, base: Shape, cut: Shape) -> None:
        self._set(base=_shape(base, "base"), cut=_shape(cut, "cut"))

    def _args(self) -> tuple[Any, ...]:
        return (self.base, self.cut)

    def __repr__(self) -> str:
        return f"({self.base!r} - {self.cut!r})"

    @property
    def bounds(self) -> tuple[float, float, float, float] | None:
        return self.base.bounds


# ---- Compilation -------------------------------------------------------------

class Compiled(NamedTuple):
    """A shape as the exact rasterizer's region takes it (see ``compile_shape``)."""

    segments: FloatArray      # (ns, 4) x0, y0, x1, y1
    segment_leaf: npt.NDArray[np.int32]
    arcs: FloatArray          # (na, 8) cx, cy, a, b, c, d, t0, t1
    arc_leaf: npt.NDArray[np.int32]
    leaf_rules: tuple[str, ...]
    program: tuple[int, ...]


def _figures(shape: Shape) -> Iterable[_Figure]:
    if isinstance(shape, _Figure):
        yield shape
    elif isinstance(shape, (Union, Intersection)):
        for p in shape.parts:
            yield from _figures(p)
    elif isinstance(shape, Difference):
        yield from _figures(shape.base)
        yield from _figures(shape.cut)


def reach_box(shape: Shape) -> tuple[float, float, float, float] | None:
    """The box that spiders of length None run beyond: the union of the
    bounding boxes of every figure with an extent of its own."""
    boxes = [b for b in (f.bounds for f in _figures(shape)) if b is not None]
    if not boxes:
        return None
    return (min(b[0] for b in boxes), min(b[1] for b in boxes),
            max(b[2] for b in boxes), max(b[3] for b in boxes))


class _Builder:
    """Leaves and their pieces, as compilation adds them."""

    def __init__(self, box: tuple[float, float, float, float] | None) -> None:
        self.box = box
        self.segments: list[FloatArray] = []
        self.segment_leaf: list[np.ndarray] = []
        self.arcs: list[FloatArray] = []
        self.arc_leaf: list[np.ndarray] = []
        self.leaves = 0

    def leaf(self, figures: Sequence[_Figure]) -> int:
        """One "positive" leaf holding all the figures' pieces: their union."""
        k = self.leaves
        if k == MAX_LEAVES:
            raise ValueError(f"shape needs more than {MAX_LEAVES} leaves: compose it with fewer "
                             f"differences and intersections")
        self.leaves += 1
        for f in figures:
            reach = None
            if isinstance(f, Spider) and f.length is None:
                if self.box is None:
                    f.corners()  # raises: nothing to run beyond
                reach = f.reach(self.box)  # type: ignore[arg-type]
            segs, arcs = f._pieces(reach)
            self.segments.append(segs)
            self.segment_leaf.append(np.full(segs.shape[0], k, np.int32))
            self.arcs.append(arcs)
            self.arc_leaf.append(np.full(arcs.shape[0], k, np.int32))
        return k

    def program(self, shape: Shape) -> list[int]:
        if isinstance(shape, _Figure):
            return [self.leaf([shape])]
        if isinstance(shape, Difference):
            return self.program(shape.base) + self.program(shape.cut) + [DIFF]
        if isinstance(shape, Intersection):
            return self._fold([self.program(p) for p in shape.parts], AND)
        assert isinstance(shape, Union)
        plain = [p for p in shape.parts if isinstance(p, _Figure)]
        progs = [[self.leaf(plain)]] if plain else []
        progs += [self.program(p) for p in shape.parts if not isinstance(p, _Figure)]
        return self._fold(progs, OR)

    @staticmethod
    def _fold(progs: list[list[int]], op: int) -> list[int]:
        out = progs[0]
        for p in progs[1:]:
            out = out + p + [op]
        return out

    def result(self, program: list[int]) -> Compiled:
        def cat(parts: list[np.ndarray], width: int, dtype: Any) -> np.ndarray:
            arr = np.concatenate(parts) if parts else np.empty((0, width) if width else 0, dtype)
            arr = np.ascontiguousarray(arr, dtype=dtype)
            arr.flags.writeable = False
            return arr
        return Compiled(cat(self.segments, 4, np.float64), cat(self.segment_leaf, 0, np.int32),
                        cat(self.arcs, 8, np.float64), cat(self.arc_leaf, 0, np.int32),
                        ("positive",) * self.leaves, tuple(program))


def compile_shape(shape: Shape, box: tuple[float, float, float, float] | None = None
                  ) -> Compiled:
    """The shape's region: every union of figures one "positive" leaf, the
    rest postfix operations. Spiders of length None run beyond ``box``
    (default: ``reach_box(shape)``)."""
    shape = _shape(shape, "shape")
    b = _Builder(reach_box(shape) if box is None else box)
    return b.result(b.program(shape))


def hex_segments(shape: Shape) -> HexSegments | None:
    """The one HexSegments in the shape, or None; ValueError if several."""
    found = [f for f in _figures(shape) if isinstance(f, HexSegments)]
    if len(set(found)) > 1:
        raise ValueError("shape holds more than one HexSegments: per-segment maps need one")
    return found[0] if found else None


def replace(shape: Shape, old: Shape, new: Shape) -> Shape:
    """The shape with every ``old`` figure replaced by ``new``."""
    if shape == old:
        return new
    if isinstance(shape, Union):
        return Union(*(replace(p, old, new) for p in shape.parts))
    if isinstance(shape, Intersection):
        return Intersection(*(replace(p, old, new) for p in shape.parts))
    if isinstance(shape, Difference):
        return Difference(replace(shape.base, old, new), replace(shape.cut, old, new))
    return shape
