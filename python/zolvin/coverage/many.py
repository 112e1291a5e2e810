"""The many-region driver: a batch of regions over one grid, each evaluated
exactly over its own window, reduced to sums per region or to its covered
pixels. Photometry, zonal statistics and resampling are its front ends."""
from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import zolvin._native

from ..core import checks as V
from ..core.checks import FloatArray
from ..pixels.grid import Grid
from ..pixels.pixels import Pixels
from ..shapes.batch import RegionBatch
from ..shapes.compile import compile_batch

__all__ = ["Sums", "as_batch", "pixel_index", "pixels_sums", "region_entries", "region_stats",
           "region_sums", "region_windows"]

# Regions per thread before a second thread pays.
REGIONS_PER_THREAD = 256


class Sums(NamedTuple):
    """Per region (and band): sum of f v, sum of f, sum of f x pixel area,
    sum of f^2 sigma^2 (None without errors), over the pixels counted."""

    sum: FloatArray
    weight: FloatArray
    area: FloatArray
    var: FloatArray | None


def check_grid(grid: Any, name: str = "pixels") -> Grid:
    if not isinstance(grid, Grid):
        raise TypeError(f"{name} must be a zolvin.Grid, not {type(grid).__name__}")
    area = grid.pixel_area
    if not (math.isfinite(area) and area != 0.0 and all(map(math.isfinite, grid.origin))):
        raise ValueError(f"{name}: the grid needs a finite origin and a finite, invertible "
                         f"Jacobian, not origin={grid.origin}, jac={grid.jac}")
    return grid


def as_batch(apertures: Any, name: str = "apertures") -> tuple[RegionBatch, tuple[int, ...]]:
    """The batch of a catalog, a RegionBatch, shapely geometries or a
    sequence of shapes, and the shape of the results."""
    from ..shapes.catalogs import _Catalog, _shapely_array
    if isinstance(apertures, _Catalog):
        return apertures.batch(), apertures.shape
    if isinstance(apertures, RegionBatch):
        return apertures, (len(apertures),)
    geoms = _shapely_array(apertures)
    if geoms is not None:
        return RegionBatch.of_shapely(geoms, name), (len(geoms),)
    if isinstance(apertures, (str, bytes)) or not hasattr(apertures, "__len__"):
        raise TypeError(f"{name} must be a catalog (Discs, Ellipses, Annuli, Polygons), a "
                        f"sequence of shapes or shapely geometries, not "
                        f"{type(apertures).__name__}")
    items = list(apertures)
    return compile_batch(items, name), (len(items),)


def _image(value: Any, shape: tuple[int, int], name: str) -> FloatArray:
    arr = V.floats(value, name)
    if arr.shape != shape:
        raise ValueError(f"{name} must have the pixels' shape {shape}, not {arr.shape}")
    return arr


def _mask(value: Any, shape: tuple[int, ...]) -> np.ndarray:
    arr = np.asarray(value)
    if arr.dtype != bool:
        raise TypeError(f"mask must hold booleans, not {arr.dtype}")
    if arr.shape != shape:
        raise ValueError(f"mask must have the pixels' shape {shape}, not {arr.shape}")
    return np.ascontiguousarray(arr).view(np.uint8)


def _sums_inputs(shape: tuple[int, ...], data: Any, error: Any, mask: Any,
                 nodata: float | None) -> tuple[FloatArray, int, FloatArray | None,
                                                np.ndarray | None, float]:
    """data, error, mask and nodata checked against the pixels' shape: data
    (and error) of that shape or (bands, *shape)."""
    d = V.floats(data, "data")
    k = len(shape)
    if d.shape[d.ndim - k:] != shape or d.ndim not in (k, k + 1):
        raise ValueError(f"data must have the pixels' shape {shape} (or (bands, *{shape})), "
                         f"not {d.shape}")
    bands = 1 if d.ndim == k else d.shape[0]
    e = None
    if error is not None:
        e = V.floats(error, "error")
        if e.shape != d.shape:
            raise ValueError(f"error must have data's shape {d.shape}, not {e.shape}")
    m = _mask(mask, shape) if mask is not None else None
    nd = V.real(nodata, "nodata") if nodata is not None else 0.0
    return d, bands, e, m, nd


