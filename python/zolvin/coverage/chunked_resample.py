"""Resampling onto grids larger than memory: every output chunk is a window of
the target, resampled from the window of the input that reaches it."""
from __future__ import annotations

import math
from typing import Any

import dask
import dask.array as da
import numpy as np

from ..core.chunks import edges, grid_chunks
from ..pixels.grid import Grid
from .many import check_grid
from .resample import _CONSERVE
from .resample import resample as resample_in_memory

__all__ = ["resample"]

# Input pixels added round the window found by inverting the map: a pixel
# whose centre is within one pixel of an output window's edge may reach it.
MARGIN = 2


def _reach(src: Grid, win: Grid) -> tuple[tuple[int, int], tuple[int, int]] | None:
    """The rows and columns of src (relative to src) whose pixels may overlap
    the window's, or None when none can."""
    (a, b), (c, d) = win.jac
    rows, cols = win.shape
    u0, v0 = win.col0 - 0.5, win.row0 - 0.5
    corners = [(win.origin[0] + a * u + b * v, win.origin[1] + c * u + d * v)
               for u in (u0, u0 + cols) for v in (v0, v0 + rows)]
    (p, q), (r, s) = src.jac
    det = p * s - q * r
    us, vs = [], []
    for x, y in corners:
        dx, dy = x - src.origin[0], y - src.origin[1]
        us.append((s * dx - q * dy) / det - src.col0)
        vs.append((p * dy - r * dx) / det - src.row0)
    c0 = max(0, math.floor(min(us)) - MARGIN)
    c1 = min(src.shape[1], math.ceil(max(us)) + MARGIN + 1)
    r0 = max(0, math.floor(min(vs)) - MARGIN)
    r1 = min(src.shape[0], math.ceil(max(vs)) + MARGIN + 1)
    if r0 >= r1 or c0 >= c1:
        return None
    return (r0, r1), (c0, c1)


def _task(part: np.ndarray, src: Grid, win: Grid, conserve: str,
          n_threads: int | None) -> np.ndarray:
    """One output chunk: its image and footprint stacked on a new first axis."""
    shape = (*part.shape[:-2], *win.shape)
    res = np.empty((2, *shape))
    resample_in_memory(part, src, win, conserve=conserve, out=res[0], footprint=res[1],
                       n_threads=n_threads)
    return res


def resample(data: Any, src: Any, dst: Any, *, conserve: str = "flux", chunks: Any = None,
             footprint: bool = False, n_threads: int | None = 1) -> Any:
    """``zolvin.resample`` onto a target grid as a dask array, equal bit for
    bit to the in-memory result for every chunking of the output.

    Parameters
    ----------
    data : array_like or dask array, shape (rows, cols) or (bands, rows, cols)
        The image on ``src``; a dask array is read window by window.
    src, dst : Grid
        The image's pixels and the target's.
    conserve : {"flux", "mean"}
        As for ``zolvin.resample``.
    chunks : optional
        The output's chunks over dst's (rows, cols), as dask takes them.
    footprint : bool
        Also return the footprint, chunked alike.
    n_threads : int, optional
        Threads per chunk.

    Returns
    -------
    dask.array.Array, or a pair of them with ``footprint=True``

    Notes
    -----
    Each output chunk is a window of ``dst``, whose pixels keep their
    indices; it takes the window of the input whose pixels may reach it
    (the chunk's corners mapped into src's pixels, two pixels more each
    way) and resamples it in memory. Every output pixel adds its input
    pixels in input order whatever the window, so the chunks put together
    are the in-memory result bit for bit. A task holds one output chunk and
    the input that reaches it.
    """
    if conserve not in _CONSERVE:
        raise ValueError(f"conserve must be 'flux' or 'mean', not {conserve!r}")
    s = check_grid(src, "src")
    t = check_grid(dst, "dst")
    arr = data if isinstance(data, da.Array) else da.asarray(np.asarray(data, dtype=np.float64))
    if arr.ndim not in (2, 3) or arr.shape[-2:] != s.shape:
        raise ValueError(f"data must have src's shape {s.shape} (or (bands, *{s.shape})), "
                         f"not {arr.shape}")
    arr = arr.astype(np.float64)
    lead = arr.shape[:-2]
    sizes = grid_chunks(chunks, t.shape)
    images, prints = [], []
    for rows in edges(sizes[0]):
        row_images, row_prints = [], []
        for cols in edges(sizes[1]):
            win = t.window(rows, cols)
            shape = (*lead, *win.shape)
            reach = _reach(s, win)
            if reach is None:
                row_images.append(da.full(shape, np.nan, chunks=shape))
                row_prints.append(da.zeros(shape, chunks=shape))
                continue
            (r0, r1), (c0, c1) = reach
            part = arr[..., r0:r1, c0:c1]
            job = dask.delayed(_task, pure=True)(part, s.window((r0, r1), (c0, c1)), win,
                                                 conserve, n_threads)
            both = da.from_delayed(job, (2, *shape), dtype=np.float64)
            row_images.append(both[0])
            row_prints.append(both[1])
        images.append(row_images)
        prints.append(row_prints)
    # Nested two deep, the blocks join along the last two axes (bands stay whole).
    image = da.block(images)
    if not footprint:
        return image
    return image, da.block(prints)
