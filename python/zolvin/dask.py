"""Coverage of grids larger than memory, as chunked dask arrays.

Every chunk of the coverage functions, of ``aperture_coverage`` and of ``pupil``
is a window of the grid, computed when dask asks for it; since a window's
pixels keep the grid's indices, the chunks put together are the in-memory
result bit for bit.
``accumulate_triangles`` reduces a chunked triangle list into row bands of
the grid: each band goes through the whole list, chunk after chunk, so every
cell gets the same additions in the same order as in one in-memory call, and a
task holds one band and one chunk of the list.

Tasks are plain functions of picklable arguments, so the arrays compute under
any dask scheduler, ``dask.distributed`` included.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Iterator
from typing import Any

import dask.array as da
import numpy as np
from dask.array.core import normalize_chunks
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import _aperture, _coverage, _native, _pupil, _region
from . import _validate as V
from .grid import Grid

# Default chunk side: 2048 x 2048 float64 is 32 MiB.
CHUNK = 2048
# Default band of accumulate_triangles: about this many cells.
BAND_CELLS = 1 << 22
# accumulate_triangles: bands x chunks of the triangle list, the steps of its
# graph, at most this many (unless the list alone has more chunks).
MAX_STEPS = 1 << 15


def _check_grid(grid: Any) -> Grid:
    if not isinstance(grid, Grid):
        raise TypeError(f"grid must be a zolvin.Grid, not {type(grid).__name__}")
    return grid


def _edges(bounds: tuple[int, ...]) -> list[tuple[int, int]]:
    out, at = [], 0
    for n in bounds:
        out.append((at, at + n))
        at += n
    return out


def _chunk_side(value: Any, length: int) -> Any:
    """One axis of chunks=: a side of at least 1 (-1 for the whole axis), an
    explicit tuple of sizes, or a dask spelling such as "auto"."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, (tuple, list)):
        return tuple(V.index(c, "chunks", 0) for c in value)
    side = V.index(value, "chunks")
    if side == -1:
        return max(length, 1)
    if side < 1:
        raise ValueError(f"chunks must be at least 1 (or -1 for a whole axis), not {side}")
    return min(side, max(length, 1))


def _grid_chunks(chunks: Any, shape: tuple[int, int]) -> tuple[tuple[int, ...], ...]:
    """chunks= of the grid functions as dask's sizes per axis; TypeError or
    ValueError naming chunks for anything dask cannot use."""
    if chunks is None:
        chunks = CHUNK
    if isinstance(chunks, dict):
        chunks = tuple(chunks.get(k, -1) for k in range(len(shape)))
    sides = tuple(chunks) if isinstance(chunks, (tuple, list)) else (chunks,) * len(shape)
    if len(sides) != len(shape):
        raise ValueError(f"chunks must give {len(shape)} axes, not {len(sides)}")
    sides = tuple(_chunk_side(c, n) for c, n in zip(sides, shape, strict=True))
    if 0 in shape and not any(isinstance(c, tuple) for c in sides):
        # No pixels: one empty chunk, however long the other axis is.
        return tuple((n,) for n in shape)
    try:
        result: tuple[tuple[int, ...], ...] = normalize_chunks(sides, shape, dtype=np.float64)
    except (TypeError, ValueError, ZeroDivisionError, OverflowError) as e:
        raise ValueError(f"chunks {chunks!r} do not fit the grid's shape {shape}: {e}") from None
    return result


def _window_task(fn: Callable[..., np.ndarray], grid: Grid, rows: tuple[int, int],
                 cols: tuple[int, int], args: tuple[Any, ...], kwargs: dict[str, Any]
                 ) -> np.ndarray:
    return fn(grid.window(rows, cols), *args, **kwargs)


