"""Zonal statistics: the exact fraction of every pixel of a raster in each
of many zones, as a sparse matrix or reduced to statistics per zone, on
grids of any rotation, shear or flip."""
from __future__ import annotations

import importlib
import warnings
from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np

import zolvin._native

from ..core import checks as V
from ..core.checks import FloatArray
from ..pixels.grid import Grid
from ..shapes.zones import Zones, describe, read_zones
from .many import (
    REGIONS_PER_THREAD,
    STATS_DEVIATIONS,
    STATS_SUMS,
    _mask,
    check_grid,
    region_entries,
    region_stats,
)

__all__ = ["InvalidZoneWarning", "coverage_matrix", "zonal_stats"]

STATS = ("sum", "count", "mean", "area", "min", "max", "stdev", "weighted_sum",
         "weighted_mean")
_NEEDS_WEIGHTS = ("weighted_sum", "weighted_mean")


class InvalidZoneWarning(UserWarning):
    """Zones that could not be evaluated (invalid polygons, vertices that are
    not finite): their results are NaN (empty rows of a coverage matrix)."""


class Request(NamedTuple):
    """zonal_stats' arguments, checked: values as (bands, rows, cols)
    float64, whether they came without a band axis, and the rest as the
    native calls take them."""

    data: FloatArray
    flat: bool
    stats: tuple[str, ...]
    weights: FloatArray | None
    mask: np.ndarray | None
    nodata: float | None
    errors: str

    @property
    def minmax(self) -> bool:
        return "min" in self.stats or "max" in self.stats

    @property
    def deviations(self) -> bool:
        return "stdev" in self.stats


def _scipy_sparse() -> Any:
    try:
        return importlib.import_module("scipy.sparse")
    except ImportError:
        raise ImportError("zolvin.coverage_matrix needs scipy: install the sparse extra, "
                          "pip install 'zolvin[sparse]'") from None


def check_errors(errors: Any) -> str:
    if errors not in ("warn", "raise", "ignore"):
        raise ValueError(f"errors must be 'warn', 'raise' or 'ignore', not {errors!r}")
    return str(errors)


def check_stats(stats: Any, weighted: bool) -> tuple[str, ...]:
    names = (stats,) if isinstance(stats, str) else stats
    try:
        names = tuple(names)
    except TypeError:
        raise TypeError(f"stats must be a sequence of names, not {type(stats).__name__}") \
            from None
    for s in names:
        if not isinstance(s, str):
            raise TypeError(f"stats must hold names (str), not {type(s).__name__}")
        if s not in STATS:
            raise ValueError(f"stats: {s!r} is not one of {', '.join(STATS)}")
        if s in _NEEDS_WEIGHTS and not weighted:
            raise ValueError(f"stats: {s!r} needs weights=")
    if len(set(names)) != len(names):
        raise ValueError(f"stats must name each statistic once, not {names}")
    return names


def check_values(values: Any) -> tuple[FloatArray, bool]:
    """values as (bands, rows, cols) float64, and whether they had no band axis."""
    arr = V.floats(values, "values")
    if arr.ndim not in (2, 3):
        raise ValueError(f"values must have shape (rows, cols) or (bands, rows, cols), not "
                         f"{arr.shape}")
    return (arr[None] if arr.ndim == 2 else arr), arr.ndim == 2


def check_request(values: Any, shape: tuple[int, int] | None, stats: Any, weights: Any,
                  mask: Any, nodata: Any, errors: Any) -> Request:
    """Checks every argument but the zones and the pixels; shape None: the
    values' own (the matrix form checks it against the matrix)."""
    data, flat = check_values(values)
    if shape is not None and data.shape[1:] != shape:
        raise ValueError(f"values must have the pixels' shape {shape} (or (bands, *{shape})), "
                         f"not {data.shape[1:] if flat else data.shape}")
    plane = data.shape[1:]
    w = None
    if weights is not None:
        w = V.floats(weights, "weights")
        if w.shape != plane and w.shape != data.shape:
            raise ValueError(f"weights must have shape {plane} or the values' shape, not "
                             f"{w.shape}")
    m = _mask(mask, plane) if mask is not None else None
    nd = None
    if nodata is not None:
        nd = V.real(nodata, "nodata")
        nd = None if nd != nd else nd  # NaN values are left out already
    return Request(data, flat, check_stats(stats, w is not None), w, m, nd,
                   check_errors(errors))


