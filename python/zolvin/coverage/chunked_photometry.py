"""aperture_sums over a chunked image: sources grouped by the chunk their
window's centre lies in, each group a task that gets the image over the
union of its sources' whole windows, however many chunks that crosses, and
runs the in-memory sums there. A source's sums depend only on its window's
pixels, read in the window's own order, so every chunking gives the bits of
the in-memory call."""
from __future__ import annotations

from typing import Any

import dask
import dask.array as da
import numpy as np

from ..core import checks as V
from ..pixels.grid import Grid
from ..shapes.batch import RegionBatch
from .many import as_batch, check_grid, region_sums
from .photometry import ApertureSums

__all__ = ["aperture_sums"]


def _windows(batch: RegionBatch, grid: Grid) -> np.ndarray:
    """Per region (row0, row1, col0, col1) of grid rows and columns holding
    its window, a pixel wider on each side than the driver's; empty
    (row0 == row1) for a region off the grid."""
    (a, b), (c, d) = grid.jac
    det = a * d - b * c
    x0, y0 = grid.origin
    row0, col0 = grid.row0, grid.col0
    box = batch.bounds
    xs = np.stack([box[:, 0], box[:, 2], box[:, 2], box[:, 0]], 1) - x0
    ys = np.stack([box[:, 1], box[:, 1], box[:, 3], box[:, 3]], 1) - y0
    with np.errstate(invalid="ignore", over="ignore"):
        # Indices in the grid (pixel centres at whole numbers).
        u = (d * xs - b * ys) / det - col0
        v = (a * ys - c * xs) / det - row0
        rows, cols = grid.shape
        r0 = np.clip(np.floor(v.min(1)) - 1, 0, rows)
        r1 = np.clip(np.ceil(v.max(1)) + 2, 0, rows)
        c0 = np.clip(np.floor(u.min(1)) - 1, 0, cols)
        c1 = np.clip(np.ceil(u.max(1)) + 2, 0, cols)
    out: np.ndarray = np.nan_to_num(np.stack([r0, r1, c0, c1], 1)).astype(np.int64)
    empty = (out[:, 0] >= out[:, 1]) | (out[:, 2] >= out[:, 3])
    out[empty] = 0
    return out


def _ranges(start: np.ndarray, picks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The records of the picked regions (offsets `start`), in pick order,
    and their new offsets."""
    lo, hi = start[picks], start[picks + 1]
    counts = hi - lo
    new = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    at = np.repeat(lo - new[:-1], counts) + np.arange(new[-1], dtype=np.int64)
    return at, new


def _subset(batch: RegionBatch, picks: np.ndarray) -> RegionBatch:
    """The picked regions of a batch, as a batch of their own."""
    seg, seg_start = _ranges(batch.segment_start, picks)
    arc, arc_start = _ranges(batch.arc_start, picks)
    rule, rule_start = _ranges(batch.rule_start, picks)
    prog, prog_start = _ranges(batch.program_start, picks)
    return RegionBatch(batch.segments[seg], seg_start, batch.segment_leaf[seg],
                       batch.arcs[arc], arc_start, batch.arc_leaf[arc], batch.rules[rule],
                       rule_start, batch.program[prog], prog_start, batch.simple[picks])


def _groups(windows: np.ndarray, chunks: tuple[tuple[int, ...], tuple[int, ...]]
            ) -> list[np.ndarray]:
    """Regions grouped by the chunk their window's centre lies in (regions
    off the grid with the first chunk), each group in region order."""
    row_edges = np.cumsum((0,) + chunks[0])
    col_edges = np.cumsum((0,) + chunks[1])
    mid_r = (windows[:, 0] + windows[:, 1]) // 2
    mid_c = (windows[:, 2] + windows[:, 3]) // 2
    i = np.searchsorted(row_edges, mid_r, side="right") - 1
    j = np.searchsorted(col_edges, mid_c, side="right") - 1
    key = np.clip(i, 0, None) * len(col_edges) + np.clip(j, 0, None)
    order = np.argsort(key, kind="stable")
    cuts = np.flatnonzero(np.diff(key[order])) + 1
    return [g for g in np.split(order, cuts) if len(g)]


def _sums_task(data: np.ndarray, error: np.ndarray | None, mask: np.ndarray | None,
               grid: Grid, batch: RegionBatch, n_threads: int | None
               ) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    s = region_sums(batch, grid, data, error=error, mask=mask, n_threads=n_threads)
    return s.sum, s.area, s.var


def _gather(parts: list[tuple[np.ndarray, np.ndarray, np.ndarray | None]],
            groups: list[np.ndarray], n: int, errors: bool) -> np.ndarray:
    """The groups' sums put back in region order: rows sum, sum_error, area."""
    out = np.zeros((3, n))
    for (total, area, var), g in zip(parts, groups):
        out[0, g], out[2, g] = total, area
        if errors and var is not None:
            out[1, g] = np.sqrt(var)
    return out


