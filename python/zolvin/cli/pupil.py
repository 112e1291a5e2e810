"""The pupil job: ``python -m zolvin pupil --size N -o FILE`` renders a pupil.

The pupil has radius 1 on a size x size grid of pixels with one Jacobian
[[p, shear*p], [0, p]], its centre on the grid's middle and the pitch p
chosen so that the whole aperture fits, shear included. The output's format
follows its suffix (formats.py); large grids and every .zarr go through dask
chunk by chunk (resources.py says when).

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
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from .. import pupils
from ..coverage.apertures import aperture_coverage
from ..coverage.pupil import METHODS, analytic_area, pupil, strut_angles
from ..coverage.rules.geometry import MAX_STRUTS
from ..coverage.rules.mesh import CHORD_ERROR, MIN_CHORD_ERROR, check_mesh_windows
from ..pixels.grid import Grid
from .files import UserError, check_target, replacing
from .formats import FORMATS, save, store
from .resources import check_resources, through_dask

# Largest --size, as zolvin.pupils.spanning_grid takes it: 2**52 pixels, a
# count that float64 (the sum of the fractions) holds exactly.
MAX_SIZE = 1 << 26
# The pupil of radius 1 and its defaults: with --telescope, none of these
# options applies (a named pupil is drawn exactly, as it is).
PUPIL_DEFAULTS = {"obscuration": 0.3, "struts": 4, "strut_width": 0.02, "method": "exact"}
# Open areas up to this are the rounding of the analytic area's terms.
NO_AREA = 64 * np.finfo(np.float64).eps * math.pi


def add_parser(sub: Any) -> None:
    """The pupil job's arguments, as a subcommand of the command line."""
    pp = sub.add_parser("pupil", help="render a telescope pupil",
                        description="Open fraction of every pixel of a pupil of radius 1: "
                                    "an aperture minus a central obscuration minus radial "
                                    "struts.")
    pp.add_argument("--telescope", choices=sorted(pupils.PRESETS), default=None,
                    help="a named telescope pupil in metres (zolvin.pupils), drawn exactly, "
                         "instead of the pupil of radius 1 (whose options --obscuration, "
                         "--struts, --strut-width, --method and --chord-error it refuses)")
    pp.add_argument("--list", action="store_true", help="list the named pupils and exit")
    pp.add_argument("--size", type=int, default=1024, help="pixels per side (default 1024)")
    pp.add_argument("--shear", type=float, default=0.0,
                    help="shear of the pixel grid, dx/dv over dy/dv (default 0)")
    pp.add_argument("--obscuration", type=float, default=None,
                    help="radius of the central obscuration, as a fraction of the "
                         "aperture's (default 0.3)")
    pp.add_argument("--struts", type=int, default=None,
                    help="number of struts, evenly spaced from 45 degrees (default 4)")
    pp.add_argument("--strut-width", type=float, default=None,
                    help="width of each strut (default 0.02)")
    pp.add_argument("--method", choices=METHODS, default=None,
                    help="exact areas of the composed shape, coverage rules composed, or "
                         "exact areas of a mesh (default exact)")
    pp.add_argument("--chord-error", type=float, default=None,
                    help=f"mesh only: largest distance of a chord from its arc, in pixel "
                         f"scales (default {CHORD_ERROR:g})")
    pp.add_argument("--chunk", type=int, default=2048,
                    help="side of the chunks computed at once on large grids (default 2048)")
    pp.add_argument("--threads", type=int, default=None,
                    help="threads (default: every usable core)")
    pp.add_argument("-o", "--output", default="out/pupil.png",
                    help="output file: .png, .npy or .zarr (default out/pupil.png)")
    pp.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    pp.add_argument("--force", action="store_true",
                    help="replace an existing output file, or an existing zarr store")
    pp.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Lists the named pupils, or renders one pupil; UserError for mistakes."""
    if args.list:
        return _list()
    out = Path(args.output)
    _check_arguments(args, out)
    if args.telescope is not None:
        return _telescope_job(args, out)
    for name, value in PUPIL_DEFAULTS.items():
        if getattr(args, name) is None:
            setattr(args, name, value)
    return _pupil_job(args, out)


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


def _write(args: argparse.Namespace, grid: Grid, out: Path, in_memory: Callable[[], np.ndarray],
           chunked: Callable[[Any], Any]) -> tuple[float, str]:
    """Writes the pupil to out through a temporary name beside it; returns
    the sum of the fractions and how it was computed. chunked(forms) makes
    the dask array from the module of chunked forms, imported only then."""
    with replacing(out, args.force) as tmp:
        if through_dask(grid, out):
            from ..coverage import chunked as forms
            total = store(chunked(forms), tmp, threads=args.threads, quiet=args.quiet)
            return total, f"dask, chunks of {args.chunk}"
        img = in_memory()
        save(img, tmp)
        return float(img.sum()), "in memory"


def _checked_grid(args: argparse.Namespace, make: Callable[[], Grid]) -> Grid:
    """The job's grid, refused (naming --shear) where its pitch, origin or
    Jacobian leave the range of float64."""
    try:
        grid = make()
    except ValueError:
        grid = None
    if grid is not None:
        (a, b), (c, d) = grid.jac
        area = grid.pixel_area
        if all(map(math.isfinite, (*grid.origin, a, b, c, d, area))) and area > 0:
            return grid
    raise UserError(f"--shear {args.shear:g} is too large for --size {args.size}: the grid's "
                    f"pixels leave the range of float64")


def _check_coverage(call: Callable[[Grid], Any], grid: Grid) -> None:
    """Runs the in-memory coverage on a window of no pixels, which refuses
    whatever the whole grid would: a UserError before anything is written."""
    try:
        call(grid.window((0, 0), (0, 0)))
    except (TypeError, ValueError) as e:
        raise UserError(str(e)) from None


def _telescope_job(args: argparse.Namespace, out: Path) -> int:
    """Renders the named pupil; the user's errors were refused before."""
    shape = pupils.named(args.telescope)
    grid = _checked_grid(args, lambda: telescope_grid(shape, args.size, args.shear))
    _check_coverage(lambda g: aperture_coverage(g, shape, n_threads=args.threads), grid)
    check_resources(args, grid, out)
    t0 = time.perf_counter()
    total, how = _write(args, grid, out,
                        lambda: aperture_coverage(grid, shape, n_threads=args.threads),
                        lambda forms: forms.aperture_coverage(grid, shape, chunks=args.chunk,
                                                              n_threads=1))
    seconds = time.perf_counter() - t0
    print(f"grid       {args.size} x {args.size} pixels, shear {args.shear:g}, "
          f"{args.telescope} ({how})")
    print(f"open area  {total * grid.pixel_area:.6f} m^2  (sum of fractions x pixel area)")
    print(f"time       {seconds:.2f} s")
    print(f"output     {out}")
    return 0


