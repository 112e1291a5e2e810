"""The pupil by a mesh: a lattice of triangles over the pupil (thin strips
across the rims), cut to the aperture and the obscuration by the circle
clipper and by every strut by the strut clipper, whose exact areas are spread
over the pixels of a Grid. Struts are removed exactly, overlaps included; the
only error is that of the chords that replace the rims' arcs, at most
``chord_error`` from the arc. ``zolvin.pupil(method="mesh")`` gives these
bits, for those who pinned them; ``zolvin.pupil`` itself is exact.
"""
from __future__ import annotations

import math
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from ...core import checks as V
from ...core.checks import FloatArray
from ...core.limits import THREAD_THRESHOLD
from ...pixels.grid import Grid
from ...pixels.pixels import Pixels
from .geometry import PupilGeometry
from .triangles import (
    accumulate_triangles,
    clip_triangles_to_circle,
    clip_triangles_to_strut,
)

# Default chord error of the mesh, in pixel scales.
CHORD_ERROR = 1e-5
# Mesh cells are about this many pixel scales wide, and at most 1/8 of the
# radius of a rim they cross (so that a cell edge never cuts a rim twice).
CELL_PIXELS = 8.0
# Accumulation tiles: square, odd, aligned to multiples of TILE in the grid's
# own row and column indices, so a pixel's tile is the same whatever window
# it is computed in.
TILE = 255
# Pupil rows computed at once by pupil(method="mesh"): bounds the triangle lists.
BAND = 4 * TILE
# Bounds of the mesh, which refuses what it cannot compute to its chord error
# or in bounded memory:
# - chord errors below this many pixel scales are lost in the rounding of the
#   accumulation (and cost ever thinner strips);
MIN_CHORD_ERROR = 1e-9
# - the accumulation's rounding, measured up to 3e-10 pixel areas over a small
#   pupil, must stay below the area between a rim and its chords, which is
#   about (4 pi / 3) * chord error * radius;
ROUNDING_AREA = 1e-9
# - the rims are placed to a few roundings of |center| + radius, which must
#   stay below a 1/8 of the chord error;
RIM_PLACEMENT = 2.0**-49
# - triangles of one band of rows held at once (each costs up to ~400 bytes on
#   its way through the clippers).
MAX_BAND_TRIANGLES = 1 << 21

