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

import threading
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ..core.checks import FloatArray
from ..core.limits import AND, DIFF, MAX_DEPTH, MAX_LEAVES, OR, RULE_CODES
from ..core.values import sealed
from .base import Box, Difference, Figure, Intersection, Shape, Union, as_shape, figures, union_box
from .batch import RegionBatch
from .region import Region

__all__ = ["Compiled", "clear_cache", "compile_batch", "compile_shape"]

# Compiled regions kept for reuse: at most this many, holding at most this
# many bytes of arrays together (a region larger than that is not kept).
CACHE = 64
CACHE_BYTES = 256 << 20


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

    def __init__(self, box: Box | None, near: Box | None = None,
                 memo: dict[Figure, tuple[FloatArray, FloatArray]] | None = None) -> None:
        self.box = box
        self.near = near
        self.memo = memo
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
            segs, arcs = self._pieces(f)
            self.segments.append(segs)
            self.segment_leaf.append(np.full(segs.shape[0], k, np.int32))
            self.arcs.append(arcs)
            self.arc_leaf.append(np.full(arcs.shape[0], k, np.int32))
        return k

    def _pieces(self, f: Figure) -> tuple[FloatArray, FloatArray]:
        if self.near is not None:
            culled = f._pieces_near(self.box, self.near)
            if culled is not None:
                return culled
        if self.memo is None:
            return f._pieces(self.box)
        if f not in self.memo:
            self.memo[f] = f._pieces(self.box)
        return self.memo[f]

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


def compile_shape(shape: Shape, box: Box | None = None, near: Box | None = None,
                  memo: dict[Figure, tuple[FloatArray, FloatArray]] | None = None) -> Compiled:
    """The shape's region: every union of figures one "positive" leaf, the
    rest postfix operations. Spiders of length None run beyond ``box``
    (default: ``reach_box(shape)``). With ``near``, the pieces a figure can
    leave out there (``Figure._pieces_near``: the segments of a HexSegments
    whose boxes miss it) are left out: the region is the same inside
    ``near``, bit for bit in coverage, at the cost of what is near.
    ``memo`` keeps each figure's pieces for the next call with the same box:
    shapes that share figures compile them once. A shape of more than 64
    leaves (each difference and intersection adds one per operand; a union of
    figures is one) is a ValueError."""
    shape = compilable(shape)
    b = _Builder(reach_box(shape) if box is None else box, near, memo)
    return b.result(b.program(shape))


def region(shape: Shape, box: Box | None = None, near: Box | None = None,
           memo: dict[Figure, tuple[FloatArray, FloatArray]] | None = None) -> Region:
    """The shape compiled into a Region (see ``compile_shape``)."""
    c = compile_shape(shape, box, near, memo)
    if shape._accumulated():  # a figure: one leaf, which is the union of its leaves
        return Region(c.segments, c.segment_leaf, c.arcs, c.arc_leaf, c.leaf_rules, simple=True)
    return Region(c.segments, c.segment_leaf, c.arcs, c.arc_leaf, c.leaf_rules, c.program)


def compile_batch(shapes: Sequence[Any], name: str = "apertures") -> RegionBatch:
    """One region per shape (or Region) in a RegionBatch. A shape that is one
    figure winding 0 or 1 everywhere is marked simple (accumulated); the
    others go through the strip sweep."""
    parts: list[tuple[Any, ...]] = []
    simple = np.zeros(len(shapes), np.uint8)
    for k, item in enumerate(shapes):
        if isinstance(item, Region):
            parts.append(item._native_args())
            simple[k] = item.simple
            continue
        shape = as_shape(item, f"{name}[{k}]")
        c = compile_shape(shape)
        rules = np.array([RULE_CODES[r] for r in c.leaf_rules], np.uint8)
        parts.append((c.segments, c.segment_leaf, c.arcs, c.arc_leaf, rules,
                      np.array(c.program, np.int32)))
        simple[k] = shape._simple()
    return RegionBatch._concat(parts, simple)


class _Recent:
    """Regions of the shapes used last, by shape, within CACHE entries and
    CACHE_BYTES bytes; the least recently used go first. Threads (dask's)
    share it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._kept: OrderedDict[tuple[Shape, Box | None], tuple[Region, int]] = OrderedDict()
        self._bytes = 0

    def get(self, shape: Shape, near: Box | None) -> Region:
        key = (shape, near)
        with self._lock:
            hit = self._kept.get(key)
            if hit is not None:
                self._kept.move_to_end(key)
                return hit[0]
        made = region(shape, near=near)  # outside the lock: compiling may take a while
        size = _region_bytes(made)
        with self._lock:
            if key not in self._kept and size <= CACHE_BYTES:
                self._kept[key] = (made, size)
                self._bytes += size
                while len(self._kept) > CACHE or self._bytes > CACHE_BYTES:
                    _, (_, gone) = self._kept.popitem(last=False)
                    self._bytes -= gone
        return made

    def clear(self) -> None:
        with self._lock:
            self._kept.clear()
            self._bytes = 0

    def size(self) -> tuple[int, int]:
        with self._lock:
            return len(self._kept), self._bytes


def _region_bytes(r: Region) -> int:
    return int(r.segments.nbytes + r.segment_leaf.nbytes + r.arcs.nbytes + r.arc_leaf.nbytes)


_recent = _Recent()


def cached_region(shape: Shape, near: Box | None = None) -> Region:
    """region(shape, near=near), kept for the shapes used last: the chunks of
    a dask array do not compile the same shape again. A shape too large to
    compile is refused before the cache hashes it (hashing walks the shape)."""
    return _recent.get(compilable(shape), near)


def clear_cache() -> None:
    """Forget the compiled regions kept for reuse.

    ``aperture_coverage`` and its dask form keep the regions of the last
    shapes they compiled (at most 64 of them, and at most 256 MiB of arrays
    together; a larger region is not kept), so that the chunks of one array
    compile a shape once. This frees that memory at once; the next call
    compiles its shape again. Results do not change.
    """
    _recent.clear()
