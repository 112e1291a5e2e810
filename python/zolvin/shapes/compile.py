"""Shapes into regions: the compiler, and the regions of recent shapes kept.

``compile_shape`` turns a shape into the region description that the exact
rasterizer takes: directed boundary pieces grouped into leaves, and a postfix
boolean program over the leaves. Every union of plain figures is one leaf
whose pieces are positively oriented (exteriors counter-clockwise, holes
clockwise): a point is inside the union exactly where their winding number is
positive, so the 798 segments of a large telescope cost one leaf.
Differences and intersections are the program's operations.
"""
from __future__ import annotations

import functools
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ..core.checks import FloatArray
from ..core.limits import AND, DIFF, MAX_DEPTH, MAX_LEAVES, OR
from ..core.values import sealed
from .base import Box, Difference, Figure, Intersection, Shape, Union, as_shape, figures, union_box
from .region import Region

__all__ = ["Compiled", "compile_shape"]

# Compiled regions kept for reuse.
CACHE = 64


class Compiled(NamedTuple):
    """A shape as the exact rasterizer's region takes it (see ``compile_shape``)."""

    segments: FloatArray      # (ns, 4) x0, y0, x1, y1
    segment_leaf: npt.NDArray[np.int32]
    arcs: FloatArray          # (na, 8) cx, cy, a, b, c, d, t0, t1
    arc_leaf: npt.NDArray[np.int32]
    leaf_rules: tuple[str, ...]
    program: tuple[int, ...]


def reach_box(shape: Shape) -> Box | None:
    """The box that spiders of length None run beyond: the union of the
    bounding boxes of every figure with an extent of its own."""
    return union_box([b for b in (f.bounds for f in figures(shape)) if b is not None])


class _Builder:
    """Leaves and their pieces, as compilation adds them."""

    def __init__(self, box: Box | None) -> None:
        self.box = box
        self.segments: list[FloatArray] = []
        self.segment_leaf: list[np.ndarray] = []
        self.arcs: list[FloatArray] = []
        self.arc_leaf: list[np.ndarray] = []
        self.leaves = 0

    def leaf(self, parts: Sequence[Figure]) -> int:
        """One "positive" leaf holding all the figures' pieces: their union."""
        k = self.leaves
        if k == MAX_LEAVES:
            raise ValueError(f"shape needs more than {MAX_LEAVES} leaves: compose it with fewer "
                             f"differences and intersections")
        self.leaves += 1
        for f in parts:
            segs, arcs = f._pieces(self.box)
            self.segments.append(segs)
            self.segment_leaf.append(np.full(segs.shape[0], k, np.int32))
            self.arcs.append(arcs)
            self.arc_leaf.append(np.full(arcs.shape[0], k, np.int32))
        return k

    def program(self, shape: Shape) -> list[int]:
        if isinstance(shape, Figure):
            return [self.leaf([shape])]
        if isinstance(shape, Difference):
            return self.program(shape.base) + self.program(shape.cut) + [DIFF]
        if isinstance(shape, Intersection):
            return self._fold([self.program(p) for p in shape.parts], AND)
        assert isinstance(shape, Union)
        plain = [p for p in shape.parts if isinstance(p, Figure)]
        progs = [[self.leaf(plain)]] if plain else []
        progs += [self.program(p) for p in shape.parts if not isinstance(p, Figure)]
        return self._fold(progs, OR)

    @staticmethod
    def _fold(progs: list[list[int]], op: int) -> list[int]:
        out = progs[0]
        for p in progs[1:]:
            out = out + p + [op]
        return out

    def result(self, program: list[int]) -> Compiled:
        def cat(parts: list[np.ndarray], width: int, dtype: Any) -> np.ndarray:
            arr = np.concatenate(parts) if parts else np.empty((0, width) if width else 0, dtype)
            return sealed(np.ascontiguousarray(arr, dtype=dtype))
        return Compiled(cat(self.segments, 4, np.float64), cat(self.segment_leaf, 0, np.int32),
                        cat(self.arcs, 8, np.float64), cat(self.arc_leaf, 0, np.int32),
                        ("positive",) * self.leaves, tuple(program))


def compilable(shape: Any, name: str = "shape") -> Shape:
    """The shape, if its region fits the kernel: at most MAX_LEAVES leaves,
    compositions at most MAX_DEPTH deep (ValueError otherwise), known
    without walking it."""
    checked = as_shape(shape, name)
    leaves, depth = checked._leaves_depth()
    if leaves > MAX_LEAVES:
        raise ValueError(f"{name} needs {leaves} leaves, more than {MAX_LEAVES}: compose it "
                         f"with fewer differences and intersections")
    if depth > MAX_DEPTH:
        raise ValueError(f"{name} nests compositions {depth} deep, more than {MAX_DEPTH}")
    return checked


def compile_shape(shape: Shape, box: Box | None = None) -> Compiled:
    """The shape's region: every union of figures one "positive" leaf, the
    rest postfix operations. Spiders of length None run beyond ``box``
    (default: ``reach_box(shape)``). A shape of more than 64 leaves (each
    difference and intersection adds one per operand; a union of figures is
    one) is a ValueError."""
    shape = compilable(shape)
    b = _Builder(reach_box(shape) if box is None else box)
    return b.result(b.program(shape))


def region(shape: Shape, box: Box | None = None) -> Region:
    """The shape compiled into a Region (see ``compile_shape``)."""
    c = compile_shape(shape, box)
    return Region(c.segments, c.segment_leaf, c.arcs, c.arc_leaf, c.leaf_rules, c.program)


def cached_region(shape: Shape) -> Region:
    """region(shape), kept for the shapes used last: the chunks of a dask
    array do not compile the same shape again. A shape too large to compile
    is refused before the cache hashes it (hashing walks the shape)."""
    return _cached_region(compilable(shape))


@functools.lru_cache(maxsize=CACHE)
def _cached_region(shape: Shape) -> Region:
    return region(shape)
