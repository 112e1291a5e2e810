"""Shapes as values, what their constructors refuse, and the compiler: a
figure defined anywhere composes and compiles, since the compiler knows no
figure by name."""
import math
import pickle

import numpy as np
import pytest
import shapely
import zolvin
from helpers import refusal_ids, refused
from zolvin import pupils
from zolvin.core.limits import DIFF
from zolvin.shapes import (
    Disc,
    Ellipse,
    Hexagon,
    HexSegments,
    Polygon,
    RegularPolygon,
    Spider,
    Union,
    compile_shape,
)
from zolvin.shapes.base import Figure

SQUARE = Polygon([(0, 0), (4, 0), (4, 4), (0, 4)])
TRIANGLE = Polygon([(1, 1), (3.5, 2), (1.5, 3.7)])
HOLED = Polygon([[(0, 0), (5, 0), (5, 5), (0, 5)], [(1, 1), (1, 4), (4, 4)]])
ARRAY = HexSegments(1.0, 0.05, 2, keep=lambda x, y, ring: ring > 0)
SPIDERS = Union(*(Spider((0.1, -0.05), t, 0.13) for t in (0.3, 2.2, 4.4)))

VALUES = [Disc((1, 2), 3), Ellipse((0, 0), (2, 1), 0.5), SQUARE, HOLED,
          RegularPolygon((0, 0), 1.0, 5, 0.2), Hexagon((1, 1), flat_to_flat=2.0),
          Spider((0, 0), 1.0, 0.1), Spider((0, 0), 1.0, 0.1, 2.0), ARRAY, ARRAY - SPIDERS,
          SQUARE & TRIANGLE, pupils.elt()]


@pytest.mark.parametrize("shape", VALUES, ids=lambda s: type(s).__name__)
def test_shapes_are_values(shape):
    again = pickle.loads(pickle.dumps(shape))
    assert again == shape and hash(again) == hash(shape) and repr(again) == repr(shape)
    with pytest.raises(AttributeError):
        shape.center = (5, 5)
    if len(repr(shape)) < 400 and "..." not in repr(shape) and "<" not in repr(shape):
        namespace = {k: getattr(zolvin.shapes, k) for k in zolvin.shapes.__all__}
        assert eval(repr(shape), namespace) == shape


def test_shapes_compare_by_value():
    assert Hexagon((0, 0), 1.0) == RegularPolygon((0, 0), 1.0, 6)
    assert Disc((0, 0), 1) != Disc((0, 0), 1.5)
    assert ARRAY.segments[0] == ARRAY.segment(0)
    assert np.array_equal(ARRAY.vertices()[3], ARRAY.segments[3].vertices())
    assert (SQUARE | TRIANGLE | SQUARE).parts == (SQUARE, TRIANGLE, SQUARE)
    assert len({Disc((0, 0), 1), Disc((0.0, 0.0), 1.0)}) == 1


REFUSALS = [
    (lambda n: Disc((0, 0), -1), ValueError, "radius"),
    (lambda n: Disc((0, 0), 1e-300), ValueError, "radius"),  # its square underflows
    (lambda n: Ellipse((0, 0), (1.0, 1e200)), ValueError, "semi_axes"),
    (lambda n: Disc("ab", 1), TypeError, "center"),
    (lambda n: Ellipse((0, 0), (1, math.inf)), ValueError, "semi_axes"),
    (lambda n: Polygon(np.zeros((4, 4))), ValueError, "rings"),
    (lambda n: Polygon(3), TypeError, "rings"),
    (lambda n: RegularPolygon((0, 0), 1.0, 2), ValueError, "sides"),
    (lambda n: RegularPolygon((0, 0), 1.0, flat_to_flat=1.0), TypeError, "flat_to_flat"),
    (lambda n: Spider((0, 0), 0.0, 0.0), ValueError, "width"),
    (lambda n: HexSegments(1.0, -0.1, 2), ValueError, "gap"),
    (lambda n: HexSegments(1.0, 0.1, 2, orientation="round"), ValueError, "orientation"),
    (lambda n: HexSegments(1.0, 0.1, 1, keep=[(0, 2)]), ValueError, "keep"),
    (lambda n: HexSegments(1.0, 0.1, 1, keep=[(0, 1), (0, 1)]), ValueError, "keep"),
    (lambda n: SQUARE | 3, TypeError, "operand"),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)


