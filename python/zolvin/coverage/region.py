"""Exact coverage of pixels by plane regions: the one exact entry, and
polygons through it."""
from __future__ import annotations

import math
from typing import Any, Literal

import numpy as np

import zolvin._native

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.limits import PIXELS_REGION_THRESHOLD, REACH, THREAD_THRESHOLD
from ..pixels.grid import Grid
from ..pixels.pixels import Pixels
from ..shapes.region import Region
from ..shapes.rings import accumulable, polygon_edges, polygon_rings


def _check_grid(grid: Grid) -> None:
    area = grid.pixel_area
    if not (math.isfinite(area) and area != 0.0 and all(map(math.isfinite, grid.origin))):
        raise ValueError(f"pixels: the grid needs a finite origin and a finite, invertible "
                         f"Jacobian, not origin={grid.origin}, jac={grid.jac}")


def _check_pixels(pix: Pixels) -> None:
    with np.errstate(all="ignore"):
        det = pix.dxdu * pix.dydv - pix.dxdv * pix.dydu
    ok = np.isfinite(det) & (det != 0) & np.isfinite(pix.x) & np.isfinite(pix.y)
    if not np.all(ok):
        raise ValueError("pixels: every pixel needs a finite centre and a finite, invertible "
                         "Jacobian")


# The reach as messages give it ("1e150").
REACH_TEXT = f"{REACH:.0e}".replace("e+", "e")


class BeyondReach(ValueError):
    """A boundary piece beyond REACH pixels from the grid: ``kind`` "segment"
    or "arc", ``index`` its row in the region's array of them."""

    def __init__(self, kind: str, index: int, piece: FloatArray, grid: Grid) -> None:
        if kind == "segment":
            what = f"segment {index} ({_xy(piece[:2])} -> {_xy(piece[2:4])})"
        else:
            what = f"arc {index} (centre {_xy(piece[:2])})"
        super().__init__(f"region: {what} reaches beyond {REACH_TEXT} pixels from the grid")
        self.kind, self.index = kind, index
        self.grid = grid  # the frame in which it is too far: a one-pixel grid for Pixels


def _xy(point: FloatArray) -> str:
    x, y = point.tolist()
    return f"({x!r}, {y!r})"


def beyond_reach(grid: Grid, segments: FloatArray, arcs: FloatArray) -> tuple[str, int] | None:
    """The first piece the region kernel refuses as beyond REACH pixels from
    the grid's pixel (0, 0), by the kernel's own arithmetic: ("segment", i),
    ("arc", i), or None."""
    (a, b), (c, d) = grid.jac
    x0, y0 = grid.origin
    det = a * d - b * c
    ia, ib, ic, id_ = d / det, -b / det, -c / det, a / det

    def far(*values: FloatArray) -> np.ndarray:
        with np.errstate(all="ignore"):
            hits: np.ndarray = np.logical_or.reduce([~(np.abs(v) <= REACH) for v in values])
        return hits

    with np.errstate(all="ignore"):
        dx0, dy0 = segments[:, 0] - x0, segments[:, 1] - y0
        dx1, dy1 = segments[:, 2] - x0, segments[:, 3] - y0
        seg_far = far(ia * dx0 + ib * dy0 + 0.5, ic * dx0 + id_ * dy0 + 0.5,
                      ia * dx1 + ib * dy1 + 0.5, ic * dx1 + id_ * dy1 + 0.5) \
            if len(segments) else np.zeros(0, bool)
        dx, dy = arcs[:, 0] - x0, arcs[:, 1] - y0
        m1u, m1v = ia * arcs[:, 2] + ib * arcs[:, 4], ic * arcs[:, 2] + id_ * arcs[:, 4]
        m2u, m2v = ia * arcs[:, 3] + ib * arcs[:, 5], ic * arcs[:, 3] + id_ * arcs[:, 5]
        arc_far = far(ia * dx + ib * dy + 0.5, ic * dx + id_ * dy + 0.5, m1u, m2u, m1v, m2v,
                      m1u * m2v - m2u * m1v) if len(arcs) else np.zeros(0, bool)
    for kind, hits in (("segment", seg_far), ("arc", arc_far)):
        if hits.any():
            return kind, int(hits.argmax())
    return None


