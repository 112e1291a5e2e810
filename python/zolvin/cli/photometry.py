"""The photometry job: ``python -m zolvin photometry IMAGE.fits CATALOG -o OUT``
sums an image over a disc around every source of a catalog.

The catalog (CSV with a header line, or a FITS table) gives each source as
x, y (0-based pixel: pixel (row, col) is centred at x = col, y = row) or as
ra, dec (degrees, in the frame of the image's WCS); column names are matched
without regard to case. ``--radius`` is in pixels, or in arcseconds with the
suffix ``arcsec`` (``1.2arcsec``). A radius in pixels draws the disc on the
image's pixel grid (sky positions are turned into pixels by the WCS); a
radius in arcseconds draws it on the plane tangent to the sky at the WCS's
reference point, exact on every pixel's own parallelogram (the WCS is
evaluated over the pixels around the sources only).

The output (CSV or FITS table, by suffix) holds the catalog's columns and
rows as they were, plus ``sum``, ``sum_error`` (NaN without ``--error``) and
``area`` (pixels, or square arcseconds for an arcsec radius): see
``zolvin.aperture_sums``. NaN pixels are left out of every sum.

Nothing is lost: a mistake (an unreadable image or catalog, missing or
non-numeric columns, a bad radius, an output that exists without --force)
is one line on stderr and exit status 2, before anything is written; the
output is written under a temporary name beside it and renamed into place.
"""
from __future__ import annotations

import argparse
import re
from pathlib import Path
from typing import Any

import numpy as np

from .files import UserError, check_target, replacing

CATALOG_FORMATS = (".csv", ".fits", ".fit", ".fts")
ADDED = ("sum", "sum_error", "area")
_RADIUS = re.compile(r"\s*([0-9.eE+-]+)\s*(arcsec|px|pix|pixels?)?\s*")


def add_parser(sub: Any) -> None:
    """The photometry job's arguments, as a subcommand of the command line."""
    pp = sub.add_parser("photometry", help="sum an image over a disc around every source",
                        description="Exact sums of a FITS image over a disc around every "
                                    "source of a catalog (CSV or FITS table with x, y or "
                                    "ra, dec columns).")
    pp.add_argument("image", help="the image: a FITS file (the first HDU with 2-d data)")
    pp.add_argument("catalog", help="the sources: .csv (header line) or a FITS table")
    pp.add_argument("--radius", required=True,
                    help="disc radius in pixels, or in arcseconds with the suffix arcsec "
                         "(e.g. 4 or 1.2arcsec)")
    pp.add_argument("--error", default=None,
                    help="a FITS image of each pixel's standard deviation, for sum_error")
    pp.add_argument("--threads", type=int, default=None,
                    help="threads (default: every usable core)")
    pp.add_argument("-o", "--output", required=True,
                    help="output table: .csv or .fits (the catalog plus sum, sum_error, area)")
    pp.add_argument("--force", action="store_true", help="replace an existing output file")
    pp.set_defaults(run=run)


def parse_radius(text: str) -> tuple[float, bool]:
    """--radius as (value, in arcseconds)."""
    m = _RADIUS.fullmatch(text)
    try:
        value = float(m.group(1)) if m else float("nan")
    except ValueError:
        value = float("nan")
    if not (np.isfinite(value) and value >= 0):
        raise UserError(f"--radius must be a number >= 0, in pixels or with the suffix arcsec "
                        f"(e.g. 1.2arcsec), not {text!r}")
    return value, bool(m and m.group(2) == "arcsec")


def _read_image(path: str, what: str) -> tuple[np.ndarray, Any]:
    """The first 2-d image of a FITS file and its header."""
    from astropy.io import fits  # type: ignore[import-untyped]
    try:
        with fits.open(path, memmap=False) as hdus:
            for hdu in hdus:
                if hdu.is_image and hdu.data is not None and hdu.data.ndim == 2:
                    return np.array(hdu.data, dtype=np.float64), hdu.header.copy()
    except (OSError, ValueError, TypeError) as e:
        raise UserError(f"{what} {path} cannot be read as FITS: {e}") from None
    raise UserError(f"{what} {path} holds no 2-d image")


def _read_catalog(path: str) -> Any:
    from astropy.table import Table  # type: ignore[import-untyped]
    suffix = Path(path).suffix.lower()
    if suffix not in CATALOG_FORMATS:
        raise UserError(f"catalog must end in one of {', '.join(CATALOG_FORMATS)}: {path}")
    try:
        if suffix == ".csv":
            return Table.read(path, format="ascii.csv")
        return Table.read(path, format="fits")
    except Exception as e:  # astropy raises many kinds for a bad file
        raise UserError(f"catalog {path} cannot be read: {str(e).splitlines()[0]}") from None


