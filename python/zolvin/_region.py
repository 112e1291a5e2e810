"""Exact coverage of pixels by plane regions: polygons, and any boolean
composition of regions bounded by segments and elliptic arcs."""
from __future__ import annotations

import math
import sys
from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import _native
from . import _validate as V
from ._native import (
    MAX_LEAVES,
    OP_AND,
    OP_DIFF,
    OP_NOT,
    OP_OR,
    OP_XOR,
    RULE_EVENODD,
    RULE_NONZERO,
    RULE_POSITIVE,
)
from ._pixels import Pixels
from ._validate import FloatArray
from .grid import Grid

# Below this many pixels one thread does the work when n_threads is None.
THREAD_THRESHOLD = 1 << 15
# The leaf rules by name, and the kernel's code of each.
_RULE_CODES = {"nonzero": RULE_NONZERO, "evenodd": RULE_EVENODD, "positive": RULE_POSITIVE}
RULES = tuple(_RULE_CODES)
# Program opcodes: k >= 0 pushes leaf k's membership.
OR, AND, DIFF, XOR, NOT = OP_OR, OP_AND, OP_DIFF, OP_XOR, OP_NOT
_BINARY = (OR, AND, DIFF, XOR)

IntArray = npt.NDArray[np.int32]


def _frozen(a: np.ndarray) -> np.ndarray:
    a = np.array(a, copy=True, order="C")
    a.flags.writeable = False
    return a


def _rows(value: Any, width: int, name: str) -> FloatArray:
    """A finite (n, width) float64 array; an empty input is (0, width)."""
    arr = V.array(value, name)
    if arr.size == 0:
        return np.zeros((0, width))
    if arr.ndim != 2 or arr.shape[1] != width:
        raise ValueError(f"{name} must have shape (n, {width}), not {arr.shape}")
    arr = arr.astype(np.float64)
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} must be finite")
    return arr


def _leaves(value: Any, n: int, n_leaves: int, name: str) -> IntArray:
    arr = np.asarray(value)
    if arr.size == 0 and n == 0:
        return np.zeros(0, np.int32)
    if arr.dtype.kind not in "iub":
        raise TypeError(f"{name} must hold ints, not {arr.dtype}")
    if arr.shape != (n,):
        raise ValueError(f"{name} must have shape ({n},), not {arr.shape}")
    if n and (arr.min() < 0 or arr.max() >= n_leaves):
        raise ValueError(f"{name} must lie in [0, {n_leaves}) (one of the leaf_rules)")
    return arr.astype(np.int32)


def _program(value: Any, n_leaves: int) -> tuple[int, ...]:
    if value is None:
        return ()
    try:
        ops = tuple(V.index(op, "program item") for op in value)
    except TypeError as e:
        if "program item" in str(e):
            raise TypeError(f"program must be a sequence of ints: {e}") from None
        raise TypeError(f"program must be a sequence of ints, not {type(value).__name__}") from None
    depth = 0
    for op in ops:
        if op >= 0:
            if op >= n_leaves:
                raise ValueError(f"program pushes leaf {op}, but there are {n_leaves} leaves")
            depth += 1
            if depth > MAX_LEAVES:
                raise ValueError(f"program holds more than {MAX_LEAVES} values at once")
        elif op == NOT:
            if depth < 1:
                raise ValueError("program applies NOT (-5) to an empty stack")
        elif op in _BINARY:
            if depth < 2:
                raise ValueError(f"program applies {op} to fewer than two values")
            depth -= 1
        else:
            raise ValueError(f"program holds an unknown opcode {op} (leaves are >= 0, "
                             f"operators -1 OR, -2 AND, -3 DIFF, -4 XOR, -5 NOT)")
    if depth != 1:
        raise ValueError(f"program must leave exactly one value, not {depth}")
    return ops


