"""Command line: ``python -m zolvin pupil --size N -o FILE`` renders a pupil.

The pupil has radius 1 on a size x size grid of pixels with one Jacobian
[[p, shear*p], [0, p]], its centre on the grid's middle and the pitch p
chosen so that the whole aperture fits, shear included. The output's format
follows its suffix: .png (8-bit grey, +y up), .npy or .zarr (float64, rows
along v). Large grids and every .zarr go through dask chunk by chunk, with a
progress bar and memory bounded by a few chunks.

Nothing is lost: every mistake on the command line (sizes beyond the memory
or disk a run would hold, values out of range, an output that exists or
cannot be written) is one line on stderr and exit status 2, before any output
is written; the output is written under a temporary name beside the target
and renamed into place when complete; an existing output is replaced only
with --force, and a directory only if it is a zarr store.
"""
from __future__ import annotations

import argparse
import math
import os
import shutil
import signal
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import pupils
from ..coverage import apertures as _aperture
from ..coverage import pupil as _pupil
from ..coverage.rules import mesh as _mesh
from ..coverage.rules.geometry import MAX_STRUTS
from ..pixels.grid import Grid
from .files import UserError, check_target, replacing

FORMATS = (".png", ".npy", ".zarr")
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
# Largest --size: a grid's pixels must be countable in an int64.
MAX_SIZE = 3_037_000_499


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="python -m zolvin", description="Pixel coverage jobs.")
    sub = ap.add_subparsers(dest="job", required=True)
    pp = sub.add_parser("pupil", help="render a telescope pupil",
                        description="Open fraction of every pixel of a pupil of radius 1: "
                                    "an aperture minus a central obscuration minus radial "
                                    "struts.")
    pp.add_argument("--telescope", choices=sorted(pupils.PRESETS), default=None,
                    help="a named telescope pupil in metres (zolvin.pupils), drawn exactly, "
                         "instead of the pupil of radius 1")
    pp.add_argument("--list", action="store_true", help="list the named pupils and exit")
    pp.add_argument("--size", type=int, default=1024, help="pixels per side (default 1024)")
    pp.add_argument("--shear", type=float, default=0.0,
                    help="shear of the pixel grid, dx/dv over dy/dv (default 0)")
    pp.add_argument("--obscuration", type=float, default=0.3,
                    help="radius of the central obscuration, as a fraction of the "
                         "aperture's (default 0.3)")
    pp.add_argument("--struts", type=int, default=4,
                    help="number of struts, evenly spaced from 45 degrees (default 4)")
    pp.add_argument("--strut-width", type=float, default=0.02,
                    help="width of each strut (default 0.02)")
    pp.add_argument("--method", choices=_pupil.METHODS, default="exact",
                    help="exact areas of the composed shape, coverage rules composed, or "
                         "exact areas of a mesh (default exact)")
    pp.add_argument("--chord-error", type=float, default=None,
                    help=f"mesh only: largest distance of a chord from its arc, in pixel "
                         f"scales (default {_mesh.CHORD_ERROR:g})")
    pp.add_argument("--chunk", type=int, default=2048,
                    help="side of the chunks computed at once on large grids (default 2048)")
    pp.add_argument("--threads", type=int, default=None,
                    help="threads (default: every usable core)")
    pp.add_argument("-o", "--output", default="out/pupil.png",
                    help="output file: .png, .npy or .zarr (default out/pupil.png)")
    pp.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    pp.add_argument("--force", action="store_true",
                    help="replace an existing output file, or an existing zarr store")
    return ap


def _to_png(img: np.ndarray) -> npt.NDArray[np.uint8]:
    # Rows run along +y: flip so that +y points up in the picture.
    return _to_png_block(img[::-1])


def _save_png(path: Path, grey: np.ndarray) -> None:
    from PIL import Image
    Image.fromarray(grey, mode="L").save(path, format="PNG", optimize=True)


def _run_dask(grid: Grid, kwargs: dict[str, Any], args: argparse.Namespace, out: Path) -> float:
    """Computes the pupil chunk by chunk into the output file or store at out
    (made here); returns the sum."""
    import dask
    import dask.array as da
    from dask.diagnostics import ProgressBar

    from .. import dask as zdask

    if "telescope" in kwargs:
        arr = zdask.aperture_coverage(grid, kwargs["telescope"], chunks=args.chunk, n_threads=1)
    else:
        arr = zdask.pupil(grid, 1.0, chunks=args.chunk, n_threads=1, **kwargs)
    suffix = out.suffix
    if suffix == ".zarr":
        import zarr
        target = zarr.open_array(str(out), mode="w-", shape=arr.shape, chunks=arr.chunksize,
                                 dtype="f8")
        jobs = [da.store(arr, target, lock=False, compute=False), arr.sum()]
    elif suffix == ".npy":
        target = np.lib.format.open_memmap(out, mode="w+", dtype=np.float64, shape=arr.shape)
        jobs = [da.store(arr, target, lock=False, compute=False), arr.sum()]
    else:
        grey = arr.map_blocks(_to_png_block, dtype=np.uint8)
        target = np.empty(arr.shape, dtype=np.uint8)
        jobs = [da.store(grey, target, lock=False, compute=False), arr.sum()]
    workers = args.threads
    with ProgressBar(out=sys.stderr, minimum=0 if not args.quiet else math.inf):
        _, total = dask.compute(*jobs, num_workers=workers)
    if suffix == ".npy":
        target.flush()
        del target
    elif suffix == ".png":
        _save_png(out, target[::-1])
    return float(total)


