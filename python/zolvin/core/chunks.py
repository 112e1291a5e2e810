"""How the dask forms cut their work: a grid into windows, and a grid made
of triangles into bands of rows, each within a bound on the graph's size.

Only what a form asks for here imports dask, so that the package imports
without it.
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from . import checks as V

# Default chunk side: 2048 x 2048 float64 is 32 MiB.
CHUNK = 2048
# Default band of accumulate_triangles: about this many cells.
BAND_CELLS = 1 << 22
# accumulate_triangles: bands x chunks of the triangle list, the steps of its
# graph, at most this many (unless the list alone has more chunks).
MAX_STEPS = 1 << 15
# The grid forms: windows, one task each, at most this many. A task costs
# about 300 bytes and 10 microseconds to build, and far more to schedule:
# beyond this bound the graph costs more than its chunks are worth (and
# finer chunks of a huge grid would exhaust memory before any work).
MAX_TASKS = 1 << 17


def edges(sizes: tuple[int, ...]) -> list[tuple[int, int]]:
    """(start, stop) of each chunk of these sizes, one after the other."""
    out, at = [], 0
    for n in sizes:
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


def _count(side: Any, length: int) -> int | None:
    """Chunks along an axis of this length, where the side tells without dask."""
    if isinstance(side, tuple):
        return len(side)
    if isinstance(side, int):
        return max(1, -(-length // side))
    return None


def _check_tasks(counts: list[int | None], chunks: Any, shape: tuple[int, ...],
                 name: str) -> None:
    """ValueError naming the chunks when they make more than MAX_TASKS."""
    if None in counts:
        return
    tasks = math.prod(c for c in counts if c is not None)
    if tasks > MAX_TASKS:
        given = f"{name} {chunks!r}" if chunks is not None else f"the default {name} ({CHUNK})"
        raise ValueError(f"{given} cut the grid {shape} into {tasks} chunks, more than the "
                         f"{MAX_TASKS} a graph may hold: take larger chunks")


def grid_chunks(chunks: Any, shape: tuple[int, int], name: str = "chunks"
                ) -> tuple[tuple[int, ...], ...]:
    """chunks= of the grid functions as dask's sizes per axis; TypeError or
    ValueError naming chunks for anything dask cannot use, and for more than
    MAX_TASKS chunks (counted before any is made)."""
    requested = chunks
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
    _check_tasks([_count(c, n) for c, n in zip(sides, shape)], requested, shape, name)
    from dask.array.core import normalize_chunks

    try:
        result: tuple[tuple[int, ...], ...] = normalize_chunks(sides, shape, dtype=np.float64)
    except (TypeError, ValueError, ZeroDivisionError, OverflowError) as e:
        raise ValueError(f"{name} {chunks!r} do not fit the grid's shape {shape}: {e}") from None
    _check_tasks([len(c) for c in result], requested, shape, name)
    return result


def band_rows(band: Any, size: int, list_chunks: int) -> int:
    """Rows per band of a (size, size) grid: the graph holds bands x
    list_chunks steps, at most MAX_STEPS of them."""
    most = max(1, MAX_STEPS // max(1, list_chunks))
    least = max(1, -(-size // most))  # the lowest band that keeps to that many
    if band is None:
        return max(least, BAND_CELLS // max(1, size))
    rows = V.index(band, "band", 1)
    if rows < least:
        raise ValueError(f"band must be at least {least} rows for size {size} and "
                         f"{list_chunks} chunks of triangles (at most {most} bands), not {rows}")
    return rows


def band_chunks(rows: int, size: int) -> tuple[tuple[int, ...], ...]:
    """dask's chunks of a (size, size) grid in bands of rows."""
    from dask.array.core import normalize_chunks

    result: tuple[tuple[int, ...], ...] = normalize_chunks((rows, size), (size, size),
                                                           dtype=np.float64)
    return result
