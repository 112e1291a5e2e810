"""Pixels: centres and Jacobians of a batch of pixels, checked once."""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _validate as V


def _readonly(a: np.ndarray) -> V.FloatArray:
    view = a.view()
    view.flags.writeable = False
    return view


class Pixels:
    """A batch of pixels of any shape: centres (x, y) in the plane, centres
    (u, v) in pixel coordinates and the Jacobian [[dxdu, dxdv], [dydu, dydv]]
    that maps a pixel step onto the plane.

    ``jac`` is one (2, 2) Jacobian for every pixel or ``shape + (2, 2)``. u and v
    default to the column and row index (the last and the second-to-last axis;
    0 where the shape has no such axis). Every array is converted once to
    C-contiguous float64 and kept read-only; a Pixels is reused for any number
    of coverage calls.
    """

    __slots__ = ("x", "y", "u", "v", "dxdu", "dxdv", "dydu", "dydv", "shape", "size",
                 "_addresses", "_spans")

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
    _addresses: tuple[int, int, int, int, int, int, int, int]
    _spans: tuple[tuple[str, int, int], ...]

    def __init__(self, x: npt.ArrayLike, y: npt.ArrayLike, jac: npt.ArrayLike,
                 u: npt.ArrayLike | None = None, v: npt.ArrayLike | None = None) -> None:
        xa = V.floats(x, "x")
        shape = xa.shape
        ya = V.floats(y, "y", shape)
        ja = V.array(jac, "jac")
        if ja.shape == (2, 2):
            parts = [np.full(shape, float(ja[i, j])) for i in (0, 1) for j in (0, 1)]
        elif ja.shape == shape + (2, 2):
            parts = [np.ascontiguousarray(ja[..., i, j], dtype=np.float64)
                     for i in (0, 1) for j in (0, 1)]
        else:
            raise ValueError(f"jac must have shape (2, 2) or {shape + (2, 2)}, not {ja.shape}")
        ua = self._index_default(shape, -1) if u is None else V.floats(u, "u", shape)
        va = self._index_default(shape, -2) if v is None else V.floats(v, "v", shape)
        self._set(xa, ya, ua, va, *parts)

    @staticmethod
    def _index_default(shape: tuple[int, ...], axis: int) -> V.FloatArray:
        if len(shape) < -axis:
            return np.zeros(shape)
        line = np.arange(shape[axis], dtype=np.float64)
        line = line.reshape((-1,) + (1,) * (-axis - 1))
        return np.ascontiguousarray(np.broadcast_to(line, shape))

    def _set(self, *arrays: np.ndarray) -> None:
        x, y, u, v, a, b, c, d = (_readonly(t) for t in arrays)
        self.x, self.y, self.u, self.v = x, y, u, v
        self.dxdu, self.dxdv, self.dydu, self.dydv = a, b, c, d
        self.shape = x.shape
        self.size = x.size
        # Addresses in the order the kernels take them: x, y, u, v, Jacobian.
        self._addresses = (V.address(x), V.address(y), V.address(u), V.address(v),
                           V.address(a), V.address(b), V.address(c), V.address(d))
        self._spans = V.spans(self._inputs())

    @classmethod
    def _from_arrays(cls, *arrays: np.ndarray) -> Pixels:
        self = cls.__new__(cls)
        self._set(*arrays)
        return self

    def __reduce__(self) -> tuple[Any, ...]:
        return (Pixels._from_arrays, (self.x, self.y, self.u, self.v,
                                      self.dxdu, self.dxdv, self.dydu, self.dydv))

    def _inputs(self) -> dict[str, np.ndarray]:
        return {"x": self.x, "y": self.y, "u": self.u, "v": self.v, "jac[0][0]": self.dxdu,
                "jac[0][1]": self.dxdv, "jac[1][0]": self.dydu, "jac[1][1]": self.dydv}

    def __repr__(self) -> str:
        return f"Pixels(shape={self.shape})"
