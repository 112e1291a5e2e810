"""Even-odd mask of a polygon over a grid of points, by either of two rules."""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

import zolvin._native

from ...core import checks as V
from ...core.limits import MASK_THREAD_THRESHOLD

RULES = ("scan", "points")


def _rule(rule: Any) -> str:
    if not isinstance(rule, str):
        raise TypeError(f"rule must be a str, not {type(rule).__name__}")
    if rule not in RULES:
        raise ValueError(f"rule must be one of {RULES}, not {rule!r}")
    return rule


def poly_grid_contains(vertices: npt.ArrayLike, gx: npt.ArrayLike, gy: npt.ArrayLike, *,
                       rule: str = "scan", out: npt.NDArray[np.bool_] | None = None,
                       n_threads: int | None = None) -> npt.NDArray[np.bool_]:
    """Even-odd mask of a polygon over the grid points ``(gx[c], gy[r])``.

    Each row ``gy[r]`` is cut by the polygon's edges; the crossings are
    sorted and the columns between them filled. The two rules differ in how
    crossings are assigned to columns.

    ``rule="scan"`` (the default) walks the columns left to right and lets
    each column whose x lies strictly past the next unused crossing flip the
    parity and use up that crossing: at most one crossing per column. When
    two crossings fall between neighbouring columns, the first column past
    them flips for the first and the next column for the second, so a sliver
    or spike narrower than the column spacing still marks one column, and a
    notch that narrow unmarks one. Of an edge, a row counts when
    ``min(P.y, Q.y) < y <= max(P.y, Q.y)``: a row through a top vertex cuts
    its two edges and marks the column after it. A sliver between x = 1.2
    and 1.4, on columns 0 to 5::

        x        0     1   1.2 1.4  2     3     4     5
                            |   |
        scan     .     .    |   |   #     .     .     .
        points   .     .    |   |   .     .     .     .

    Column 2 is past the first crossing and flips; column 3 is past the
    second and flips back. The result is that of the kernel ``_zolvin``
    offers, bit for bit.

    ``rule="points"`` marks exactly the grid points inside the polygon by
    the even-odd rule: every crossing at or left of a point counts. Of an
    edge, a row counts when ``min(P.y, Q.y) <= y < max(P.y, Q.y)``. A point
    on the boundary is marked as the point moved right by an infinitesimal
    and up by a far smaller one would be: points on left and bottom edges
    are inside, on right and top edges outside (a unit square's corner
    (0, 0) is in, (1, 0), (0, 1) and (1, 1) are out), and of polygons that
    tile the plane every grid point is marked by exactly one. Points off the
    boundary are marked as shapely's ``contains_xy`` marks them.

    Parameters
    ----------
    vertices : array_like, shape (n, 2)
        The polygon's (x, y) vertices in order, closed implicitly (a repeated
        first vertex at the end changes nothing). It may cross itself.
    gx : array_like, shape (nx,)
        The columns' x, in any order.
    gy : array_like, shape (ny,)
        The rows' y, in any order.
    rule : {"scan", "points"}
        How crossings are assigned to columns, as above.
    out : ndarray of bool, shape (ny, nx), optional
        Written whole and returned.
    n_threads : int, optional
        Threads over the rows; all usable cores for large grids when None.

    Returns
    -------
    ndarray of bool, shape (ny, nx)
        ``True`` where the point is marked.

    Raises
    ------
    TypeError
        If an array does not convert to float64 without loss, ``rule`` is
        not a str or ``out`` is not bool.
    ValueError
        If a shape is wrong, ``rule`` is unknown or ``out`` is read-only,
        non-contiguous or overlaps an input.

    Notes
    -----
    ``rule="points"`` is exact: where a column lies within rounding of a
    crossing, the side is decided by the sign of an orientation determinant
    evaluated exactly, so every point is classified as with real numbers
    when every coordinate is zero or of magnitude between 2^-450 and 2^450.
    Non-finite coordinates give a defined mask (a NaN row or column is
    empty) without that promise. Both rules give the same bits for every
    ``n_threads`` and column order.

    Examples
    --------
    >>> import numpy as np, zolvin
    >>> sliver = [(1.2, 0), (1.4, 0), (1.4, 2), (1.2, 2)]
    >>> cols = np.arange(6.0)
    >>> zolvin.poly_grid_contains(sliver, cols, [1.0]).astype(int)
    array([[0, 0, 1, 0, 0, 0]])
    >>> zolvin.poly_grid_contains(sliver, cols, [1.0], rule="points").astype(int)
    array([[0, 0, 0, 0, 0, 0]])
    >>> square = [(0, 0), (2, 0), (2, 2), (0, 2)]
    >>> zolvin.poly_grid_contains(square, cols[:4], cols[:4], rule="points").astype(int)
    array([[1, 1, 0, 0],
           [1, 1, 0, 0],
           [0, 0, 0, 0],
           [0, 0, 0, 0]])
    """
    kernel = (zolvin._native.poly_grid_contains if _rule(rule) == "scan"
              else zolvin._native.poly_grid_points)
    verts = V.array(vertices, "vertices")
    if verts.ndim != 2 or verts.shape[1] != 2:
        raise ValueError(f"vertices must have shape (n, 2), not {verts.shape}")
    px = np.ascontiguousarray(verts[:, 0], dtype=np.float64)
    py = np.ascontiguousarray(verts[:, 1], dtype=np.float64)
    xs = V.floats(gx, "gx")
    ys = V.floats(gy, "gy")
    if xs.ndim != 1:
        raise ValueError(f"gx must be one-dimensional, not of shape {xs.shape}")
    if ys.ndim != 1:
        raise ValueError(f"gy must be one-dimensional, not of shape {ys.shape}")
    nx, ny = xs.shape[0], ys.shape[0]
    shape = (ny, nx)
    if out is not None:
        res = V.out_array(out, shape, np.dtype(np.bool_))
        V.check_overlap(res, V.address(res),
                        V.spans({"vertices x": px, "vertices y": py, "gx": xs, "gy": ys}),
                        same_ok=False)
    else:
        res = np.empty(shape, dtype=np.bool_)
    nt = V.threads(n_threads, nx * ny, MASK_THREAD_THRESHOLD)
    # Both kernels fill spans between crossings over ascending columns: sort
    # them (stably, so ascending input is used as it is) and put the result
    # back in place.
    order = None
    if nx > 1 and not bool(np.all(xs[1:] >= xs[:-1])):
        order = np.argsort(xs, kind="stable")
        xs = np.ascontiguousarray(xs[order])
    target = res if order is None else np.empty(shape, dtype=np.bool_)
    kernel(px, py, xs, ys, target.view(np.uint8), nt)
    if order is not None:
        res[:, order] = target
    return res