def test_unions_of_figures_are_one_leaf():
    c = compile_shape((Disc((0, 0), 1.0) | SQUARE | ARRAY) - Spider((0, 0), 0.5, 0.1))
    assert c.leaf_rules == ("positive", "positive") and c.program == (0, 1, DIFF)
    assert c.arc_leaf.tolist() == [0] and set(c.segment_leaf.tolist()) == {0, 1}
    assert not c.segments.flags.writeable and not c.arcs.flags.writeable


class Kite(Figure):
    """A figure of this test's own: a quadrilateral given by its half-diagonals."""

    __slots__ = ("center", "half")

    def __init__(self, center, half):
        self._set(center=tuple(center), half=tuple(half))

    def _args(self):
        return (self.center, self.half)

    @property
    def bounds(self):
        (x, y), (a, b) = self.center, self.half
        return x - a, y - b, x + a, y + b

    def corners(self):
        (x, y), (a, b) = self.center, self.half
        return np.array([(x, y - b), (x + a, y), (x, y + b), (x - 0.4 * a, y)])

    def _pieces(self, box):
        c = self.corners()
        return np.hstack([c, np.roll(c, -1, axis=0)]), np.empty((0, 8))


def test_a_new_figure_needs_nothing_but_its_class():
    kite = Kite((1.0, 0.5), (1.5, 2.0))
    shape = (kite | Disc((2.0, 2.0), 0.7)) - Spider((-1.0, 0.0), 0.2, 0.1)
    grid = zolvin.Grid((40, 40), (-2.0, -2.0), ((0.12, 0.02), (0.0, 0.12)))
    bar = shapely.affinity.rotate(shapely.box(0, -0.05, 10, 0.05), 0.2, origin=(0, 0),
                                  use_radians=True)
    want = shapely.difference(
        shapely.union(shapely.Polygon(kite.corners()),
                      shapely.Point(2.0, 2.0).buffer(0.7, quad_segs=1 << 14)),
        shapely.affinity.translate(bar, -1.0, 0.0))
    got = zolvin.aperture_coverage(grid, shape).sum() * grid.pixel_area
    assert got == pytest.approx(want.area, rel=1e-8)
    assert pickle.loads(pickle.dumps(shape)) == shape
    assert math.isfinite(hash(shape))


S3 = math.sqrt(3.0)


@pytest.mark.parametrize("orientation, a, b, corner", [
    ("flat", (S3 / 2, 0.5), (0.0, 1.0), (1.0, 0.0)),   # corners on +-x, neighbours above
    ("pointy", (1.0, 0.0), (0.5, S3 / 2), (0.0, 1.0)),  # corners on +-y, neighbours beside
])
def test_hex_segments_sit_where_their_docstring_puts_them(orientation, a, b, corner):
    pitch = 1.1
    mirror = HexSegments(1.0, 0.1, 1, orientation, keep=[(1, 0), (0, 1), (-1, 1)],
                         center=(2.0, -3.0))
    want = [(2.0 + pitch * x, -3.0 + pitch * y)
            for x, y in (a, b, (b[0] - a[0], b[1] - a[1]))]
    np.testing.assert_allclose(mirror.centers, want, rtol=0, atol=1e-15)
    corners = mirror.segment(0).vertices() - mirror.centers[0]
    radius = mirror.point_to_point / 2
    assert np.abs(corners - np.multiply(corner, radius)).sum(axis=1).min() < 1e-15
    # Unlisted, a ring runs counter-clockwise from its position on b's axis.
    ring = HexSegments(1.0, 0.1, 1, orientation, keep=lambda x, y, r: r == 1).centers
    turns = np.unwrap(np.arctan2(ring[:, 1], ring[:, 0]))
    assert np.allclose(turns[0], np.arctan2(b[1], b[0])) and np.all(np.diff(turns) > 0)


