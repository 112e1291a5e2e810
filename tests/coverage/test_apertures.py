import math

import dask
import numpy as np
import pytest
import shapely
import shapely.affinity
import zolvin
import zolvin.dask
from helpers import refusal_ids, refused, same_bits
from zolvin import Grid, pupils
from zolvin.shapes import (
    Difference,
    Disc,
    Ellipse,
    Hexagon,
    HexSegments,
    Intersection,
    Polygon,
    RegularPolygon,
    Spider,
    Union,
)

# Chords per quarter turn of the shapely circles: their areas within 1e-9 relative.
QUAD_SEGS = 1 << 14
# Per pixel against the oracle where arcs are: its chords lie within
# r (pi / 2^15)^2 / 2 ~ 5e-9 r of them (r ~ 10 pixels here).
ARC_TOL = 1e-7


# ---- An independent picture of the shapes, in shapely -----------------------

def _hexagon(cx, cy, f2f, angle):
    r = f2f / math.sqrt(3)
    return shapely.Polygon([(cx + r * math.cos(angle + k * math.pi / 3),
                             cy + r * math.sin(angle + k * math.pi / 3)) for k in range(6)])


def oracle(shape, reach=1e3):
    """The shape as a shapely geometry, from its parameters alone."""
    if isinstance(shape, Disc):
        return shapely.Point(shape.center).buffer(shape.radius, quad_segs=QUAD_SEGS)
    if isinstance(shape, Ellipse):
        (p, q), unit = shape.semi_axes, shapely.Point(0, 0).buffer(1.0, quad_segs=QUAD_SEGS)
        e = shapely.affinity.rotate(shapely.affinity.scale(unit, p, q), shape.angle,
                                    origin=(0, 0), use_radians=True)
        return shapely.affinity.translate(e, *shape.center)
    if isinstance(shape, Polygon):
        return shapely.union_all([shapely.Polygon(p[0], p[1:]) for p in shape.polygons])
    if isinstance(shape, RegularPolygon):
        n, r, (cx, cy) = shape.sides, shape.circumradius, shape.center
        return shapely.Polygon([(cx + r * math.cos(shape.angle + 2 * math.pi * k / n),
                                 cy + r * math.sin(shape.angle + 2 * math.pi * k / n))
                                for k in range(n)])
    if isinstance(shape, Spider):
        ell = shape.length if shape.length is not None else reach
        bar = shapely.box(0, -shape.width / 2, ell, shape.width / 2)
        bar = shapely.affinity.rotate(bar, shape.angle, origin=(0, 0), use_radians=True)
        return shapely.affinity.translate(bar, *shape.start)
    if isinstance(shape, HexSegments):
        a = 0.0 if shape.orientation == "flat" else math.pi / 6
        return shapely.union_all([_hexagon(x, y, shape.flat_to_flat, a)
                                  for x, y in shape.centers])
    if isinstance(shape, Union):
        return shapely.union_all([oracle(p, reach) for p in shape.parts])
    if isinstance(shape, Intersection):
        return shapely.intersection_all([oracle(p, reach) for p in shape.parts])
    assert isinstance(shape, Difference)
    return shapely.difference(oracle(shape.base, reach), oracle(shape.cut, reach))


def oracle_coverage(grid, geom):
    (a, b), (c, d) = grid.jac
    x0, y0 = grid.origin
    v, u = np.meshgrid(np.arange(grid.shape[0]) + grid.row0,
                       np.arange(grid.shape[1]) + grid.col0, indexing="ij")
    ring = [(u + du, v + dv) for du, dv in ((-.5, -.5), (.5, -.5), (.5, .5), (-.5, .5))]
    xy = np.stack([np.stack([x0 + a * p + b * q, y0 + c * p + d * q], -1) for p, q in ring], -2)
    pix = shapely.polygons(xy)
    return shapely.area(shapely.intersection(geom, pix)) / grid.pixel_area


def interior(grid, geom):
    """Pixels whose parallelogram lies inside the geometry, its boundary not touching theirs."""
    (a, b), (c, d) = grid.jac
    x0, y0 = grid.origin
    v, u = np.meshgrid(np.arange(grid.shape[0]) + grid.row0,
                       np.arange(grid.shape[1]) + grid.col0, indexing="ij")
    ring = [(u + du, v + dv) for du, dv in ((-.5, -.5), (.5, -.5), (.5, .5), (-.5, .5))]
    xy = np.stack([np.stack([x0 + a * p + b * q, y0 + c * p + d * q], -1) for p, q in ring], -2)
    return shapely.contains_properly(geom, shapely.polygons(xy))


