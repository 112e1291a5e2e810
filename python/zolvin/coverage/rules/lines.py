"""Coverage of pixels by a line, a circle or a strut."""
from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np

import zolvin._native

from ...core import checks as V
from ...core.limits import THREAD_THRESHOLD
from ...pixels.grid import Grid
from ...pixels.pixels import Pixels

Pair = V.PairLike
Edge = V.EdgeLike


def _result(pixels: Pixels, out: Any, spans: tuple[tuple[str, int, int], ...] = ()
            ) -> V.FloatArray:
    """The array to write: out checked, or a new one."""
    if out is None:
        return np.empty(pixels.shape)
    res = V.out_array(out, pixels.shape, V.F64)
    V.check_overlap(res, V.address(res), spans or pixels._spans, same_ok=True)
    return res


def _grid_result(grid: Grid, out: Any) -> tuple[V.FloatArray, bool]:
    """(array to write, whether it already holds zeros)."""
    if out is None:
        return np.zeros(grid.shape), True
    return V.out_array(out, grid.shape, V.F64), False


def _pixels(pixels: Any) -> Pixels | Grid:
    if isinstance(pixels, (Pixels, Grid)):
        return pixels
    raise TypeError(f"pixels must be a zolvin.Pixels or a zolvin.Grid, not {type(pixels).__name__}")


def _line_part(value: Any, shape: tuple[int, ...], name: str
               ) -> tuple[float, float] | tuple[V.FloatArray, V.FloatArray]:
    """A shared (x, y) pair, or for shape + (2,) one contiguous array per component."""
    if type(value) is tuple and len(value) == 2:
        a, b = value
        if type(a) is float and type(b) is float:
            return a, b
    if isinstance(value, Iterator):
        value = tuple(value)  # read once
    nested = isinstance(value, (list, tuple)) and any(
        isinstance(t, (list, tuple, np.ndarray)) for t in value)
    if not (nested or isinstance(value, np.ndarray)):
        return V.pair(value, name)
    arr = V.array(value, name)
    if arr.shape == (2,):
        return V.pair(arr, name)
    if arr.shape == shape + (2,):
        return (np.ascontiguousarray(arr[..., 0], dtype=np.float64),
                np.ascontiguousarray(arr[..., 1], dtype=np.float64))
    raise ValueError(f"{name} must have shape (2,) (one line) or {shape + (2,)} "
                     f"(one line per pixel), not {arr.shape}")


def pixel_frac(pixels: Pixels | Grid, point: Pair, direction: Pair, *,
               out: V.FloatArray | None = None, n_threads: int | None = None) -> V.FloatArray:
    """Fraction of every pixel on the inner side of a line: the side to the
    right of ``direction`` (x right, y up) through ``point``.

    point and direction are (x, y) pairs for one line shared by all pixels, or
    arrays of shape ``pixels.shape + (2,)`` for one line per pixel. Returns a
    float64 array of the pixels' shape (written into ``out`` when given).
    """
    pix = _pixels(pixels)
    shape = pix.shape
    p = _line_part(point, shape, "point")
    d = _line_part(direction, shape, "direction")
    shared = type(p[0]) is float and type(d[0]) is float
    if isinstance(pix, Grid):
        if shared:
            res, _ = _grid_result(pix, out)
            nt = V.threads(n_threads, pix.size, THREAD_THRESHOLD)
            zolvin._native.grid_pixel_frac(*pix._native_args(), p[0], p[1], d[0], d[1], res, nt)
            return res
        pix = pix.pixels()
    nt = V.threads(n_threads, pix.size, THREAD_THRESHOLD)
    if shared:
        res = _result(pix, out)
        zolvin._native.pixel_frac_shared(*pix._native_args(), p[0], p[1], d[0], d[1], res, nt)
        return res
    lines = [np.ascontiguousarray(np.broadcast_to(t, shape), dtype=np.float64)
             for t in (p[0], p[1], d[0], d[1])]
    names = ("point x", "point y", "direction x", "direction y")
    spans = pix._spans + V.spans(dict(zip(names, lines))) if out is not None else ()
    res = _result(pix, out, spans)
    lx, ly, ldx, ldy = lines
    zolvin._native.pixel_frac_lines(*pix._native_args(), lx, ly, ldx, ldy, res, nt)
    return res


def enclosed_circle(pixels: Pixels | Grid, center: Pair, radius: float, *,
                    out: V.FloatArray | None = None,
                    n_threads: int | None = None) -> V.FloatArray:
    """Fraction of every pixel inside the circle: exactly 1 or 0 more than one
    pixel scale from the rim, else the fraction on the centre's side of the
    tangent at the rim point nearest the pixel centre."""
    pix = _pixels(pixels)
    cx, cy = V.pair(center, "center")
    r = V.real(radius, "radius")
    nt = V.threads(n_threads, pix.size, THREAD_THRESHOLD)
    if isinstance(pix, Grid):
        res, zeroed = _grid_result(pix, out)
        zolvin._native.grid_enclosed_circle(*pix._native_args(), cx, cy, r, res, zeroed, nt)
        return res
    res = _result(pix, out)
    zolvin._native.enclosed_circle(*pix._native_args(), cx, cy, r, res, nt)
    return res


def enclosed_strut(pixels: Pixels | Grid, diameter: float, edge1: Edge, edge2: Edge, *,
                   out: V.FloatArray | None = None,
                   n_threads: int | None = None) -> V.FloatArray:
    """Coverage of every pixel by the band on the inner side of edge1 and not on
    the inner side of edge2, for pixel centres inside the disc of the given
    diameter around the midpoint of the two edge points (0 outside it).

    Each edge is ``(point, direction)`` with (x, y) pairs. Near an edge the
    value is edge1's fraction minus edge2's, unclamped."""
    pix = _pixels(pixels)
    dia = V.real(diameter, "diameter")
    x1, y1, dx1, dy1 = V.edge(edge1, "edge1")
    x2, y2, dx2, dy2 = V.edge(edge2, "edge2")
    nt = V.threads(n_threads, pix.size, THREAD_THRESHOLD)
    strut = (dia, x1, y1, dx1, dy1, x2, y2, dx2, dy2)
    if isinstance(pix, Grid):
        res, zeroed = _grid_result(pix, out)
        zolvin._native.grid_enclosed_strut(*pix._native_args(), *strut, res, zeroed, nt)
        return res
    res = _result(pix, out)
    zolvin._native.enclosed_strut(*pix._native_args(), *strut, res, nt)
    return res