def _grid_coverage(grid: Grid, region: Region, res: FloatArray, nt: int) -> None:
    """The kernel over a Grid; BeyondReach names the piece it refuses as too far."""
    try:
        zolvin._native.region_grid(*grid._native_args(), *region._native_args(),
                                   region.simple, res, nt)
    except ValueError:
        found = beyond_reach(grid, region.segments, region.arcs)
        if found is None:
            raise
        raise _beyond(found, region, grid) from None


def _beyond(found: tuple[str, int], region: Region, grid: Grid) -> BeyondReach:
    kind, index = found
    rows = region.segments if kind == "segment" else region.arcs
    return BeyondReach(kind, index, rows[index], grid)


def _pixel_frame(pixels: Pixels, k: int) -> Grid:
    """Pixel k (flat index) as a one-pixel grid: the frame it is swept in."""
    p = [a.reshape(-1)[k] for a in (pixels.x, pixels.y, pixels.dxdu, pixels.dxdv, pixels.dydu,
                                    pixels.dydv)]
    return Grid((1, 1), origin=(p[0], p[1]), jac=((p[2], p[3]), (p[4], p[5])))


def _pixels_beyond_reach(pixels: Pixels, region: Region) -> BeyondReach | None:
    """The first piece beyond reach of some pixel's own frame. Only called
    once the kernel has refused: the likeliest pixels (the smallest
    Jacobian, the furthest centres) are tried first, then every pixel."""
    with np.errstate(all="ignore"):
        det = np.abs(pixels.dxdu * pixels.dydv - pixels.dxdv * pixels.dydu).reshape(-1)
    likely = [int(np.argmin(det)), int(np.argmax(np.abs(pixels.x))),
              int(np.argmax(np.abs(pixels.y)))]
    for k in [*likely, *range(pixels.size)]:
        frame = _pixel_frame(pixels, k)
        found = beyond_reach(frame, region.segments, region.arcs)
        if found is not None:
            return _beyond(found, region, frame)
    return None


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
    On a Grid, a region marked simple (``Region.simple``: its winding is 0
    or 1 everywhere) is accumulated: by Green's theorem each boundary piece,
    cut at the grid lines it crosses, adds to the cells it passes, and one
    pass along each row adds up the rest. Any other region has every row of
    pixels swept as a strip in the grid's cell frame; inside a strip the
    region between two consecutive boundary pieces has known memberships and
    an area in closed form.

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

    On a Grid an accumulated region costs the pixels plus the grid lines its
    boundary crosses (the cells of each row from the region's first column,
    or from the start of the block of 4096 columns holding the window's
    first); a swept one costs, per row, its slabs (between piece ends,
    crossings and column lines) times the pieces over each: the pixels plus
    the boundary's length when the boundary crosses a row a few times,
    quadratic in the pieces over one place when they crowd it. Pixels are
    swept one by one, each in its own frame (the whole boundary transformed
    for the pixel: about 40 ns per piece), but only those whose box meets
    the region's box, found through an index of the boxes of tiles of 8 x 8
    pixels in their row-major order (built on first use, 10 to 20 ns per
    pixel, kept with the Pixels: do not change the arrays a Pixels was made
    from); every other pixel is exactly 0.0 or 1.0 without being visited.
    Pixels whose neighbours in that order lie far apart in the plane
    (scattered Pixels) make large tile boxes and, at worst, every pixel a
    candidate: pixels x pieces.

    Coordinates in the grid's frame square without overflow up to 1e150
    pixels: a Grid whose region has a piece (a segment's end, an arc's
    centre or axes) further than that from its pixel (0, 0), or Pixels with
    such a piece for one of the pixels it is swept for, is a ValueError
    naming the piece, refused before anything is written.
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
        _grid_coverage(pixels, region, res, nt)
        return res
    if not isinstance(pixels, Pixels):
        raise TypeError(f"pixels must be a zolvin.Pixels or a zolvin.Grid, "
                        f"not {type(pixels).__name__}")
    from .many import pixel_index
    index = pixel_index(pixels, n_threads)  # refuses pixels without a finite frame
    target: FloatArray | None = None
    if out is not None:
        target = V.out_array(out, pixels.shape, V.F64)
        V.check_overlap(target, V.address(target), pixels._spans + region._spans(),
                        same_ok=False)
    nt = V.threads(n_threads, pixels.size, PIXELS_REGION_THRESHOLD)
    args = region._native_args()
    # Into a buffer of its own: a pixel whose frame the region reaches beyond
    # comes back NaN, and then out stays as it was.
    tmp = np.empty(pixels.shape)
    try:
        far = _far_value(args)
    except ValueError:
        far = math.nan
    if not math.isnan(far):
        zolvin._native.pixels_region(pixels.x.ravel(), pixels.y.ravel(), pixels.dxdu.ravel(),
                                     pixels.dxdv.ravel(), pixels.dydu.ravel(),
                                     pixels.dydv.ravel(), index, *args, False, far,
                                     tmp.reshape(-1), nt)
    if math.isnan(far) or np.isnan(tmp).any():
        found = _pixels_beyond_reach(pixels, region)
        if found is not None:
            raise found
        if math.isnan(far):
            raise ValueError("region: no value far from its pieces")
    if target is None:
        return tmp
    target[...] = tmp
    return target


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
    # Simple rings cross nowhere: only the others need the crossing check.
    simple = accumulable(parts, segs)
    if fill == "positive" and len(segs) and not simple:
        i, j = zolvin._native.find_crossing(segs, group)
        if i >= 0:
            raise ValueError(
                f"{name}: edges cross ({segs[i, :2].tolist()} -> {segs[i, 2:].tolist()} and "
                f"{segs[j, :2].tolist()} -> {segs[j, 2:].tolist()}): a ring crosses itself or "
                f"a hole crosses another ring; pass fill='evenodd' to fill it by parity")
    return Region(segs, np.zeros(len(segs), np.int32), np.zeros((0, 8)), np.zeros(0, np.int32),
                  (fill,), simple=simple)