def _check_arguments(args: argparse.Namespace, out: Path) -> None:
    _check_applies(args)
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
    if args.chord_error is not None and not args.chord_error >= MIN_CHORD_ERROR:
        raise UserError(f"--chord-error must be at least {MIN_CHORD_ERROR:g} pixel "
                        f"scales, not {args.chord_error:g}")
    check_target(out, args.force)


def _check_applies(args: argparse.Namespace) -> None:
    """Refuses options that the job would ignore."""
    if args.telescope is not None:
        given = [name for name in PUPIL_DEFAULTS if getattr(args, name) is not None]
        if args.chord_error is not None:
            given.append("chord_error")
        if given:
            options = ", ".join("--" + name.replace("_", "-") for name in given)
            verb = "does" if len(given) == 1 else "do"
            raise UserError(f"{options} {verb} not apply to --telescope {args.telescope}, which "
                            f"is drawn exactly as it is")
    elif args.chord_error is not None and args.method != "mesh":
        raise UserError("--chord-error applies to --method mesh only")


def _pupil_kwargs(args: argparse.Namespace, grid: Grid) -> dict[str, Any]:
    """The pupil's keywords, checked as zolvin.pupil checks them; the open
    area must not be empty."""
    kwargs: dict[str, Any] = {"obscuration": args.obscuration,
                              "struts": strut_angles(args.struts),
                              "strut_width": args.strut_width, "method": args.method}
    if args.chord_error is not None:
        kwargs["chord_error"] = args.chord_error * grid.pixel_scale
    try:
        pupil(grid.window((0, 0), (0, 0)), 1.0, **kwargs)  # checks the arguments
        exact = analytic_area(1.0, obscuration=args.obscuration, struts=kwargs["struts"],
                              strut_width=args.strut_width)
    except (TypeError, ValueError) as e:
        raise UserError(str(e)) from None
    # Struts or an obscuration that cover the aperture leave an area of
    # rounding (its terms cancel to a few ulps of pi): no open area either.
    if not exact > NO_AREA:
        if args.obscuration > 1 - 1e-6:
            raise UserError(f"--obscuration {args.obscuration!r} leaves no open area")
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
        check_mesh_windows([grid], 1.0, **pupil_kwargs)
        return
    except ValueError as e:
        if not through_dask(grid, out):
            raise UserError(str(e)) from None
    # The chunks' bands hold parts of the whole grid's bands: only when those
    # are too full need the chunks be counted one by one.
    side = min(args.chunk, args.size)
    starts = range(0, args.size, side)
    try:
        check_mesh_windows((grid[r:r + side, c:c + side] for r in starts for c in starts),
                           1.0, **pupil_kwargs)
    except ValueError as e:
        raise UserError(str(e)) from None


def _pupil_job(args: argparse.Namespace, out: Path) -> int:
    grid = _checked_grid(args, lambda: Grid.spanning(1.0, args.size, shear=args.shear))
    kwargs = _pupil_kwargs(args, grid)
    check_resources(args, grid, out)
    _check_mesh_cost(args, grid, out, kwargs)
    t0 = time.perf_counter()
    total, how = _write(args, grid, out,
                        lambda: pupil(grid, 1.0, n_threads=args.threads, **kwargs),
                        lambda forms: forms.pupil(grid, 1.0, chunks=args.chunk, n_threads=1,
                                                  **kwargs))
    seconds = time.perf_counter() - t0
    measured = total * grid.pixel_area
    exact = analytic_area(1.0, obscuration=kwargs["obscuration"], struts=kwargs["struts"],
                          strut_width=kwargs["strut_width"])
    print(f"grid       {args.size} x {args.size} pixels, shear {args.shear:g}, "
          f"method {args.method} ({how})")
    print(f"open area  {measured:.10f}  (sum of fractions x pixel area)")
    print(f"analytic   {exact:.10f}  (relative difference {(measured - exact) / exact:+.2e})")
    print(f"time       {seconds:.2f} s")
    print(f"output     {out}")
    return 0
