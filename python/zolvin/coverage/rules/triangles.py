"""Triangles: overlap with unit pixels, accumulation onto a grid, clipping."""
from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import zolvin._native

from ...core import checks as V
from ...core.limits import ACCUMULATE_THREAD_THRESHOLD, CLIP_THREAD_THRESHOLD, INT32_MAX

# Input triangles per thread and kernel call when clipping: bounds the scratch
# output (at most 7 triangles each) and keeps the kernel's int32 counters
# far from wrapping.
CLIP_CHUNK = 1 << 17


class Clipped(NamedTuple):
    """Result of clipping a triangle list."""

    triangles: V.FloatArray
    """(m, 3, 2) float64: the pieces, in the order of their input triangles."""
    dropped: int
    """Input triangles that left nothing."""
    clipped: int
    """Input triangles that were cut and left at least one piece."""


def _triangle_list(value: Any, name: str = "triangles") -> V.FloatArray:
    arr = V.array(value, name)
    if arr.ndim != 3 or arr.shape[1:] != (3, 2):
        raise ValueError(f"{name} must have shape (n, 3, 2), not {arr.shape}")
    return V.floats(arr, name)


def clip_area(triangle: npt.ArrayLike, ix: int, iy: int) -> float:
    """Exact area of the triangle ((x0, y0), (x1, y1), (x2, y2)) inside the unit
    pixel [ix - 0.5, ix + 0.5] x [iy - 0.5, iy + 0.5]."""
    tri = V.floats(triangle, "triangle", (3, 2))
    i = V.index(ix, "ix", -INT32_MAX - 1, INT32_MAX)
    j = V.index(iy, "iy", -INT32_MAX - 1, INT32_MAX)
    return float(zolvin._native.clip_area(tri, i, j))


def _per_triangle(value: Any, n: int, name: str) -> V.FloatArray:
    arr = V.array(value, name)
    if arr.shape != (n,):
        if arr.ndim != 0:
            raise ValueError(f"{name} must have shape ({n},) (one per triangle) or be a "
                             f"number, not an array of shape {arr.shape}")
        arr = np.broadcast_to(arr, (n,))
    return V.floats(arr, name)


def accumulate_triangles(triangles: npt.ArrayLike, values: npt.ArrayLike,
                         weights: npt.ArrayLike, size: int, *,
                         out: V.FloatArray | None = None,
                         n_threads: int | None = None) -> V.FloatArray:
    """Spread values[t] / weights[t] times the overlap area of triangle t over
    the unit pixels of a (size, size) grid centred on the origin.

    Pixel (ix, iy) is row iy + half, column ix + half, half = (size - 1) // 2.
    Triangles with a weight <= 0 are skipped. The contributions are added to
    ``out`` when given (it is not cleared first), else to a new grid of zeros.
    """
    tris = _triangle_list(triangles)
    n = tris.shape[0]
    vals = _per_triangle(values, n, "values")
    wts = _per_triangle(weights, n, "weights")
    k = V.index(size, "size", 0, INT32_MAX)
    if k * k * 8 > np.iinfo(np.intp).max:
        raise ValueError(f"size {k} is too large for a (size, size) float64 grid")
    if out is None:
        grid = np.zeros((k, k))
    else:
        grid = V.out_array(out, (k, k), V.F64)
        V.check_overlap(grid, V.address(grid),
                        V.spans({"triangles": tris, "values": vals, "weights": wts}),
                        same_ok=False)
    nt = V.threads(n_threads, n if k > 1 else 0, ACCUMULATE_THREAD_THRESHOLD)
    zolvin._native.accumulate_triangles(tris, vals, wts, grid, k, nt)
    return grid


def _rows_touched(tris: np.ndarray, size: int) -> tuple[np.ndarray, np.ndarray]:
    """First and last grid row that each triangle can add to (one row to spare)."""
    half = (size - 1) // 2
    y = tris[:, :, 1]
    with np.errstate(invalid="ignore"):
        lo = np.floor(y.min(axis=1) + 0.5) - 1 + half
        hi = np.floor(y.max(axis=1) + 0.5) + 1 + half
    # NaN coordinates: keep the triangle, the kernel decides.
    return np.where(np.isnan(lo), -math.inf, lo), np.where(np.isnan(hi), math.inf, hi)