def _to_png_block(block: np.ndarray) -> npt.NDArray[np.uint8]:
    grey: npt.NDArray[np.uint8] = np.rint(block * 255).astype(np.uint8)
    return grey


def telescope_grid(shape: Any, size: int, shear: float = 0.0) -> Grid:
    """size x size pixels over a named pupil, 3 % to spare."""
    return Grid.spanning(shape.bounds, size, shear=shear, margin=0.015 * size)


def _summary(doc: str | None) -> str:
    """A docstring's first paragraph on one line (its summary may wrap)."""
    paragraph = (doc or "").strip().split("\n\n")[0]
    return " ".join(paragraph.split())


def _list() -> int:
    for name, fn in pupils.PRESETS.items():
        print(f"{name:<8} {_summary(fn.__doc__)}")
    return 0


def _write(args: argparse.Namespace, grid: Grid, out: Path, in_memory: Any,
           dask_kwargs: dict[str, Any]) -> tuple[float, str]:
    """Writes the pupil to out through a temporary name beside it; returns
    the sum of the fractions and how it was computed."""
    with replacing(out, args.force) as tmp:
        if _through_dask(grid, out):
            return _run_dask(grid, dask_kwargs, args, tmp), f"dask, chunks of {args.chunk}"
        img = in_memory()
        if out.suffix == ".npy":
            with open(tmp, "wb") as f:
                np.save(f, img)
        else:
            _save_png(tmp, _to_png(img))
        return float(img.sum()), "in memory"


def telescope_main(args: argparse.Namespace, out: Path) -> int:
    """Renders the named pupil; the user's errors were refused before."""
    shape = pupils.named(args.telescope)
    grid = telescope_grid(shape, args.size, args.shear)
    _check_resources(args, grid, out)
    t0 = time.perf_counter()
    total, how = _write(args, grid, out,
                        lambda: _aperture.aperture_coverage(grid, shape, n_threads=args.threads),
                        {"telescope": shape})
    seconds = time.perf_counter() - t0
    print(f"grid       {args.size} x {args.size} pixels, shear {args.shear:g}, "
          f"{args.telescope} ({how})")
    print(f"open area  {total * grid.pixel_area:.6f} m^2  (sum of fractions x pixel area)")
    print(f"time       {seconds:.2f} s")
    print(f"output     {out}")
    return 0


def _through_dask(grid: Grid, out: Path) -> bool:
    return out.suffix == ".zarr" or grid.size * 8 > IN_MEMORY


def _available_memory() -> int:
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


def _held_bytes(args: argparse.Namespace, grid: Grid, out: Path) -> int:
    """Memory the run will hold at its peak, roughly."""
    n: int = grid.size
    side: int = args.size if not _through_dask(grid, out) else min(args.chunk, args.size)
    mesh = 0
    if args.method == "mesh" and args.telescope is None:
        band = MESH_TRIANGLES_PER_PIXEL * side * min(side, _mesh.BAND)
        mesh = MESH_TRIANGLE_BYTES * min(_mesh.MAX_BAND_TRIANGLES, band)
    png = 2 * n if out.suffix == ".png" else 0  # the grey image and its flipped copy
    if not _through_dask(grid, out):
        return IN_MEMORY_ARRAYS * 8 * n + png + mesh
    chunks = math.ceil(args.size / side) ** 2
    workers: int = args.threads or os.cpu_count() or 1
    per_chunk = IN_MEMORY_ARRAYS * 8 * side * side + mesh
    return int((workers + 1) * per_chunk + 2 * chunks * TASK_BYTES + png)


def _check_resources(args: argparse.Namespace, grid: Grid, out: Path) -> None:
    """Refuses a run that would hold more memory than is available, or write
    a .npy larger than the free disk."""
    held, avail = _held_bytes(args, grid, out), _available_memory()
    if held > avail:
        hint = "; write .npy or .zarr, which stream" if out.suffix == ".png" else ""
        raise UserError(f"--size {args.size} would hold about {held / 2**30:.3g} GiB of "
                        f"memory, {avail / 2**30:.3g} GiB are available{hint}")
    if out.suffix == ".npy":
        need, free = 8 * grid.size + 4096, shutil.disk_usage(out.parent).free
        if need > free:
            raise UserError(f"--size {args.size} needs {need / 2**30:.3g} GiB in "
                            f"{out.parent}, which has {free / 2**30:.3g} GiB free")


