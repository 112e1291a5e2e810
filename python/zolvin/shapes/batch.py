"""Many regions in flat arrays: the compiled form the many-region engine
reads, built from catalogs, sequences of shapes or shapely geometries without
a Python object per region where the input allows it."""
from __future__ import annotations

import importlib
from typing import Any

import numpy as np
import numpy.typing as npt

from ..core.checks import FloatArray
from ..core.limits import RULE_CODES
from ..core.values import Value, sealed

__all__ = ["RegionBatch"]

IntArray = npt.NDArray[np.int32]
Int64Array = npt.NDArray[np.int64]

def _frozen(a: np.ndarray, dtype: Any) -> np.ndarray:
    return sealed(np.ascontiguousarray(a, dtype=dtype))


def _shapely() -> Any:
    """shapely, imported only where geometries are read."""
    return importlib.import_module("shapely")


def _starts(counts: np.ndarray) -> Int64Array:
    out = np.zeros(len(counts) + 1, np.int64)
    np.cumsum(counts, out=out[1:])
    return out


class RegionBatch(Value):
    """n regions in flat arrays, plane coordinates: region k owns segments
    ``segment_start[k]:segment_start[k + 1]`` and the same for arcs, leaf
    rules and program, and is ``simple`` when its winding number is 0 or 1
    everywhere with the inside winding +1 (evaluated by accumulation; the
    others by the strip sweep). ``bounds`` holds each region's plane bounding
    box ``(xmin, ymin, xmax, ymax)``.

    Made by a catalog (``batch()``), from shapes or regions by
    ``compile_batch``, or from shapely geometries by ``RegionBatch.of_shapely``;
    immutable (its arrays are read-only).
    """

    __slots__ = ("arc_leaf", "arc_start", "arcs", "bounds", "program", "program_start",
                 "rule_start", "rules", "segment_leaf", "segment_start", "segments", "simple")
    segments: FloatArray
    segment_start: Int64Array
    segment_leaf: IntArray
    arcs: FloatArray
    arc_start: Int64Array
    arc_leaf: IntArray
    rules: npt.NDArray[np.uint8]
    rule_start: Int64Array
    program: IntArray
    program_start: Int64Array
    simple: npt.NDArray[np.uint8]
    bounds: FloatArray

    def __init__(self, segments: Any, segment_start: Any, segment_leaf: Any, arcs: Any,
                 arc_start: Any, arc_leaf: Any, rules: Any, rule_start: Any, program: Any,
                 program_start: Any, simple: Any) -> None:
        segments = _frozen(np.reshape(segments, (-1, 4)), np.float64)
        arcs = _frozen(np.reshape(arcs, (-1, 8)), np.float64)
        simple = _frozen(simple, np.uint8)
        n = len(simple)
        starts = {}
        for name, value, total in (("segment_start", segment_start, len(segments)),
                                   ("arc_start", arc_start, len(arcs)),
                                   ("rule_start", rule_start, len(rules)),
                                   ("program_start", program_start, len(program))):
            s = _frozen(value, np.int64)
            if s.shape != (n + 1,) or s[0] != 0 or s[-1] != total or np.any(np.diff(s) < 0):
                raise ValueError(f"{name} must rise from 0 to {total} in {n + 1} values")
            starts[name] = s
        if not (np.isfinite(segments).all() and np.isfinite(arcs).all()):
            raise ValueError("a region's coordinates must be finite")
        self._set(segments=segments, segment_leaf=_frozen(segment_leaf, np.int32), arcs=arcs,
                  arc_leaf=_frozen(arc_leaf, np.int32), rules=_frozen(rules, np.uint8),
                  program=_frozen(program, np.int32), simple=simple, **starts)
        object.__setattr__(self, "bounds", _frozen(self._bounds(), np.float64))

    def _args(self) -> tuple[Any, ...]:
        return (self.segments, self.segment_start, self.segment_leaf, self.arcs, self.arc_start,
                self.arc_leaf, self.rules, self.rule_start, self.program, self.program_start,
                self.simple)

    def _key(self) -> tuple[Any, ...]:
        return ("RegionBatch", *(a.dtype.str + a.tobytes().hex() for a in self._args()))

    def __len__(self) -> int:
        return len(self.simple)

    def __repr__(self) -> str:
        return (f"<RegionBatch of {len(self)} regions: {len(self.segments)} segments, "
                f"{len(self.arcs)} arcs, {int(self.simple.sum())} simple>")

    def _bounds(self) -> FloatArray:
        """Each region's plane box from its pieces (a whole ellipse's box for
        any arc); pieces lie region after region, so each bound is one
        reduction per region."""
        n = len(self)
        box = np.empty((n, 4))
        box[:, :2], box[:, 2:] = np.inf, -np.inf
        s, a = self.segments, self.arcs
        hx, hy = np.hypot(a[:, 2], a[:, 3]), np.hypot(a[:, 4], a[:, 5])
        for start, lo_x, lo_y, hi_x, hi_y in (
                (self.segment_start, np.minimum(s[:, 0], s[:, 2]), np.minimum(s[:, 1], s[:, 3]),
                 np.maximum(s[:, 0], s[:, 2]), np.maximum(s[:, 1], s[:, 3])),
                (self.arc_start, a[:, 0] - hx, a[:, 1] - hy, a[:, 0] + hx, a[:, 1] + hy)):
            has = np.flatnonzero(np.diff(start) > 0)
            if not len(has):
                continue
            at = start[has]
            for col, values, reduce in ((0, lo_x, np.minimum), (1, lo_y, np.minimum),
                                        (2, hi_x, np.maximum), (3, hi_y, np.maximum)):
                box[has, col] = reduce(box[has, col], reduce.reduceat(values, at))
        return box

    def _native_args(self) -> tuple[FloatArray, Int64Array, IntArray, FloatArray, Int64Array,
                                    IntArray, npt.NDArray[np.uint8], Int64Array, IntArray,
                                    Int64Array, npt.NDArray[np.uint8]]:
        return (self.segments, self.segment_start, self.segment_leaf, self.arcs,
                self.arc_start, self.arc_leaf, self.rules, self.rule_start, self.program,
                self.program_start, self.simple)

    # ---- construction -------------------------------------------------------

    @classmethod
    def single_leaf(cls, segments: FloatArray, segment_count: np.ndarray, arcs: FloatArray,
                    arc_count: np.ndarray, simple: np.ndarray,
                    rule: str = "positive") -> RegionBatch:
        """Regions of one leaf each (filled by `rule`), their segments and arcs
        given region after region with the counts per region."""
        n = len(simple)
        return cls(segments, _starts(segment_count), np.zeros(len(segments), np.int32), arcs,
                   _starts(arc_count), np.zeros(len(arcs), np.int32),
                   np.full(n, RULE_CODES[rule], np.uint8), np.arange(n + 1, dtype=np.int64),
                   np.zeros(0, np.int32), np.zeros(n + 1, np.int64), simple)

    @classmethod
    def _concat(cls, parts: list[tuple[Any, ...]], simple: np.ndarray) -> RegionBatch:
        """Regions given as (segments, segment_leaf, arcs, arc_leaf, rules,
        program) each, one after another."""
        def cat(i: int, width: int, dtype: Any) -> tuple[np.ndarray, Int64Array]:
            arrays = [np.reshape(p[i], (-1, width)) if width > 1 else np.ravel(p[i])
                      for p in parts]
            counts = np.array([len(a) for a in arrays], np.int64)
            shape = (0, width) if width > 1 else (0,)
            joined = np.concatenate(arrays) if arrays else np.zeros(shape)
            return joined.astype(dtype), _starts(counts)
        segs, seg_start = cat(0, 4, np.float64)
        seg_leaf, _ = cat(1, 1, np.int32)
        arcs, arc_start = cat(2, 8, np.float64)
        arc_leaf, _ = cat(3, 1, np.int32)
        rules, rule_start = cat(4, 1, np.uint8)
        program, program_start = cat(5, 1, np.int32)
        return cls(segs, seg_start, seg_leaf, arcs, arc_start, arc_leaf, rules, rule_start,
                   program, program_start, simple)

    @classmethod
    def of_shapely(cls, geoms: Any, name: str = "apertures") -> RegionBatch:
        """One region per shapely Polygon or MultiPolygon; valid ones are
        accumulated, invalid ones refused (ValueError naming the first)."""
        shapely = _shapely()
        arr = np.asarray(geoms, dtype=object).ravel()
        kinds = shapely.get_type_id(arr)
        bad = np.flatnonzero((kinds != 3) & (kinds != 6) & ~shapely.is_empty(arr))
        if len(bad):
            raise TypeError(f"{name}[{bad[0]}] must be a Polygon or MultiPolygon, "
                            f"not {shapely.get_type_id(arr[bad[0]])}")
        invalid = np.flatnonzero(~shapely.is_valid(arr) & ~shapely.is_empty(arr))
        if len(invalid):
            k = invalid[0]
            raise ValueError(f"{name}[{k}] is not a valid polygon: "
                             f"{shapely.is_valid_reason(arr[k])}")
        segs, counts = _shapely_edges(arr)
        return cls.single_leaf(segs, counts, np.zeros((0, 8)), np.zeros(len(arr), np.int64),
                               np.ones(len(arr), np.uint8))


