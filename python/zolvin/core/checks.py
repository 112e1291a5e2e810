"""Argument checks shared by the public functions.

Every check runs before any kernel does, so a refused call leaves out= as it
was. Plain Python on purpose: the checks of a one-pixel call must cost far
less than the kernel's call itself.
"""
from __future__ import annotations

import math
import operator
import os
from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from .limits import EXACT_INT, MAX_THREADS

F64 = np.dtype(np.float64)

FloatArray = npt.NDArray[np.float64]
# An (x, y) pair, and a line as ((x, y), (dx, dy)).
PairLike = tuple[float, float] | npt.ArrayLike
EdgeLike = tuple[PairLike, PairLike]


def address(a: np.ndarray) -> int:
    return int(a.__array_interface__["data"][0])


# Scalars that are numbers of the wrong kind, refused as types.
_NOT_REAL = (str, bytes, complex, np.complexfloating, np.datetime64, np.timedelta64)


def _int_to_float(i: int, name: str) -> float:
    """An int as the float64 that equals it; ValueError when there is none."""
    if -EXACT_INT <= i <= EXACT_INT:
        return float(i)
    try:
        f = float(i)
    except OverflowError:
        f = math.inf
    if not math.isfinite(f) or int(f) != i:
        # (str() of a huge int may itself be refused: name its size instead)
        text = str(i) if i.bit_length() <= 128 else f"an integer of {i.bit_length()} bits"
        raise ValueError(f"{name} must convert to float64 without loss, and {text} does not "
                         f"(integers beyond 2**53 must be exactly representable)")
    return f


def real(value: Any, name: str) -> float:
    """A Python float from a real number: TypeError for anything that is not
    one, ValueError for an integer that float64 does not hold exactly."""
    if type(value) is float:
        return value
    if value is None or isinstance(value, _NOT_REAL):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    if isinstance(value, (int, np.integer)):
        return _int_to_float(int(value), name)
    if isinstance(value, np.ndarray) and value.ndim == 0:
        return real(value[()], name)
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{name} is beyond the range of float64") from None
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}") from None


def finite(value: Any, name: str) -> float:
    """A finite real number, by the rule of real()."""
    x = real(value, name)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, not {x}")
    return x


def positive(value: Any, name: str) -> float:
    """A finite real number above zero, by the rule of real()."""
    x = finite(value, name)
    if not x > 0:
        raise ValueError(f"{name} must be positive, not {x}")
    return x


def flag(value: Any, name: str) -> bool:
    """True or False, NumPy's booleans included (not other truthy values)."""
    if value is True or value is False:
        return bool(value)
    if isinstance(value, np.bool_) or isinstance(value, np.ndarray) and value.shape == () \
            and value.dtype == np.bool_:
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {type(value).__name__}")


def index(value: Any, name: str, lo: int | None = None, hi: int | None = None) -> int:
    """An int from an integer (bool and __index__ objects included), within [lo, hi]."""
    try:
        i = value if type(value) is int else operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if lo is not None and i < lo:
        raise ValueError(f"{name} must be at least {lo}, not {i}")
    if hi is not None and i > hi:
        raise ValueError(f"{name} must be at most {hi}, not {i}")
    return i


def array(value: Any, name: str) -> np.ndarray:
    """value as an ndarray of a dtype that casts safely to float64 (not yet
    converted): TypeError for another dtype, ValueError for integers that
    float64 does not hold exactly."""
    if type(value) is np.ndarray:
        arr = value
    else:
        if isinstance(value, Iterator):
            value = tuple(value)  # read once, as numpy would not read it at all
        try:
            arr = np.asarray(value)
        except (TypeError, ValueError, OverflowError) as e:
            raise TypeError(f"{name} must be an array of real numbers: {e}") from None
    dtype = arr.dtype
    if dtype == F64 or dtype.kind in "bf" and np.can_cast(dtype, F64, "safe"):
        return arr
    if dtype.kind in "iu" and np.can_cast(dtype, F64, "safe"):
        exact_ints(arr, name)
        return arr
    if dtype.kind == "O" and arr.size and all(type(t) is int or type(t) is float for t in arr.flat):
        # Python ints too large for any integer dtype: only those float64 holds.
        return np.array([t if type(t) is float else _int_to_float(t, name) for t in arr.flat],
                        dtype=F64).reshape(arr.shape)
    raise TypeError(f"{name} must hold real numbers that convert to float64 without loss, "
                    f"not {dtype}")


def exact_ints(arr: np.ndarray, name: str) -> None:
    """ValueError unless every integer of arr is exactly a float64."""
    if arr.dtype.itemsize < 8 or arr.size == 0:
        return
    big = arr[(arr > EXACT_INT) | (arr < -EXACT_INT)]
    if big.size == 0:
        return
    f = big.astype(F64)
    # Back to the integer type where the float is within its range.
    limit = 2.0**63 if arr.dtype.kind == "i" else 2.0**64
    inside = (f < limit) & (f >= -limit)
    back = np.where(inside, f, 0.0).astype(arr.dtype)
    lossy = ~inside | (back != big)
    if lossy.any():
        _int_to_float(int(big[lossy][0]), name)  # raises, naming the first such value


