"""The job's output formats, by suffix: .png (8-bit grey, +y up), .npy and
.zarr (float64, rows along v); written whole from memory, or chunk by chunk
from a dask array with a progress bar and memory bounded by a few chunks."""
from __future__ import annotations

import math
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

FORMATS = (".png", ".npy", ".zarr")


def grey(block: np.ndarray) -> npt.NDArray[np.uint8]:
    """Fractions as 8-bit grey levels."""
    levels: npt.NDArray[np.uint8] = np.rint(block * 255).astype(np.uint8)
    return levels


def _save_png(path: Path, levels: np.ndarray) -> None:
    from PIL import Image
    Image.fromarray(levels, mode="L").save(path, format="PNG", optimize=True)


def save(img: np.ndarray, path: Path) -> None:
    """An array in memory into the file at path, in the format of its suffix
    (.npy or .png)."""
    if path.suffix == ".npy":
        with open(path, "wb") as f:
            np.save(f, img)
    else:
        # Rows run along +y: flip so that +y points up in the picture.
        _save_png(path, grey(img[::-1]))


def store(arr: Any, path: Path, *, threads: int | None, quiet: bool) -> float:
    """A dask array computed chunk by chunk into the file or store at path
    (made here), in the format of its suffix; returns the array's sum."""
    import dask
    import dask.array as da
    from dask.diagnostics import ProgressBar
    from dask.system import CPU_COUNT

    suffix = path.suffix
    if suffix == ".zarr":
        import zarr
        target = zarr.open_array(str(path), mode="w-", shape=arr.shape, chunks=arr.chunksize,
                                 dtype="f8")
        jobs = [da.store(arr, target, lock=False, compute=False), arr.sum()]
    elif suffix == ".npy":
        target = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=arr.shape)
        jobs = [da.store(arr, target, lock=False, compute=False), arr.sum()]
    else:
        levels = arr.map_blocks(grey, dtype=np.uint8)
        target = np.empty(arr.shape, dtype=np.uint8)
        jobs = [da.store(levels, target, lock=False, compute=False), arr.sum()]
    # A pool of our own: when the run is stopped (SIGTERM, Ctrl-C), the
    # chunks being written finish before the caller removes their store,
    # which a chunk written after would bring back.
    pool = ThreadPoolExecutor(threads or CPU_COUNT)
    try:
        with ProgressBar(out=sys.stderr, minimum=0 if not quiet else math.inf):
            _, total = dask.compute(*jobs, scheduler="threads", pool=pool)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
    if suffix == ".npy":
        target.flush()
        del target
    elif suffix == ".png":
        _save_png(path, target[::-1])
    return float(total)