def _column(table: Any, names: dict[str, str], key: str) -> np.ndarray:
    col = table[names[key]]
    try:
        values = np.asarray(col, dtype=np.float64)
    except (TypeError, ValueError):
        raise UserError(f"catalog column {names[key]} must hold numbers") from None
    if np.ma.is_masked(col) or not np.isfinite(values).all():
        raise UserError(f"catalog column {names[key]} has empty or non-finite values")
    return values


def _positions(table: Any) -> tuple[str, np.ndarray, np.ndarray]:
    """("pixel", x, y) or ("sky", ra, dec) from the catalog's columns."""
    names = {n.lower(): n for n in table.colnames}
    for kind, (a, b) in (("pixel", ("x", "y")), ("sky", ("ra", "dec"))):
        if a in names and b in names:
            return kind, _column(table, names, a), _column(table, names, b)
    raise UserError(f"catalog needs columns x, y or ra, dec; it has {', '.join(table.colnames)}")


def _wcs(header: Any, path: str) -> Any:
    from astropy.wcs import WCS  # type: ignore[import-untyped]
    try:
        w = WCS(header, naxis=2)
    except Exception as e:
        raise UserError(f"image {path} has no usable WCS: {str(e).splitlines()[0]}") from None
    if not w.has_celestial:
        raise UserError(f"image {path} has no celestial WCS: ra, dec and arcsec need one")
    return w.celestial


def measure(data: np.ndarray, header: Any, kind: str, a: np.ndarray, b: np.ndarray,
            radius: float, arcsec: bool, error: np.ndarray | None, image: str,
            threads: int | None) -> Any:
    """The sums: on the pixel grid, or on the sky's tangent plane."""
    from ..coverage.photometry import aperture_sums
    from ..pixels.grid import Grid
    from ..shapes.catalogs import Discs
    if not arcsec:
        if kind == "sky":
            a, b = _wcs(header, image).world_to_pixel_values(a, b)
            if not (np.isfinite(a).all() and np.isfinite(b).all()):
                raise UserError("catalog has sources the image's WCS cannot place")
        return aperture_sums(data, Grid(data.shape), Discs(np.column_stack([a, b]), radius),
                             error=error, n_threads=threads)
    from ..coverage.sky import sky_aperture_sums
    from ..shapes.sky import SkyDiscs
    w = _wcs(header, image)
    if kind == "pixel":
        a, b = w.pixel_to_world_values(a, b)
    try:
        return sky_aperture_sums(data, w, SkyDiscs(np.column_stack([a, b]), radius),
                                 error=error, n_threads=threads)
    except ValueError as e:
        raise UserError(str(e)) from None


def _write(table: Any, out: Path, force: bool) -> None:
    with replacing(out, force) as tmp:
        if out.suffix.lower() == ".csv":
            table.write(tmp, format="ascii.csv")
        else:
            table.write(tmp, format="fits")


def run(args: argparse.Namespace) -> int:
    """Reads, checks, measures and writes; UserError for mistakes."""
    out = Path(args.output)
    if out.suffix.lower() not in CATALOG_FORMATS:
        raise UserError(f"output must end in one of {', '.join(CATALOG_FORMATS)}: {out}")
    radius, arcsec = parse_radius(args.radius)
    if args.threads is not None and args.threads < 1:
        raise UserError(f"--threads must be at least 1, not {args.threads}")
    check_target(out, args.force)
    data, header = _read_image(args.image, "image")
    error = None
    if args.error is not None:
        error, _ = _read_image(args.error, "error image")
        if error.shape != data.shape:
            raise UserError(f"error image has shape {error.shape}, the image {data.shape}")
    table = _read_catalog(args.catalog)
    clash = [n for n in table.colnames if n.lower() in ADDED]
    if clash:
        raise UserError(f"catalog already has column(s) {', '.join(clash)}")
    kind, a, b = _positions(table)
    sums = measure(data, header, kind, a, b, radius, arcsec, error, args.image, args.threads)
    table["sum"] = sums.sum
    table["sum_error"] = sums.sum_error if sums.sum_error is not None else np.nan
    table["area"] = sums.area
    _write(table, out, args.force)
    return 0