def _image(value: Any, shape: tuple[int, int], name: str) -> da.Array:
    arr = value if isinstance(value, da.Array) else da.asarray(np.asarray(value))
    if arr.shape != shape:
        raise ValueError(f"{name} must have the pixels' shape {shape}, not {arr.shape}")
    return arr


def aperture_sums(data: Any, pixels: Grid, apertures: Any, *, error: Any = None,
                  mask: Any = None, n_threads: int | None = None) -> ApertureSums:
    """``zolvin.aperture_sums`` over a dask array image on a Grid.

    Parameters
    ----------
    data : dask.array.Array or array_like, shape (rows, cols)
        The image, chunked any way.
    pixels : Grid
        The image's pixels.
    apertures : catalog or sequence
        As for ``zolvin.aperture_sums``.
    error, mask : dask.array.Array or array_like, optional
        As for ``zolvin.aperture_sums``, the image's shape (any chunks).
    n_threads : int, optional
        Threads within each task.

    Returns
    -------
    ApertureSums
        Lazy dask arrays of shape (n,) (or (n, k)); ``sum_error`` None
        without ``error``.

    Notes
    -----
    Bit-exact: the same bits as the in-memory ``zolvin.aperture_sums`` for
    every chunking, sources across chunk edges included. The sources are
    grouped by the chunk their window's centre lies in; a group's task reads
    the image over the union of its sources' windows (a pixel wider on each
    side), across chunk edges where they cross them, so a source never sees
    a cut window. A source larger than a chunk makes its group's task read
    all of its window.
    """
    batch, shape = as_batch(apertures)
    grid = check_grid(pixels)
    d = _image(data, grid.shape, "data")
    e = _image(error, grid.shape, "error") if error is not None else None
    m = _image(mask, grid.shape, "mask") if mask is not None else None
    if m is not None and m.dtype != bool:
        raise TypeError(f"mask must hold booleans, not {m.dtype}")
    for arr, name in ((d, "data"), (e, "error")):
        if arr is not None and not (np.issubdtype(arr.dtype, np.floating)
                                    or np.issubdtype(arr.dtype, np.integer)):
            raise TypeError(f"{name} must hold real numbers, not {arr.dtype}")
    nt = None if n_threads is None else V.index(n_threads, "n_threads", 1)
    windows = _windows(batch, grid)
    groups = _groups(windows, d.chunks) if len(batch) else []
    parts = []
    for g in groups:
        w = windows[g]
        r0, r1 = int(w[:, 0].min()), int(w[:, 1].max())
        c0, c1 = int(w[:, 2].min()), int(w[:, 3].max())
        if r0 >= r1 or c0 >= c1:
            r0 = r1 = c0 = c1 = 0
        window = grid.window((r0, r1), (c0, c1))
        rs, cs = slice(r0, r1), slice(c0, c1)
        parts.append(dask.delayed(_sums_task)(
            d[rs, cs], e[rs, cs] if e is not None else None,
            m[rs, cs] if m is not None else None, window, _subset(batch, g), nt))
    n = len(batch)
    table = dask.delayed(_gather)(parts, groups, n, e is not None)
    stacked = da.from_delayed(table, (3, n), dtype=np.float64)
    total, err, area = (stacked[k].reshape(shape) for k in range(3))
    return ApertureSums(total, err if e is not None else None, area)