def grid_over(box, n, kind):
    """An n x n grid over the box (xmin, ymin, xmax, ymax), plain or distorted."""
    x0, y0, x1, y1 = box
    p = max(x1 - x0, y1 - y0) / (n - 4)
    jac = {"square": ((p, 0.0), (0.0, p)),
           "sheared": ((p, 0.3 * p), (0.1 * p, 0.9 * p)),
           "rotated": ((0.6 * p, -0.8 * p), (0.8 * p, 0.6 * p)),
           "mirrored": ((-p, 0.0), (0.0, p))}[kind]
    (a, b), (c, d) = jac
    h = 0.5 * (n - 1)
    cx, cy = 0.5 * (x0 + x1), 0.5 * (y0 + y1)
    return Grid((n, n), (cx - (a + b) * h, cy - (c + d) * h), jac)


# ---- Shapes under test -------------------------------------------------------

SQUARE = Polygon([(0, 0), (4, 0), (4, 4), (0, 4)])
TRIANGLE = Polygon([(1, 1), (3.5, 2), (1.5, 3.7)])
ARRAY = HexSegments(1.0, 0.05, 2, keep=lambda x, y, ring: ring > 0)
SPIDERS = Union(*(Spider((0.1, -0.05), t, 0.13) for t in (0.3, 2.2, 4.4)))
POLYGONAL = {
    "segments minus spiders": ARRAY - SPIDERS,
    "square minus triangle": SQUARE - TRIANGLE,
    "overlapping union": SQUARE | Hexagon((4, 3), 1.7, 0.2) | Polygon([(-1, 2), (2, -1), (3, 3)]),
    "nested": (SQUARE & RegularPolygon((2.5, 2), 2.2, 5, 0.1)) - (TRIANGLE | Spider((0, 2), 0.1,
                                                                                      0.3, 5)),
    "polygon with hole": Polygon([[(0, 0), (5, 0), (5, 5), (0, 5)], [(1, 1), (1, 4), (4, 4)]]),
}


@pytest.mark.parametrize("kind", ["square", "sheared", "rotated", "mirrored"])
@pytest.mark.parametrize("name", POLYGONAL)
def test_polygonal_against_shapely(name, kind):
    shape = POLYGONAL[name]
    grid = grid_over(shape.bounds, 28, kind)
    got = zolvin.aperture_coverage(grid, shape)
    geom = oracle(shape)
    assert np.abs(got - oracle_coverage(grid, geom)).max() <= 1e-12
    inside = interior(grid, geom)
    assert got.min() >= 0.0 and got.max() <= 1.0 and inside.any()
    assert np.all(got[inside] == 1.0)


CURVED = {
    "disc": (Disc((0.3, -0.2), 2.0), math.pi * 4.0),
    "annulus": (Disc((0.3, -0.2), 2.0) - Disc((0.3, -0.2), 0.7), math.pi * (4.0 - 0.49)),
    "ellipse": (Ellipse((0.1, 0.4), (2.2, 0.9), 0.7), math.pi * 2.2 * 0.9),
    "pinhole": (Disc((0.01, 0.02), 1e-3), math.pi * 1e-6),
}


@pytest.mark.parametrize("kind", ["square", "sheared"])
@pytest.mark.parametrize("name", CURVED)
def test_curved_against_shapely(name, kind):
    shape, _ = CURVED[name]
    grid = grid_over((-2.5, -2.5, 2.5, 2.5), 24, kind)
    got = zolvin.aperture_coverage(grid, shape)
    want = oracle_coverage(grid, oracle(shape))
    assert np.abs(got - want).max() <= ARC_TOL


@pytest.mark.parametrize("kind", ["square", "sheared", "rotated"])
def test_curved_areas_analytic(kind):
    for name, (shape, area) in CURVED.items():
        grid = grid_over((-4, -4, 4, 4), 300, kind)
        got = zolvin.aperture_coverage(grid, shape)
        assert not (got[[0, -1]].any() or got[:, [0, -1]].any())  # the grid holds the shape
        assert got.sum() * grid.pixel_area == pytest.approx(area, rel=1e-10), name


