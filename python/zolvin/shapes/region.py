"""The Region: the compiled form every shape takes, as the exact kernel reads
it, and the checks of its program."""
from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..core import checks as V
from ..core.checks import FloatArray
from ..core.limits import BINARY, LEAF_RULES, MAX_LEAVES, NOT, RULE_CODES
from ..core.values import Value

__all__ = ["Region"]

IntArray = npt.NDArray[np.int32]


def _rows(value: Any, width: int, name: str) -> FloatArray:
    """A finite (n, width) float64 array; an empty input is (0, width)."""
    arr = V.array(value, name)
    if arr.size == 0:
        return np.zeros((0, width))
    if arr.ndim != 2 or arr.shape[1] != width:
        raise ValueError(f"{name} must have shape (n, {width}), not {arr.shape}")
    arr = arr.astype(np.float64, copy=False)
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} must be finite")
    return arr


def _leaves(value: Any, n: int, n_leaves: int, name: str) -> IntArray:
    arr = np.asarray(value)
    if arr.size == 0 and n == 0:
        return np.zeros(0, np.int32)
    if arr.dtype.kind not in "iub":
        raise TypeError(f"{name} must hold ints, not {arr.dtype}")
    if arr.shape != (n,):
        raise ValueError(f"{name} must have shape ({n},), not {arr.shape}")
    if n and (arr.min() < 0 or arr.max() >= n_leaves):
        raise ValueError(f"{name} must lie in [0, {n_leaves}) (one of the leaf_rules)")
    return arr.astype(np.int32, copy=False)


def _program(value: Any, n_leaves: int) -> tuple[int, ...]:
    if value is None:
        return ()
    try:
        ops = tuple(V.index(op, "program item") for op in value)
    except TypeError as e:
        if "program item" in str(e):
            raise TypeError(f"program must be a sequence of ints: {e}") from None
        raise TypeError(f"program must be a sequence of ints, not {type(value).__name__}") from None
    depth = 0
    for op in ops:
        if op >= 0:
            if op >= n_leaves:
                raise ValueError(f"program pushes leaf {op}, but there are {n_leaves} leaves")
            depth += 1
            if depth > MAX_LEAVES:
                raise ValueError(f"program holds more than {MAX_LEAVES} values at once")
        elif op == NOT:
            if depth < 1:
                raise ValueError("program applies NOT (-5) to an empty stack")
        elif op in BINARY:
            if depth < 2:
                raise ValueError(f"program applies {op} to fewer than two values")
            depth -= 1
        else:
            raise ValueError(f"program holds an unknown opcode {op} (leaves are >= 0, "
                             f"operators -1 OR, -2 AND, -3 DIFF, -4 XOR, -5 NOT)")
    if depth != 1:
        raise ValueError(f"program must leave exactly one value, not {depth}")
    return ops