@pytest.mark.parametrize("count_bound, byte_bound", [(64, 20_000), (3, 1 << 28)])
def test_kept_regions_stay_within_their_bounds(monkeypatch, count_bound, byte_bound):
    from zolvin.shapes import compile as C
    monkeypatch.setattr(C, "CACHE", count_bound)
    monkeypatch.setattr(C, "CACHE_BYTES", byte_bound)
    zolvin.shapes.clear_cache()
    g = zolvin.Grid((8, 8), origin=(-3.5, -3.5))
    # Polygons of 200 vertices: 6.4 kB of segments each.
    t = np.linspace(0, 2 * np.pi, 200, endpoint=False)
    for k in range(12):
        ring = np.stack([(2 + 0.01 * k) * np.cos(t), 2 * np.sin(t)], 1)
        first = zolvin.aperture_coverage(g, Polygon(ring))
        assert zolvin.aperture_coverage(g, Polygon(ring)).tobytes() == first.tobytes()
        kept, size = C._recent.size()
        assert kept <= count_bound and size <= byte_bound
    assert kept > 0
    zolvin.shapes.clear_cache()
    assert C._recent.size() == (0, 0)
    # A region larger than the byte bound alone is not kept.
    monkeypatch.setattr(C, "CACHE_BYTES", 1000)
    zolvin.aperture_coverage(g, Polygon(ring))
    assert C._recent.size() == (0, 0)


@pytest.mark.parametrize("shape", [
    HexSegments(0.5, 0.01, 120),
    HexSegments(0.5, 0.01, 120) - zolvin.shapes.Disc((1.0, 0.5), 2.0),
    HexSegments(0.4, 0.0, 120, orientation="pointy", center=(30.0, -3.0)) | Spider((0, 0), 0.3, 0.2),
])
def test_far_mirror_segments_cost_nothing(shape):
    # 43,561 segments, a few hundred of them near the grid: the far ones are
    # left out before any piece is built, and the bits stay those of the
    # whole mirror (a closed ring away from the pixels changes no winding).
    import zolvin.dask
    from zolvin.shapes import compile as C
    g = zolvin.Grid((16, 16), origin=(-7.3, -8.1), jac=((0.9, 0.2), (-0.1, 1.0)))
    zolvin.shapes.clear_cache()
    got = zolvin.aperture_coverage(g, shape)
    assert C._recent.size()[1] < 1 << 20  # what is kept is near
    whole = zolvin.region_coverage(g, C.region(shape))
    assert got.tobytes() == whole.tobytes()
    chunked = zolvin.dask.aperture_coverage(g, shape, chunks=5).compute()
    assert chunked.tobytes() == got.tobytes()


@pytest.mark.parametrize("shape, simple", [
    (Ellipse((0, 0), (3, 1), 0.4), 1),
    (RegularPolygon((0, 0), 2, 7), 1),
    (Polygon([[[0, 0], [4, 0], [2, 3]], [[1, 0.5], [3, 0.5], [2, 2]]]), 1),  # a hole inside
    (Polygon([[[0, 0], [4, 0], [2, 3]], [[5, 0], [9, 0], [7, 3]]]), 0),  # a hole outside
    (Polygon([[[[0, 0], [4, 0], [2, 3]]], [[[5, 0], [9, 0], [7, 3]]]]), 1),  # parts apart
    (Polygon([[[[0, 0], [4, 0], [2, 3]]], [[[1, 0.5], [3, 0.5], [2, 2]]]]), 0),  # parts nested
    (Spider((0, 0), 0.3, 0.5, 4.0), 0),
    (HexSegments(1.0, 0.1, 1), 0),
    (Disc((0, 0), 2) & Disc((1, 0), 2), 0),
])
def test_batch_marks_the_figures_that_wind_once(shape, simple):
    # Regions that wind once are accumulated, the rest swept; each keeps the
    # pieces compile_shape gives it.
    from zolvin.shapes import compile_batch
    batch = compile_batch([shape])
    c = compile_shape(shape)
    assert batch.simple.tolist() == [simple]
    np.testing.assert_array_equal(batch.segments, c.segments)
    np.testing.assert_array_equal(batch.arcs, c.arcs)