@pytest.mark.parametrize("obscuration, struts, width", [(0.3, 4, 0.02), (0.0, 3, 0.3),
                                                        (0.45, 6, 0.5)])
def test_pupil_shapes_match_analytic_area(obscuration, struts, width):
    angles = zolvin.strut_angles(struts)
    hole = [Disc((0, 0), obscuration)] if obscuration else []
    shape = Disc((0, 0), 1.0) - Union(*hole, *(Spider((0, 0), t, width) for t in angles))
    grid = Grid.spanning(1.0, 512, shear=0.2)
    got = zolvin.aperture_coverage(grid, shape).sum() * grid.pixel_area
    want = zolvin.analytic_area(1.0, obscuration=obscuration, struts=angles, strut_width=width)
    assert got == pytest.approx(want, rel=1e-10)


def test_sub_pixel_gap_keeps_its_deficit():
    # Two hexagons 0.2 pixels apart: every pixel across the gap loses exactly
    # the gap's area, and the sum is the two hexagons' areas.
    p = 0.05
    pair = HexSegments(1.0, 0.2 * p, 1, keep=[(0, 0), (0, 1)])
    # Row 22 is centred on the gap's middle, y = 0.505.
    grid = Grid((46, 28), (-0.7, -0.595), ((p, 0), (0, p)))
    got = zolvin.aperture_coverage(grid, pair)
    assert got.sum() * p * p == pytest.approx(pair.area, rel=1e-12)
    inner = got[22, np.abs(grid.origin[0] + p * np.arange(28)) < 0.2]
    assert inner.size == 8 and np.abs(inner - 0.8).max() <= 1e-12


PAIRS = [(SQUARE, TRIANGLE | Hexagon((3.5, 3.5), 1.5)), (Disc((2, 2), 1.8), SQUARE - TRIANGLE),
         (Ellipse((1, 1), (3, 1), 0.4), Spider((0, 0), 0.9, 0.7, 6))]


@pytest.mark.parametrize("a, b", PAIRS, ids=["polygons", "disc", "ellipse"])
def test_inclusion_exclusion(a, b):
    grid = grid_over((-1, -1, 5, 5), 40, "sheared")

    def cov(s):
        return zolvin.aperture_coverage(grid, s)

    assert np.abs(cov(a | b) + cov(a & b) - cov(a) - cov(b)).max() <= 1e-12
    assert np.abs(cov(a - b) + cov(a & b) - cov(a)).max() <= 1e-12


def test_bits_over_threads_windows_and_chunks():
    shape = pupils.keck()
    grid = pupils.spanning_grid(shape, 90, margin=2)
    whole = zolvin.aperture_coverage(grid, shape, n_threads=1)
    for n in (2, 3):
        assert same_bits(zolvin.aperture_coverage(grid, shape, n_threads=n), whole)
    assert same_bits(zolvin.aperture_coverage(grid[7:50, 31:89], shape), whole[7:50, 31:89])
    out = np.full(grid.shape, np.nan)
    assert zolvin.aperture_coverage(grid, shape, out=out) is out and same_bits(out, whole)
    arr = zolvin.dask.aperture_coverage(grid, shape, chunks=(37, 41))
    with dask.config.set(scheduler="threads"):
        assert same_bits(arr.compute(), whole)


def test_segment_maps_sum_to_the_aperture():
    shape = ARRAY - SPIDERS
    grid = grid_over(shape.bounds, 48, "sheared")
    maps = zolvin.aperture_coverage(grid, shape, segments=True)
    assert [m.position for m in maps] == list(ARRAY.positions) and len(maps) == 18
    total = np.zeros(grid.shape)
    for k, m in enumerate(maps):
        (r0, r1), (c0, c1) = m.rows, m.cols
        assert m.coverage.shape == (r1 - r0, c1 - c0) and m.coverage.max() > 0.5
        total[r0:r1, c0:c1] += m.coverage
        if k in (0, 7, 17):  # outside its window a segment covers nothing
            rest = zolvin.aperture_coverage(grid, shape & ARRAY.segment(k))
            rest[r0:r1, c0:c1] = 0
            assert not rest.any()
    assert np.abs(total - zolvin.aperture_coverage(grid, shape)).max() <= 1e-12