def accumulate_band(triangles: np.ndarray, values: Any, weights: Any, size: int,
                    rows: tuple[int, int], band: V.FloatArray) -> None:
    """``accumulate_triangles`` for the rows rows[0] .. rows[1] - 1 of the
    (size, size) grid alone, added to band (those rows), on one thread: each
    cell gets the additions it gets in the whole grid, in the same order.
    values and weights are one per triangle or numbers. The arguments are
    taken as checked (by the chunked form that calls it)."""
    r0, r1 = rows
    n = triangles.shape[0]
    lo, hi = _rows_touched(triangles, size)
    pick = np.flatnonzero((hi >= r0) & (lo < r1))
    if pick.size:
        t = np.ascontiguousarray(triangles[pick], dtype=np.float64)
        v = np.ascontiguousarray(np.broadcast_to(values, (n,))[pick], dtype=np.float64)
        w = np.ascontiguousarray(np.broadcast_to(weights, (n,))[pick], dtype=np.float64)
        zolvin._native.accumulate_triangles_band(t, v, w, band, size, r0, r1, 1)


def _clip(tris: V.FloatArray, room: int, n_threads: Any, call: Any) -> Clipped:
    """Runs call(chunk, out, counts, threads) over chunks of the list and joins
    the parts' pieces in input order."""
    n = tris.shape[0]
    nt = V.threads(n_threads, n, CLIP_THREAD_THRESHOLD)
    step = CLIP_CHUNK * nt
    pieces: list[Any] = []
    dropped = clipped = 0
    scratch = np.empty((room * min(step, n), 3, 2))
    counts = np.empty((nt, 4), dtype=np.int64)
    for first in range(0, n, step):
        m = min(step, n - first)
        parts = max(1, min(nt, m))
        call(tris[first:first + m], scratch, counts, nt)
        views = []
        for start, written, d, c in counts[:parts].tolist():
            views.append(scratch[room * start:room * start + written])
            dropped += d
            clipped += c
        # The scratch is reused by the next chunk: keep a copy of this one's pieces.
        pieces.append(np.concatenate(views) if first + step < n else views)
    if not pieces:
        return Clipped(np.empty((0, 3, 2)), dropped, clipped)
    last = pieces.pop()
    return Clipped(np.concatenate(pieces + last), dropped, clipped)


def clip_triangles_to_circle(triangles: npt.ArrayLike, center: V.PairLike, radius: float, *,
                             keep_inside: bool = True, margin: float = 0.0,
                             n_threads: int | None = None) -> Clipped:
    """The part of every triangle inside (keep_inside) or outside the circle,
    arcs replaced by chords, as a new triangle list. Triangles whose vertices
    all lie within ``margin`` of the kept side are copied unchanged, those on
    the other side beyond it dropped, the rest cut."""
    tris = _triangle_list(triangles)
    cx, cy = V.pair(center, "center")
    r = V.real(radius, "radius")
    keep = bool(keep_inside)
    mg = V.real(margin, "margin")
    return _clip(tris, zolvin._native.CIRCLE_PIECES, n_threads,
                 lambda t, o, c, nt: zolvin._native.clip_triangles_to_circle(
                     t, cx, cy, r, keep, mg, o, c, nt))


def clip_triangles_to_strut(triangles: npt.ArrayLike, edge1: V.EdgeLike, edge2: V.EdgeLike,
                            center: V.PairLike, length: float, *, margin: float = 0.0,
                            n_threads: int | None = None) -> Clipped:
    """Every triangle minus the strut, exactly, as a new triangle list (at most
    7 pieces per triangle). The strut lies between the edge lines ``edge1`` and
    ``edge2`` (each ``(point, direction)``), cut off along its axis at
    ``length / 2`` either side of ``center``. Edges whose points lie within
    rounding of each other's lines (identical edges, or a width at the rounding
    level of the coordinates) bound no area: every triangle is then copied
    unchanged."""
    tris = _triangle_list(triangles)
    x1, y1, dx1, dy1 = V.edge(edge1, "edge1")
    x2, y2, dx2, dy2 = V.edge(edge2, "edge2")
    cx, cy = V.pair(center, "center")
    ln = V.real(length, "length")
    mg = V.real(margin, "margin")
    return _clip(tris, zolvin._native.STRUT_PIECES, n_threads,
                 lambda t, o, c, nt: zolvin._native.clip_triangles_to_strut(
                     t, x1, y1, dx1, dy1, x2, y2, dx2, dy2, cx, cy, ln, mg, o, c, nt))
