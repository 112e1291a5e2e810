"""Exact coverage of pixels by plane regions: the one exact entry, and
polygons through it."""
from __future__ import annotations

import math
from typing import Any, Literal

import numpy as np

import zolvin._native

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.limits import PIXELS_REGION_THRESHOLD, THREAD_THRESHOLD
from ..pixels.grid import Grid
from ..pixels.pixels import Pixels
from ..shapes.region import Region
from ..shapes.rings import polygon_edges, polygon_rings


def _check_grid(grid: Grid) -> None:
    area = grid.pixel_area
    if not (math.isfinite(area) and area != 0.0 and all(map(math.isfinite, grid.origin))):
        raise ValueError(f"pixels: the grid needs a finite origin and a finite, invertible "
                         f"Jacobian, not origin={grid.origin}, jac={grid.jac}")


def region_coverage(pixels: Pixels | Grid, region: Region, *, out: FloatArray | None = None,
                    n_threads: int | None = None) -> FloatArray:
    """Fraction of every pixel inside a region.

    Parameters
    ----------
    pixels : Grid or Pixels
        The pixels: a Grid (any invertible Jacobian, any window) or Pixels (a
        parallelogram each).
    region : Region
        The region.
    out : ndarray, optional
        float64 array of the pixels' shape, written whole.
    n_threads : int, optional
        Threads; None: all usable cores for large grids, one for small ones.

    Returns
    -------
    ndarray
        float64 of the pixels' shape: area of (pixel & region) / pixel area.

    Notes
    -----
    Every row of pixels is swept as a strip in the grid's cell frame; inside a
    strip the region between two consecutive boundary pieces has known
    memberships and an area in closed form.

    - Bit-exact: pixels that no boundary piece changes are exactly 0.0 or 1.0
      (also where pieces of different shapes coincide, as in a tiling); every
      result lies in [0, 1]; the bits are the same for every ``n_threads``,
      every window of a Grid and every dask chunking.
    - Exact to rounding: segments (trapezoids), arcs (the chord's trapezoid
      plus the closed-form elliptic segment), their crossings with segments
      (a quadratic in cos t, sin t) and with other ellipses (closed form for
      two circles; otherwise the real roots of a quartic, isolated between
      the roots of its derivatives, touching points included), however close
      together. The error is a few ulps of the pixel coordinates per piece
      end in the pixel: about 1e-13 of a pixel for grids of a few thousand
      pixels.
    - A Grid and its ``grid.pixels()`` agree to rounding, not bit for bit
      (a Grid is swept in its own frame, Pixels each in the pixel's own):
      within 6e-16 times the grid's larger side in pixels.

    A Grid costs the pixels plus the boundary's length in pixels. Pixels are
    swept one by one, each in its own frame (the whole boundary transformed
    for the pixel: about 40 ns per piece), but only those whose box meets
    the region's box, found through an index of the boxes of tiles of 8 x 8
    pixels in their row-major order (built on first use, 10 to 20 ns per
    pixel, kept with the Pixels: do not change the arrays a Pixels was made
    from); every other pixel is exactly 0.0 or 1.0 without being visited.
    Pixels whose neighbours in that order lie far apart in the plane
    (scattered Pixels) make large tile boxes and, at worst, every pixel a
    candidate: pixels x pieces.
    """
    if not isinstance(region, Region):
        raise TypeError(f"region must be a zolvin.Region, not {type(region).__name__}")
    if isinstance(pixels, Grid):
        _check_grid(pixels)
        if out is None:
            res = np.empty(pixels.shape)
        else:
            res = V.out_array(out, pixels.shape, V.F64)
            V.check_overlap(res, V.address(res), region._spans(), same_ok=False)
        nt = V.threads(n_threads, pixels.size, THREAD_THRESHOLD)
        zolvin._native.region_grid(*pixels._native_args(), *region._native_args(), res, nt)
        return res
    if not isinstance(pixels, Pixels):
        raise TypeError(f"pixels must be a zolvin.Pixels or a zolvin.Grid, "
                        f"not {type(pixels).__name__}")
    from .many import pixel_index
    index = pixel_index(pixels, n_threads)  # refuses pixels without a finite frame
    if out is None:
        res = np.empty(pixels.shape)
    else:
        res = V.out_array(out, pixels.shape, V.F64)
        V.check_overlap(res, V.address(res), pixels._spans + region._spans(), same_ok=False)
    nt = V.threads(n_threads, pixels.size, PIXELS_REGION_THRESHOLD)
    args = region._native_args()
    zolvin._native.pixels_region(pixels.x.ravel(), pixels.y.ravel(), pixels.dxdu.ravel(),
                                 pixels.dxdv.ravel(), pixels.dydu.ravel(), pixels.dydv.ravel(),
                                 index, *args, False, _far_value(args), res.reshape(-1), nt)
    return res