def polygon_coverage(pixels: Pixels | Grid, polygon: Any, *,
                     fill: Literal["positive", "evenodd"] = "positive",
                     out: FloatArray | None = None, n_threads: int | None = None) -> FloatArray:
    """Fraction of every pixel's area inside a polygon.

    Parameters
    ----------
    pixels : Grid or Pixels
        The pixels: a Grid (any invertible Jacobian, any window) or Pixels.
    polygon : array_like or sequence or geometry
        An (n, 2) array of (x, y) vertices (one ring, closed implicitly; an
        (n, 3) array's z is dropped), a sequence of rings (the exterior first,
        then holes), or any object with ``__geo_interface__`` of type Polygon
        or MultiPolygon.
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
    covers nothing; so does an empty polygon (``[]``, an empty geometry). A
    vertex further than 1e150 pixels from a Grid's pixel (0, 0) is a
    ValueError naming it. Polygons of up to 64 rings that are simple
    together (no vertex twice, no two edges meeting but consecutive ones at
    their vertex: no two rings touch) and nest as exteriors and holes are
    accumulated on a Grid, under either fill; any others (more rings, rings
    that cross or touch, parts that overlap or share edges) are swept. See
    ``region_coverage`` for the methods and their cost.
    """
    region = polygon_region(polygon, fill)
    return polygon_region_coverage(pixels, region, out=out, n_threads=n_threads)


def polygon_region_coverage(pixels: Pixels | Grid, region: Region, *, out: Any = None,
                            n_threads: int | None = None) -> FloatArray:
    """region_coverage of a polygon's region; a vertex beyond the grid's
    reach is refused naming the vertex (the polygon's, not the region's)."""
    try:
        return region_coverage(pixels, region, out=out, n_threads=n_threads)
    except BeyondReach as e:
        x0, y0, x1, y1 = region.segments[e.index].tolist()
        first = beyond_reach(e.grid, np.array([[x0, y0, x0, y0]]), np.zeros((0, 8)))
        x, y = (x0, y0) if first is not None else (x1, y1)
        raise ValueError(f"polygon: vertex ({x!r}, {y!r}) lies beyond {REACH_TEXT} pixels from "
                         f"the grid") from None