def _over_grid(name: str, fn: Callable[..., np.ndarray], grid: Grid, chunks: Any,
               args: tuple[Any, ...], kwargs: dict[str, Any]) -> da.Array:
    grid = _check_grid(grid)
    # Arguments are checked now, on an empty window, not when a chunk runs.
    fn(grid.window((0, 0), (0, 0)), *args, **kwargs)
    chunks = _grid_chunks(chunks, grid.shape)
    token = f"zolvin-{name}-" + tokenize(grid, args, kwargs, chunks, fn.__name__)
    dsk = {}
    for i, rows in enumerate(_edges(chunks[0])):
        for j, cols in enumerate(_edges(chunks[1])):
            dsk[(token, i, j)] = (_window_task, fn, grid, rows, cols, args, kwargs)
    graph = HighLevelGraph.from_collections(token, dsk, dependencies=())
    return da.Array(graph, token, chunks, dtype=np.float64, meta=np.empty((0, 0)))


# ---- Coverage ----------------------------------------------------------------

def _pixel_frac(grid: Grid, point: Any, direction: Any, n_threads: int | None) -> np.ndarray:
    return _coverage.pixel_frac(grid, point, direction, n_threads=n_threads)


def _circle(grid: Grid, center: Any, radius: float, n_threads: int | None) -> np.ndarray:
    return _coverage.enclosed_circle(grid, center, radius, n_threads=n_threads)


def _strut(grid: Grid, diameter: float, edge1: Any, edge2: Any,
           n_threads: int | None) -> np.ndarray:
    return _coverage.enclosed_strut(grid, diameter, edge1, edge2, n_threads=n_threads)


def pixel_frac(grid: Grid, point: Any, direction: Any, *, chunks: Any = None,
               n_threads: int | None = 1) -> da.Array:
    """Fraction of every pixel on the inner side of the line through point
    along direction, (x, y) pairs (one line for all pixels), as a dask array of
    the grid's shape (chunks of 2048 x 2048 pixels unless ``chunks`` says
    otherwise)."""
    line = (V.pair(point, "point"), V.pair(direction, "direction"))
    return _over_grid("pixel_frac", _pixel_frac, grid, chunks, (*line, n_threads), {})


def enclosed_circle(grid: Grid, center: Any, radius: float, *, chunks: Any = None,
                    n_threads: int | None = 1) -> da.Array:
    """Fraction of every pixel inside the circle, as a dask array."""
    args = (V.pair(center, "center"), V.real(radius, "radius"), n_threads)
    return _over_grid("enclosed_circle", _circle, grid, chunks, args, {})


def enclosed_strut(grid: Grid, diameter: float, edge1: Any, edge2: Any, *, chunks: Any = None,
                   n_threads: int | None = 1) -> da.Array:
    """Coverage of every pixel by the strut, as a dask array."""
    x1, y1, dx1, dy1 = V.edge(edge1, "edge1")
    x2, y2, dx2, dy2 = V.edge(edge2, "edge2")
    args = (V.real(diameter, "diameter"), ((x1, y1), (dx1, dy1)), ((x2, y2), (dx2, dy2)),
            n_threads)
    return _over_grid("enclosed_strut", _strut, grid, chunks, args, {})


def _once(value: Any) -> Any:
    """A sequence argument read once into a tuple: every chunk sees what the
    check saw (an iterator would reach the chunks empty)."""
    if isinstance(value, Iterable) and not isinstance(value, (str, bytes, np.ndarray)):
        return tuple(value)
    return value


def pupil(grid: Grid, radius: float, *, chunks: Any = None, n_threads: int | None = 1,
          **kwargs: Any) -> da.Array:
    """``zolvin.pupil`` over a Grid as a dask array; keywords as there."""
    kwargs = {key: _once(value) for key, value in kwargs.items()}
    return _over_grid("pupil", _pupil.pupil, grid, chunks, (radius,),
                      dict(kwargs, n_threads=n_threads))


def _aperture_task(grid: Grid, shape: Any, n_threads: int | None) -> np.ndarray:
    result: np.ndarray = _aperture.aperture_coverage(grid, shape, n_threads=n_threads)
    return result