def _far_value(args: tuple[Any, Any, Any, Any, Any, Any]) -> float:
    """The coverage, 0.0 or 1.0, of pixels beyond the region's box: that of
    one unit pixel placed past every piece."""
    segs, _, arcs, _, _, _ = args
    s = segs.reshape(-1, 4)
    a = arcs.reshape(-1, 8)
    size = np.hypot(a[:, 2], a[:, 3]) + np.hypot(a[:, 4], a[:, 5])
    reach = np.concatenate([np.abs(s).ravel(), np.abs(a[:, 0]) + size, np.abs(a[:, 1]) + size,
                            [0.0]])
    far = 2.0 * float(reach.max()) + 4.0
    at, zero, one = np.array([far]), np.zeros(1), np.ones(1)
    out = np.empty(1)
    zolvin._native.region_pixels(at, at, at, at, one, zero, zero, one, *args, out, 1)
    return float(out[0])


def polygon_region(polygon: Any, fill: str = "positive", name: str = "polygon") -> Region:
    """The Region of a polygon as ``polygon_coverage`` fills it."""
    if fill not in ("positive", "evenodd"):
        raise ValueError(f"fill must be 'positive' or 'evenodd', not {fill!r}")
    parts = polygon_rings(polygon, name)
    segs, group = polygon_edges(parts)
    if fill == "positive" and len(segs):
        i, j = zolvin._native.find_crossing(segs, group)
        if i >= 0:
            raise ValueError(
                f"{name}: edges cross ({segs[i, :2].tolist()} -> {segs[i, 2:].tolist()} and "
                f"{segs[j, :2].tolist()} -> {segs[j, 2:].tolist()}): a ring crosses itself or "
                f"a hole crosses another ring; pass fill='evenodd' to fill it by parity")
    return Region(segs, np.zeros(len(segs), np.int32), np.zeros((0, 8)), np.zeros(0, np.int32),
                  (fill,))


def polygon_coverage(pixels: Pixels | Grid, polygon: Any, *,
                     fill: Literal["positive", "evenodd"] = "positive",
                     out: FloatArray | None = None, n_threads: int | None = None) -> FloatArray:
    """Fraction of every pixel's area inside a polygon.

    Parameters
    ----------
    pixels : Grid or Pixels
        The pixels: a Grid (any invertible Jacobian, any window) or Pixels.
    polygon : array_like or sequence or geometry
        An (n, 2) array of (x, y) vertices (one ring, closed implicitly), a
        sequence of rings (the exterior first, then holes), or any object with
        ``__geo_interface__`` of type Polygon or MultiPolygon.
    fill : {"positive", "evenodd"}
        "positive" (default): rings are oriented (exteriors counter-clockwise,
        holes clockwise) and a point is inside where the winding is positive:
        the union of the parts minus their holes, whatever the rings'
        orientation as given. Overlapping parts are united; a hole outside its
        exterior removes nothing. A ring that crosses itself, or a hole that
        crosses another ring of its polygon, is a ValueError. "evenodd": inside
        where a ray crosses the rings an odd number of times; any rings, no
        check.
    out, n_threads
        As ``region_coverage`` takes them.

    Returns
    -------
    ndarray
        float64 of the pixels' shape: area of (pixel & polygon) / pixel area.

    Notes
    -----
    Exact to rounding: per pixel within about 1e-13 of the true fraction for
    grids of a few thousand pixels (the rounding of the pixel coordinates of
    the edges' ends and clip points). Bit-exact: pixels no edge changes are
    exactly 0.0 or 1.0 (edges shared by two parts, or inside another part,
    change nothing), results lie in [0, 1], and the bits are the same for
    every ``n_threads``, window and dask chunking. Non-finite vertices are a
    ValueError; a polygon with fewer than 3 distinct vertices or zero area
    covers nothing. See ``region_coverage`` for the method and its cost.
    """
    region = polygon_region(polygon, fill)
    return region_coverage(pixels, region, out=out, n_threads=n_threads)