def report(zones: Zones, extra: np.ndarray, errors: str, what: str) -> np.ndarray:
    """All zones left out (invalid, and `extra`: those the kernel could not
    evaluate), warned about or refused as errors= says."""
    bad = np.union1d(zones.invalid, extra).astype(np.int64)
    if not len(bad) or errors == "ignore":
        return bad
    reasons = dict(zip(zones.invalid.tolist(), zones.reasons))
    text = describe(bad, tuple(reasons.get(k, "beyond 1e150 pixels of the grid")
                               for k in bad.tolist()))
    if errors == "raise":
        raise ValueError(text)
    outcome = "their rows are empty" if what == "coverage_matrix" else "their results are NaN"
    warnings.warn(f"{what}: {text}; {outcome}", InvalidZoneWarning, stacklevel=3)
    return bad


def coverage_matrix(pixels: Grid, zones: Any, *, n_threads: int | None = None,
                    errors: str = "warn") -> Any:
    """The exact fraction of every pixel in every zone, as a sparse matrix.

    Parameters
    ----------
    pixels : Grid
        The raster's pixels, any Jacobian (``Grid.from_affine`` reads a
        geotransform): rotated, sheared and flipped rasters are exact too. A
        window of a grid gives its own pixels, indexed from its first.
    zones : polygons
        A shapely geometry array or sequence of Polygons and MultiPolygons
        (None or empty: an empty zone), a GeoSeries or GeoDataFrame, a
        ``__geo_interface__`` FeatureCollection, or a sequence of
        ``zolvin.shapes`` values, in the grid's plane coordinates (the
        raster's CRS).
    n_threads : int, optional
        Threads; None: all usable cores for many zones, one for a few.
    errors : {"warn", "raise", "ignore"}
        A zone that is not a valid polygon (a ring crossing itself, vertices
        that are not finite) gets an empty row and an ``InvalidZoneWarning``
        naming it, a ValueError before anything is computed, or nothing.

    Returns
    -------
    scipy.sparse.csr_array, shape (zones, rows * cols), float64
        Row k holds, for every pixel that zone k covers (fraction f > 0),
        f at column ``row * cols + col`` (row-major), in that order; indices
        are int32 while the pixel count allows, int64 beyond.

    Notes
    -----
    - Exact to rounding: pixels wholly inside or outside a zone are exactly
      1 or 0 (no entry); the others are within a few 1e-14 of the exact area
      fraction (3e-14 at most against shapely in the tests) for coordinates
      within 10^4 pixels of the grid's origin
      (further away, the rounding of the coordinates themselves dominates).
      Zones sharing edges (a tiling) share their cuts: each pixel's
      fractions add up to one within about 1e-14 (7e-15 at most in the
      tests).
    - Bit-exact: the same bits for every ``n_threads`` and every order of the
      zones (each row depends only on its zone).
    - Needs scipy (the ``zolvin[sparse]`` extra).
    """
    sparse = _scipy_sparse()
    grid = check_grid(pixels)
    errors = check_errors(errors)
    z = read_zones(zones)
    if errors == "raise":
        report(z, np.zeros(0, np.int64), errors, "coverage_matrix")
    indptr, indices, data, failed = region_entries(z.batch, grid, n_threads=n_threads)
    report(z, failed, errors, "coverage_matrix")
    if indices.dtype == np.int32 and indptr[-1] <= np.iinfo(np.int32).max:
        # Offsets of the index type: scipy would otherwise widen the indices.
        indptr = indptr.astype(np.int32)
    return sparse.csr_array((data, indices, indptr), shape=(len(z), grid.size), copy=False)


def statistics(q: FloatArray, dev: FloatArray | None, req: Request, bad: np.ndarray,
               pixel_area: float) -> dict[str, FloatArray]:
    """The statistics from the kernel's quantities (zones, bands, ...), in
    the zones' order; zones in `bad` NaN throughout."""
    sum_, count, lo, hi, weight, weighted = (q[..., k] for k in range(len(STATS_SUMS)))
    counted = count > 0
    nan = np.nan
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.where(counted, sum_ / count, nan)
        out: dict[str, FloatArray] = {}
        for name in req.stats:
            if name == "sum":
                r = sum_
            elif name == "count":
                r = count
            elif name == "mean":
                r = mean
            elif name == "area":
                r = count * pixel_area
            elif name == "min":
                r = np.where(counted, lo, nan)
            elif name == "max":
                r = np.where(counted, hi, nan)
            elif name == "stdev":
                assert dev is not None
                d1, d2 = dev[..., 0], dev[..., 1]
                m2 = d2 - (d1 * d1) / count
                r = np.where(counted, np.sqrt(np.maximum(m2 / count, 0.0)), nan)
            elif name == "weighted_sum":
                r = weighted
            else:
                r = np.where(weight != 0, weighted / weight, nan)
            r = np.array(r, dtype=np.float64)
            r[bad] = nan
            out[name] = r[:, 0] if req.flat else r
    return out