def aperture_coverage(grid: Grid, shape: Any, *, chunks: Any = None,
                      n_threads: int | None = 1) -> da.Array:
    """``zolvin.aperture_coverage`` of a shape over a Grid, as a dask array;
    the shape is compiled once per process and reused by its chunks."""
    return _over_grid("aperture_coverage", _aperture_task, grid, chunks, (shape, n_threads), {})


def _region_task(grid: Grid, region: _region.Region, n_threads: int | None) -> np.ndarray:
    return _region.region_coverage(grid, region, n_threads=n_threads)


def region_coverage(grid: Grid, region: _region.Region, *, chunks: Any = None,
                    n_threads: int | None = 1) -> da.Array:
    """``zolvin.region_coverage`` over a Grid as a dask array, equal bit for bit
    to the in-memory result (every chunk sweeps its rows from the whole
    boundary)."""
    return _over_grid("region_coverage", _region_task, grid, chunks, (region, n_threads), {})


def polygon_coverage(grid: Grid, polygon: Any, *, fill: str = "positive", chunks: Any = None,
                     n_threads: int | None = 1) -> da.Array:
    """``zolvin.polygon_coverage`` over a Grid as a dask array, equal bit for bit
    to the in-memory result. The polygon is parsed and checked once, here."""
    region = _region.polygon_region(polygon, fill)
    return _over_grid("polygon_coverage", _region_task, grid, chunks, (region, n_threads), {})


# ---- Triangles ---------------------------------------------------------------

def _rows_touched(tris: np.ndarray, size: int) -> tuple[np.ndarray, np.ndarray]:
    """First and last grid row that each triangle can add to (one row to spare)."""
    half = (size - 1) // 2
    y = tris[:, :, 1]
    with np.errstate(invalid="ignore"):
        lo = np.floor(y.min(axis=1) + 0.5) - 1 + half
        hi = np.floor(y.max(axis=1) + 0.5) + 1 + half
    # NaN coordinates: keep the triangle, the kernel decides.
    return np.where(np.isnan(lo), -math.inf, lo), np.where(np.isnan(hi), math.inf, hi)


def _band_step(band: np.ndarray | None, size: int, rows: tuple[int, int], tris: np.ndarray,
               values: Any, weights: Any) -> np.ndarray:
    """Adds one chunk of the list to the band of rows (made on the first chunk)."""
    r0, r1 = rows
    if band is None:
        band = np.zeros((r1 - r0, size))
    n = tris.shape[0]
    lo, hi = _rows_touched(tris, size)
    pick = np.flatnonzero((hi >= r0) & (lo < r1))
    if pick.size:
        t = np.ascontiguousarray(tris[pick], dtype=np.float64)
        v = np.ascontiguousarray(np.broadcast_to(values, (n,))[pick], dtype=np.float64)
        w = np.ascontiguousarray(np.broadcast_to(weights, (n,))[pick], dtype=np.float64)
        # Each band step has one dependent, the next step: it is added to in place.
        _native.accumulate_triangles_band(t, v, w, band, size, r0, r1, 1)
    return band


def _lazy_floats(arr: da.Array, name: str) -> da.Array:
    """A dask array as float64, refused as the in-memory functions refuse it:
    the dtype now, integers beyond what float64 holds when their chunk runs."""
    dtype = arr.dtype
    if dtype == V.F64:
        return arr
    if dtype.kind not in "biuf" or not np.can_cast(dtype, V.F64, "safe"):
        raise TypeError(f"{name} must hold real numbers that convert to float64 without loss, "
                        f"not {dtype}")
    return arr.map_blocks(V.floats, name, dtype=np.float64)


def _checked_array(value: Any, name: str) -> da.Array:
    if isinstance(value, da.Array):
        return _lazy_floats(value, name)
    return da.asarray(V.array(value, name))


