"""The dask forms of the coverage functions, beside what they chunk (the job
uses them without zolvin.dask, their public face, which says what they
promise). A grid is cut into windows, each a task that runs the in-memory
function on its window; a triangle list is folded into bands of rows, chunk
after chunk. Tasks are plain functions of picklable arguments.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Iterator
from typing import Any

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from ..core import checks as V
from ..core.chunks import band_chunks, band_rows, edges, grid_chunks
from ..core.limits import INT32_MAX
from ..pixels.grid import Grid
from ..shapes.region import Region
from .apertures import aperture_coverage as aperture_in_memory
from .pupil import pupil as pupil_in_memory
from .region import polygon_region, polygon_region_coverage
from .region import region_coverage as region_in_memory
from .rules import lines
from .rules.triangles import accumulate_band


def _check_grid(grid: Any) -> Grid:
    if not isinstance(grid, Grid):
        raise TypeError(f"grid must be a zolvin.Grid, not {type(grid).__name__}")
    return grid


def _window_task(fn: Callable[..., np.ndarray], grid: Grid, rows: tuple[int, int],
                 cols: tuple[int, int], args: tuple[Any, ...], kwargs: dict[str, Any]
                 ) -> np.ndarray:
    return fn(grid.window(rows, cols), *args, **kwargs)


def _over_grid(name: str, fn: Callable[..., np.ndarray], grid: Grid, chunks: Any,
               args: tuple[Any, ...], kwargs: dict[str, Any]) -> da.Array:
    grid = _check_grid(grid)
    # Arguments are checked now, not when a chunk runs: the in-memory
    # function refuses on a window of no pixels whatever it refuses on the
    # whole grid (its checks come before it returns for zero pixels). Then
    # the chunks, counted before the graph is built.
    fn(grid.window((0, 0), (0, 0)), *args, **kwargs)
    chunks = grid_chunks(chunks, grid.shape)
    token = f"zolvin-{name}-" + tokenize(grid, args, kwargs, chunks, fn.__name__)
    dsk = {}
    for i, rows in enumerate(edges(chunks[0])):
        for j, cols in enumerate(edges(chunks[1])):
            dsk[(token, i, j)] = (_window_task, fn, grid, rows, cols, args, kwargs)
    graph = HighLevelGraph.from_collections(token, dsk, dependencies=())
    return da.Array(graph, token, chunks, dtype=np.float64, meta=np.empty((0, 0)))


# ---- Coverage ----------------------------------------------------------------

def _pixel_frac(grid: Grid, point: Any, direction: Any, n_threads: int | None) -> np.ndarray:
    return lines.pixel_frac(grid, point, direction, n_threads=n_threads)


def _circle(grid: Grid, center: Any, radius: float, n_threads: int | None) -> np.ndarray:
    return lines.enclosed_circle(grid, center, radius, n_threads=n_threads)


def _strut(grid: Grid, diameter: float, edge1: Any, edge2: Any,
           n_threads: int | None) -> np.ndarray:
    return lines.enclosed_strut(grid, diameter, edge1, edge2, n_threads=n_threads)


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
    return _over_grid("pupil", pupil_in_memory, grid, chunks, (radius,),
                      dict(kwargs, n_threads=n_threads))


def _aperture_task(grid: Grid, shape: Any, n_threads: int | None) -> np.ndarray:
    result: np.ndarray = aperture_in_memory(grid, shape, n_threads=n_threads)
    return result


def aperture_coverage(grid: Grid, shape: Any, *, chunks: Any = None,
                      n_threads: int | None = 1) -> da.Array:
    """``zolvin.aperture_coverage`` of a shape over a Grid, as a dask array;
    the shape is compiled once per process and reused by its chunks."""
    return _over_grid("aperture_coverage", _aperture_task, grid, chunks, (shape, n_threads), {})


def _region_task(grid: Grid, region: Region, n_threads: int | None) -> np.ndarray:
    return region_in_memory(grid, region, n_threads=n_threads)


def region_coverage(grid: Grid, region: Region, *, chunks: Any = None,
                    n_threads: int | None = 1) -> da.Array:
    """``zolvin.region_coverage`` over a Grid as a dask array, equal bit for bit
    to the in-memory result (every chunk sweeps its rows from the whole
    boundary)."""
    return _over_grid("region_coverage", _region_task, grid, chunks, (region, n_threads), {})


def polygon_coverage(grid: Grid, polygon: Any, *, fill: str = "positive", chunks: Any = None,
                     n_threads: int | None = 1) -> da.Array:
    """``zolvin.polygon_coverage`` over a Grid as a dask array, equal bit for bit
    to the in-memory result. The polygon is parsed and checked once, here."""
    region = polygon_region(polygon, fill)
    return _over_grid("polygon_coverage", _polygon_task, grid, chunks, (region, n_threads), {})


def _polygon_task(grid: Grid, region: Region, n_threads: int | None) -> np.ndarray:
    return polygon_region_coverage(grid, region, n_threads=n_threads)


# ---- Triangles ---------------------------------------------------------------

def _band_step(band: np.ndarray | None, size: int, rows: tuple[int, int], tris: np.ndarray,
               values: Any, weights: Any) -> np.ndarray:
    """Adds one chunk of the list to the band of rows (made on the first chunk)."""
    if band is None:
        band = np.zeros((rows[1] - rows[0], size))
    # Each band step has one dependent, the next step: it is added to in place.
    accumulate_band(tris, values, weights, size, rows, band)
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
    size = V.index(size, "size", 0, INT32_MAX)
    if size * size * 8 > np.iinfo(np.intp).max:
        raise ValueError(f"size {size} is too large for a (size, size) float64 grid")
    chunks = band_chunks(band_rows(band, size, len(tris.chunks[0])), size)
    token = "zolvin-accumulate-" + tokenize(tris, vals, wts, size, chunks)
    steps = "zolvin-accumulate-step-" + token.rsplit("-", 1)[1]

    def part(x: Any, k: int) -> Any:
        return (x.name, k) if isinstance(x, da.Array) else x

    # Every band folds the chunks of the list in order: one chunk in memory at a time.
    dsk: dict[Any, Any] = {}
    last = len(tris.chunks[0]) - 1
    for i, rr in enumerate(edges(chunks[0])):
        for k in range(last + 1):
            prev = (steps, i, k - 1) if k else None
            dsk[(steps, i, k)] = (_band_step, prev, size, rr, (tris.name, k, 0, 0),
                                  part(vals, k), part(wts, k))
        dsk[(token, i, 0)] = (steps, i, last)
    deps = [x for x in (tris, vals, wts) if isinstance(x, da.Array)]
    graph = HighLevelGraph.from_collections(token, dsk, dependencies=deps)
    return da.Array(graph, token, chunks, dtype=np.float64, meta=np.empty((0, 0)))