def _check_arguments(args: argparse.Namespace, out: Path) -> None:
    if out.suffix not in FORMATS:
        raise UserError(f"output must end in one of {', '.join(FORMATS)}: {out}")
    bounds = {"size": (1, MAX_SIZE), "chunk": (1, None), "threads": (1, None),
              "struts": (0, MAX_STRUTS)}
    for name, (lo, hi) in bounds.items():
        value = getattr(args, name)
        if value is not None and (value < lo or (hi is not None and value > hi)):
            within = f"at least {lo}" if hi is None else f"from {lo} to {hi}"
            raise UserError(f"--{name} must be {within}, not {value}")
    for name in ("shear", "obscuration", "strut_width", "chord_error"):
        value = getattr(args, name)
        if value is not None and not math.isfinite(value):
            raise UserError(f"--{name.replace('_', '-')} must be finite, not {value}")
    if args.chord_error is not None and not args.chord_error >= _mesh.MIN_CHORD_ERROR:
        raise UserError(f"--chord-error must be at least {_mesh.MIN_CHORD_ERROR:g} pixel "
                        f"scales, not {args.chord_error:g}")
    check_target(out, args.force)


def _pupil_kwargs(args: argparse.Namespace, grid: Grid) -> dict[str, Any]:
    """The pupil's keywords, checked as zolvin.pupil checks them; the open
    area must not be empty."""
    kwargs: dict[str, Any] = {"obscuration": args.obscuration,
                              "struts": _pupil.strut_angles(args.struts),
                              "strut_width": args.strut_width, "method": args.method}
    if args.chord_error is not None:
        kwargs["chord_error"] = args.chord_error * grid.pixel_scale
    try:
        _pupil.pupil(grid.window((0, 0), (0, 0)), 1.0, **kwargs)  # checks the arguments
        exact = _pupil.analytic_area(1.0, obscuration=args.obscuration,
                                     struts=kwargs["struts"], strut_width=args.strut_width)
    except (TypeError, ValueError) as e:
        raise UserError(str(e)) from None
    if not exact > 0:
        raise UserError(f"--strut-width {args.strut_width:g} leaves no open area: {args.struts} "
                        f"struts that wide cover the whole aperture")
    return kwargs


def _check_mesh_cost(args: argparse.Namespace, grid: Grid, out: Path,
                     kwargs: dict[str, Any]) -> None:
    """Refuses a mesh that would need too many triangles in one band of one
    of the windows the run computes."""
    if args.method != "mesh":
        return
    pupil_kwargs = {k: v for k, v in kwargs.items() if k != "method"}
    try:
        _mesh.check_mesh_windows([grid], 1.0, **pupil_kwargs)
        return
    except ValueError as e:
        if not _through_dask(grid, out):
            raise UserError(str(e)) from None
    # The chunks' bands hold parts of the whole grid's bands: only when those
    # are too full need the chunks be counted one by one.
    side = min(args.chunk, args.size)
    starts = range(0, args.size, side)
    try:
        _mesh.check_mesh_windows((grid[r:r + side, c:c + side] for r in starts for c in starts),
                                  1.0, **pupil_kwargs)
    except ValueError as e:
        raise UserError(str(e)) from None


def pupil_main(args: argparse.Namespace) -> int:
    if args.list:
        return _list()
    out = Path(args.output)
    try:
        _check_arguments(args, out)
        if args.telescope is not None:
            return telescope_main(args, out)
        return _pupil_job(args, out)
    except UserError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2


def _pupil_job(args: argparse.Namespace, out: Path) -> int:
    grid = Grid.spanning(1.0, args.size, shear=args.shear)
    kwargs = _pupil_kwargs(args, grid)
    _check_resources(args, grid, out)
    _check_mesh_cost(args, grid, out, kwargs)
    t0 = time.perf_counter()
    total, how = _write(args, grid, out,
                        lambda: _pupil.pupil(grid, 1.0, n_threads=args.threads, **kwargs),
                        kwargs)
    seconds = time.perf_counter() - t0
    measured = total * grid.pixel_area
    exact = _pupil.analytic_area(1.0, obscuration=kwargs["obscuration"],
                                 struts=kwargs["struts"], strut_width=kwargs["strut_width"])
    print(f"grid       {args.size} x {args.size} pixels, shear {args.shear:g}, "
          f"method {args.method} ({how})")
    print(f"open area  {measured:.10f}  (sum of fractions x pixel area)")
    print(f"analytic   {exact:.10f}  (relative difference {(measured - exact) / exact:+.2e})")
    print(f"time       {seconds:.2f} s")
    print(f"output     {out}")
    return 0


def _terminate(signum: int, frame: Any) -> None:
    # SIGTERM unwinds like Ctrl-C, so that the temporary output goes.
    raise SystemExit(128 + signum)


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    return pupil_main(args)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, _terminate)
    sys.exit(main())