def centres(q: FloatArray) -> FloatArray:
    """Each zone's mean per band, the centre of the deviations pass."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.ascontiguousarray(np.where(q[..., 1] > 0, q[..., 0] / q[..., 1], np.nan))


def check_out(out: Any, stats: tuple[str, ...], shape: tuple[int, ...]) -> dict[str, np.ndarray]:
    if out is None:
        return {}
    if not isinstance(out, Mapping):
        raise TypeError(f"out must be a dict of arrays by statistic, not {type(out).__name__}")
    checked = {}
    for name, arr in out.items():
        if name not in stats:
            raise ValueError(f"out[{name!r}]: {name!r} is not among the stats asked for")
        checked[name] = V.out_array(arr, shape, np.dtype(np.float64), f"out[{name!r}]")
    return checked


def _matrix_area(pixels: Any, req: Request) -> float:
    """The pixel area of the matrix form: from pixels when given (it gives
    nothing else there), needed for ``area`` only."""
    if pixels is None:
        if "area" in req.stats:
            raise ValueError("stats: 'area' with matrix= needs pixels= (the grid's pixel area)")
        return float("nan")
    grid = check_grid(pixels)
    if grid.shape != req.data.shape[1:]:
        raise ValueError(f"values must have the pixels' shape {grid.shape}, not "
                         f"{req.data.shape[1:]}")
    return grid.pixel_area


def _matrix(matrix: Any, plane: int, zones: Any) -> tuple[Any, ...]:
    """(indptr int64, indices, f float64, zones) of a scipy sparse matrix."""
    if zones is not None:
        raise ValueError("zonal_stats takes either matrix= or zones, not both")
    if not (hasattr(matrix, "tocsr") and hasattr(matrix, "shape")):
        raise TypeError(f"matrix must be a scipy.sparse matrix (coverage_matrix), not "
                        f"{type(matrix).__name__}")
    m = matrix.tocsr()
    if len(m.shape) != 2 or m.shape[1] != plane:
        raise ValueError(f"matrix must have one column per pixel ({plane}), not shape "
                         f"{m.shape}")
    indices = m.indices
    if indices.dtype not in (np.int32, np.int64):
        indices = indices.astype(np.int64)
    return (np.ascontiguousarray(m.indptr, dtype=np.int64), np.ascontiguousarray(indices),
            V.floats(m.data, "matrix data"), m.shape[0])


def _matrix_stats(req: Request, m: tuple[Any, ...], area: float,
                  n_threads: int | None) -> dict[str, Any]:
    indptr, indices, f, n = m
    bands, rows, cols = req.data.shape
    nt = V.threads(n_threads, n, REGIONS_PER_THREAD)
    empty = np.zeros(0)

    def run(centre: FloatArray | None) -> FloatArray:
        nq = len(STATS_DEVIATIONS) if centre is not None else len(STATS_SUMS)
        values = np.empty((n, bands, nq))
        zolvin._native.csr_stats(
            indptr, indices, f, rows, cols, req.data.ravel(), bands,
            req.weights.ravel() if req.weights is not None else empty,
            1 if req.weights is None or req.weights.ndim == 2 else bands,
            req.mask.ravel() if req.mask is not None else np.zeros(0, np.uint8),
            req.nodata is not None, req.nodata if req.nodata is not None else 0.0,
            req.minmax, centre.ravel() if centre is not None else empty, values.reshape(-1),
            nt)
        return values

    q = run(None)
    dev = run(centres(q)) if req.deviations else None
    return statistics(q, dev, req, np.zeros(0, np.int64), area)


def zonal_stats(values: Any, pixels: Grid | None = None, zones: Any = None, *,
                stats: Any = ("sum", "mean", "count"), weights: Any = None, mask: Any = None,
                nodata: float | None = None, matrix: Any = None, n_threads: int | None = None,
                errors: str = "warn", out: Any = None) -> dict[str, FloatArray]:
    """Statistics of a raster over many zones, each pixel weighted by the
    exact fraction f of it inside the zone.

    Parameters
    ----------
    values : array_like, shape (rows, cols) or (bands, rows, cols)
        The raster (any real dtype, read as float64).
    pixels : Grid
        Its pixels (``Grid.from_affine(dataset.transform, dataset.shape)``),
        any rotation, shear or flip.
    zones : polygons
        As ``coverage_matrix`` takes them; results come in their order.
    stats : sequence of str
        Any of ``sum`` (sum of f v), ``count`` (sum of f), ``mean``
        (sum / count, NaN where count is 0), ``area`` (count x pixel area,
        in plane units), ``min`` and ``max`` (over the pixels with f > 0),
        ``stdev`` (population standard deviation weighted by f),
        ``weighted_sum`` (sum of f w v) and ``weighted_mean`` (sum of f w v /
        sum of f w), the last two with ``weights``.
    weights : array_like, optional
        Per-pixel weights w, shape (rows, cols) or the values' shape; a pixel
        whose weight is NaN is left out of the weighted statistics.
    mask : array_like of bool, optional
        True leaves a pixel out, as NaN values and values equal to
        ``nodata`` are: excluded pixels contribute to no statistic, and
        ``count``/``area`` say what was counted.
    nodata : float, optional
        The raster's no-data value.
    matrix : scipy.sparse matrix, optional
        A coverage matrix (``coverage_matrix``) in place of the zones, built
        once and applied to every band and time step; pixels may then be
        left out (``area`` needs them for the pixel area).
    n_threads : int, optional
        Threads; None: all usable cores for many zones, one for a few.
    errors : {"warn", "raise", "ignore"}
        An invalid zone (see ``coverage_matrix``) gets NaN results and an
        ``InvalidZoneWarning``, a ValueError before anything is computed, or
        NaN alone. With ``matrix=`` its row is empty: count 0, mean NaN.
    out : dict, optional
        Arrays to write some statistics into, by name (float64, the result's
        shape).

    Returns
    -------
    dict
        One float64 array per statistic, shape (zones,), or (zones, bands)
        for values with a band axis.

    Notes
    -----
    - Bit-exact: the same bits for every ``n_threads``, every order of the
      zones, and (with ``zolvin.dask.zonal_stats``) every chunking of the
      raster. Each zone sums its window's pixels row-major into four partial
      sums by column mod 4, per band of 4096 rows, the bands in order. With
      ``matrix=`` the entries are summed the same way, so the results are the
      same bits as with pixels and zones (for a whole grid, or a window of
      one whose first column is a multiple of 4 and first row a multiple of
      4096: the matrix's indices start at the window's first pixel).
    - Exact to rounding: the fractions f (see ``coverage_matrix``) and the
      statistics as float64 sums of their products. ``stdev`` takes a second
      pass over the pixels, summing deviations from the zone's mean
      (f (v - mean) and f (v - mean)^2), so that a large mean costs no
      digits.
    - Zones wholly off the raster, or covering only excluded pixels, have
      count 0: sum 0, mean, min, max and stdev NaN.
    """
    if matrix is not None:
        req = check_request(values, None, stats, weights, mask, nodata, errors)
        area = _matrix_area(pixels, req)
        m = _matrix(matrix, req.data.shape[1] * req.data.shape[2], zones)
        shape = (m[3],) if req.flat else (m[3], req.data.shape[0])
        targets = check_out(out, req.stats, shape)
        return _written(_matrix_stats(req, m, area, n_threads), targets)
    if pixels is None or zones is None:
        raise TypeError("zonal_stats needs pixels and zones (or matrix=)")
    grid = check_grid(pixels)
    req = check_request(values, grid.shape, stats, weights, mask, nodata, errors)
    z = read_zones(zones)
    shape = (len(z),) if req.flat else (len(z), req.data.shape[0])
    targets = check_out(out, req.stats, shape)
    if req.errors == "raise":
        report(z, np.zeros(0, np.int64), "raise", "zonal_stats")
    nt = V.threads(n_threads, len(z), REGIONS_PER_THREAD)
    q = region_stats(z.batch, grid, req.data, weights=req.weights, mask=req.mask,
                     nodata=req.nodata, minmax=req.minmax, n_threads=nt)
    failed = np.flatnonzero(np.isnan(q[:, 0, 1])) if len(z) and q.shape[1] else \
        np.zeros(0, np.int64)
    bad = report(z, failed, req.errors, "zonal_stats")
    dev = None
    if req.deviations:
        dev = region_stats(z.batch, grid, req.data, mask=req.mask, nodata=req.nodata,
                           centre=centres(q), n_threads=nt)
    return _written(statistics(q, dev, req, bad, grid.pixel_area), targets)


def _written(results: dict[str, FloatArray], targets: dict[str, np.ndarray]) \
        -> dict[str, FloatArray]:
    for name, arr in targets.items():
        arr[...] = results[name]
        results[name] = arr
    return results