def _per_triangle(value: Any, tris: da.Array, name: str) -> Any:
    if isinstance(value, Iterator):
        value = tuple(value)  # read once
    if not isinstance(value, da.Array) and np.ndim(value) == 0:
        return V.real(value, name)
    arr = _checked_array(value, name)
    if arr.shape != tris.shape[:1]:
        raise ValueError(f"{name} must have shape {tris.shape[:1]} (one per triangle) or be a "
                         f"number, not {arr.shape}")
    return arr.rechunk((tris.chunks[0],))


def _band_rows(band: Any, size: int, list_chunks: int) -> int:
    """Rows per band: the graph holds bands x list_chunks steps, at most
    MAX_STEPS of them."""
    most = max(1, MAX_STEPS // max(1, list_chunks))
    least = max(1, -(-size // most))  # the lowest band that keeps to that many
    if band is None:
        return max(least, BAND_CELLS // max(1, size))
    rows = V.index(band, "band", 1)
    if rows < least:
        raise ValueError(f"band must be at least {least} rows for size {size} and "
                         f"{list_chunks} chunks of triangles (at most {most} bands), not {rows}")
    return rows


def accumulate_triangles(triangles: Any, values: Any, weights: Any, size: int, *,
                         band: int | None = None) -> da.Array:
    """``zolvin.accumulate_triangles`` of a chunked (n, 3, 2) triangle list as
    a dask array of (size, size), chunked in bands of ``band`` rows.

    Each band adds the list's chunks one after the other, so each cell's sum
    is the in-memory one bit for bit. The default band holds about 4M cells;
    bands x chunks of the list are at most 32768 (or the chunks alone), so the
    graph stays bounded: bands are made taller where needed, and a ``band``
    too low for that is a ValueError. Arguments are
    refused as the in-memory function refuses them, before any graph is
    built; only integers too large for float64 inside dask arrays are found
    when their chunk runs (a ValueError then).
    """
    tris = _checked_array(triangles, "triangles")
    if tris.ndim != 3 or tris.shape[1:] != (3, 2):
        raise ValueError(f"triangles must have shape (n, 3, 2), not {tris.shape}")
    if any(math.isnan(c) for c in tris.chunks[0]):
        raise ValueError("triangles must have known chunk sizes (compute_chunk_sizes())")
    tris = tris.rechunk({1: 3, 2: 2})
    vals = _per_triangle(values, tris, "values")
    wts = _per_triangle(weights, tris, "weights")
    size = V.index(size, "size", 0, V.INT32_MAX)
    if size * size * 8 > np.iinfo(np.intp).max:
        raise ValueError(f"size {size} is too large for a (size, size) float64 grid")
    rows = _band_rows(band, size, len(tris.chunks[0]))
    chunks = normalize_chunks((rows, size), (size, size), dtype=np.float64)
    token = "zolvin-accumulate-" + tokenize(tris, vals, wts, size, chunks)
    steps = "zolvin-accumulate-step-" + token.rsplit("-", 1)[1]

    def part(x: Any, k: int) -> Any:
        return (x.name, k) if isinstance(x, da.Array) else x

    # Every band folds the chunks of the list in order: one chunk in memory at a time.
    dsk: dict[Any, Any] = {}
    last = len(tris.chunks[0]) - 1
    for i, rr in enumerate(_edges(chunks[0])):
        for k in range(last + 1):
            prev = (steps, i, k - 1) if k else None
            dsk[(steps, i, k)] = (_band_step, prev, size, rr, (tris.name, k, 0, 0),
                                  part(vals, k), part(wts, k))
        dsk[(token, i, 0)] = (steps, i, last)
    deps = [x for x in (tris, vals, wts) if isinstance(x, da.Array)]
    graph = HighLevelGraph.from_collections(token, dsk, dependencies=deps)
    return da.Array(graph, token, chunks, dtype=np.float64, meta=np.empty((0, 0)))