def region_sums(batch: RegionBatch, grid: Grid, data: Any, *, error: Any = None,
                mask: Any = None, nodata: float | None = None,
                n_threads: int | None = None) -> Sums:
    """Sums of `data` over every region of `batch` on `grid` (see ``Sums``).

    data, error: float arrays of the grid's shape (or (bands, rows, cols):
    results (regions, bands)); mask: booleans of the grid's shape, True
    leaves a pixel out, as NaN data and data equal to nodata do.
    """
    check_grid(grid)
    shape = grid.shape
    d, bands, e, m, nd = _sums_inputs(shape, data, error, mask, nodata)
    n = len(batch)
    out = [np.empty(n * bands) for _ in range(3)]
    var = np.empty(n * bands) if e is not None else np.zeros(0)
    nt = V.threads(n_threads, n, REGIONS_PER_THREAD)
    rows, cols, row0, col0, x0, y0, a, b, c, dd = grid._native_args()
    sg, sg_start, sg_leaf, arcs, arc_start, arc_leaf, rules, rule_start, prog, prog_start, \
        simple = batch._native_args()
    zolvin._native.regions_sums(rows, cols, row0, col0, x0, y0, a, b, c, dd, sg, sg_start,
                                sg_leaf, arcs, arc_start, arc_leaf, rules, rule_start, prog,
                                prog_start, simple, d.ravel(), bands,
                                e.ravel() if e is not None else np.zeros(0),
                                m.ravel() if m is not None else np.zeros(0, np.uint8),
                                nodata is not None, nd, grid.pixel_area, out[0], out[1], out[2],
                                var, nt)
    shaped = [a.reshape(n, bands) if d.ndim == 3 else a for a in (*out, var)]
    return Sums(shaped[0], shaped[1], shaped[2], shaped[3] if e is not None else None)


def region_entries(batch: RegionBatch, grid: Grid, *,
                   n_threads: int | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray,
                                                          np.ndarray]:
    """Every region's covered pixels (f > 0) as compressed sparse rows over
    the grid's pixels in row-major order: (indptr, indices, data, regions that
    could not be evaluated)."""
    check_grid(grid)
    nt = V.threads(n_threads, len(batch), REGIONS_PER_THREAD)
    rows, cols, row0, col0, x0, y0, a, b, c, d = grid._native_args()
    sg, sg_start, sg_leaf, arcs, arc_start, arc_leaf, rules, rule_start, prog, prog_start, \
        simple = batch._native_args()
    return zolvin._native.regions_entries(rows, cols, row0, col0, x0, y0, a, b, c, d, sg,
                                          sg_start, sg_leaf, arcs, arc_start, arc_leaf, rules,
                                          rule_start, prog, prog_start, simple, nt)


def region_windows(batch: RegionBatch, grid: Grid) -> npt.NDArray[np.int64]:
    """Every region's window of the grid's cells as rows (row0, col0, rows,
    cols), as the driver evaluates it: rows 0 for a region wholly off the
    grid, -1 for one that reaches too far to be evaluated."""
    check_grid(grid)
    native: Any = zolvin._native  # both argument tuples spread into one call
    windows: npt.NDArray[np.int64] = native.regions_windows(
        *grid._native_args(), *batch._native_args())
    return windows


# What region_stats gives per region and band, in this order.
STATS_SUMS = ("sum", "count", "min", "max", "weight", "weighted_sum")
STATS_DEVIATIONS = ("deviation", "square_deviation")


