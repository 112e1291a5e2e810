"""Values: objects that never change once made, and compare, hash, pickle and
tokenize by what they hold.

The kernels trust what a value holds (sizes, shapes, read-only arrays), so a
value is immutable: its constructor sets its attributes once, through
``_set``, and nothing rebinds them after. Unpickling calls the constructor
again, checks included, so that a hand-made pickle cannot make a value the
constructor would refuse.
"""
from __future__ import annotations

from typing import Any, NoReturn


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
        """Sets attributes, once, from the constructor."""
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
