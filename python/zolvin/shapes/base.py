"""The shape algebra: Shape, the figures' base, and the union, intersection
and difference of shapes.

A Figure has a boundary of its own, which it gives as directed pieces
(segments and elliptic arcs) that wind positively around it: exteriors
counter-clockwise, holes clockwise. Compositions hold their parts; the shape
compiler (compile.py) turns a composition into a region program over its
figures' pieces. A figure is all a new kind of shape needs to define: its
arguments, bounds and pieces.
"""
from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

from ..core.checks import FloatArray
from ..core.values import Value

__all__ = ["Difference", "Intersection", "Shape", "Union"]

TAU = 2 * math.pi
Box = tuple[float, float, float, float]


class Shape(Value):
    """A plane figure; combine with ``|`` (union), ``-`` (difference) and
    ``&`` (intersection)."""

    __slots__ = ()

    # Value semantics: _args() are the constructor's arguments, enough to
    # make the shape again (pickle) and to compare it.
    def _key(self) -> tuple[Any, ...]:
        return (type(self).__name__, self._args(), tuple(sorted(self._kwargs().items())))

    def __or__(self, other: Shape) -> Shape:
        return Union(self, as_shape(other, "right operand of |"))

    def __sub__(self, other: Shape) -> Shape:
        return Difference(self, as_shape(other, "right operand of -"))

    def __and__(self, other: Shape) -> Shape:
        return Intersection(self, as_shape(other, "right operand of &"))

    @property
    def bounds(self) -> Box | None:
        """(xmin, ymin, xmax, ymax) enclosing the shape; None for what has no
        extent of its own (a Spider of length None, an empty shape)."""
        raise NotImplementedError

    def _leaves_depth(self) -> tuple[int, int]:
        """(leaves, depth): the leaves its region needs (see compile.py) and
        how deeply it nests compositions (a figure: 0). Known from the parts
        when a composition is made, so that a shape too large to compile is
        refused without walking it."""
        return 1, 0

    def _simple(self) -> bool:
        """Whether the shape's winding number is 0 or 1 everywhere, the
        inside +1: such a region is evaluated by accumulation, the others
        by the strip sweep. False unless a figure knows it."""
        return False

    def _empty(self) -> bool:
        """Whether the shape has no piece at all (an empty polygon), known
        without compiling it. (A shape without bounds may be unbounded.)"""
        return False

    def _accumulated(self) -> bool:
        """Whether its one region over a Grid may be accumulated (compiled
        with ``simple=True``): simple, and no two parts of it can share an
        edge, which would leave a whole pixel where they meet a rounding
        away from 1.0 instead of exactly 1.0."""
        return self._simple()


def as_shape(value: Any, name: str) -> Shape:
    if not isinstance(value, Shape):
        raise TypeError(f"{name} must be a zolvin.shapes.Shape, not {type(value).__name__}")
    return value


class Figure(Shape):
    """A figure with a boundary of its own: its pieces, positively oriented."""

    __slots__ = ()

    def _pieces(self, box: Box | None) -> tuple[FloatArray, FloatArray]:
        """(segments (n, 4), arcs (m, 8)) of the boundary: exteriors
        counter-clockwise, holes clockwise. box is what a figure without an
        extent of its own runs beyond (None where there is nothing)."""
        raise NotImplementedError

    def _pieces_near(self, box: Box | None,
                     near: Box) -> tuple[FloatArray, FloatArray] | None:
        """The pieces that matter to pixels inside ``near``, for a figure
        that can leave out the others and keep every result bit there; None
        (all of ``_pieces``) for the rest."""
        return None


def box_of(points: FloatArray) -> Box:
    """The bounding box of (n, 2) points."""
    xs, ys = points[:, 0].tolist(), points[:, 1].tolist()
    return min(xs), min(ys), max(xs), max(ys)


def union_box(boxes: list[Box]) -> Box | None:
    """The box around all the boxes; None for none."""
    if not boxes:
        return None
    return (min(b[0] for b in boxes), min(b[1] for b in boxes),
            max(b[2] for b in boxes), max(b[3] for b in boxes))


def common_box(boxes: list[Box]) -> Box | None:
    """The box that all the boxes share; None for none."""
    if not boxes:
        return None
    return (max(b[0] for b in boxes), max(b[1] for b in boxes),
            min(b[2] for b in boxes), min(b[3] for b in boxes))


# ---- Compositions --------------------------------------------------------------

