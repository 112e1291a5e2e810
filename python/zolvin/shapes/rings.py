"""Polygons as the package reads them: rings from arrays, sequences, shapely
geometries or anything with a ``__geo_interface__``, oriented and cleaned;
the edges of closed rings, and whether rings make a simple region."""
from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import zolvin._native

from ..core import checks as V
from ..core.checks import FloatArray

IntArray = npt.NDArray[np.int32]


def _ring_array(value: Any, name: str) -> FloatArray:
    """A ring's vertices as a finite (m, 2) float64 array: (x, y) rows, or
    (x, y, z) rows whose z is dropped; an empty sequence is an empty ring."""
    arr = V.array(value, name)
    if arr.ndim == 1 and arr.size == 0:
        return np.zeros((0, 2))
    if arr.ndim != 2 or arr.shape[1] not in (2, 3):
        raise ValueError(f"{name} must have shape (n, 2), or (n, 3) whose z is dropped, "
                         f"not {arr.shape}")
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
    if not rings:
        return []
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
    # own offset is zero, so products across two rings' seam vanish. Vertices
    # near the largest doubles overflow here, quietly: the kernel refuses such
    # rings by their reach, whichever way they turn.
    cross = np.zeros(len(points))
    with np.errstate(over="ignore", invalid="ignore"):
        d = points - np.repeat(points[starts], lengths, axis=0)
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
    """The polygons of a __geo_interface__, each its rings; no coordinates
    (None) is an empty geometry."""
    kind = geo.get("type")
    if kind not in ("Polygon", "MultiPolygon"):
        raise ValueError(f"{name}: __geo_interface__ must be a Polygon or a MultiPolygon, "
                         f"not {kind!r}")
    coords = geo.get("coordinates")
    if coords is None:
        return []
    return [coords] if kind == "Polygon" else _listed(coords, f"{name} coordinates")


def _listed(value: Any, name: str) -> list[Any]:
    """A sequence's items (None: none)."""
    if value is None:
        return []
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a sequence, not {type(value).__name__}")
    try:
        return list(value)
    except TypeError:
        raise TypeError(f"{name} must be a sequence, not {type(value).__name__}") from None


def polygon_rings(polygon: Any, name: str = "polygon") -> list[list[FloatArray]]:
    """Parse a polygon into a list of polygons, each a list of rings.

    Parameters
    ----------
    polygon : array_like or sequence or geometry
        An (n, 2) array of (x, y) vertices (one ring, closed implicitly; an
        (n, 3) array's z is dropped), a sequence of rings (the first the
        exterior, the rest holes), or any object with ``__geo_interface__``
        of type Polygon or MultiPolygon. Empty spellings (``[]``, empty
        rings, an empty geometry, no coordinates) are the empty polygon.
    name : str
        The argument's name in error messages.

    Returns
    -------
    list of list of ndarray
        Polygons, each a list of (m, 2) float64 rings (exterior first) without
        a repeated closing vertex, oriented: exteriors counter-clockwise, holes
        clockwise. Rings with fewer than 3 distinct vertices or all vertices
        on one line are dropped (a polygon with such an exterior too); an
        empty polygon is an empty list.
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
        # One ring as an (n, k) array; a list of empty lists ([[]]) is rings.
        listed_empty = arr is not None and arr.size == 0 and not isinstance(polygon, np.ndarray)
        if arr is not None and arr.ndim == 2 and arr.dtype != object and not listed_empty:
            parts = [[arr]]
        else:
            try:
                parts = [list(polygon)]
            except TypeError:
                raise TypeError(f"{name} must be an (n, 2) array, a sequence of rings or a "
                                f"geometry, not {type(polygon).__name__}") from None
    arrays, owner, exterior = [], [], []
    for p, rings in enumerate(parts):
        where = name if len(parts) == 1 else f"{name} part {p}"
        for k, r in enumerate(_listed(rings, where)):
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


def ring_edges(rings: Sequence[FloatArray]) -> FloatArray:
    """The edges of closed rings as (x0, y0, x1, y1) rows, ring after ring."""
    if not rings:
        return np.zeros((0, 4))
    points = np.concatenate(rings)
    lengths = np.array([len(r) for r in rings])
    ends = np.cumsum(lengths)
    following = np.arange(1, len(points) + 1)
    following[ends - 1] = ends - lengths  # the last vertex closes its ring
    return np.ascontiguousarray(np.hstack([points, points[following]]))


def polygon_edges(parts: list[list[FloatArray]]) -> tuple[FloatArray, IntArray]:
    """Every ring's edges, and the polygon each belongs to."""
    rings = [r for rs in parts for r in rs]
    if not rings:
        return np.zeros((0, 4)), np.zeros(0, np.int32)
    per_part = np.repeat(np.arange(len(parts), dtype=np.int32), [len(rs) for rs in parts])
    return ring_edges(rings), np.repeat(per_part, [len(r) for r in rings])