def region_stats(batch: RegionBatch, grid: Grid, data: FloatArray, *,
                 weights: FloatArray | None = None, mask: np.ndarray | None = None,
                 nodata: float | None = None, minmax: bool = False,
                 centre: FloatArray | None = None, open_lanes: bool = False,
                 start: FloatArray | None = None, n_threads: int = 1) -> FloatArray:
    """Statistics of checked arrays over every region of `batch` on `grid`.

    data: float64 (bands, rows, cols), C-contiguous; weights: (rows, cols)
    or data's shape; mask: uint8 (rows, cols), nonzero leaves a pixel out.
    Returns (regions, bands, 6) floats, STATS_SUMS in order, or with
    `centre` (regions, bands) the two STATS_DEVIATIONS; with `open_lanes`
    each quantity's four lanes (one more axis of 4), continuing from `start`.
    """
    bands = data.shape[0]
    n = len(batch)
    nq = len(STATS_DEVIATIONS) if centre is not None else len(STATS_SUMS)
    shape = (n, bands, nq, 4) if open_lanes else (n, bands, nq)
    values = np.empty(shape)
    empty = np.zeros(0)
    native: Any = zolvin._native  # both argument tuples spread into one call
    native.regions_stats(
        *grid._native_args(), *batch._native_args(), data.ravel(), bands,
        weights.ravel() if weights is not None else empty,
        1 if weights is None or weights.ndim == 2 else bands,
        mask.ravel() if mask is not None else np.zeros(0, np.uint8),
        nodata is not None, nodata if nodata is not None else 0.0, minmax,
        centre.ravel() if centre is not None else empty, values.reshape(-1), open_lanes,
        start.ravel() if start is not None else empty, n_threads)
    return values


def _image_shape(pixels: Pixels) -> tuple[int, int]:
    """The pixels as the rows and columns of an image: the last axis the
    columns, the others the rows (scattered pixels: one row)."""
    shape = pixels.shape
    cols = shape[-1] if shape else 1
    return (pixels.size // cols if cols else 0), cols


def pixel_index(pixels: Pixels, n_threads: int | None = None) -> Any:
    """The index of the pixels' tile boxes, made once per Pixels and kept."""
    index = pixels._index
    if index is None:
        rows, cols = _image_shape(pixels)
        nt = V.threads(n_threads, pixels.size, 1 << 16)
        index = zolvin._native.PixelIndex(pixels.x.ravel(), pixels.y.ravel(),
                                          pixels.dxdu.ravel(), pixels.dxdv.ravel(),
                                          pixels.dydu.ravel(), pixels.dydv.ravel(), rows,
                                          cols, nt)
        pixels._keep_index(index)
    if index.bad >= 0:
        k = np.unravel_index(index.bad, pixels.shape)
        raise ValueError(f"pixels: pixel {tuple(map(int, k))} needs a finite centre and a "
                         f"finite, invertible Jacobian")
    return index


def pixels_sums(batch: RegionBatch, pixels: Pixels, data: Any, *, error: Any = None,
                mask: Any = None, nodata: float | None = None,
                n_threads: int | None = None) -> Sums:
    """``region_sums`` over pixels of their own shape: each region is
    evaluated only over the pixels whose box meets its box, found through the
    pixels' index; area sums f times each pixel's own area."""
    if not isinstance(pixels, Pixels):
        raise TypeError(f"pixels must be a zolvin.Grid or zolvin.Pixels, "
                        f"not {type(pixels).__name__}")
    d, bands, e, m, nd = _sums_inputs(pixels.shape, data, error, mask, nodata)
    index = pixel_index(pixels, n_threads)
    n = len(batch)
    out = [np.empty(n * bands) for _ in range(3)]
    var = np.empty(n * bands) if e is not None else np.zeros(0)
    nt = V.threads(n_threads, n, REGIONS_PER_THREAD)
    zolvin._native.pixels_sums(pixels.x.ravel(), pixels.y.ravel(), pixels.dxdu.ravel(),
                               pixels.dxdv.ravel(), pixels.dydu.ravel(), pixels.dydv.ravel(),
                               index, *batch._native_args(), d.ravel(), bands,
                               e.ravel() if e is not None else np.zeros(0),
                               m.ravel() if m is not None else np.zeros(0, np.uint8),
                               nodata is not None, nd, out[0], out[1], out[2], var, nt)
    multi = d.ndim > len(pixels.shape)
    shaped = [a.reshape(n, bands) if multi else a for a in (*out, var)]
    return Sums(shaped[0], shaped[1], shaped[2], shaped[3] if e is not None else None)