class _Combination(Shape):
    """Parts joined by one operator; nested joins of the same kind are flattened."""

    __slots__ = ("_shape_counts", "parts")
    parts: tuple[Shape, ...]
    _shape_counts: tuple[int, int]
    _symbol = ""

    def __init__(self, *parts: Shape) -> None:
        flat: list[Shape] = []
        for k, p in enumerate(parts):
            p = as_shape(p, f"parts[{k}]")
            flat.extend(p.parts if type(p) is type(self) else (p,))
        if not flat:
            raise ValueError(f"a {type(self).__name__} needs at least one part")
        sizes = [p._leaves_depth() for p in flat]
        self._set(parts=tuple(flat),
                  _shape_counts=(self._leaves(flat, sizes), 1 + max(d for _, d in sizes)))

    @staticmethod
    def _leaves(parts: list[Shape], sizes: list[tuple[int, int]]) -> int:
        return sum(n for n, _ in sizes)

    def _leaves_depth(self) -> tuple[int, int]:
        return self._shape_counts

    def _args(self) -> tuple[Any, ...]:
        return self.parts

    def __repr__(self) -> str:
        return "(" + f" {self._symbol} ".join(map(repr, self.parts)) + ")"

    @property
    def bounds(self) -> Box | None:
        return self._join([b for b in (p.bounds for p in self.parts) if b is not None])

    @staticmethod
    def _join(boxes: list[Box]) -> Box | None:
        raise NotImplementedError


class Union(_Combination):
    """Points in any of the parts. ``a | b``; nested unions are flattened."""

    __slots__ = ()
    _symbol = "|"
    _join = staticmethod(union_box)

    def _empty(self) -> bool:
        return all(p._empty() for p in self.parts)

    def _accumulated(self) -> bool:
        # Empty parts add no piece: what is left may be one simple shape.
        solid = [p for p in self.parts if not p._empty()]
        return len(solid) == 1 and solid[0]._accumulated()

    @staticmethod
    def _leaves(parts: list[Shape], sizes: list[tuple[int, int]]) -> int:
        # Its figures share one leaf.
        plain = any(isinstance(p, Figure) for p in parts)
        return int(plain) + sum(n for p, (n, _) in zip(parts, sizes) if not isinstance(p, Figure))


class Intersection(_Combination):
    """Points in all of the parts. ``a & b``; nested intersections are flattened."""

    __slots__ = ()
    _symbol = "&"
    _join = staticmethod(common_box)


class Difference(Shape):
    """Points in ``base`` and not in ``cut``: ``base - cut``."""

    __slots__ = ("_shape_counts", "base", "cut")
    base: Shape
    cut: Shape
    _shape_counts: tuple[int, int]

    def __init__(self, base: Shape, cut: Shape) -> None:
        base, cut = as_shape(base, "base"), as_shape(cut, "cut")
        (nb, db), (nc, dc) = base._leaves_depth(), cut._leaves_depth()
        self._set(base=base, cut=cut, _shape_counts=(nb + nc, 1 + max(db, dc)))

    def _leaves_depth(self) -> tuple[int, int]:
        return self._shape_counts

    def _args(self) -> tuple[Any, ...]:
        return (self.base, self.cut)

    def _accumulated(self) -> bool:
        # An empty cut adds no piece.
        return self.cut._empty() and self.base._accumulated()

    def __repr__(self) -> str:
        return f"({self.base!r} - {self.cut!r})"

    @property
    def bounds(self) -> Box | None:
        return self.base.bounds


# ---- Walking a shape -----------------------------------------------------------

def figures(shape: Shape) -> Iterator[Figure]:
    """The shape's figures, depth first, in the order of its parts."""
    if isinstance(shape, Figure):
        yield shape
    elif isinstance(shape, (Union, Intersection)):
        for p in shape.parts:
            yield from figures(p)
    elif isinstance(shape, Difference):
        yield from figures(shape.base)
        yield from figures(shape.cut)


def replace(shape: Shape, old: Shape, new: Shape) -> Shape:
    """The shape with every ``old`` figure replaced by ``new``."""
    if shape == old:
        return new
    if isinstance(shape, Union):
        return Union(*(replace(p, old, new) for p in shape.parts))
    if isinstance(shape, Intersection):
        return Intersection(*(replace(p, old, new) for p in shape.parts))
    if isinstance(shape, Difference):
        return Difference(replace(shape.base, old, new), replace(shape.cut, old, new))
    return shape