class _Lattice:
    """The mesh's cells: squares around the pupil's centre on a lattice of the
    given step, every coordinate formed as centre + index * step whichever
    window asks for it. Cells are sub steps wide; a cell across a rim more than
    1/8 of that rim's radius wide is cut into four, again and again, and a cell
    across a rim small enough into strips across the rim, narrow enough for the
    chord error on that rim (the narrowest where it crosses both)."""

    def __init__(self, p: PupilGeometry, pixel_scale: float, chord_error: float) -> None:
        rims = [p.radius] + ([p.inner] if p.inner > 0 else [])

        def strip(r: float) -> float:
            # A chord of length c lies within c^2 / (8 r) of its arc. Across a
            # strip a rim runs at most ~50 degrees from the strip's normal (the
            # cell is at most r / 8 wide), so its chords are at most 1.6 strip
            # widths long.
            eps = min(chord_error, 0.5 * r)
            return min(2 * math.sqrt(2 * r * eps - eps * eps) / 1.6, r / 8)

        step = min(map(strip, rims))
        cell = min(CELL_PIXELS * pixel_scale, p.radius / 8)
        self.sub = 1 << max(0, round(math.log2(cell / step)))
        self.step = step
        self.cell = self.sub * step
        # Per rim: (radius, strip width in steps, a power of two).
        self.rims = [(r, 1 << math.floor(math.log2(strip(r) / step))) for r in rims]
        self.p = p
        # Cells from -reach to reach - 1 cover the aperture with a cell to spare.
        self.reach = math.ceil(p.radius / self.cell) + 1

    def triangles(self, box: tuple[float, float, float, float]
                  ) -> tuple[FloatArray, FloatArray]:
        """Triangles of every cell that meets the box (xmin, ymin, xmax, ymax) and
        the annulus, in plane coordinates: those of the cells inside the annulus,
        and those of the cells across a rim, cut into strips. Level by level
        (cells, their quarters, ...), in the order of the cells (rows of cells
        upward, cells rightward; quarters in their parent's order)."""
        inside, across = [np.empty((0, 3, 2))], [np.empty((0, 3, 2))]
        for ia, ib, w, (whole, rows, cols, _, width) in self._levels(box):
            inside.append(self._squares(ia[whole], ib[whole], w, w))
            for k in np.unique(width[rows | cols]).tolist():
                r, c = rows & (width == k), cols & (width == k)
                across += [self._strips(ia[r], ib[r], w, k, vertical=False),
                           self._strips(ia[c], ib[c], w, k, vertical=True)]
        return np.concatenate(inside), np.concatenate(across)

    def _top_cells(self, box: tuple[float, float, float, float]
                   ) -> tuple[int, int, int, int]:
        """Index ranges [lo_a, hi_a) x [lo_b, hi_b) of the cells that meet the box."""
        cx, cy = self.p.center
        xmin, ymin, xmax, ymax = box
        lo_a = max(-self.reach, math.floor((xmin - cx) / self.cell) - 1)
        hi_a = min(self.reach, math.floor((xmax - cx) / self.cell) + 2)
        lo_b = max(-self.reach, math.floor((ymin - cy) / self.cell) - 1)
        hi_b = min(self.reach, math.floor((ymax - cy) / self.cell) + 2)
        return lo_a, hi_a, lo_b, hi_b

    def _levels(self, box: tuple[float, float, float, float]) -> Iterator[tuple[
            np.ndarray, np.ndarray, int, tuple[np.ndarray, ...]]]:
        """Per level, coarsest first: the cells' lower-left lattice points, their
        width in steps and their sorting (see _sort)."""
        lo_a, hi_a, lo_b, hi_b = self._top_cells(box)
        if lo_a >= hi_a or lo_b >= hi_b:
            return
        bb, aa = np.meshgrid(np.arange(lo_b, hi_b), np.arange(lo_a, hi_a), indexing="ij")
        w = self.sub
        ia, ib = aa.ravel() * w, bb.ravel() * w  # lower-left lattice points
        while ia.size:
            sort = self._sort(ia, ib, w)
            yield ia, ib, w, sort
            split = sort[3]
            h = w // 2
            qa, qb = np.array([0, h, 0, h]), np.array([0, 0, h, h])
            ia = (ia[split][:, None] + qa).ravel()
            ib = (ib[split][:, None] + qb).ravel()
            w = h

    def count(self, box: tuple[float, float, float, float]) -> tuple[int, int]:
        """Triangles that triangles(box) makes, before any clipping: those of
        whole cells and those of strips. Counts cells, makes no triangle; a
        box of more cells than MAX_BAND_TRIANGLES counts only its top cells."""
        lo_a, hi_a, lo_b, hi_b = self._top_cells(box)
        top = 2 * max(0, hi_a - lo_a) * max(0, hi_b - lo_b)
        if top > MAX_BAND_TRIANGLES:
            return top, 0
        cells = strips = 0
        for _, _, w, (whole, rows, cols, _, width) in self._levels(box):
            cells += 2 * int(np.count_nonzero(whole))
            strips += 2 * int((w // width[rows | cols]).sum())
        return cells, strips

    def _sort(self, ia: np.ndarray, ib: np.ndarray, w: int
              ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Masks of the cells to keep whole, to cut into horizontal or vertical
        strips, and to cut into four (the others lie outside the annulus), and
        the strips' width in steps."""
        s = self.step
        # Distances for sorting cells only; a safety factor keeps rounding on
        # the side of cutting.
        x0, x1 = ia * s, (ia + w) * s
        y0, y1 = ib * s, (ib + w) * s
        near = np.hypot(np.maximum(np.maximum(x0, -x1), 0), np.maximum(np.maximum(y0, -y1), 0))
        far = np.hypot(np.maximum(abs(x0), abs(x1)), np.maximum(abs(y0), abs(y1)))
        tol = 1e-9
        keep = near < self.p.radius * (1 + tol)
        if self.p.inner > 0:
            keep &= far > self.p.inner * (1 - tol)
        across = np.zeros_like(keep)
        split = np.zeros_like(keep)
        width = np.full(ia.shape, w)
        for r, k in self.rims:
            hit = (near <= r * (1 + tol)) & (far >= r * (1 - tol))
            across |= hit
            if w > 1 and w * s > r / 8:
                split |= hit
            width[hit] = np.minimum(width[hit], k)
        strips = keep & across & ~split
        # Strips run across the rim: horizontal where the rim runs up and down.
        rows = strips & (abs(x0 + x1) >= abs(y0 + y1))
        return keep & ~across, rows, strips & ~rows, keep & split, width

    def _strips(self, ia: np.ndarray, ib: np.ndarray, w: int, k: int,
                vertical: bool) -> FloatArray:
        """Cells w steps wide cut into strips k steps wide (k divides w)."""
        j = np.arange(0, w, k)
        n = j.size
        if vertical:
            return self._squares((ia[:, None] + j).ravel(), np.repeat(ib, n), k, w)
        return self._squares(np.repeat(ia, n), (ib[:, None] + j).ravel(), w, k)

    def _squares(self, ia: np.ndarray, ib: np.ndarray, wa: int, wb: int) -> FloatArray:
        """Two triangles per rectangle with lower-left lattice point (ia, ib),
        wa by wb steps: (p00, p10, p11) and (p00, p11, p01)."""
        cx, cy = self.p.center
        s = self.step
        xa, xb = cx + ia * s, cx + (ia + wa) * s
        ya, yb = cy + ib * s, cy + (ib + wb) * s
        t = np.empty((ia.size, 2, 3, 2))
        for i, (x, y) in enumerate(((xa, ya), (xb, ya), (xb, yb))):
            t[:, 0, i, 0], t[:, 0, i, 1] = x, y
        for i, (x, y) in enumerate(((xa, ya), (xb, yb), (xa, yb))):
            t[:, 1, i, 0], t[:, 1, i, 1] = x, y
        return t.reshape(-1, 3, 2)

    def clipped(self, box: tuple[float, float, float, float], n_threads: int) -> FloatArray:
        """The open part of the cells that meet the box, as triangles: the
        cells inside the annulus, then the cells across a rim cut to it, each
        strut cut away from them all."""
        p = self.p
        inside, tris = self.triangles(box)
        # No triangle is wider than a cell's diagonal: vertices that far past
        # a rim put the whole triangle past it.
        margin = -1.01 * math.sqrt(2) * self.cell
        tris = clip_triangles_to_circle(tris, p.center, p.radius, keep_inside=True,
                                        margin=margin, n_threads=n_threads).triangles
        if p.inner > 0:
            tris = clip_triangles_to_circle(tris, p.center, p.inner, keep_inside=False,
                                            margin=margin, n_threads=n_threads).triangles
        tris = np.concatenate([inside, tris])
        length = 2 * p.radius
        for (dx, dy), _, e1, e2 in p.struts():
            mid = (0.5 * (e1[0] + e2[0]), 0.5 * (e1[1] + e2[1]))
            tris = clip_triangles_to_strut(tris, (e1, (dx, dy)), (e2, (dx, dy)), mid, length,
                                           n_threads=n_threads).triangles
        return tris


def _window_box(grid: Grid) -> tuple[float, float, float, float]:
    """(xmin, ymin, xmax, ymax): the window's plane bounding box, widened a
    little so that rounding never leaves out a cell that meets it."""
    xmin, ymin, xmax, ymax = grid.bounds()
    pad = 1e-9 * max(1.0, abs(xmin), abs(xmax), abs(ymin), abs(ymax))
    return xmin - pad, ymin - pad, xmax + pad, ymax + pad


def _to_pixels(tris: FloatArray, grid: Grid) -> FloatArray:
    """Triangles in the grid's (u, v) frame, where pixels are unit squares."""
    u, v = grid.to_uv(tris[..., 0], tris[..., 1])
    out = np.empty_like(tris)
    out[..., 0] = u
    out[..., 1] = v
    return out


def _accumulate_window(tris: FloatArray, grid: Grid, out: FloatArray, n_threads: int) -> None:
    """Spreads the (u, v) triangles' areas over the window's pixels, tile by
    tile: each tile's pixels see its triangles in list order."""
    if tris.shape[0] == 0:
        return
    rows, cols = grid.shape
    half = (TILE - 1) // 2
    u, v = tris[..., 0], tris[..., 1]
    # Tiles that a triangle may touch, one pixel to spare.
    tu0 = np.floor((u.min(axis=1) - 1) / TILE).astype(np.int64)
    tu1 = np.floor((u.max(axis=1) + 1) / TILE).astype(np.int64)
    tv0 = np.floor((v.min(axis=1) - 1) / TILE).astype(np.int64)
    tv1 = np.floor((v.max(axis=1) + 1) / TILE).astype(np.int64)
    lo_u, hi_u = grid.col0 // TILE, (grid.col0 + cols - 1) // TILE
    lo_v, hi_v = grid.row0 // TILE, (grid.row0 + rows - 1) // TILE
    tu0, tu1 = np.maximum(tu0, lo_u), np.minimum(tu1, hi_u)
    tv0, tv1 = np.maximum(tv0, lo_v), np.minimum(tv1, hi_v)
    ok = (tu0 <= tu1) & (tv0 <= tv1)
    idx = np.flatnonzero(ok)
    nu, nv = (tu1 - tu0 + 1)[idx], (tv1 - tv0 + 1)[idx]
    count = nu * nv
    # One (triangle, tile) pair per tile a triangle meets, in triangle order.
    tri_of = np.repeat(idx, count)
    first = np.repeat(np.cumsum(count) - count, count)
    k = np.arange(tri_of.size) - first
    nu_r = np.repeat(nu, count)
    tile_u = tu0[tri_of] + k % nu_r
    tile_v = tv0[tri_of] + k // nu_r
    width = hi_u - lo_u + 1
    key = (tile_v - lo_v) * width + (tile_u - lo_u)
    if key.size == 0:
        return
    order = np.argsort(key, kind="stable")
    key, tri_of = key[order], tri_of[order]
    starts = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    ends = np.r_[starts[1:], key.size]
    def tile(s: int, e: int) -> None:
        tv_, tu_ = divmod(int(key[s]), width)
        base_v, base_u = (tv_ + lo_v) * TILE, (tu_ + lo_u) * TILE
        local = tris[tri_of[s:e]]
        local[..., 0] -= base_u + half
        local[..., 1] -= base_v + half
        acc = accumulate_triangles(local, 1.0, 1.0, TILE, n_threads=1)
        # Rows and columns of the tile inside the window.
        r0 = max(base_v, grid.row0)
        r1 = min(base_v + TILE, grid.row0 + rows)
        c0 = max(base_u, grid.col0)
        c1 = min(base_u + TILE, grid.col0 + cols)
        out[r0 - grid.row0:r1 - grid.row0, c0 - grid.col0:c1 - grid.col0] = \
            acc[r0 - base_v:r1 - base_v, c0 - base_u:c1 - base_u]

    jobs = list(zip(starts.tolist(), ends.tolist()))
    if n_threads > 1 and len(jobs) > 1:
        # Tiles write disjoint parts of out; the kernel runs without the lock.
        with ThreadPoolExecutor(min(n_threads, len(jobs))) as pool:
            for _ in pool.map(lambda job: tile(*job), jobs):
                pass
    else:
        for job in jobs:
            tile(*job)


def _bands(grid: Grid) -> Iterator[tuple[int, Grid]]:
    """The mesh's bands of rows: first row in the window and the band's window.
    Bands end on tile boundaries of the grid's own row indices."""
    rows, cols = grid.shape
    for r in (max(0, c) for c in range(-(grid.row0 % BAND), rows, BAND)):
        yield r, grid.window((r, min(rows, r - (grid.row0 + r) % BAND + BAND)), (0, cols))


def _smallest_rim(scale: float, eps: float) -> float:
    """Smallest rim radius r for which the area between the rim and its chords,
    about (4 pi / 3) * min(eps, r / 2) * r, exceeds the rounding of the
    accumulation."""
    k = ROUNDING_AREA * scale * scale / (4 * math.pi / 3)
    return max(k / eps, math.sqrt(2 * k))


def _check_mesh(p: PupilGeometry, scale: float, eps: float) -> None:
    """Refuses a chord error or rims that the mesh cannot compute to that
    chord error, with the range it supports."""
    if eps < MIN_CHORD_ERROR * scale:
        raise ValueError(f"chord_error must be at least {MIN_CHORD_ERROR:g} pixel scales "
                         f"({MIN_CHORD_ERROR * scale:.6g} here), not {eps:.6g}: below that the "
                         f"rounding of the accumulation exceeds it")
    offset = abs(p.center[0]) + abs(p.center[1])
    if (offset + p.radius) * RIM_PLACEMENT > eps:
        name = "radius" if p.radius >= offset else "center"
        raise ValueError(f"{name}: the mesh places its rims to a few roundings of |center| + "
                         f"radius and supports |center| + radius up to chord_error * 2**49 "
                         f"= {eps / RIM_PLACEMENT:.6g}, not {offset + p.radius:.6g}")
    smallest = _smallest_rim(scale, eps)
    if p.radius < smallest:
        raise ValueError(f"radius must be at least {smallest:.6g} for the mesh at chord_error "
                         f"{eps:.6g} on these pixels (the rounding of the accumulation would "
                         f"exceed the chord error along a smaller rim), not {p.radius:.6g}; "
                         f"method='coverage' takes it")
    if 0 < p.inner < smallest:
        raise ValueError(f"obscuration must be 0 or at least {smallest / p.radius:.6g} for the "
                         f"mesh at chord_error {eps:.6g} on these pixels (a rim of radius "
                         f"{p.inner:.6g} is lost in the rounding of the accumulation), "
                         f"not {p.obscuration:.6g}")


def _check_band(count: tuple[int, int], eps: float) -> None:
    """Refuses a band of the mesh of more than MAX_BAND_TRIANGLES triangles,
    naming the chord error when the rims' strips make most of them."""
    cells, strips = count
    total = cells + strips
    if total <= MAX_BAND_TRIANGLES:
        return
    if strips > cells:
        # Strips are about sqrt(radius * chord error) wide.
        room = max(MAX_BAND_TRIANGLES - cells, 1)
        raise ValueError(f"chord_error={eps:.6g} puts {total} triangles into one band of "
                         f"{BAND} rows of the mesh, which holds at most {MAX_BAND_TRIANGLES}; "
                         f"a chord_error of about {eps * (strips / room) ** 2:.3g} or more "
                         f"keeps within that")
    raise ValueError(f"pixels: one band of {BAND} rows of this grid needs {total} mesh "
                     f"triangles, and the mesh holds at most {MAX_BAND_TRIANGLES}; compute it "
                     f"in windows (zolvin.dask.pupil)")


def pupil_mesh(grid: Grid, radius: float, *, center: V.PairLike = (0.0, 0.0),
               obscuration: float = 0.0, struts: Sequence[float] = (),
               strut_width: float = 0.0, chord_error: float | None = None,
               n_threads: int | None = None) -> FloatArray:
    """Open fraction of every pixel of a Grid for a telescope pupil, by the
    exact areas of a mesh whose rims are chords: what ``zolvin.pupil(...,
    method="mesh")`` gives, bit for bit.

    Parameters are those of ``zolvin.pupil``. Approximate: the rims are
    replaced by chords at most ``chord_error`` from their arcs (plane units;
    default 1e-5 pixel scales), so a pixel on a rim is off by up to the area
    between its chords and its arc; struts are removed exactly, overlaps
    included.

    Refuses, with a ValueError that gives the supported range, what it cannot
    compute to its chord error or in bounded memory: a chord_error below 1e-9
    pixel scales; a radius or obscuration * radius so small that the
    accumulation's rounding (up to about 1e-9 pixel areas) exceeds the area
    between the rim and its chords; |center| + radius beyond
    chord_error * 2**49; a band of 1020 rows that needs more than 2**21
    triangles.
    """
    g = PupilGeometry(radius, center, obscuration, struts, strut_width)
    return mesh(grid, g, chord_error, n_threads)


def check_mesh_windows(windows: Iterable[Grid], radius: float, *,
                       center: V.PairLike = (0.0, 0.0), obscuration: float = 0.0,
                       struts: Sequence[float] = (), strut_width: float = 0.0,
                       chord_error: float | None = None) -> None:
    """Raises the ValueError that pupil_mesh(window, ...) would raise for any
    of the windows, without computing them: the argument checks and the
    triangles per band, counted."""
    g = PupilGeometry(radius, center, obscuration, struts, strut_width)
    for grid in windows:
        scale = grid.pixel_scale
        eps = _chord_error(chord_error, scale)
        _check_mesh(g, scale, eps)
        lattice = _Lattice(g, scale, eps)
        for _, band in _bands(grid):
            _check_band(lattice.count(_window_box(band)), eps)


def _chord_error(chord_error: Any, scale: float) -> float:
    return CHORD_ERROR * scale if chord_error is None else V.positive(chord_error, "chord_error")


def mesh(grid: Pixels | Grid, p: PupilGeometry, chord_error: float | None,
         n_threads: Any) -> FloatArray:
    """pupil_mesh of checked parameters: the checks, then band by band."""
    if not isinstance(grid, Grid):
        raise TypeError("the mesh needs a zolvin.Grid: the exact areas are spread over "
                        "pixels that share one Jacobian (use method='coverage' for Pixels)")
    area = grid.pixel_area
    if not (math.isfinite(area) and area != 0 and all(map(math.isfinite, grid.origin))):
        raise ValueError("the mesh needs a finite grid with an invertible Jacobian")
    scale = grid.pixel_scale
    eps = _chord_error(chord_error, scale)
    _check_mesh(p, scale, eps)
    threads = V.threads(n_threads, grid.size, THREAD_THRESHOLD)
    if grid.size == 0:
        return np.zeros(grid.shape)
    lattice = _Lattice(p, scale, eps)
    bands = list(_bands(grid))
    for _, band in bands:
        _check_band(lattice.count(_window_box(band)), eps)
    out = np.zeros(grid.shape)
    for r, band in bands:
        tris = _to_pixels(lattice.clipped(_window_box(band), threads), band)
        _accumulate_window(tris, band, out[r:r + band.shape[0]], threads)
    return out