class Region(Value):
    """A plane region: directed boundary pieces grouped into leaves, each leaf
    filled by its winding rule, and a boolean program over the leaves.

    Parameters
    ----------
    segments : array_like, shape (ns, 4)
        Directed segments ``x0, y0, x1, y1`` in plane coordinates.
    segment_leaf : array_like of int, shape (ns,)
        The leaf of each segment, in ``[0, L)``.
    arcs : array_like, shape (na, 8)
        Elliptic arcs ``cx, cy, a, b, c, d, t0, t1``: the point at parameter t
        is ``(cx + a cos t + b sin t, cy + c cos t + d sin t)``, traversed from
        t0 to t1 (either way), ``|t1 - t0| <= 2 pi`` (equal: the whole ellipse),
        ``a d - b c != 0``.
    arc_leaf : array_like of int, shape (na,)
        The leaf of each arc.
    leaf_rules : sequence of str
        One per leaf, at most 64: ``"nonzero"`` (winding != 0), ``"evenodd"``
        (odd) or ``"positive"`` (> 0). The winding of a point is +1 for each
        counter-clockwise turn of the leaf's boundary around it.
    program : sequence of int, optional
        Postfix over the leaves' memberships: ``k >= 0`` pushes leaf k, -1 OR,
        -2 AND, -3 DIFF (below and not top), -4 XOR, -5 NOT; it must leave one
        value. None (the default) is the union of all leaves.
    simple : bool, optional
        The caller's promise that the winding number of all the leaves
        together is 0 or 1 everywhere, the inside winding +1, and that the
        region is the union of its leaves (``program`` None): a Grid then
        accumulates the region piece by piece (``region_coverage``), which
        costs the pixels plus the grid lines the boundary crosses however
        densely its pieces crowd a row. False (the default): it is swept. A
        broken promise gives wrong coverage, never a crash. Polygons whose
        rings are simple together and nest as exteriors and holes, and the
        simple shapes (discs, ellipses, regular polygons), are made with it
        set.

    Notes
    -----
    Each leaf's pieces should form closed chains. An arc's end within 1e-9 of
    its size of a segment's end (or of an earlier arc's end) is joined to that
    point exactly; the offset is measured in the ellipse's own units (mapped
    back onto the unit circle), so that an end is never moved across a thin
    ellipse's width. A whole ellipse (``|t1 - t0| >= 2 pi``) closes on itself
    and is joined to nothing. A Region is immutable (its arrays are read-only
    copies that cannot be made writable), hashable and picklable; unpickling
    re-runs the checks.
    """

    __slots__ = (
        "_hash",
        "_program_array",
        "_rule_codes",
        "arc_leaf",
        "arcs",
        "leaf_rules",
        "program",
        "segment_leaf",
        "segments",
        "simple",
    )

    segments: FloatArray
    segment_leaf: IntArray
    arcs: FloatArray
    arc_leaf: IntArray
    leaf_rules: tuple[str, ...]
    program: tuple[int, ...] | None
    simple: bool
    _rule_codes: npt.NDArray[np.uint8]
    _program_array: IntArray
    _hash: int

    def __init__(self, segments: npt.ArrayLike, segment_leaf: npt.ArrayLike,
                 arcs: npt.ArrayLike, arc_leaf: npt.ArrayLike, leaf_rules: Sequence[str],
                 program: Sequence[int] | None = None, *, simple: bool = False) -> None:
        if isinstance(leaf_rules, str):
            raise TypeError("leaf_rules must be a sequence of rule names, not a str")
        try:
            rules = tuple(leaf_rules)
        except TypeError:
            raise TypeError(f"leaf_rules must be a sequence of rule names, "
                            f"not {type(leaf_rules).__name__}") from None
        for r in rules:
            if r not in LEAF_RULES:
                raise ValueError(f"leaf_rules must each be one of {LEAF_RULES}, not {r!r}")
        if len(rules) > MAX_LEAVES:
            raise ValueError(f"leaf_rules may name at most {MAX_LEAVES} leaves, not {len(rules)}")
        segs = _rows(segments, 4, "segments")
        arcs_ = _rows(arcs, 8, "arcs")
        seg_leaf = _leaves(segment_leaf, segs.shape[0], len(rules), "segment_leaf")
        arc_leaf_ = _leaves(arc_leaf, arcs_.shape[0], len(rules), "arc_leaf")
        if arcs_.shape[0]:
            span = np.abs(arcs_[:, 7] - arcs_[:, 6])
            if np.any(span > 2 * math.pi):
                raise ValueError("arcs: |t1 - t0| must be at most 2 pi")
            a, b, c, d = arcs_[:, 2], arcs_[:, 3], arcs_[:, 4], arcs_[:, 5]
            # Axes near the float64 limits overflow here; such an ellipse is
            # refused below by the reach check, so the overflow is no news.
            with np.errstate(over="ignore", invalid="ignore"):
                det = a * d - b * c
            if np.any(det == 0):
                raise ValueError("arcs: a d - b c must not be zero (a degenerate ellipse)")
        ops = _program(program, len(rules))
        simple = V.flag(simple, "simple")
        if simple and program is not None:
            raise ValueError("simple=True needs program=None: a simple region is the union of "
                             "its leaves")
        # The arrays are sealed copies (or the sealed arrays of a compiled shape).
        self._set(segments=segs, segment_leaf=seg_leaf, arcs=arcs_, arc_leaf=arc_leaf_,
                  leaf_rules=rules, program=ops if program is not None else None, simple=simple,
                  _rule_codes=np.array([RULE_CODES[r] for r in rules], np.uint8),
                  _program_array=np.array(ops, np.int32))

    def _key(self) -> tuple[Any, ...]:
        # simple is part of what a region is: it picks the kernel, and so the
        # rounding of the results.
        return ("Region", self.segments.tobytes(), self.segment_leaf.tobytes(),
                self.arcs.tobytes(), self.arc_leaf.tobytes(), self.leaf_rules, self.program,
                self.simple)

    def _args(self) -> tuple[Any, ...]:
        return (self.segments, self.segment_leaf, self.arcs, self.arc_leaf, self.leaf_rules,
                self.program)

    def _kwargs(self) -> dict[str, Any]:
        return {"simple": True} if self.simple else {}

    def __hash__(self) -> int:
        # The key holds every byte of the pieces: hashed once.
        try:
            return self._hash
        except AttributeError:
            self._set(_hash=super().__hash__())
            return self._hash

    def __repr__(self) -> str:
        prog = "" if self.program is None else f", program={self.program}"
        simple = ", simple=True" if self.simple else ""
        return (f"Region({self.segments.shape[0]} segments, {self.arcs.shape[0]} arcs, "
                f"leaf_rules={self.leaf_rules}{prog}{simple})")

    def _native_args(self) -> tuple[FloatArray, IntArray, FloatArray, IntArray,
                                    npt.NDArray[np.uint8], IntArray]:
        return (self.segments, self.segment_leaf, self.arcs, self.arc_leaf, self._rule_codes,
                self._program_array)

    def _spans(self) -> tuple[tuple[str, int, int], ...]:
        return V.spans({"region segments": self.segments, "region arcs": self.arcs})
