"""What a run of the job will hold, and whether the machine has it: memory
(the system's available memory, within an address-space limit) and, for a
.npy written in place, disk."""
from __future__ import annotations

import argparse
import math
import os
import shutil
from pathlib import Path

from ..core.chunks import grid_chunks
from ..coverage.rules import mesh
from ..pixels.grid import Grid
from .files import UserError

# Results larger than this many bytes are computed through dask.
IN_MEMORY = 1 << 30
# Memory a run is taken to hold, beside its result: float64 arrays of the
# in-memory result's size (the result and the coverage's temporaries), bytes
# per task of a dask graph (a store and a sum task per chunk, with their keys),
# and per triangle that the mesh holds in one band (at most MAX_BAND_TRIANGLES,
# and fewer than MESH_TRIANGLES_PER_PIXEL per pixel of the band).
IN_MEMORY_ARRAYS = 3
TASK_BYTES = 4096
MESH_TRIANGLE_BYTES = 400
MESH_TRIANGLES_PER_PIXEL = 256


def through_dask(grid: Grid, out: Path) -> bool:
    """Whether the result is computed chunk by chunk: every .zarr, and
    results larger than IN_MEMORY."""
    return out.suffix == ".zarr" or grid.size * 8 > IN_MEMORY


def available_memory() -> int:
    """Bytes the run may still take: the system's available memory, within
    the address-space limit if one is set."""
    avail = 1 << 62
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    avail = int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        import resource
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
        if soft != resource.RLIM_INFINITY:
            avail = min(avail, soft)
    except (ImportError, OSError, ValueError):
        pass
    return avail


def held_bytes(args: argparse.Namespace, grid: Grid, out: Path) -> int:
    """Memory the run will hold at its peak, roughly."""
    n: int = grid.size
    side: int = args.size if not through_dask(grid, out) else min(args.chunk, args.size)
    mesh_bytes = 0
    if args.method == "mesh" and args.telescope is None:
        band = MESH_TRIANGLES_PER_PIXEL * side * min(side, mesh.BAND)
        mesh_bytes = MESH_TRIANGLE_BYTES * min(mesh.MAX_BAND_TRIANGLES, band)
    png = 2 * n if out.suffix == ".png" else 0  # the grey image and its flipped copy
    if not through_dask(grid, out):
        return IN_MEMORY_ARRAYS * 8 * n + png + mesh_bytes
    chunks = math.ceil(args.size / side) ** 2
    workers: int = args.threads or os.cpu_count() or 1
    per_chunk = IN_MEMORY_ARRAYS * 8 * side * side + mesh_bytes
    return int((workers + 1) * per_chunk + 2 * chunks * TASK_BYTES + png)


def check_resources(args: argparse.Namespace, grid: Grid, out: Path) -> None:
    """Refuses a run whose dask graph would be too large, that would hold
    more memory than is available, or write a .npy larger than the free disk."""
    if through_dask(grid, out):
        try:
            grid_chunks(args.chunk, grid.shape, "--chunk")
        except ValueError as e:
            raise UserError(str(e)) from None
    held, avail = held_bytes(args, grid, out), available_memory()
    if held > avail:
        hint = "; write .npy or .zarr, which stream" if out.suffix == ".png" else ""
        raise UserError(f"--size {args.size} would hold about {held / 2**30:.3g} GiB of "
                        f"memory, {avail / 2**30:.3g} GiB are available{hint}")
    if out.suffix == ".npy":
        need, free = 8 * grid.size + 4096, shutil.disk_usage(out.parent).free
        if need > free:
            raise UserError(f"--size {args.size} needs {need / 2**30:.3g} GiB in "
                            f"{out.parent}, which has {free / 2**30:.3g} GiB free")
