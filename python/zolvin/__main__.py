"""Command line: ``python -m zolvin pupil --size N -o FILE`` renders a pupil.

The pupil has radius 1 on a size x size grid of pixels with one Jacobian
[[p, shear*p], [0, p]], its centre on the grid's middle and the pitch p
chosen so that the whole aperture fits, shear included. The output's format
follows its suffix: .png (8-bit grey, +y up), .npy or .zarr (float64, rows
along v). Large grids and every .zarr go through dask chunk by chunk, with a
progress bar and memory bounded by a few chunks.
"""
from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path
from typing import Any, Sequence

import numpy as np
import numpy.typing as npt

from . import _aperture, _pupil, pupils
from .grid import Grid

FORMATS = (".png", ".npy", ".zarr")
# Results larger than this many bytes are computed through dask.
IN_MEMORY = 1 << 30


def pupil_grid(size: int, shear: float = 0.0, radius: float = 1.0) -> Grid:
    """size x size pixels with the pupil's centre (0, 0) on the grid's middle."""
    p = 2.06 * radius * math.hypot(1.0, shear) / size
    c = 0.5 * (size - 1)
    return Grid((size, size), (-(p * c + shear * p * c), -(p * c)), ((p, shear * p), (0.0, p)))


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="python -m zolvin", description="Pixel coverage jobs.")
    sub = ap.add_subparsers(dest="job", required=True)
    pp = sub.add_parser("pupil", help="render a telescope pupil",
                        description="Open fraction of every pixel of a pupil of radius 1: "
                                    "an aperture minus a central obscuration minus radial "
                                    "spokes.")
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
                    help="number of spokes, evenly spaced from 45 degrees (default 4)")
    pp.add_argument("--strut-width", type=float, default=0.02,
                    help="width of each spoke (default 0.02)")
    pp.add_argument("--method", choices=_pupil.METHODS, default="coverage",
                    help="coverage rules composed, or exact areas of a mesh (default coverage)")
    pp.add_argument("--chord-error", type=float, default=None,
                    help=f"mesh only: largest distance of a chord from its arc, in pixel "
                         f"scales (default {_pupil.CHORD_ERROR:g})")
    pp.add_argument("--chunk", type=int, default=2048,
                    help="side of the chunks computed at once on large grids (default 2048)")
    pp.add_argument("--threads", type=int, default=None,
                    help="threads (default: every usable core)")
    pp.add_argument("-o", "--output", default="out/pupil.png",
                    help="output file: .png, .npy or .zarr (default out/pupil.png)")
    pp.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    return ap


def _to_png(img: np.ndarray) -> npt.NDArray[np.uint8]:
    # Rows run along +y: flip so that +y points up in the picture.
    return _to_png_block(img[::-1])


def _save_png(path: Path, grey: np.ndarray) -> None:
    from PIL import Image
    Image.fromarray(grey, mode="L").save(path, optimize=True)


