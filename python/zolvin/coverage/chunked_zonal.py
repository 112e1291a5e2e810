"""Zonal statistics of rasters larger than memory: dask arrays of values,
read a group of zones' windows at a time, with the bits of the in-memory
``zonal_stats``.

The in-memory sums go over each zone's window row-major, in four lanes by
grid column, closed per band of 4096 grid rows (BAND_ROWS) and the bands
added in order. Here every task evaluates a group of zones over a window of
the grid that holds each zone's whole window (or its whole part within one
band of rows), so each zone's columns are those of the in-memory window and
every band's partial sum is the same number; the client adds the bands in
order, as the kernel does.
"""
from __future__ import annotations

from typing import Any

import numpy as np

from ..core import checks as V
from ..core.checks import FloatArray
from ..pixels.grid import Grid
from ..shapes.batch import RegionBatch
from ..shapes.zones import read_zones
from .many import STATS_SUMS, check_grid, region_stats, region_windows
from .zonal import Request, centres, check_errors, check_stats, report, statistics

__all__ = ["zonal_stats"]

# The rows of the kernel's bands (kBandRows in src/region/many.hpp).
BAND_ROWS = 4096
# The pixels one task reads at most, unless one zone's part is larger.
TASK_PIXELS = 1 << 23
# Tasks' pixels computed at once, in task_pixels.
WAVE_TASKS = 4


def _da() -> Any:
    try:
        import dask.array as da
    except ImportError:
        raise ImportError("zolvin.dask needs dask: install the dask extra, "
                          "pip install 'zolvin[dask]'") from None
    return da


def _take(batch: RegionBatch, idx: np.ndarray) -> RegionBatch:
    """The regions idx of batch, in that order, as a batch of their own."""
    def gather(start: np.ndarray, *items: np.ndarray) -> tuple[Any, ...]:
        counts = np.diff(start)[idx]
        new = np.zeros(len(idx) + 1, np.int64)
        np.cumsum(counts, out=new[1:])
        pos = (np.arange(new[-1]) - np.repeat(new[:-1], counts)
               + np.repeat(start[:-1][idx], counts))
        return (new, *(a[pos] for a in items))

    sg_start, sg, sg_leaf = gather(batch.segment_start, batch.segments, batch.segment_leaf)
    arc_start, arcs, arc_leaf = gather(batch.arc_start, batch.arcs, batch.arc_leaf)
    rule_start, rules = gather(batch.rule_start, batch.rules)
    prog_start, prog = gather(batch.program_start, batch.program)
    return RegionBatch(sg, sg_start, sg_leaf, arcs, arc_start, arc_leaf, rules, rule_start,
                       prog, prog_start, batch.simple[idx])


def _parts(windows: np.ndarray) -> np.ndarray:
    """Each zone's window cut at the bands of BAND_ROWS grid rows, as rows
    (zone, band, row0, row1, col0, col1), sorted by band, row0, col0."""
    ok = np.flatnonzero(windows[:, 2] > 0)
    out = []
    for k in ok.tolist():
        r0, c0, nr, nc = windows[k].tolist()
        r = r0
        while r < r0 + nr:
            band = r // BAND_ROWS
            end = min(r0 + nr, (band + 1) * BAND_ROWS)
            out.append((k, band, r, end, c0, c0 + nc))
            r = end
    parts = np.array(out, np.int64).reshape(-1, 6)
    return parts[np.lexsort((parts[:, 4], parts[:, 2], parts[:, 1]))]


def _groups(parts: np.ndarray, budget: int) -> list[np.ndarray]:
    """Parts gathered while their common window stays within budget pixels
    and one band of rows: index arrays into parts."""
    groups: list[np.ndarray] = []
    start = 0
    box = None
    for j in range(len(parts)):
        _, band, r0, r1, c0, c1 = parts[j].tolist()
        if box is not None:
            b, a0, a1, b0, b1 = box
            grown = (max(a1, r1) - min(a0, r0)) * (max(b1, c1) - min(b0, c0))
            if b == band and grown <= budget:
                box = (b, min(a0, r0), max(a1, r1), min(b0, c0), max(b1, c1))
                continue
            groups.append(np.arange(start, j))
        start, box = j, (band, r0, r1, c0, c1)
    if box is not None:
        groups.append(np.arange(start, len(parts)))
    return groups


def _task(batch: RegionBatch, grid: Grid, data: np.ndarray, weights: np.ndarray | None,
          mask: np.ndarray | None, nodata: float | None, minmax: bool,
          centre: np.ndarray | None) -> np.ndarray:
    """One group's quantities over its window (in-memory blocks of it)."""
    d = np.ascontiguousarray(data, dtype=np.float64)
    w = None if weights is None else np.ascontiguousarray(weights, dtype=np.float64)
    m = None if mask is None else np.ascontiguousarray(mask, dtype=bool).view(np.uint8)
    return region_stats(batch, grid, d, weights=w, mask=m, nodata=nodata, minmax=minmax,
                        centre=centre, n_threads=1)