# Points tested against one ring's edges at a time: bounds the scratch.
_INSIDE_BLOCK = 1 << 20
# The most work (ring edges times the first vertices they are tested
# against) spent on how rings nest before a polygon is judged simple;
# beyond it the polygon is not, and is swept.
MAX_NESTING_WORK = 50_000_000


def _inside(points: np.ndarray, ring: np.ndarray) -> np.ndarray:
    """Which of the (m, 2) points lie strictly inside a ring (crossing count)."""
    a, b = ring, np.roll(ring, -1, axis=0)
    step = max(1, _INSIDE_BLOCK // len(ring))
    out = np.empty(len(points), bool)
    for k in range(0, len(points), step):
        x, y = points[k:k + step, :1], points[k:k + step, 1:]
        up = (a[:, 1] <= y) != (b[:, 1] <= y)
        # Near the largest doubles the products overflow: such rings are
        # refused afterwards by their reach.
        with np.errstate(all="ignore"):
            xc = a[:, 0] + (y - a[:, 1]) * (b[:, 0] - a[:, 0]) / (b[:, 1] - a[:, 1])
        out[k:k + step] = np.count_nonzero(up & (xc > x), axis=1) % 2 == 1
    return out


def _nested(parts: list[list[FloatArray]]) -> bool:
    """Whether every hole's first vertex lies inside its exterior and outside
    its other holes, and no part's first vertex lies inside another part."""
    firsts = np.array([p[0][0] for p in parts])
    for k, p in enumerate(parts):
        holes = np.array([h[0] for h in p[1:]]).reshape(-1, 2)
        inside = _inside(np.vstack([holes, firsts]), p[0])
        if not inside[:len(holes)].all() or np.delete(inside[len(holes):], k).any():
            return False
        for j, hole in enumerate(p[1:]):
            if np.delete(_inside(holes, hole), j).any():
                return False
    return True


def simple_polygons(parts: list[list[FloatArray]], edges: FloatArray | None = None) -> bool:
    """Whether oriented polygons (exterior counter-clockwise, holes clockwise)
    make a region of winding 0 or 1: their rings are simple together (no
    vertex twice, no two edges meeting but consecutive ones at their vertex:
    rings that cross, touch or run through one point are not), every hole's
    first vertex lies inside its exterior and outside its other holes, and no
    part's first vertex lies inside another part. Polygons whose nesting
    would cost more than MAX_NESTING_WORK to check are taken as not simple.
    ``edges``: the parts' edges (``polygon_edges``), when the caller has
    them."""
    if not parts:
        return True
    work = sum(len(p[0]) * (len(parts) + len(p) - 1) + sum(len(h) for h in p[1:]) * (len(p) - 1)
               for p in parts)
    if work > MAX_NESTING_WORK:
        return False
    segs = polygon_edges(parts)[0] if edges is None else edges
    if len(segs) and not zolvin._native.simple_rings(segs):
        return False
    return _nested(parts)


# The most rings a polygon may have for polygon coverage to check whether it
# may be accumulated: beyond them the checks cost more than accumulating
# saves (798 hexagons: 95 ms of checks, against a sweep of 25 ms).
MAX_ACCUMULATED_RINGS = 64


def accumulable(parts: list[list[FloatArray]], edges: FloatArray | None = None) -> bool:
    """Whether a polygon's coverage may be accumulated (its Region made with
    ``simple=True``): at most MAX_ACCUMULATED_RINGS rings that are
    simple_polygons, under either fill (with no two rings touching,
    exteriors and holes fill the same by parity as by winding). Parts that
    share an edge are not simple together: they are swept, and a whole pixel
    where they meet stays exactly 1.0."""
    if sum(len(p) for p in parts) > MAX_ACCUMULATED_RINGS:
        return False
    return simple_polygons(parts, edges)
