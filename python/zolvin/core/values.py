"""Values: objects that never change once made, and compare, hash, pickle and
tokenize by what they hold.

The kernels trust what a value holds (sizes, shapes, read-only arrays), so a
value is immutable: its constructor sets its attributes once, through
``_set``, and nothing rebinds them after. Unpickling calls the constructor
again, checks included, so that a hand-made pickle cannot make a value the
constructor would refuse.

The arrays a value holds are sealed: read-only, and not to be made writable
again. NumPy lets ``a.flags.writeable = True`` undo a plain read-only flag
whenever the memory's owner is writable or is the array itself; an array
whose memory is a ``bytes`` object (or a read-only buffer) has no such owner,
so the flag stays off.
"""
from __future__ import annotations

from typing import Any, NoReturn

import numpy as np


def is_sealed(a: np.ndarray) -> bool:
    """Whether no one can write a's memory: a's chain of bases (arrays, and
    the objects of memoryviews) ends in an immutable buffer, every array
    and view on the way read-only."""
    base: Any = a
    while True:
        if isinstance(base, np.ndarray):
            if base.flags.writeable:
                return False
            base = base.base
        elif isinstance(base, memoryview):
            if not base.readonly:
                return False
            base = base.obj
        else:
            return isinstance(base, bytes)


def sealed(a: np.ndarray) -> np.ndarray:
    """a, or a C-contiguous copy of it in an immutable buffer: an array that
    cannot be made writable. (An array of Python objects has no buffer to
    seal: it is a read-only copy.)"""
    if is_sealed(a) and a.flags.c_contiguous:
        return a
    if a.dtype.hasobject:
        copy = np.array(a, order="C")
        copy.flags.writeable = False
        return copy
    return np.frombuffer(np.ascontiguousarray(a).tobytes(), dtype=a.dtype).reshape(a.shape)


def borrowed(a: np.ndarray) -> np.ndarray:
    """A read-only view of a's own memory, no copy, whose flag cannot be set
    writable (a itself still can be written by whoever holds it)."""
    if is_sealed(a):
        return a
    return np.asarray(memoryview(a).toreadonly())


def _sealed_all(value: Any) -> Any:
    """value with every array in it (and in tuples in it) sealed."""
    if isinstance(value, np.ndarray):
        return sealed(value)
    if type(value) is tuple and any(isinstance(v, (np.ndarray, tuple)) for v in value):
        return tuple(_sealed_all(v) for v in value)
    return value


def rebuild(cls: type[Value], args: tuple[Any, ...], kwargs: dict[str, Any]) -> Value:
    """A value unpickled: its constructor called again, checks included."""
    return cls(*args, **kwargs)


class Value:
    """An immutable value. A subclass gives ``_key()``, what makes it the
    value it is (equal keys, equal values; keys begin with the kind of value),
    and ``_args()`` / ``_kwargs()``, the constructor's arguments that make it
    again."""

    __slots__ = ()

    def __setattr__(self, name: str, value: Any) -> NoReturn:
        raise AttributeError(f"{type(self).__name__} is immutable: {name} cannot be set")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError(f"{type(self).__name__} is immutable: {name} cannot be deleted")

    def _set(self, **values: Any) -> None:
        """Sets attributes, once, from the constructor. Arrays, alone or in
        tuples, are kept sealed (copied unless they already are)."""
        for name, value in values.items():
            object.__setattr__(self, name, _sealed_all(value))

    def _hold(self, **values: Any) -> None:
        """Sets attributes, once, from the constructor, as they are: for
        arrays the value shares with its caller (see ``borrowed``)."""
        for name, value in values.items():
            object.__setattr__(self, name, value)

    def _key(self) -> tuple[Any, ...]:
        raise NotImplementedError

    def _args(self) -> tuple[Any, ...]:
        raise NotImplementedError

    def _kwargs(self) -> dict[str, Any]:
        return {}

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Value):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self) -> tuple[Any, ...]:
        return (rebuild, (type(self), self._args(), self._kwargs()))

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        return self._key()


def fmt(x: float) -> str:
    """A number in a repr: the shortest text that reads back as the same float."""
    return repr(float(x))


def fmt_point(p: tuple[float, float]) -> str:
    return f"({fmt(p[0])}, {fmt(p[1])})"