def floats(value: Any, name: str, shape: tuple[int, ...] | None = None) -> FloatArray:
    """A C-contiguous native float64 array (the input itself when it already is one)."""
    arr = array(value, name)
    if shape is not None and arr.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, not {arr.shape}")
    if arr.dtype != F64 or not arr.flags.c_contiguous or not arr.flags.aligned:
        arr = np.ascontiguousarray(arr, dtype=F64)
    return arr


def pair(value: Any, name: str) -> tuple[float, float]:
    """An (x, y) pair of floats, from a sequence, an iterable (read once) or an
    array of two real numbers.

    The one rule for every pair of the package: TypeError when value is not a
    sequence or array (a number, None, a string) or holds something that is
    not a real number; ValueError for the wrong length or shape, or a number
    float64 cannot hold.
    """
    if type(value) is tuple and len(value) == 2:
        a, b = value
        if type(a) is float and type(b) is float:
            return a, b
    if isinstance(value, np.ndarray):
        arr = array(value, name)
        if arr.shape != (2,):
            raise ValueError(f"{name} must be an (x, y) pair, not an array of shape {arr.shape}")
        return float(arr[0]), float(arr[1])
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be an (x, y) pair, not {type(value).__name__}")
    items = tuple(value)
    if len(items) != 2:
        raise ValueError(f"{name} must be an (x, y) pair, not {len(items)} values")
    if any(isinstance(t, (list, tuple)) or isinstance(t, np.ndarray) and t.ndim for t in items):
        raise ValueError(f"{name} must be an (x, y) pair of numbers, not of sequences")
    return real(items[0], f"{name}[0]"), real(items[1], f"{name}[1]")


def point(value: Any, name: str) -> tuple[float, float]:
    """A finite (x, y) pair, by the rule of pair()."""
    x, y = pair(value, name)
    if not (math.isfinite(x) and math.isfinite(y)):
        raise ValueError(f"{name} must be finite, not {(x, y)}")
    return x, y


def two(value: Any, name: str, what: str) -> tuple[Any, Any]:
    """The two parts of a pair of pairs (read once), by the rule of pair():
    TypeError for a value that is no sequence, ValueError for another length."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be {what}, not {type(value).__name__}")
    if isinstance(value, np.ndarray) and value.ndim != 2:
        raise ValueError(f"{name} must be {what}, not an array of shape {value.shape}")
    parts = tuple(value)
    if len(parts) != 2:
        raise ValueError(f"{name} must be {what}, not {len(parts)} values")
    return parts[0], parts[1]


def edge(value: Any, name: str) -> tuple[float, float, float, float]:
    """An edge ((x, y), (dx, dy)) as x, y, dx, dy; errors by the rule of pair()."""
    point, direction = two(value, name, "a (point, direction) pair of (x, y) pairs")
    px, py = pair(point, f"{name} point")
    dx, dy = pair(direction, f"{name} direction")
    return px, py, dx, dy


def out_array(out: Any, shape: tuple[int, ...], dtype: np.dtype, name: str = "out") -> np.ndarray:
    """out= checked: an ndarray of exactly this dtype and shape, C-contiguous, writeable."""
    if type(out) is not np.ndarray:
        raise TypeError(f"{name} must be a numpy.ndarray, not {type(out).__name__}")
    if out.dtype != dtype:
        raise TypeError(f"{name} must have dtype {dtype}, not {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, not {out.shape}")
    flags = out.flags
    if not flags.writeable:
        raise ValueError(f"{name} is read-only")
    if not (flags.c_contiguous and flags.aligned):
        raise ValueError(f"{name} must be C-contiguous and aligned")
    return out


def spans(inputs: dict[str, np.ndarray]) -> tuple[tuple[str, int, int], ...]:
    """(name, first byte, last byte + 1) of every non-empty input."""
    result = []
    for key, a in inputs.items():
        if a.nbytes:
            lo = address(a)
            result.append((key, lo, lo + a.nbytes))
    return tuple(result)


def check_overlap(out: np.ndarray, out_address: int,
                  inputs: tuple[tuple[str, int, int], ...], same_ok: bool,
                  name: str = "out") -> None:
    """ValueError if out shares memory with an input. With same_ok, an input that
    is exactly out (same first byte, same size) is allowed: the kernel reads
    each element before it writes it."""
    lo, hi = out_address, out_address + out.nbytes
    if lo == hi:
        return
    for key, alo, ahi in inputs:
        if alo < hi and lo < ahi and not (same_ok and alo == lo and ahi == hi):
            raise ValueError(f"{name} overlaps {key}")


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def threads(n_threads: Any, work: int, threshold: int) -> int:
    """Threads to use: n_threads, or with None all usable cores when work
    reaches threshold, else 1."""
    if n_threads is None:
        return 1 if work < threshold else min(cores(), MAX_THREADS)
    return min(index(n_threads, "n_threads", lo=1), MAX_THREADS)