class Region:
    """A plane region: directed boundary pieces grouped into leaves, each leaf
    filled by its winding rule, and a boolean program over the leaves.

    Parameters
    ----------
    segments : array_like, shape (ns, 4)
        Directed segments ``x0, y0, x1, y1`` in plane coordinates.
    segment_leaf : array_like of int, shape (ns,)
        The leaf of each segment, in ``[0, L)``.
    arcs : array_like, shape (na, 8)
        Elliptic arcs ``cx, cy, a, b, c, d, t0, t1``: the point at parameter t
        is ``(cx + a cos t + b sin t, cy + c cos t + d sin t)``, traversed from
        t0 to t1 (either way), ``|t1 - t0| <= 2 pi`` (equal: the whole ellipse),
        ``a d - b c != 0``.
    arc_leaf : array_like of int, shape (na,)
        The leaf of each arc.
    leaf_rules : sequence of str
        One per leaf, at most 64: ``"nonzero"`` (winding != 0), ``"evenodd"``
        (odd) or ``"positive"`` (> 0). The winding of a point is +1 for each
        counter-clockwise turn of the leaf's boundary around it.
    program : sequence of int, optional
        Postfix over the leaves' memberships: ``k >= 0`` pushes leaf k, -1 OR,
        -2 AND, -3 DIFF (below and not top), -4 XOR, -5 NOT; it must leave one
        value. None (the default) is the union of all leaves.

    Notes
    -----
    Each leaf's pieces should form closed chains. An arc's end within 1e-9 of
    its size of a segment's end (or of an earlier arc's end) is joined to that
    point exactly. A Region is immutable (its arrays are read-only copies),
    hashable and picklable; unpickling re-runs the checks.
    """

    __slots__ = (
        "_hash",
        "_program_array",
        "_rule_codes",
        "arc_leaf",
        "arcs",
        "leaf_rules",
        "program",
        "segment_leaf",
        "segments",
    )

    segments: FloatArray
    segment_leaf: IntArray
    arcs: FloatArray
    arc_leaf: IntArray
    leaf_rules: tuple[str, ...]
    program: tuple[int, ...] | None
    _rule_codes: npt.NDArray[np.uint8]
    _program_array: IntArray
    _hash: int | None

    def __init__(self, segments: npt.ArrayLike, segment_leaf: npt.ArrayLike,
                 arcs: npt.ArrayLike, arc_leaf: npt.ArrayLike, leaf_rules: Sequence[str],
                 program: Sequence[int] | None = None) -> None:
        if isinstance(leaf_rules, str):
            raise TypeError("leaf_rules must be a sequence of rule names, not a str")
        try:
            rules = tuple(leaf_rules)
        except TypeError:
            raise TypeError(f"leaf_rules must be a sequence of rule names, "
                            f"not {type(leaf_rules).__name__}") from None
        for r in rules:
            if r not in RULES:
                raise ValueError(f"leaf_rules must each be one of {RULES}, not {r!r}")
        if len(rules) > MAX_LEAVES:
            raise ValueError(f"leaf_rules may name at most {MAX_LEAVES} leaves, not {len(rules)}")
        segs = _rows(segments, 4, "segments")
        arcs_ = _rows(arcs, 8, "arcs")
        seg_leaf = _leaves(segment_leaf, segs.shape[0], len(rules), "segment_leaf")
        arc_leaf_ = _leaves(arc_leaf, arcs_.shape[0], len(rules), "arc_leaf")
        if arcs_.shape[0]:
            span = np.abs(arcs_[:, 7] - arcs_[:, 6])
            if np.any(span > 2 * math.pi):
                raise ValueError("arcs: |t1 - t0| must be at most 2 pi")
            a, b, c, d = arcs_[:, 2], arcs_[:, 3], arcs_[:, 4], arcs_[:, 5]
            # Axes near the float64 limits overflow here; such an ellipse is
            # refused below by the reach check, so the overflow is no news.
            with np.errstate(over="ignore", invalid="ignore"):
                det = a * d - b * c
            if np.any(det == 0):
                raise ValueError("arcs: a d - b c must not be zero (a degenerate ellipse)")
        ops = _program(program, len(rules))
        set_ = object.__setattr__
        set_(self, "segments", _frozen(segs))
        set_(self, "segment_leaf", _frozen(seg_leaf))
        set_(self, "arcs", _frozen(arcs_))
        set_(self, "arc_leaf", _frozen(arc_leaf_))
        set_(self, "leaf_rules", rules)
        set_(self, "program", ops if program is not None else None)
        set_(self, "_rule_codes", _frozen(np.array([_RULE_CODES[r] for r in rules], np.uint8)))
        set_(self, "_program_array", _frozen(np.array(ops, np.int32)))
        set_(self, "_hash", None)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a Region is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("a Region is immutable")

    def _key(self) -> tuple[Any, ...]:
        return (self.segments.tobytes(), self.segment_leaf.tobytes(), self.arcs.tobytes(),
                self.arc_leaf.tobytes(), self.leaf_rules, self.program)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Region):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        if self._hash is None:
            object.__setattr__(self, "_hash", hash(self._key()))
        assert self._hash is not None
        return self._hash

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        return ("zolvin.Region", *self._key())

    def __reduce__(self) -> tuple[Any, ...]:
        return (Region, (self.segments, self.segment_leaf, self.arcs, self.arc_leaf,
                         self.leaf_rules, self.program))

    def __repr__(self) -> str:
        prog = "" if self.program is None else f", program={self.program}"
        return (f"Region({self.segments.shape[0]} segments, {self.arcs.shape[0]} arcs, "
                f"leaf_rules={self.leaf_rules}{prog})")

    def _native_args(self) -> tuple[FloatArray, IntArray, FloatArray, IntArray,
                                    npt.NDArray[np.uint8], IntArray]:
        return (self.segments, self.segment_leaf, self.arcs, self.arc_leaf, self._rule_codes,
                self._program_array)

    def _spans(self) -> tuple[tuple[str, int, int], ...]:
        return V.spans({"region segments": self.segments, "region arcs": self.arcs})


