"""Argument checks shared by the public functions.

Every check runs before any kernel does, so a refused call leaves out= as it
was. Plain Python on purpose: the checks of a one-pixel call must cost far
less than the kernel's call itself.
"""
from __future__ import annotations

import operator
import os
from typing import Any

import numpy as np
import numpy.typing as npt

F64 = np.dtype(np.float64)
INT32_MAX = 2**31 - 1
# More threads than this are never started, whatever n_threads asks for.
MAX_THREADS = 256

FloatArray = npt.NDArray[np.float64]
# An (x, y) pair, and a line as ((x, y), (dx, dy)).
PairLike = tuple[float, float] | npt.ArrayLike
EdgeLike = tuple[PairLike, PairLike]


def address(a: np.ndarray) -> int:
    return int(a.__array_interface__["data"][0])


def real(value: Any, name: str) -> float:
    """A Python float from a real number; TypeError for anything else."""
    if type(value) is float:
        return value
    if isinstance(value, (str, bytes, complex, np.complexfloating)) or value is None:
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}") from None


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
    """value as an ndarray of a dtype that casts safely to float64 (not yet converted)."""
    if type(value) is np.ndarray:
        arr = value
    else:
        try:
            arr = np.asarray(value)
        except (TypeError, ValueError) as e:
            raise TypeError(f"{name} must be an array of real numbers: {e}") from None
    if arr.dtype != F64 and (arr.dtype.kind not in "biuf"
                             or not np.can_cast(arr.dtype, F64, "safe")):
        raise TypeError(f"{name} must hold real numbers that convert to float64 without loss, "
                        f"not {arr.dtype}")
    return arr


def floats(value: Any, name: str, shape: tuple[int, ...] | None = None) -> FloatArray:
    """A C-contiguous native float64 array (the input itself when it already is one)."""
    arr = array(value, name)
    if shape is not None and arr.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, not {arr.shape}")
    if arr.dtype != F64 or not arr.flags.c_contiguous or not arr.flags.aligned:
        arr = np.ascontiguousarray(arr, dtype=F64)
    return arr


def pair(value: Any, name: str) -> tuple[float, float]:
    """An (x, y) pair of floats."""
    if type(value) is tuple and len(value) == 2:
        a, b = value
        if type(a) is float and type(b) is float:
            return a, b
    arr = array(value, name)
    if arr.shape != (2,):
        raise ValueError(f"{name} must be an (x, y) pair, not an array of shape {arr.shape}")
    return float(arr[0]), float(arr[1])


def edge(value: Any, name: str) -> tuple[float, float, float, float]:
    """An edge ((x, y), (dx, dy)) as x, y, dx, dy."""
    try:
        point, direction = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a (point, direction) pair of (x, y) pairs, "
                        f"not {value!r}") from None
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