def test_segment_maps_compile_the_rest_once(monkeypatch):
    # The rest of the shape (here a polygon of 2000 vertices and the spiders)
    # is the same in every segment's part: its pieces are built once, not
    # once per segment; the maps keep their bits.
    t = np.linspace(0, 2 * np.pi, 2000, endpoint=False)
    hole = Polygon(np.stack([0.4 * np.cos(t) + 0.1, 0.3 * np.sin(t)], 1))
    shape = ARRAY - SPIDERS - hole
    grid = grid_over(shape.bounds, 40, "sheared")
    built = []
    real = {cls: cls._pieces for cls in {type(hole), *map(type, SPIDERS.parts)}}
    for cls, pieces in real.items():
        monkeypatch.setattr(cls, "_pieces", lambda self, box, _p=pieces: built.append(self) or
                            _p(self, box))
    maps = zolvin.aperture_coverage(grid, shape, segments=True)
    assert built.count(hole) == 1 and len(built) == len(set(built))
    monkeypatch.undo()
    for k in (0, 9):
        m = maps[k]
        (r0, r1), (c0, c1) = m.rows, m.cols
        part = zolvin.aperture_coverage(grid[r0:r1, c0:c1], shape & ARRAY.segment(k))
        assert np.abs(part - m.coverage).max() <= 1e-15


def test_spider_reaches_beyond_the_rest():
    bar = Spider((0.2, 0.1), 0.4, 0.05)
    shape = Disc((0, 0), 1.0) & (bar | Disc((5, 5), 0.1))
    grid = grid_over((-1.2, -1.2, 1.2, 1.2), 30, "square")
    want = oracle_coverage(grid, oracle(shape))
    assert np.abs(zolvin.aperture_coverage(grid, shape) - want).max() <= ARC_TOL
    with pytest.raises(ValueError, match="length None"):
        zolvin.aperture_coverage(grid, bar)


# 10981 segments, each 1/200 of a pixel across on unit pixels: 46000 in a pixel.
DENSE = HexSegments(0.005, 0.0, 60)
HALF = Grid((8, 8), (-1.75, -1.75), ((0.5, 0.0), (0.0, 0.5)))  # 11500 in a pixel
THIRD = Grid((8, 8), (-1.75, -1.75), ((1 / 3, 0.0), (0.0, 1 / 3)))  # 5100

REFUSALS = [
    (lambda n: zolvin.aperture_coverage(Grid((2, 2)), "disc"), TypeError, "shape"),
    (lambda n: zolvin.aperture_coverage(n.G, DENSE), ValueError, "MAX_SEGMENTS_PER_PIXEL"),
    (lambda n: zolvin.aperture_coverage(HALF, DENSE - Disc((0, 0), 0.1)), ValueError,
     "MAX_SEGMENTS_PER_PIXEL"),
    (lambda n: zolvin.aperture_coverage(HALF.pixels(), DENSE), ValueError,
     "MAX_SEGMENTS_PER_PIXEL"),
    (lambda n: zolvin.aperture_coverage(HALF, DENSE, segments=True), ValueError,
     "MAX_SEGMENTS_PER_PIXEL"),
    (lambda n: zolvin.aperture_coverage(Grid((2, 2)), SQUARE, segments=True), ValueError,
     "HexSegments"),
    (lambda n: zolvin.aperture_coverage(Grid((2, 2)).pixels(), ARRAY, segments=True), TypeError,
     "Grid"),
    (lambda n: zolvin.aperture_coverage(Grid((2, 2)), ARRAY, segments=True, out=np.zeros((2, 2))),
     ValueError, "out"),
    (lambda n: zolvin.aperture_coverage(n.G, Spider((0, 0), 0.3, 0.1)), ValueError, "length None"),
    (lambda n: zolvin.aperture_coverage(n.G, Disc((0, 0), 1.0), segments=1), TypeError, "segments"),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)


@pytest.mark.parametrize("mirror, grid", [(DENSE, THIRD), (HexSegments(0.001, 0.0, 5), HALF)])
def test_mirrors_within_the_segment_bound(mirror, grid):
    # Below the bound, by larger pixels or by few segments however small:
    # the segments touch, so their union has their summed area.
    cover = zolvin.aperture_coverage(grid, mirror)
    assert abs(cover.sum() * grid.pixel_area - mirror.area) <= 1e-12 * mirror.area