def _shapely_edges(arr: np.ndarray) -> tuple[FloatArray, np.ndarray]:
    """Every geometry's ring edges, exteriors counter-clockwise and holes
    clockwise, and the count per geometry; in bulk."""
    shapely = _shapely()
    n = len(arr)
    polys, owner = shapely.get_parts(arr, return_index=True)
    polys = polys[~shapely.is_empty(polys)] if len(polys) else polys
    if not len(polys):
        return np.zeros((0, 4)), np.zeros(n, np.int64)
    owner = shapely.get_parts(arr, return_index=True)[1][~shapely.is_empty(
        shapely.get_parts(arr))]
    _, coords, (ring_end, poly_end) = shapely.to_ragged_array(polys)
    coords = coords[:, :2]
    ring_of_poly = np.repeat(np.arange(len(polys)), np.diff(poly_end))
    exterior = np.zeros(len(ring_end) - 1, bool)
    exterior[poly_end[:-1]] = True
    # Each ring repeats its first vertex: edges join consecutive vertices
    # within a ring.
    ring_of_vertex = np.repeat(np.arange(len(ring_end) - 1), np.diff(ring_end))
    same = ring_of_vertex[1:] == ring_of_vertex[:-1]
    a, b = coords[:-1][same], coords[1:][same]
    ring = ring_of_vertex[:-1][same]
    # Twice the signed area of each ring, about its first vertex.
    first = coords[ring_end[:-1]][ring]
    cross = (a[:, 0] - first[:, 0]) * (b[:, 1] - first[:, 1]) - \
        (a[:, 1] - first[:, 1]) * (b[:, 0] - first[:, 0])
    area = np.bincount(ring, cross, minlength=len(ring_end) - 1)
    flip = ((area > 0) != exterior)[ring]
    segs = np.where(flip[:, None], np.hstack([b, a]), np.hstack([a, b]))
    edge_owner = owner[ring_of_poly[ring]]
    order = np.argsort(edge_owner, kind="stable")
    counts = np.bincount(edge_owner, minlength=n).astype(np.int64)
    return np.ascontiguousarray(segs[order]), counts
