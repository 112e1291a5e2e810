"""Regular grids of pixels that share one Jacobian, described without arrays."""
from __future__ import annotations

import math
import operator
from typing import TYPE_CHECKING, Any, NoReturn

import numpy as np
import numpy.typing as npt

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.limits import EXACT_INT
from ..core.values import Value

if TYPE_CHECKING:
    from .pixels import Pixels


def _bounds(key: Any, length: int, name: str) -> tuple[int, int]:
    """(start, stop) of a step-1 slice, range or (start, stop) pair within length."""
    if isinstance(key, (slice, range)):
        step = _plain(key.step, name)
        if step not in (None, 1):
            raise ValueError(f"{name}: a window takes every row and column (step 1), "
                             f"not step {step}")
        start, stop, _ = slice(_plain(key.start, name), _plain(key.stop, name)).indices(length)
        return start, max(start, stop)
    try:
        start, stop = key
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a slice, a range or a (start, stop) pair, "
                        f"not {key!r}") from None
    return _bounds(slice(_plain(start, name), _plain(stop, name)), length, name)


def _plain(value: Any, name: str) -> int | None:
    if value is None:
        return None
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} bounds must be ints, not {type(value).__name__}") from None


class Grid(Value):
    """A regular grid of rows x columns pixels that share one Jacobian.

    The pixel in row i, column j has the pixel coordinates u = j, v = i and its
    centre in the plane at x = x0 + dxdu*u + dxdv*v, y = y0 + dydu*u + dydv*v,
    evaluated left to right, every operation rounded on its own, with
    jac = ((dxdu, dxdv), (dydu, dydv)) and origin = (x0, y0).

    Every coverage function takes a Grid wherever it takes Pixels and returns
    an array of the grid's shape; no coordinate array is made. The pixel
    rules (``pixel_frac``, ``enclosed_circle``, ``enclosed_strut``,
    ``pupil(method="coverage")``) give the bits of their result for
    ``grid.pixels()``. The exact region functions (``polygon_coverage``,
    ``region_coverage``, ``aperture_coverage``, ``pupil``'s exact default)
    sweep a Grid in its own frame and Pixels each in the pixel's own, so the
    two agree to rounding: within 6e-16 times the grid's larger side in
    pixels (2.1e-14 on 40 x 40 grids). ``grid[r0:r1, c0:c1]`` (or
    ``grid.window(rows, cols)``) is a window: the grid's rows r0..r1-1 and
    columns c0..c1-1, whose pixels keep the parent's indices (``row0`` and
    ``col0`` give the first), so its coverage is the matching slice of the
    parent's.

    A Grid is immutable: its attributes cannot be rebound, and unpickling runs
    the constructor's checks.
    """

    __slots__ = ("_col0", "_jac", "_origin", "_row0", "_shape")

    def __init__(self, shape: tuple[int, int], origin: tuple[float, float] = (0.0, 0.0),
                 jac: tuple[tuple[float, float], tuple[float, float]] = ((1.0, 0.0), (0.0, 1.0)),
                 *, row0: int = 0, col0: int = 0) -> None:
        try:
            dims = tuple(shape)
        except TypeError:
            raise TypeError(f"shape must be a pair of ints, not {type(shape).__name__}") from None
        if len(dims) != 2:
            raise ValueError(f"shape must be (rows, columns), not {dims!r}")
        rows, cols = V.index(dims[0], "shape[0]", 0), V.index(dims[1], "shape[1]", 0)
        row0, col0 = V.index(row0, "row0", 0), V.index(col0, "col0", 0)
        # Column and row indices must stay exact as float64.
        if row0 + rows > EXACT_INT or col0 + cols > EXACT_INT:
            raise ValueError(f"row and column indices must stay below 2**53 "
                             f"(rows {row0}..{row0 + rows}, columns {col0}..{col0 + cols})")
        if rows * cols * 8 > np.iinfo(np.intp).max:
            raise ValueError(f"shape {(rows, cols)} is too large for an array of float64")
        ox, oy = V.pair(origin, "origin")
        row_u, row_v = V.two(jac, "jac", "((dxdu, dxdv), (dydu, dydv))")
        a, b = V.pair(row_u, "jac[0]")
        c, d = V.pair(row_v, "jac[1]")
        self._set(_shape=(rows, cols), _origin=(ox, oy), _jac=((a, b), (c, d)), _row0=row0,
                  _col0=col0)

    _shape: tuple[int, int]
    _origin: tuple[float, float]
    _jac: tuple[tuple[float, float], tuple[float, float]]
    _row0: int
    _col0: int

    def __init_subclass__(cls, **kwargs: Any) -> NoReturn:
        # The kernels trust a Grid's sizes: no subclass may redefine them.
        raise TypeError("zolvin.Grid cannot be subclassed")

    def _args(self) -> tuple[Any, ...]:
        return (self._shape, self._origin, self._jac)

    def _kwargs(self) -> dict[str, Any]:
        return {"row0": self._row0, "col0": self._col0}

    def _key(self) -> tuple[Any, ...]:
        # Bits, so that NaN origins compare equal to themselves.
        bits = np.array(self._origin + self._jac[0] + self._jac[1]).view(np.uint64).tolist()
        return "Grid", self._shape, tuple(bits), self._row0, self._col0

    @property
    def shape(self) -> tuple[int, int]:
        """(rows, columns)"""
        return self._shape

    @property
    def origin(self) -> tuple[float, float]:
        """(x0, y0): the centre of pixel u = v = 0"""
        return self._origin

    @property
    def jac(self) -> tuple[tuple[float, float], tuple[float, float]]:
        """((dxdu, dxdv), (dydu, dydv))"""
        return self._jac

    @property
    def row0(self) -> int:
        """v of the first row"""
        return self._row0

    @property
    def col0(self) -> int:
        """u of the first column"""
        return self._col0

    @property
    def size(self) -> int:
        """number of pixels"""
        return self._shape[0] * self._shape[1]

    @property
    def pixel_scale(self) -> float:
        """Largest singular value of the Jacobian, as the coverage rules compute it."""
        (a, b), (c, d) = self._jac
        p, q, r, w = a + d, b - c, a - d, b + c
        return (math.sqrt(p * p + q * q) + math.sqrt(r * r + w * w)) * 0.5

    @property
    def pixel_area(self) -> float:
        """Area of one pixel in the plane, ``abs(dxdu * dydv - dxdv * dydu)``
        (exact to one rounding of each product and of the difference)."""
        (a, b), (c, d) = self._jac
        return abs(a * d - b * c)

    def bounds(self) -> tuple[float, float, float, float]:
        """(xmin, ymin, xmax, ymax): the plane bounding box of the pixels of
        this grid (or window), their outer corners included. Each corner is
        x0 + dxdu * u + dxdv * v (and likewise y) at u, v half a pixel beyond
        the outer centres, rounded step by step: exact to a few roundings."""
        rows, cols = self._shape
        (a, b), (c, d) = self._jac
        x0, y0 = self._origin
        us = (self._col0 - 0.5, self._col0 + cols - 0.5)
        vs = (self._row0 - 0.5, self._row0 + rows - 0.5)
        xs = [x0 + a * u + b * v for u in us for v in vs]
        ys = [y0 + c * u + d * v for u in us for v in vs]
        return min(xs), min(ys), max(xs), max(ys)

    def to_uv(self, x: npt.ArrayLike, y: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
        """Pixel coordinates (u, v) of plane points (x, y): the inverse of the
        grid's map, u = (dydv * x' - dxdv * y') / det and
        v = (dxdu * y' - dydu * x') / det with x' = x - x0, y' = y - y0 and
        det = dxdu * dydv - dxdv * dydu, each step rounded: within a few
        roundings (relative to the Jacobian's condition) of the exact inverse.

        ValueError when the Jacobian is singular or not finite."""
        (a, b), (c, d) = self._jac
        det = a * d - b * c
        if not (math.isfinite(det) and det != 0):
            raise ValueError(f"the grid's Jacobian {self._jac} has no inverse")
        x0, y0 = self._origin
        px = np.asarray(x, dtype=np.float64) - x0
        py = np.asarray(y, dtype=np.float64) - y0
        return (d * px - b * py) / det, (a * py - c * px) / det

    @classmethod
    def spanning(cls, extent: float | tuple[float, float, float, float], n: int, *,
                 shear: float = 0.0, margin: float = 0.0) -> Grid:
        """An n x n grid over a disc around the origin or over a box, its
        middle on theirs: Jacobian [[p, shear * p], [0, p]], so that a sheared
        grid holds what it spans too.

        ``extent`` a radius: the grid holds the disc of that radius with 3 %
        to spare, p = 2.06 * radius * hypot(1, shear) / n. ``extent`` a box
        (xmin, ymin, xmax, ymax): the outer pixels' edges enclose it with
        ``margin`` empty pixels beside its longer side,
        p = max(xmax - xmin, ymax - ymin) / (n - 2 margin) * hypot(1, shear).
        """
        size = V.index(n, "n", 1)
        s = V.finite(shear, "shear")
        if np.ndim(extent) != 0:
            return cls._over_box(extent, size, s, margin)
        r = V.positive(extent, "radius")
        p = 2.06 * r * math.hypot(1.0, s) / size
        c = 0.5 * (size - 1)
        return cls((size, size), (-(p * c + s * p * c), -(p * c)), ((p, s * p), (0.0, p)))

    @classmethod
    def from_affine(cls, transform: Any, shape: tuple[int, int]) -> Grid:
        """The grid of a georeferenced raster of ``shape`` (rows, columns).

        ``transform`` is a GDAL geotransform ``(c, a, b, f, d, e)`` (a plain
        sequence of six numbers is read in GDAL's order) or an
        ``affine.Affine`` (rasterio's ``dataset.transform``, recognised by its
        type), any rotation, shear or flip: the corner (col, row) of the pixels
        lies at x = c + a col + b row, y = f + d col + e row, so pixel
        (row, col) is centred at (col + 0.5, row + 0.5) of the transform.

        The grid's Jacobian is ((a, b), (d, e)) exactly and its origin, the
        centre of pixel (0, 0), is (c + 0.5 (a + b), f + 0.5 (d + e)): pixel
        centres agree with rasterio's ``xy(..., offset="center")`` to a few
        roundings of the coordinates. ValueError for a transform that is not
        finite or not invertible.
        """
        from .geotransform import affine_terms
        a, b, c, d, e, f = affine_terms(transform)
        x0, y0 = c + 0.5 * (a + b), f + 0.5 * (d + e)
        if not (math.isfinite(x0) and math.isfinite(y0)):
            raise ValueError(f"transform puts the first pixel's centre beyond float64: "
                             f"{(x0, y0)}")
        return cls(shape, (x0, y0), ((a, b), (d, e)))

    @classmethod
    def _over_box(cls, box: Any, n: int, shear: float, margin: Any) -> Grid:
        x0, y0, x1, y1 = V.floats(box, "box", (4,)).tolist()
        if not (all(map(math.isfinite, (x0, y0, x1, y1))) and x0 <= x1 and y0 <= y1):
            raise ValueError(f"box must be finite (xmin, ymin, xmax, ymax), not {(x0, y0, x1, y1)}")
        pad = V.real(margin, "margin")
        if not (math.isfinite(pad) and 0 <= pad < n / 2):
            raise ValueError(f"margin must be at least 0 and below n / 2, not {pad}")
        p = max(x1 - x0, y1 - y0) / (n - 2 * pad) * math.hypot(1.0, shear)
        if not math.isfinite(p):
            raise ValueError(f"box is too large for a grid: a pitch of {p}")
        c = 0.5 * (n - 1)
        mx, my = 0.5 * (x0 + x1), 0.5 * (y0 + y1)
        return cls((n, n), (mx - (p * c + shear * p * c), my - p * c),
                   ((p, shear * p), (0.0, p)))

    def window(self, rows: Any, cols: Any) -> Grid:
        """The window of rows and columns given as step-1 slices, ranges or
        (start, stop) pairs, relative to this grid (negative bounds count from
        the end, as in slicing); its pixels keep their indices."""
        r0, r1 = _bounds(rows, self._shape[0], "rows")
        c0, c1 = _bounds(cols, self._shape[1], "cols")
        return Grid((r1 - r0, c1 - c0), self._origin, self._jac,
                    row0=self._row0 + r0, col0=self._col0 + c0)

    def __getitem__(self, key: Any) -> Grid:
        if not isinstance(key, tuple):
            key = (key,)
        if len(key) > 2 or not all(isinstance(k, slice) for k in key):
            raise TypeError("a Grid window is indexed by one or two slices (rows, cols), "
                            "e.g. grid[r0:r1, c0:c1]")
        return self.window(*key, *(slice(None),) * (2 - len(key)))

    def coordinates(self) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
        """(u, v, x, y): float64 arrays of the grid's shape, the pixels' indices
        and centres, by the documented arithmetic."""
        rows, cols = self._shape
        if rows == 0 or cols == 0:
            # No pixels: no index line either, however long the other side.
            z = np.zeros(self._shape)
            return z, z.copy(), z.copy(), z.copy()
        (a, b), (c, d) = self._jac
        x0, y0 = self._origin
        u = np.arange(self._col0, self._col0 + cols, dtype=np.int64).astype(np.float64)
        v = np.arange(self._row0, self._row0 + rows, dtype=np.int64).astype(np.float64)
        with np.errstate(all="ignore"):  # non-finite origins and Jacobians are allowed
            x = (x0 + a * u)[None, :] + (b * v)[:, None]
            y = (y0 + c * u)[None, :] + (d * v)[:, None]
        u2 = np.ascontiguousarray(np.broadcast_to(u, self._shape))
        v2 = np.ascontiguousarray(np.broadcast_to(v[:, None], self._shape))
        return u2, v2, x, y

    def pixels(self) -> Pixels:
        """The grid's pixels as a zolvin.Pixels: every coverage function gives
        the same result for it as for the grid, bit for bit for the pixel
        rules and to rounding for the exact region functions (see Grid)."""
        from .pixels import Pixels
        u, v, x, y = self.coordinates()
        return Pixels(x, y, self._jac, u, v)

    def __repr__(self) -> str:
        extra = f", row0={self._row0}, col0={self._col0}" if self._row0 or self._col0 else ""
        return f"Grid({self._shape}, origin={self._origin}, jac={self._jac}{extra})"

    def _native_args(self) -> tuple[int, int, int, int, float, float, float, float, float, float]:
        (a, b), (c, d) = self._jac
        (rows, cols), (x0, y0) = self._shape, self._origin
        return (rows, cols, self._row0, self._col0, x0, y0, a, b, c, d)