def _run_dask(grid: Grid, kwargs: dict[str, Any], args: argparse.Namespace, out: Path) -> float:
    """Computes the pupil chunk by chunk into the output; returns the sum."""
    import dask
    import dask.array as da
    from dask.diagnostics import ProgressBar

    from . import dask as zdask

    if "telescope" in kwargs:
        arr = zdask.aperture_coverage(grid, kwargs["telescope"], chunks=args.chunk, n_threads=1)
    else:
        arr = zdask.pupil(grid, 1.0, chunks=args.chunk, n_threads=1, **kwargs)
    suffix = out.suffix
    if suffix == ".zarr":
        import zarr
        target = zarr.open_array(str(out), mode="w", shape=arr.shape, chunks=arr.chunksize,
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
    """size x size pixels over a named pupil, 3 % to spare, as pupil_grid."""
    square = pupils.spanning_grid(shape, size, margin=0.015 * size)
    (p, _), _ = square.jac
    p *= math.hypot(1.0, shear)
    x0, y0, x1, y1 = shape.bounds
    c = 0.5 * (size - 1)
    mx, my = 0.5 * (x0 + x1), 0.5 * (y0 + y1)
    return Grid((size, size), (mx - (p * c + shear * p * c), my - p * c),
                ((p, shear * p), (0.0, p)))


def _list() -> int:
    for name, fn in pupils.PRESETS.items():
        print(f"{name:<8} {(fn.__doc__ or '').strip().splitlines()[0]}")
    return 0


def telescope_main(args: argparse.Namespace, out: Path) -> int:
    """Renders the named pupil; the user's errors were refused before."""
    shape = pupils.named(args.telescope)
    grid = telescope_grid(shape, args.size, args.shear)
    out.parent.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    if out.suffix == ".zarr" or grid.size * 8 > IN_MEMORY:
        total = _run_dask(grid, {"telescope": shape}, args, out)
        how = f"dask, chunks of {args.chunk}"
    else:
        img = _aperture.aperture_coverage(grid, shape, n_threads=args.threads)
        if out.suffix == ".npy":
            np.save(out, img)
        else:
            _save_png(out, _to_png(img))
        total = float(img.sum())
        how = "in memory"
    seconds = time.perf_counter() - t0
    (a, b), (c, d) = grid.jac
    print(f"grid       {args.size} x {args.size} pixels, shear {args.shear:g}, "
          f"{args.telescope} ({how})")
    print(f"open area  {total * abs(a * d - b * c):.6f} m^2  (sum of fractions x pixel area)")
    print(f"time       {seconds:.2f} s")
    print(f"output     {out}")
    return 0


def pupil_main(args: argparse.Namespace) -> int:
    if args.list:
        return _list()
    out = Path(args.output)
    if out.suffix not in FORMATS:
        print(f"error: output must end in one of {', '.join(FORMATS)}: {out}", file=sys.stderr)
        return 2
    for name in ("size", "chunk", "struts", "threads"):
        value = getattr(args, name)
        if value is not None and value < (0 if name == "struts" else 1):
            print(f"error: --{name} must be at least {0 if name == 'struts' else 1}, not {value}",
                  file=sys.stderr)
            return 2
    if args.telescope is not None:
        if not math.isfinite(args.shear):
            print(f"error: --shear must be finite, not {args.shear}", file=sys.stderr)
            return 2
        return telescope_main(args, out)
    grid = pupil_grid(args.size, args.shear)
    kwargs: dict[str, Any] = dict(obscuration=args.obscuration,
                  struts=_pupil.strut_angles(args.struts),
                  strut_width=args.strut_width, method=args.method)
    if args.chord_error is not None:
        kwargs["chord_error"] = args.chord_error * grid.pixel_scale
    try:
        _pupil.pupil(grid.window((0, 0), (0, 0)), 1.0, **kwargs)  # checks the arguments
    except (TypeError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    out.parent.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    if out.suffix == ".zarr" or grid.size * 8 > IN_MEMORY:
        total = _run_dask(grid, kwargs, args, out)
        how = f"dask, chunks of {args.chunk}"
    else:
        img = _pupil.pupil(grid, 1.0, n_threads=args.threads, **kwargs)
        if out.suffix == ".npy":
            np.save(out, img)
        else:
            _save_png(out, _to_png(img))
        total = float(img.sum())
        how = "in memory"
    seconds = time.perf_counter() - t0
    (a, b), (c, d) = grid.jac
    measured = total * abs(a * d - b * c)
    exact = _pupil.analytic_area(1.0, obscuration=kwargs["obscuration"],
                                 struts=kwargs["struts"], strut_width=kwargs["strut_width"])
    print(f"grid       {args.size} x {args.size} pixels, shear {args.shear:g}, "
          f"method {args.method} ({how})")
    print(f"open area  {measured:.10f}  (sum of fractions x pixel area)")
    print(f"analytic   {exact:.10f}  (relative difference {(measured - exact) / exact:+.2e})")
    print(f"time       {seconds:.2f} s")
    print(f"output     {out}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    return pupil_main(args)


if __name__ == "__main__":
    sys.exit(main())
