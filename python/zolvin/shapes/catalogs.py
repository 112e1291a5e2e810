"""Catalogs of apertures: many discs, ellipses, annuli or polygons held as
arrays, one region per source (or per source and radius), with no Python
object per source. They are what ``zolvin.aperture_sums`` measures; they are
not shapes to compose (a shape per source does that, through a slower path).
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np

import zolvin._native

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.values import sealed
from .batch import RegionBatch
from .rings import polygon_edges, polygon_rings, ring_edges, simple_polygons

__all__ = ["Annuli", "Discs", "Ellipses", "Polygons"]

TAU = 2 * math.pi
# A size's square must stay finite and nonzero where it is nonzero: an arc's
# determinant is a product of two sizes.
_BIG = 1e150


def _centers(value: Any) -> FloatArray:
    arr = V.array(value, "centers")
    if arr.ndim != 2 or arr.shape[1] != 2:
        raise ValueError(f"centers must have shape (n, 2), not {arr.shape}")
    arr = np.ascontiguousarray(arr, dtype=np.float64)
    if not np.isfinite(arr).all():
        k = int(np.flatnonzero(~np.isfinite(arr).all(axis=1))[0])
        raise ValueError(f"centers must be finite (centers[{k}] is {arr[k].tolist()})")
    return arr


def _sizes(value: Any, n: int, name: str, zero: bool = True) -> FloatArray:
    """Sizes as (n, k): a scalar for every source, (n,) one each, (n, k) k each."""
    arr = np.asarray(V.array(value, name), dtype=np.float64)
    if arr.ndim == 0:
        arr = np.full((n, 1), float(arr))
    elif arr.ndim == 1 and arr.shape[0] == n:
        arr = arr[:, None]
    elif not (arr.ndim == 2 and arr.shape[0] == n):
        raise ValueError(f"{name} must be a number, or have shape ({n},) or ({n}, k), "
                         f"not {arr.shape}")
    bad = ~((arr >= 0.0 if zero else arr > 0.0) & (arr < _BIG))
    if bad.any():
        k = np.argwhere(bad)[0]
        where = f"{name}[{k[0]}]" if arr.shape[1] == 1 else f"{name}[{k[0]}, {k[1]}]"
        lo = ">= 0" if zero else "> 0"
        raise ValueError(f"{name} must be {lo} and below 1e150 ({where} is {arr[tuple(k)]})")
    return np.ascontiguousarray(arr)


def _per_source(value: Any, n: int, name: str) -> FloatArray:
    arr = np.asarray(V.array(value, name), dtype=np.float64)
    if arr.ndim == 0:
        arr = np.full(n, float(arr))
    if arr.shape != (n,):
        raise ValueError(f"{name} must be a number or have shape ({n},), not {arr.shape}")
    if not np.isfinite(arr).all():
        raise ValueError(f"{name} must be finite ({name}[{np.flatnonzero(~np.isfinite(arr))[0]}])")
    return arr


def _whole(cx: FloatArray, cy: FloatArray, a: FloatArray, b: FloatArray, c: FloatArray,
           d: FloatArray, turn: float) -> FloatArray:
    """Whole ellipses as arc rows, the parameter running 0 -> turn."""
    out = np.empty((len(cx), 8))
    out[:, 0], out[:, 1], out[:, 2], out[:, 3] = cx, cy, a, b
    out[:, 4], out[:, 5], out[:, 6], out[:, 7] = c, d, 0.0, turn
    return out


class _Catalog:
    """Sources as arrays; ``shape`` is the shape of the results, ``len`` the
    number of sources."""

    __slots__ = ("_batch", "centers")
    centers: FloatArray
    _batch: RegionBatch

    def __len__(self) -> int:
        return len(self.centers)

    @property
    def shape(self) -> tuple[int, ...]:
        raise NotImplementedError

    def batch(self) -> RegionBatch:
        """The regions, source after source (and radius after radius)."""
        return self._batch

    def __setattr__(self, name: str, value: Any) -> None:
        if hasattr(self, name):
            raise AttributeError(f"{type(self).__name__} is immutable: {name} cannot be set")
        if isinstance(value, np.ndarray):  # a sealed copy: the batch is made from it
            value = sealed(value)
        object.__setattr__(self, name, value)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} of {len(self)} sources>"


class Discs(_Catalog):
    """Discs of ``radii`` around ``centers``: radii a number for all, one per
    source (n,), or k per source (n, k), whose results then have shape (n, k).
    A radius of 0 measures nothing."""

    __slots__ = ("_shape", "radii")

    def __init__(self, centers: Any, radii: Any) -> None:
        c = _centers(centers)
        r = _sizes(radii, len(c), "radii")
        self.centers, self.radii = c, r
        self._shape = (len(c), r.shape[1]) if np.ndim(radii) == 2 else (len(c),)
        k = r.shape[1]
        cx, cy = np.repeat(c[:, 0], k), np.repeat(c[:, 1], k)
        rr = r.ravel()
        zero = np.zeros(len(rr))
        arcs = _whole(cx, cy, rr, zero, zero, rr, TAU)
        self._batch = RegionBatch.single_leaf(np.zeros((0, 4)), np.zeros(len(rr), np.int64),
                                              arcs, np.ones(len(rr), np.int64),
                                              np.ones(len(rr), np.uint8))

    @property
    def shape(self) -> tuple[int, ...]:
        return self._shape


class Ellipses(_Catalog):
    """Ellipses around ``centers`` with ``semi_axes`` (p, q) (one pair for
    all, or (n, 2)), the first along ``angles`` (radians counter-clockwise
    from +x; a number or one per source)."""

    __slots__ = ("angles", "semi_axes")

    def __init__(self, centers: Any, semi_axes: Any, angles: Any = 0.0) -> None:
        c = _centers(centers)
        n = len(c)
        ax = np.asarray(V.array(semi_axes, "semi_axes"), dtype=np.float64)
        if ax.shape == (2,):
            ax = np.broadcast_to(ax, (n, 2))
        if ax.shape != (n, 2):
            raise ValueError(f"semi_axes must have shape (2,) or ({n}, 2), not {ax.shape}")
        ax = np.ascontiguousarray(_sizes(ax.reshape(n, 2), n, "semi_axes", zero=False))
        th = _per_source(angles, n, "angles")
        self.centers, self.semi_axes, self.angles = c, ax, th
        co, si = np.cos(th), np.sin(th)
        p, q = ax[:, 0], ax[:, 1]
        arcs = _whole(c[:, 0], c[:, 1], p * co, -q * si, p * si, q * co, TAU)
        self._batch = RegionBatch.single_leaf(np.zeros((0, 4)), np.zeros(n, np.int64), arcs,
                                              np.ones(n, np.int64), np.ones(n, np.uint8))

    @property
    def shape(self) -> tuple[int, ...]:
        return (len(self),)


class Annuli(_Catalog):
    """Rings between ``r_in`` and ``r_out`` around ``centers`` (each a number,
    one per source, or k per source as (n, k)); r_in < r_out, r_in = 0 is a
    disc."""

    __slots__ = ("_shape", "r_in", "r_out")

    def __init__(self, centers: Any, r_in: Any, r_out: Any) -> None:
        c = _centers(centers)
        n = len(c)
        two_d = np.ndim(r_in) == 2 or np.ndim(r_out) == 2
        ri, ro = _sizes(r_in, n, "r_in"), _sizes(r_out, n, "r_out")
        try:
            ri, ro = np.broadcast_arrays(ri, ro)
        except ValueError:
            raise ValueError(f"r_in and r_out must have matching shapes, not {ri.shape} "
                             f"and {ro.shape}") from None
        if not (ri < ro).all():
            k = np.argwhere(~(ri < ro))[0]
            raise ValueError(f"r_in must be less than r_out (source {k[0]}: r_in "
                             f"{ri[tuple(k)]}, r_out {ro[tuple(k)]})")
        self.centers, self.r_in, self.r_out = c, np.array(ri), np.array(ro)
        k = ri.shape[1]
        self._shape = (n, k) if two_d else (n,)
        m = n * k
        cx, cy = np.repeat(c[:, 0], k), np.repeat(c[:, 1], k)
        outer, inner = ro.ravel(), ri.ravel()
        zero = np.zeros(m)
        # Outer rim counter-clockwise, inner clockwise; an inner radius of 0
        # has no rim.
        arcs = np.empty((m, 2, 8))
        arcs[:, 0] = _whole(cx, cy, outer, zero, zero, outer, TAU)
        arcs[:, 1] = _whole(cx, cy, inner, zero, zero, inner, -TAU)
        has_inner = inner > 0
        keep = np.stack([np.ones(m, bool), has_inner], axis=1).ravel()
        self._batch = RegionBatch.single_leaf(np.zeros((0, 4)), np.zeros(m, np.int64),
                                              arcs.reshape(-1, 8)[keep],
                                              1 + has_inner.astype(np.int64),
                                              np.ones(m, np.uint8))

    @property
    def shape(self) -> tuple[int, ...]:
        return self._shape


class Polygons(_Catalog):
    """One polygon per source: an (n, m, 2) array of rings of m vertices, a
    sequence whose items are each an (m, 2) ring, a sequence of rings (the
    exterior first, then holes) or a geometry, or a shapely geometry array.
    Rings are oriented as needed. A source whose edges cross (a ring crossing
    itself or another ring of the source) is refused; one whose hole lies
    outside its exterior, or whose part lies inside another, is measured as
    the union its rings bound, through the slower sweep."""

    __slots__ = ("polygons",)

    def __init__(self, polygons: Any) -> None:
        batch, n = _polygons_batch(polygons)
        self.polygons = polygons
        self.centers = np.zeros((n, 2))
        self._batch = batch

    @property
    def shape(self) -> tuple[int, ...]:
        return (len(self),)


def _polygons_batch(polygons: Any) -> tuple[RegionBatch, int]:
    shapely = _shapely_array(polygons)
    if shapely is not None:
        return RegionBatch.of_shapely(shapely, "polygons"), len(shapely)
    arr = None
    if isinstance(polygons, np.ndarray) and polygons.dtype != object:
        arr = polygons
    if arr is not None and arr.ndim == 3 and arr.shape[2] == 2:
        return _ring_array_batch(arr), arr.shape[0]
    try:
        items = list(polygons)
    except TypeError:
        raise TypeError(f"polygons must be an (n, m, 2) array, a sequence of polygons or a "
                        f"shapely geometry array, not {type(polygons).__name__}") from None
    parts = [polygon_rings(p, f"polygons[{k}]") for k, p in enumerate(items)]
    edges = [polygon_edges(p)[0] for p in parts]
    counts = np.array([len(e) for e in edges], np.int64)
    segs = np.concatenate(edges) if edges else np.zeros((0, 4))
    owner = np.repeat(np.arange(len(items), dtype=np.int32), counts)
    _refuse_crossings(segs, owner)
    simple = np.array([len(p) <= 1 and len(p[0]) <= 1 if p else True for p in parts])
    for k in np.flatnonzero(~simple):
        simple[k] = simple_polygons(parts[k])
    return RegionBatch.single_leaf(segs, counts, np.zeros((0, 8)),
                                   np.zeros(len(items), np.int64),
                                   simple.astype(np.uint8)), len(items)


def _ring_array_batch(arr: np.ndarray) -> RegionBatch:
    """n rings of m vertices each, all at once."""
    rings = np.asarray(V.array(arr, "polygons"), dtype=np.float64)
    if not np.isfinite(rings).all():
        k = int(np.flatnonzero(~np.isfinite(rings).all(axis=(1, 2)))[0])
        raise ValueError(f"polygons[{k}] must have finite vertices")
    n, m = rings.shape[:2]
    # Counter-clockwise: the shoelace sum about each ring's first vertex.
    d = rings - rings[:, :1]
    area = (d[:, :-1, 0] * d[:, 1:, 1] - d[:, :-1, 1] * d[:, 1:, 0]).sum(axis=1)
    rings = np.where((area < 0)[:, None, None], rings[:, ::-1], rings)
    segs = np.concatenate([rings, np.roll(rings, -1, axis=1)], axis=2).reshape(-1, 4)
    segs = np.ascontiguousarray(segs)
    _refuse_crossings(segs, np.repeat(np.arange(n, dtype=np.int32), m))
    return RegionBatch.single_leaf(segs, np.full(n, m, np.int64), np.zeros((0, 8)),
                                   np.zeros(n, np.int64), np.ones(n, np.uint8))


def _refuse_crossings(segs: FloatArray, owner: np.ndarray) -> None:
    if not len(segs):
        return
    i, j = zolvin._native.find_crossing(segs, owner.astype(np.int32))
    if i >= 0:
        raise ValueError(f"polygons[{owner[i]}]: edges cross ({segs[i, :2].tolist()} -> "
                         f"{segs[i, 2:].tolist()} and {segs[j, :2].tolist()} -> "
                         f"{segs[j, 2:].tolist()})")


def _shapely_array(value: Any) -> np.ndarray | None:
    import sys
    shapely = sys.modules.get("shapely")
    if shapely is None:
        return None
    arr = np.asarray(value, dtype=object) if not isinstance(value, np.ndarray) else value
    if arr.dtype != object or arr.ndim != 1 or not len(arr):
        return None
    if all(isinstance(g, shapely.Geometry) for g in arr[:1]) and \
            shapely.is_geometry(arr).all():
        return arr
    return None


_ = ring_edges  # the edges of plain rings, as polygon_edges builds them