def _check_grid(grid: Grid) -> None:
    area = grid.pixel_area
    if not (math.isfinite(area) and area != 0.0 and all(map(math.isfinite, grid.origin))):
        raise ValueError(f"pixels: the grid needs a finite origin and a finite, invertible "
                         f"Jacobian, not origin={grid.origin}, jac={grid.jac}")


def _check_pixels(pix: Pixels) -> None:
    with np.errstate(all="ignore"):
        det = pix.dxdu * pix.dydv - pix.dxdv * pix.dydu
    ok = np.isfinite(det) & (det != 0) & np.isfinite(pix.x) & np.isfinite(pix.y)
    if not np.all(ok):
        raise ValueError("pixels: every pixel needs a finite centre and a finite, invertible "
                         "Jacobian")


def region_coverage(pixels: Pixels | Grid, region: Region, *, out: FloatArray | None = None,
                    n_threads: int | None = None) -> FloatArray:
    """Fraction of every pixel inside a region.

    Parameters
    ----------
    pixels : Grid or Pixels
        The pixels: a Grid (any invertible Jacobian, any window) or Pixels (a
        parallelogram each).
    region : Region
        The region.
    out : ndarray, optional
        float64 array of the pixels' shape, written whole.
    n_threads : int, optional
        Threads; None: all usable cores for large grids, one for small ones.

    Returns
    -------
    ndarray
        float64 of the pixels' shape: area of (pixel & region) / pixel area.

    Notes
    -----
    Every row of pixels is swept as a strip in the grid's cell frame; inside a
    strip the region between two consecutive boundary pieces has known
    memberships and an area in closed form.

    - Bit-exact: pixels that no boundary piece changes are exactly 0.0 or 1.0
      (also where pieces of different shapes coincide, as in a tiling); every
      result lies in [0, 1]; the bits are the same for every ``n_threads``,
      every window of a Grid and every dask chunking.
    - Exact to rounding: segments (trapezoids), arcs (the chord's trapezoid
      plus the closed-form elliptic segment), their crossings with segments
      (a quadratic in cos t, sin t). The error is a few ulps of the pixel
      coordinates per piece end in the pixel: about 1e-13 of a pixel for grids
      of a few thousand pixels.
    - Approximate: crossings of two different ellipses are found by sampling
      at 1/16 pixel along the strip and bisection; two crossings closer than
      that can be missed, which costs at most the sliver between them (below
      1e-9 of a pixel for arcs of radius above 2 pixels).

    A Grid costs the pixels plus the boundary's length in pixels. Pixels
    transform the whole boundary for every pixel: pixels x pieces.
    """
    if not isinstance(region, Region):
        raise TypeError(f"region must be a zolvin.Region, not {type(region).__name__}")
    if isinstance(pixels, Grid):
        _check_grid(pixels)
        if out is None:
            res = np.empty(pixels.shape)
        else:
            res = V.out_array(out, pixels.shape, V.F64)
            V.check_overlap(res, V.address(res), region._spans(), same_ok=False)
        nt = V.threads(n_threads, pixels.size, THREAD_THRESHOLD)
        _native.region_grid(*pixels._native_args(), *region._native_args(), res, nt)
        return res
    if not isinstance(pixels, Pixels):
        raise TypeError(f"pixels must be a zolvin.Pixels or a zolvin.Grid, "
                        f"not {type(pixels).__name__}")
    _check_pixels(pixels)
    if out is None:
        res = np.empty(pixels.shape)
    else:
        res = V.out_array(out, pixels.shape, V.F64)
        V.check_overlap(res, V.address(res), pixels._spans + region._spans(), same_ok=False)
    nt = V.threads(n_threads, pixels.size, THREAD_THRESHOLD // 64)
    _native.region_pixels(*pixels._native_args(), *region._native_args(), res, nt)
    return res


# ---- Polygons ------------------------------------------------------------------

def _ring_array(value: Any, name: str) -> FloatArray:
    """A ring's vertices as a finite (m, 2) float64 array."""
    arr = V.array(value, name)
    if arr.ndim != 2 or arr.shape[1] not in (2, 3):
        raise ValueError(f"{name} must have shape (n, 2), not {arr.shape}")
    ring = arr[:, :2].astype(np.float64, copy=False)
    if not np.isfinite(ring).all():
        raise ValueError(f"{name} must have finite vertices")
    return ring


def _flat(ring: FloatArray) -> bool:
    """Whether all of a ring's vertices lie on one line (or coincide)."""
    d = ring - ring[0]
    far = d[np.abs(d).sum(axis=1).argmax()]
    return not (d[:, 0] * far[1] - d[:, 1] * far[0]).any()


def _normalised(rings: list[FloatArray], exterior: np.ndarray) -> list[FloatArray | None]:
    """The rings without a repeated closing vertex, exteriors counter-clockwise
    and holes clockwise; None for rings whose vertices lie on one line. All
    rings at once: one pass over their vertices."""
    lengths = np.array([len(r) for r in rings])
    points = np.concatenate(rings) if rings else np.zeros((0, 2))
    starts = np.cumsum(lengths) - lengths
    closed = np.zeros(len(rings), bool)
    multi = lengths > 1
    closed[multi] = (points[starts[multi]] == points[starts[multi] + lengths[multi] - 1]).all(1)
    keep = np.ones(len(points), bool)
    keep[(starts + lengths - 1)[closed]] = False
    points = points[keep]
    lengths = lengths - closed
    starts = np.cumsum(lengths) - lengths
    if not len(points):
        return [None] * len(rings)
    # Twice each ring's signed area about its first vertex: the first vertex's
    # own offset is zero, so products across two rings' seam vanish.
    d = points - np.repeat(points[starts], lengths, axis=0)
    cross = np.zeros(len(points))
    cross[:-1] = d[:-1, 0] * d[1:, 1] - d[:-1, 1] * d[1:, 0]
    at = np.minimum(starts, len(points) - 1)
    area = np.add.reduceat(cross, at)
    bent = np.logical_or.reduceat(cross != 0, at)
    out: list[FloatArray | None] = []
    for k, (s, n) in enumerate(zip(starts.tolist(), lengths.tolist())):
        ring = points[s:s + n]
        if n < 3 or (not bent[k] and _flat(ring)):
            out.append(None)
        elif area[k] != 0 and (area[k] > 0) != exterior[k]:
            out.append(ring[::-1].copy())
        else:
            out.append(ring)
    return out


def _shapely_parts(polygon: Any) -> list[Any] | None:
    """A shapely Polygon or MultiPolygon's rings, read in bulk (only when
    shapely is imported already); None for anything else."""
    shapely = sys.modules.get("shapely")
    if shapely is None or not isinstance(polygon, shapely.Geometry):
        return None
    kind = shapely.get_type_id(polygon)
    if kind not in (3, 6) or shapely.has_z(polygon):
        return None
    polys = shapely.get_parts(polygon) if kind == 6 else np.array([polygon])
    polys = polys[~shapely.is_empty(polys)]
    if not len(polys):
        return []
    _, coords, (ring_end, poly_end) = shapely.to_ragged_array(polys)
    rings = np.split(coords, ring_end[1:-1])
    return [rings[poly_end[k]:poly_end[k + 1]] for k in range(len(polys))]


def _geo_polygons(geo: dict[str, Any], name: str) -> list[Any]:
    kind = geo.get("type")
    coords = geo.get("coordinates")
    if kind == "Polygon":
        return [coords]
    if kind == "MultiPolygon" and coords is not None:
        return list(coords)
    raise ValueError(f"{name}: __geo_interface__ must be a Polygon or a MultiPolygon, "
                     f"not {kind!r}")


def polygon_rings(polygon: Any, name: str = "polygon") -> list[list[FloatArray]]:
    """Parse a polygon into a list of polygons, each a list of rings.

    Parameters
    ----------
    polygon : array_like or sequence or geometry
        An (n, 2) array of (x, y) vertices (one ring, closed implicitly), a
        sequence of rings (the first the exterior, the rest holes), or any
        object with ``__geo_interface__`` of type Polygon or MultiPolygon.
    name : str
        The argument's name in error messages.

    Returns
    -------
    list of list of ndarray
        Polygons, each a list of (m, 2) float64 rings (exterior first) without
        a repeated closing vertex, oriented: exteriors counter-clockwise, holes
        clockwise. Rings with fewer than 3 distinct vertices or all vertices
        on one line are dropped (a polygon with such an exterior too).
    """
    fast = _shapely_parts(polygon)
    geo = getattr(polygon, "__geo_interface__", None) if fast is None else None
    if fast is not None:
        parts = fast
    elif geo is not None:
        if not isinstance(geo, dict):
            raise TypeError(f"{name}.__geo_interface__ must be a dict")
        parts = _geo_polygons(geo, name)
    else:
        if isinstance(polygon, (str, bytes)) or polygon is None:
            raise TypeError(f"{name} must be an (n, 2) array, a sequence of rings or a "
                            f"geometry, not {type(polygon).__name__}")
        try:
            arr = np.asarray(polygon)
        except ValueError:  # ragged: a sequence of rings of different lengths
            arr = None
        if arr is not None and arr.ndim == 2 and arr.dtype != object:
            parts = [[arr]]
        else:
            try:
                parts = [list(polygon)]
            except TypeError:
                raise TypeError(f"{name} must be an (n, 2) array, a sequence of rings or a "
                                f"geometry, not {type(polygon).__name__}") from None
    arrays, owner, exterior = [], [], []
    for p, rings in enumerate(parts):
        for k, r in enumerate(rings):
            label = f"{name} ring {k}" if len(parts) == 1 else f"{name} part {p} ring {k}"
            arrays.append(_ring_array(r, label))
            owner.append(p)
            exterior.append(k == 0)
    out: list[list[FloatArray]] = []
    last = -1
    for p, is_exterior, ring in zip(owner, exterior, _normalised(arrays, np.array(exterior))):
        if is_exterior:
            # A polygon whose exterior bounds nothing is dropped with its holes.
            last = p if ring is not None else -1
            if ring is not None:
                out.append([ring])
        elif ring is not None and p == last:
            out[-1].append(ring)
    return out


def _segments(parts: list[list[FloatArray]]) -> tuple[FloatArray, IntArray]:
    """Every ring's edges as segments, and the polygon each belongs to."""
    rings = [r for rs in parts for r in rs]
    if not rings:
        return np.zeros((0, 4)), np.zeros(0, np.int32)
    points = np.concatenate(rings)
    lengths = np.array([len(r) for r in rings])
    ends = np.cumsum(lengths)
    following = np.arange(1, len(points) + 1)
    following[ends - 1] = ends - lengths  # the last vertex closes its ring
    segs = np.ascontiguousarray(np.hstack([points, points[following]]))
    per_part = np.repeat(np.arange(len(parts), dtype=np.int32), [len(rs) for rs in parts])
    return segs, np.repeat(per_part, lengths)


def polygon_region(polygon: Any, fill: str = "positive", name: str = "polygon") -> Region:
    """The Region of a polygon as ``polygon_coverage`` fills it."""
    if fill not in ("positive", "evenodd"):
        raise ValueError(f"fill must be 'positive' or 'evenodd', not {fill!r}")
    parts = polygon_rings(polygon, name)
    segs, group = _segments(parts)
    if fill == "positive" and len(segs):
        i, j = _native.find_crossing(segs, group)
        if i >= 0:
            raise ValueError(
                f"{name}: edges cross ({segs[i, :2].tolist()} -> {segs[i, 2:].tolist()} and "
                f"{segs[j, :2].tolist()} -> {segs[j, 2:].tolist()}): a ring crosses itself or "
                f"a hole crosses another ring; pass fill='evenodd' to fill it by parity")
    return Region(segs, np.zeros(len(segs), np.int32), np.zeros((0, 8)), np.zeros(0, np.int32),
                  (fill,))


def polygon_coverage(pixels: Pixels | Grid, polygon: Any, *,
                     fill: Literal["positive", "evenodd"] = "positive",
                     out: FloatArray | None = None, n_threads: int | None = None) -> FloatArray:
    """Fraction of every pixel's area inside a polygon.

    Parameters
    ----------
    pixels : Grid or Pixels
        The pixels: a Grid (any invertible Jacobian, any window) or Pixels.
    polygon : array_like or sequence or geometry
        An (n, 2) array of (x, y) vertices (one ring, closed implicitly), a
        sequence of rings (the exterior first, then holes), or any object with
        ``__geo_interface__`` of type Polygon or MultiPolygon.
    fill : {"positive", "evenodd"}
        "positive" (default): rings are oriented (exteriors counter-clockwise,
        holes clockwise) and a point is inside where the winding is positive:
        the union of the parts minus their holes, whatever the rings'
        orientation as given. Overlapping parts are united; a hole outside its
        exterior removes nothing. A ring that crosses itself, or a hole that
        crosses another ring of its polygon, is a ValueError. "evenodd": inside
        where a ray crosses the rings an odd number of times; any rings, no
        check.
    out : ndarray, optional
        float64 array of the pixels' shape, written whole.
    n_threads : int, optional
        Threads; None: all usable cores for large grids, one for small ones.

    Returns
    -------
    ndarray
        float64 of the pixels' shape: area of (pixel & polygon) / pixel area.

    Notes
    -----
    Exact to rounding: per pixel within about 1e-13 of the true fraction for
    grids of a few thousand pixels (the rounding of the pixel coordinates of
    the edges' ends and clip points). Bit-exact: pixels no edge changes are
    exactly 0.0 or 1.0 (edges shared by two parts, or inside another part,
    change nothing), results lie in [0, 1], and the bits are the same for
    every ``n_threads``, window and dask chunking. Non-finite vertices are a
    ValueError; a polygon with fewer than 3 distinct vertices or zero area
    covers nothing. See ``region_coverage`` for the method and its cost.
    """
    region = polygon_region(polygon, fill)
    return region_coverage(pixels, region, out=out, n_threads=n_threads)