def _in_pieces(batch: RegionBatch, grid: Grid, frame: tuple[int, int],
               box: tuple[int, int, int, int], task_pixels: int, blocks: Any,
               nodata: float | None, minmax: bool, centre: np.ndarray | None) -> FloatArray:
    """One zone's part within a band of rows, larger than a task: read a few
    rows at a time, each piece continuing the four lanes of the one before
    (computed one after the other, so that one piece is held at a time), the
    lanes then closed as the kernel closes a band."""
    import dask
    r0, r1, c0, c1 = box
    step = max(1, task_pixels // (c1 - c0))
    cols = slice(c0 - frame[1], c1 - frame[1])
    lanes = None
    for a in range(r0, r1, step):
        rows = slice(a - frame[0], min(r1, a + step) - frame[0])
        d, wb, mb = dask.compute(*blocks(rows, cols))
        d = np.ascontiguousarray(d, dtype=np.float64)
        wb = None if wb is None else np.ascontiguousarray(wb, dtype=np.float64)
        mb = None if mb is None else np.ascontiguousarray(mb, dtype=bool).view(np.uint8)
        lanes = region_stats(batch, grid.window(rows, cols), d, weights=wb, mask=mb,
                             nodata=nodata, minmax=minmax, centre=centre, open_lanes=True,
                             start=lanes, n_threads=1)
    assert lanes is not None
    return _close(lanes)


def _close(lanes: FloatArray) -> FloatArray:
    """Open lanes (..., quantities, 4) closed: (l0 + l1) + (l2 + l3) added
    to an empty total, and the extremes of the sums pass by comparisons."""
    out = 0.0 + ((lanes[..., 0] + lanes[..., 1]) + (lanes[..., 2] + lanes[..., 3]))
    if lanes.shape[-2] == len(STATS_SUMS):
        for q, better in ((2, np.less), (3, np.greater)):
            ln = lanes[..., q, :]
            a = np.where(better(ln[..., 1], ln[..., 0]), ln[..., 1], ln[..., 0])
            b = np.where(better(ln[..., 3], ln[..., 2]), ln[..., 3], ln[..., 2])
            out[..., q] = np.where(better(b, a), b, a)
    return out


def _lazy(value: Any, name: str, shape: tuple[int, ...]) -> Any:
    da = _da()
    arr = value if isinstance(value, da.Array) else da.asarray(value)
    if arr.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, not {arr.shape}")
    return arr


def _combine(parts: np.ndarray, results: list[np.ndarray], groups: list[np.ndarray], n: int,
             bands: int, nq: int, minmax: bool) -> FloatArray:
    """Every zone's totals: its parts' band totals added in band order (the
    kernel's order), extremes by comparison."""
    per_part = np.empty((len(parts), bands, nq))
    for g, r in zip(groups, results):
        per_part[g] = r
    total = np.zeros((n, bands, nq))
    if nq == len(STATS_SUMS):
        total[..., 2], total[..., 3] = np.inf, -np.inf
    # Parts come sorted by band: a zone's k-th part is added in round k.
    zone = parts[:, 0]
    order = np.argsort(parts[:, 1], kind="stable")
    seen = np.zeros(n, np.int64)
    rank = np.empty(len(parts), np.int64)
    for j in order.tolist():
        rank[j] = seen[zone[j]]
        seen[zone[j]] += 1
    for k in range(int(rank.max(initial=-1)) + 1):
        sel = np.flatnonzero(rank == k)
        z, v = zone[sel], per_part[sel]
        if nq == len(STATS_SUMS):
            for q in (0, 1, 4, 5):
                total[z, :, q] = total[z, :, q] + v[:, :, q]
            total[z, :, 2] = np.where(v[:, :, 2] < total[z, :, 2], v[:, :, 2], total[z, :, 2])
            total[z, :, 3] = np.where(v[:, :, 3] > total[z, :, 3], v[:, :, 3], total[z, :, 3])
        else:
            total[z] = total[z] + v
    return total


def zonal_stats(values: Any, pixels: Grid, zones: Any, *,
                stats: Any = ("sum", "mean", "count"), weights: Any = None, mask: Any = None,
                nodata: float | None = None, n_threads: int | None = None,
                errors: str = "warn", task_pixels: int = TASK_PIXELS) -> dict[str, FloatArray]:
    """``zolvin.zonal_stats`` of a raster held as a dask array (for example
    ``dask.array.from_zarr`` or rioxarray's ``.data``), computed with the
    current dask scheduler; the results are small NumPy arrays.

    Parameters
    ----------
    values : dask array or array_like, shape (rows, cols) or (bands, rows, cols)
        An xarray DataArray over a dask array (rioxarray's) is read through
        its ``.data``.
    pixels, zones, stats, weights, mask, nodata, errors
        As ``zolvin.zonal_stats`` takes them; weights and mask may be dask
        arrays too.
    n_threads : int, optional
        Accepted for the package's convention: each task runs on one
        thread; the scheduler runs tasks side by side.
    task_pixels : int
        The pixels a task reads at most (per band): zones are grouped by
        their windows until the group's window would exceed it. A zone whose
        window (within one band of 4096 rows) is larger is read a few rows at
        a time, each piece continuing the partial sums of the one before.

    Returns
    -------
    dict
        As ``zolvin.zonal_stats``, the same bits for every chunking of the
        arrays and every ``task_pixels``.

    Notes
    -----
    - Bit-exact: equal to the in-memory ``zonal_stats`` (every task holds
      whole zone windows, or a zone's whole part in one band of 4096 rows,
      and bands are added in order).
    - Memory: a task holds its group's window of every band of values,
      weights and mask, as float64; tasks are computed a few at a time
      (about four times ``task_pixels`` together), in the order of their
      windows, so the scheduler holds the chunks of a few neighbouring
      windows, never the raster. Zones are read once for the sums and once
      more for ``stdev``.
    """
    da = _da()
    grid = check_grid(pixels)
    task_pixels = max(1, int(task_pixels))
    errors = check_errors(errors)
    if not isinstance(values, da.Array) and isinstance(getattr(values, "data", None), da.Array):
        values = values.data  # an xarray DataArray (rioxarray's) over a dask array
    arr = values if isinstance(values, da.Array) else da.asarray(values)
    if arr.ndim not in (2, 3) or arr.shape[-2:] != grid.shape:
        raise ValueError(f"values must have the pixels' shape {grid.shape} (or (bands, "
                         f"*{grid.shape})), not {arr.shape}")
    if not (np.issubdtype(arr.dtype, np.floating) or np.issubdtype(arr.dtype, np.integer)):
        raise TypeError(f"values must hold real numbers, not {arr.dtype}")
    flat = arr.ndim == 2
    data = arr[None] if flat else arr
    bands = data.shape[0]
    w = None
    if weights is not None:
        w = weights if isinstance(weights, da.Array) else da.asarray(weights)
        if w.shape != grid.shape and w.shape != arr.shape:
            raise ValueError(f"weights must have shape {grid.shape} or the values' shape, "
                             f"not {w.shape}")
    m = _lazy(mask, "mask", grid.shape) if mask is not None else None
    nd = None
    if nodata is not None:
        nd = V.real(nodata, "nodata")
        nd = None if nd != nd else nd
    names = check_stats(stats, w is not None)
    req = Request(np.zeros((bands, 0, 0)), flat, names, None, None, nd, errors)
    z = read_zones(zones)
    if errors == "raise":
        report(z, np.zeros(0, np.int64), errors, "zonal_stats")
    n = len(z)
    windows = region_windows(z.batch, grid)
    unreachable = np.flatnonzero(windows[:, 2] < 0)
    parts = _parts(windows)
    groups = _groups(parts, task_pixels)
    frame = (grid.row0, grid.col0)

    def blocks(rows: slice, cols: slice) -> tuple[Any, Any, Any]:
        return (data[:, rows, cols], w[..., rows, cols] if w is not None else None,
                m[rows, cols] if m is not None else None)

    def run(centre: FloatArray | None) -> FloatArray:
        import dask
        # Tasks computed a few at a time, in the order of their windows, so
        # that the scheduler holds only the chunks of a few neighbouring
        # windows, whatever the size of the raster.
        results: list[Any] = [None] * len(groups)
        wave: list[tuple[int, Any]] = []
        size = 0

        def flush() -> None:
            done = dask.compute(*(t for _, t in wave))
            for (gi, _), r in zip(wave, done):
                results[gi] = r
            wave.clear()

        for gi, g in enumerate(groups):
            p = parts[g]
            r0, r1 = int(p[:, 2].min()), int(p[:, 3].max())
            c0, c1 = int(p[:, 4].min()), int(p[:, 5].max())
            zc = None if centre is None else np.ascontiguousarray(centre[p[:, 0]])
            batch = _take(z.batch, p[:, 0])
            pixels = (r1 - r0) * (c1 - c0)
            if pixels > task_pixels:  # one zone's part, larger than a task
                results[gi] = _in_pieces(batch, grid, frame, (r0, r1, c0, c1), task_pixels,
                                         blocks, nd, req.minmax, zc)
                continue
            if wave and size + pixels > WAVE_TASKS * task_pixels:
                flush()
                size = 0
            rows = slice(r0 - frame[0], r1 - frame[0])
            cols = slice(c0 - frame[1], c1 - frame[1])
            wave.append((gi, dask.delayed(_task)(batch, grid.window(rows, cols),
                                                 *blocks(rows, cols), nd, req.minmax, zc)))
            size += pixels
        if wave:
            flush()
        nq = len(STATS_SUMS) if centre is None else 2
        return _combine(parts, results, groups, n, bands, nq, req.minmax)

    q = run(None)
    failed = np.flatnonzero(np.isnan(q[:, 0, 1])) if n and bands else np.zeros(0, np.int64)
    bad = report(z, np.union1d(unreachable, failed), errors, "zonal_stats")
    dev = run(centres(q)) if req.deviations else None
    return statistics(q, dev, req, bad, grid.pixel_area)
