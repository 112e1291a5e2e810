"""Pixels: centres and Jacobians of a batch of pixels, checked once."""
from __future__ import annotations

from typing import Any, NoReturn

import numpy as np
import numpy.typing as npt

from ..core import checks as V
from ..core.values import Value, borrowed
from .wcs import TangentPlane, from_wcs

# Attribute names of the eight arrays, in the order the constructor takes
# them, and the names their checks report.
_ARRAYS = ("x", "y", "u", "v", "dxdu", "dxdv", "dydu", "dydv")
_LABELS = ("x", "y", "u", "v", "jac[0][0]", "jac[0][1]", "jac[1][0]", "jac[1][1]")


class Pixels(Value):
    """A batch of pixels of any shape: centres (x, y) in the plane, centres
    (u, v) in pixel coordinates and the Jacobian [[dxdu, dxdv], [dydu, dydv]]
    that maps a pixel step onto the plane.

    ``jac`` is one (2, 2) Jacobian for every pixel or ``shape + (2, 2)``. u and v
    default to the column and row index (the last and the second-to-last axis;
    0 where the shape has no such axis). Every array is converted once to
    C-contiguous float64 and exposed read-only (its views cannot be made
    writable); a Pixels is reused for any number of coverage calls.

    An array that already is C-contiguous float64 is used as it is, not
    copied (so that ``out=`` may be one of them): writing to it through the
    caller's own reference changes these pixels too. Pass a copy to keep
    them apart.

    A Pixels is immutable: its attributes cannot be rebound, and unpickling
    runs the constructor's checks and conversions on the stored arrays.
    """

    __slots__ = (*_ARRAYS, "shape", "size", "_spans")

    x: V.FloatArray
    y: V.FloatArray
    u: V.FloatArray
    v: V.FloatArray
    dxdu: V.FloatArray
    dxdv: V.FloatArray
    dydu: V.FloatArray
    dydv: V.FloatArray
    shape: tuple[int, ...]
    size: int
    _spans: tuple[tuple[str, int, int], ...]

    def __init__(self, x: npt.ArrayLike, y: npt.ArrayLike, jac: npt.ArrayLike,
                 u: npt.ArrayLike | None = None, v: npt.ArrayLike | None = None) -> None:
        xa = V.floats(x, "x")
        shape = xa.shape
        ya = V.floats(y, "y", shape)
        ja = V.array(jac, "jac")
        if ja.shape == (2, 2):
            jf = V.floats(ja, "jac")
            parts = [np.full(shape, jf[i, j]) for i in (0, 1) for j in (0, 1)]
        elif ja.shape == shape + (2, 2):
            parts = [ja[..., i, j] for i in (0, 1) for j in (0, 1)]
        else:
            raise ValueError(f"jac must have shape (2, 2) or {shape + (2, 2)}, not {ja.shape}")
        ua = self._index_default(shape, -1) if u is None else u
        va = self._index_default(shape, -2) if v is None else v
        self._store(xa, ya, ua, va, *parts)

    from_wcs: classmethod[Pixels, ..., Pixels] = classmethod(from_wcs)

    def __init_subclass__(cls, **kwargs: Any) -> NoReturn:
        # The kernels trust a Pixels' arrays and size: no subclass may redefine them.
        raise TypeError("zolvin.Pixels cannot be subclassed")

    @staticmethod
    def _index_default(shape: tuple[int, ...], axis: int) -> V.FloatArray:
        if len(shape) < -axis:
            return np.zeros(shape)
        line = np.arange(shape[axis], dtype=np.float64)
        line = line.reshape((-1,) + (1,) * (-axis - 1))
        return np.ascontiguousarray(np.broadcast_to(line, shape))

    def _store(self, *arrays: Any) -> None:
        """Checks and converts the eight arrays (x first: it gives the shape)
        and stores read-only views of them, which cannot be made writable,
        and their spans."""
        if len(arrays) != len(_ARRAYS):
            raise TypeError(f"Pixels needs {len(_ARRAYS)} arrays, not {len(arrays)}")
        x = V.floats(arrays[0], "x")
        checked = [x] + [V.floats(a, name, x.shape) for a, name in zip(arrays[1:], _LABELS[1:])]
        self._hold(**dict(zip(_ARRAYS, map(borrowed, checked))))
        self._set(shape=x.shape, size=x.size)
        self._set(_spans=V.spans(self._inputs()))

    @classmethod
    def _from_plane(cls, plane: TangentPlane, rows: Any, cols: Any) -> Pixels:
        """The pixels of a sky image at the given indices (u the column, v the
        row), with the bits of the whole image's ``from_wcs`` there."""
        x, y, a, b, c, d = plane.evaluate(rows, cols)
        u, v = (np.ascontiguousarray(np.broadcast_to(np.asarray(t, float), x.shape))
                for t in (cols, rows))
        return cls._from_arrays(x, y, u, v, a, b, c, d)

    @classmethod
    def _from_arrays(cls, *arrays: Any) -> Pixels:
        """A Pixels from its eight arrays, checked as the constructor checks them."""
        self = cls.__new__(cls)
        self._store(*arrays)
        return self

    # Pixels compare by identity: their arrays may be large.
    __eq__ = object.__eq__
    __hash__ = object.__hash__

    def __reduce__(self) -> tuple[Any, ...]:
        # The eight arrays as they are, not through the constructor's jac.
        return (Pixels._from_arrays, tuple(getattr(self, name) for name in _ARRAYS))

    def _key(self) -> tuple[Any, ...]:
        return ("Pixels", self.shape, *(getattr(self, name).tobytes() for name in _ARRAYS))

    def _native_args(self) -> tuple[V.FloatArray, V.FloatArray, V.FloatArray, V.FloatArray,
                                    V.FloatArray, V.FloatArray, V.FloatArray, V.FloatArray]:
        """The arrays in the order the native module takes them: x, y, u, v, Jacobian."""
        return (self.x, self.y, self.u, self.v, self.dxdu, self.dxdv, self.dydu, self.dydv)

    def _inputs(self) -> dict[str, np.ndarray]:
        return {label: getattr(self, name) for name, label in zip(_ARRAYS, _LABELS)}

    def __repr__(self) -> str:
        return f"Pixels(shape={self.shape})"
