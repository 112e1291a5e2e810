"""Region and polygon coverage against shapely's exact areas and the analytic
areas of discs and ellipses; bit-identity over threads, windows and chunks."""
import math
import pickle
import subprocess
import sys

import numpy as np
import pytest
import shapely
import zolvin
import zolvin.dask as zd
from helpers import refusal_ids, refused, swept
from shapely.geometry import MultiPolygon, Polygon
from zolvin import Grid, Region
from zolvin.coverage.region import polygon_region

EMPTY_ARCS = np.zeros((0, 8))

GRIDS = {
    "identity": Grid((14, 16), origin=(-3.5, -2.75), jac=((0.5, 0.0), (0.0, 0.5))),
    "sheared": Grid((15, 13), origin=(-3.0, -3.1), jac=((0.5, 0.17), (-0.04, 0.45))),
    "rotated": Grid((16, 16), origin=(0.2, -5.3), jac=((0.35, -0.35), (0.35, 0.35))),
    "mirrored": Grid((13, 15), origin=(3.4, -3.2), jac=((-0.5, 0.1), (0.05, 0.5))),
}


def pixel_polygons(grid):
    """Every pixel of the grid as a shapely parallelogram."""
    _, _, x, y = grid.coordinates()
    (a, b), (c, d) = grid.jac
    corners = [(x + a * su + b * sv, y + c * su + d * sv)
               for su, sv in ((-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5))]
    ring = np.stack([np.stack(p, axis=-1) for p in corners], axis=-2)
    return shapely.polygons(ring)


def oracle(grid, geometry):
    """Per-pixel fraction of the exact intersection area."""
    px = pixel_polygons(grid)
    return shapely.area(shapely.intersection(px, geometry)) / shapely.area(px)


def star(n, r_in, r_out, centre=(0.0, 0.0), turn=0.0):
    t = turn + np.arange(2 * n) * math.pi / n
    r = np.where(np.arange(2 * n) % 2, r_in, r_out)
    return np.column_stack([centre[0] + r * np.cos(t), centre[1] + r * np.sin(t)])


def ring_segments(ring):
    ring = np.asarray(ring, float)
    return np.hstack([ring, np.roll(ring, -1, axis=0)])


def leaves(*rings_per_leaf, rules=None, program=None):
    """A Region with one leaf per list of rings."""
    segs, leaf = [], []
    for k, rings in enumerate(rings_per_leaf):
        for r in rings:
            segs.append(ring_segments(r))
            leaf += [k] * len(r)
    rules = rules or ("nonzero",) * len(rings_per_leaf)
    return Region(np.vstack(segs), leaf, EMPTY_ARCS, [], rules, program)


# Orientation as given is deliberately mixed: the rings are normalised.
POLYGONS = {
    "convex": [(-2.2, -1.9), (2.6, -1.1), (1.9, 2.3), (-1.4, 2.0)],
    "star": star(7, 0.9, 3.1, (0.1, 0.2), 0.3)[::-1],
    "holes": Polygon([(-3, -2.6), (3.1, -2.4), (2.9, 2.8), (-2.8, 3.0)],
                     [[(-2, -2), (-0.5, -1.8), (-1.0, 0.1)], [(0.3, 0.4), (2.0, 0.5), (1.2, 2.2)]]),
    "sliver": [(-3.0, -0.2), (3.0, -0.1999), (3.0, -0.1998)],
    "pixel edges": [(-1.0, -1.0), (1.5, -1.0), (1.5, 0.5), (0.0, 0.5), (0.0, 2.0), (-1.0, 2.0)],
    "far outside": [(-1e3, -1.3), (1e3, -0.8), (0.4, 1e3)],
    "multipolygon": MultiPolygon([Polygon(star(5, 0.5, 1.5, (-1.2, -1.0))),
                                  Polygon([(0.5, 0.5), (2.5, 0.6), (1.5, 2.5)])]),
}


@pytest.mark.parametrize("grid", GRIDS)
@pytest.mark.parametrize("name", POLYGONS)
def test_against_shapely(grid, name):
    g, poly = GRIDS[grid], POLYGONS[name]
    geom = poly if hasattr(poly, "__geo_interface__") else Polygon(poly)
    got = zolvin.polygon_coverage(g, poly)
    assert np.abs(got - oracle(g, geom)).max() <= 1e-12
    assert got.min() >= 0 and got.max() <= 1


@pytest.mark.parametrize("name", ["star", "holes", "pixel edges"])
def test_pixels_against_shapely(name):
    g, poly = GRIDS["sheared"], POLYGONS[name]
    geom = poly if hasattr(poly, "__geo_interface__") else Polygon(poly)
    got = zolvin.polygon_coverage(g.pixels(), poly)
    assert np.abs(got - oracle(g, geom)).max() <= 1e-12


def test_vertices_very_far_outside():
    # The edges' pixel coordinates carry the rounding of their far ends: about
    # 1e-16 of 4e6 pixels.
    g, poly = GRIDS["sheared"], [(-1e6, -1.3), (1e6, -0.8), (0.4, 1e6)]
    assert np.abs(zolvin.polygon_coverage(g, poly) - oracle(g, Polygon(poly))).max() <= 1e-9


def test_pixels_of_their_own_shape(rng):
    # Scattered parallelograms, each with its own Jacobian, against shapely;
    # and the Pixels path of a region with arcs against its Grid path.
    n = 60
    x, y = rng.uniform(-3, 3, (2, n))
    jac = rng.uniform(-0.6, 0.6, (n, 2, 2)) + np.eye(2) * 0.7
    px = zolvin.Pixels(x, y, jac)
    corners = np.stack([np.stack([x + jac[:, 0, 0] * su + jac[:, 0, 1] * sv,
                                  y + jac[:, 1, 0] * su + jac[:, 1, 1] * sv], -1)
                        for su, sv in ((-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5))], -2)
    cells = shapely.polygons(corners)
    geom = POLYGONS["holes"]
    want = shapely.area(shapely.intersection(cells, geom)) / shapely.area(cells)
    assert np.abs(zolvin.polygon_coverage(px, geom) - want).max() <= 1e-12
    g = GRIDS["rotated"]
    region = CASES["arcs"]
    assert np.abs(zolvin.region_coverage(g.pixels(), region)
                  - zolvin.region_coverage(g, region)).max() <= 1e-12


def test_edges_on_pixel_edges_and_corners():
    # Vertices on pixel corners, edges along pixel edges and through corners.
    g = Grid((8, 8), origin=(0.5, 0.5))
    poly = [(1, 1), (6, 1), (6, 3), (4, 5), (4, 7), (1, 7), (1, 4), (2, 4), (2, 2), (1, 2)]
    got = zolvin.polygon_coverage(g, poly)
    assert np.abs(got - oracle(g, Polygon(poly))).max() <= 1e-15
    assert set(np.unique(got)) <= {0.0, 0.5, 1.0}


@pytest.mark.parametrize("grid", ["identity", "sheared", "rotated", "mirrored"])
def test_sum_is_the_shoelace_area(grid):
    g = GRIDS[grid]
    poly = star(50, 1.0, 2.0, (0.1, -0.05), 0.1)
    x, y = poly.T
    shoelace = 0.5 * abs(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))
    total = zolvin.polygon_coverage(g, poly).sum() * g.pixel_area
    assert total == pytest.approx(shoelace, rel=1e-12)


@pytest.mark.parametrize("grid", ["sheared", "rotated"])
def test_shared_edges_lose_and_double_nothing(grid, rng):
    g = GRIDS[grid]
    # A jittered 5 x 5 lattice of points cut into quadrilaterals and triangles
    # that share their edges (the same vertices, bit for bit).
    lattice = np.stack(np.meshgrid(np.linspace(-3, 3, 5), np.linspace(-3, 3, 5)), axis=-1)
    lattice = lattice + rng.uniform(-0.4, 0.4, lattice.shape)
    parts = []
    for i in range(4):
        for j in range(4):
            a, b, c, d = lattice[i, j], lattice[i, j + 1], lattice[i + 1, j + 1], lattice[i + 1, j]
            parts += [[a, b, c], [a, c, d]] if (i + j) % 2 else [[a, b, c, d]]
    total = sum(zolvin.polygon_coverage(g, p) for p in parts)
    outline = np.concatenate([lattice[0], lattice[1:, -1], lattice[-1, -2::-1],
                              lattice[-2:0:-1, 0]])
    union = zolvin.polygon_coverage(g, outline)
    assert np.abs(total - union).max() <= 1e-15
    # As one MultiPolygon the shared edges change nothing: whole pixels stay 1.0.
    multi = zolvin.polygon_coverage(g, MultiPolygon([Polygon(p) for p in parts]))
    assert np.abs(multi - union).max() <= 1e-15
    assert np.all(multi[oracle(g, shapely.union_all([Polygon(p) for p in parts])) == 1.0] == 1.0)


A = star(6, 1.0, 2.8, (-0.3, 0.1))
B = [(-0.5, -2.5), (2.9, -1.0), (1.0, 2.9)]


@pytest.mark.parametrize("program, combine", [
    ((0, 1, -3), shapely.difference),
    ((0, 1, -2), shapely.intersection),
    ((0, 1, -4), shapely.symmetric_difference),
    ((0, 1, -1), shapely.union),
    ((0, -5, 1, -2), lambda a, b: shapely.difference(b, a)),
])
def test_programs(program, combine):
    g = GRIDS["sheared"]
    got = zolvin.region_coverage(g, leaves([A], [B], program=program))
    assert np.abs(got - oracle(g, combine(Polygon(A), Polygon(B)))).max() <= 1e-12


def test_evenodd_self_intersecting():
    g = GRIDS["rotated"]
    pentagram = star(5, 2.5, 2.5)[::2][[0, 2, 4, 1, 3]]  # a self-crossing ring
    got = zolvin.polygon_coverage(g, pentagram, fill="evenodd")
    # Parity leaves the five points: the star's outline minus the inner pentagon.
    outline = star(5, 2.5 * math.cos(0.4 * math.pi) / math.cos(0.2 * math.pi), 2.5)
    five_points = Polygon(outline).difference(Polygon(outline[1::2]))
    assert got.sum() > 0
    assert np.abs(got - oracle(g, five_points)).max() <= 1e-12
    with pytest.raises(ValueError, match="polygon: edges cross"):
        zolvin.polygon_coverage(g, pentagram)


def circle_arc(cx, cy, r, t0=0.0, t1=2 * math.pi):
    return [cx, cy, r, 0.0, 0.0, r, t0, t1]


def ellipse_arc(cx, cy, p, q, th, t0=0.0, t1=2 * math.pi):
    return [cx, cy, p * math.cos(th), -q * math.sin(th), p * math.sin(th), q * math.cos(th),
            t0, t1]


def polygonised(arc, n=200_000):
    cx, cy, a, b, c, d, t0, t1 = arc
    t = np.linspace(t0, t1, n, endpoint=False)
    return np.column_stack([cx + a * np.cos(t) + b * np.sin(t), cy + c * np.cos(t) + d * np.sin(t)])


def arc_region(arcs, rules, program=None, segments=(), segment_leaf=()):
    """A Region with one leaf per arc; the segments go to the leaves given."""
    return Region(segments, list(segment_leaf), arcs, list(range(len(arcs))), rules, program)


@pytest.mark.parametrize("grid", GRIDS)
@pytest.mark.parametrize("arc, area", [
    (circle_arc(0.1, -0.2, 2.1), math.pi * 2.1**2),
    (ellipse_arc(-0.2, 0.3, 2.6, 1.2, 0.7, 1.0, 1.0 - 2 * math.pi), math.pi * 2.6 * 1.2),
    (circle_arc(0.3, 0.3, 0.2), math.pi * 0.2**2),
])
def test_disc_and_ellipse_areas(grid, arc, area):
    g = GRIDS[grid]
    (a, b), (c, d) = g.jac
    cov = zolvin.region_coverage(g, arc_region([arc], ("nonzero",)))
    assert cov.sum() * g.pixel_area == pytest.approx(area, rel=1e-10)
    # 200,000 chords stand at most 2.1 * (1 - cos(pi / 2e5)) = 2.6e-10 from the
    # arc: about 1e-9 of a pixel here.
    ref = zolvin.polygon_coverage(g, polygonised(arc))
    assert np.abs(cov - ref).max() <= 3e-9


@pytest.mark.parametrize("program, combine", [
    ((0, 1, -3), shapely.difference), ((0, 1, -2), shapely.intersection),
    ((0, 1, -4), shapely.symmetric_difference),
])
@pytest.mark.parametrize("second", ["disc", "square"])
def test_arc_compositions(program, combine, second):
    g = GRIDS["sheared"]
    first = ellipse_arc(0.2, -0.1, 2.4, 1.6, 0.5)
    if second == "disc":
        other = circle_arc(1.4, 0.9, 1.7)
        region = arc_region([first, other], ("nonzero", "nonzero"), program)
        geom_b = Polygon(polygonised(other))
    else:
        sq = [(-0.4, -0.3), (2.9, 0.2), (2.5, 3.1), (-0.6, 2.6)]
        region = Region(ring_segments(sq), [1] * 4, [first], [0], ("nonzero", "nonzero"),
                        program)
        geom_b = Polygon(sq)
    ref = oracle(g, combine(Polygon(polygonised(first)), geom_b))
    assert np.abs(zolvin.region_coverage(g, region) - ref).max() <= 3e-9


def test_arcs_joined_to_segments():
    # A half disc: one arc and its diameter, their ends computed independently.
    g = GRIDS["rotated"]
    r = 2.2
    arc = circle_arc(0.0, 0.0, r, -math.pi / 2, math.pi / 2)
    seg = [[0.0, r * 1.0000000000000002, 0.0, -r]]
    cov = zolvin.region_coverage(g, Region(seg, [0], [arc], [0], ("positive",)))
    assert cov.sum() * g.pixel_area == pytest.approx(math.pi * r * r / 2, rel=1e-10)


BIG = Grid((203, 177), origin=(-5.1, -4.9), jac=((0.055, 0.012), (-0.008, 0.05)))
CASES = {
    "polygon": Region(ring_segments(star(40, 2.0, 4.0)), [0] * 80, EMPTY_ARCS, [], ("positive",)),
    "arcs": arc_region([circle_arc(0.2, 0.1, 3.9), ellipse_arc(0.5, 0.0, 2.5, 1.0, 0.3)],
                       ("nonzero", "nonzero"), (0, 1, -3),
                       ring_segments([(-4, -0.1), (4, -0.1), (4, 0.1), (-4, 0.1)]), [1] * 4),
}


@pytest.mark.parametrize("case", CASES)
def test_bits_over_threads_windows_and_chunks(case):
    region = CASES[case]
    ref = zolvin.region_coverage(BIG, region, n_threads=1)
    for nt in (2, 3):
        assert zolvin.region_coverage(BIG, region, n_threads=nt).tobytes() == ref.tobytes()
    for rows, cols in [(slice(17, 150), slice(3, 170)), (slice(100, 101), slice(90, 91))]:
        win = zolvin.region_coverage(BIG[rows, cols], region)
        assert win.tobytes() == ref[rows, cols].tobytes()
    chunked = zd.region_coverage(BIG, region, chunks=((50, 3, 150), (61, 116)))
    assert chunked.compute(scheduler="threads").tobytes() == ref.tobytes()


def sliver_triangles(rng, n):
    """Triangles whose apex lies a few ulps right of a column line and a few
    ulps above a row line, the far vertices hundreds of pixels away: clipping
    the long edge to the apex's row rounds just left of the column line."""
    for _ in range(n):
        c, r = int(rng.integers(2, 10)), int(rng.integers(1, 11))
        apex = (c + rng.uniform(0, 4e-15), r + rng.uniform(0, 4e-15))
        far = (rng.uniform(50, 5000), rng.uniform(-5000, -50))
        third = (rng.uniform(c + 1, 5000), rng.uniform(-5000, r))
        yield c, [far, apex, third]


def test_bits_whatever_the_window_ends(rng):
    grid = Grid((12, 12), origin=(0.5, 0.5))  # cell edges on whole numbers
    for c, tri in sliver_triangles(rng, 150):
        whole = zolvin.polygon_coverage(grid, tri)
        for cols in (slice(0, c), slice(c - 1, c), slice(1, c + 1)):
            win = zolvin.polygon_coverage(grid[:, cols], tri)
            assert win.tobytes() == whole[:, cols].tobytes(), (tri, cols)
    chunked = zd.polygon_coverage(grid, tri, chunks=((12,), (c, 12 - c)))
    assert chunked.compute().tobytes() == whole.tobytes()


def test_thin_ellipse_ends_are_not_joined_across_its_width():
    # Two arcs of ellipses 10^90 times taller than wide (in pixels of that
    # shape, about unit circles): an end within 1e-9 of the height of the
    # other's end, but four pixels across the width, was moved onto it, and
    # the moved piece ran outside its own range, so a cell depended on where
    # the window ended.
    h = float.fromhex
    arcs = [[h(v) for v in row.split()] for row in (
        "0x1.996p+4 -0x1p+2 0x1.fc58p+6 -0x1.9bfffffdea914p+1 -0x1.8f8p+4 "
        "0x1.0a25d33ca5b22p+301 -0x1.86p+1 -0x1.028p+2",
        "0x1.0c9p+5 -0x1.fdaf3afac330ap+1 -0x1.1838p+5 -0x1.731db6a2aa914p+1 -0x1.8f8p+4 "
        "0x1.0a25d32cb5b22p+301 -0x1.86p+1 0x1.1ap+0")]
    region = Region(np.zeros((0, 4)), [], arcs, [1, 0], ("nonzero", "evenodd", "evenodd"),
                    (0, 1, 1, -2, -4))
    jac = ((h("-0x1.1838p+5"), h("-0x1.731db6a2aa914p+1")), (h("-0x1.8f8p+4"), h("0x1.0a2bd2p+301")))
    grid = Grid((4, 4), origin=(h("0x1.053cp+6"), h("-0x1.27cp+5")), jac=jac)
    whole = zolvin.region_coverage(grid, region)
    for k in range(1, 4):
        for cols in (slice(0, k), slice(k, 4)):
            assert zolvin.region_coverage(grid[:, cols], region).tobytes() == \
                whole[:, cols].tobytes(), cols


TRIANGLE = np.array([(-2.03, -1.01), (2.57, -0.33), (0.11, 2.79)])


@pytest.mark.parametrize("copies, fill, same", [
    (2, "positive", True), (10_000, "positive", True), (10_000, "evenodd", False),
    (10_001, "evenodd", True)])
def test_a_ring_repeating_one_triangle(copies, fill, same):
    # Copies of an edge are one piece that counts their number: the ring costs
    # what one triangle costs (a hundred thousand pieces over one row took a
    # minute on 64 x 64 pixels).
    # The copies make the ring not simple: it is swept, and so is the
    # triangle it is held to.
    one = zolvin.region_coverage(GRIDS["sheared"], swept(polygon_region(TRIANGLE)))
    ring = np.tile(TRIANGLE, (copies, 1))
    got = zolvin.polygon_coverage(GRIDS["sheared"], ring, fill=fill)
    assert got.tobytes() == (one if same else np.zeros_like(one)).tobytes()
    pixels = GRIDS["sheared"].pixels()
    assert zolvin.polygon_coverage(pixels, ring, fill=fill).tobytes() == \
        zolvin.polygon_coverage(pixels, TRIANGLE if same else np.zeros((0, 2))).tobytes()


def test_dask_polygon():
    poly = POLYGONS["holes"]
    got = zd.polygon_coverage(BIG, poly, chunks=40).compute()
    assert got.tobytes() == zolvin.polygon_coverage(BIG, poly).tobytes()


@pytest.mark.parametrize("poly", [
    [(0, 0), (1, 1), (0, 0), (1, 1)],           # two distinct vertices
    [(0, 0), (1, 1), (2, 2), (3, 3)],           # collinear
    np.zeros((0, 2)),
])
def test_nothing_to_cover(poly):
    assert not zolvin.polygon_coverage(GRIDS["sheared"], poly).any()


REFUSALS = [
    (lambda n: zolvin.polygon_coverage(GRIDS["identity"], [(0, 0), (1, np.nan), (1, 1)]),
     ValueError, "polygon ring 0"),
    (lambda n: zolvin.polygon_coverage(GRIDS["identity"], "square"), TypeError, "polygon"),
    (lambda n: zolvin.polygon_coverage(GRIDS["identity"], [(0, 0, 0, 0)]), ValueError, "polygon"),
    (lambda n: zolvin.polygon_coverage(GRIDS["identity"], A, fill="nonzero"), ValueError, "fill"),
    (lambda n: zolvin.polygon_coverage(np.zeros(3), A), TypeError, "pixels"),
    (lambda n: zolvin.polygon_coverage(Grid((2, 2), jac=((1, 1), (1, 1))), A), ValueError,
     "pixels"),
    (lambda n: zolvin.polygon_coverage(GRIDS["identity"], A, out=np.zeros((3, 3))), ValueError,
     "out"),
    (lambda n: zolvin.region_coverage(GRIDS["identity"], A), TypeError, "region"),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)


FAR = [
    (Grid((2, 3), jac=np.eye(2) * 1e-151), lambda px: zolvin.polygon_coverage(px, TRIANGLE)),
    (Grid((2, 3)), lambda px: zolvin.aperture_coverage(px, zolvin.shapes.Disc((1e200, 0), 1.0))),
    (Grid((2, 3)), lambda px: zolvin.polygon_coverage(
        px, [(-1.7e308, -1.7e308), (1.7e308, -1.7e308), (0, 1.7e308)])),
]


@pytest.mark.parametrize("grid, call", FAR)
def test_pixels_refuse_what_grids_refuse(grid, call):
    # Each pixel of Pixels is swept in a frame of its own: where the region
    # lies beyond the reach of that frame, the call is refused as on the grid
    # (it gave NaN), before anything is written.
    with pytest.raises(ValueError) as on_grid:
        call(grid)
    pixels = grid.pixels()
    with pytest.raises(ValueError) as on_pixels:
        call(pixels)
    assert str(on_pixels.value) == str(on_grid.value)


def test_refused_call_leaves_out_alone():
    out = np.full(GRIDS["identity"].shape, 7.0)
    with pytest.raises(ValueError):
        zolvin.polygon_coverage(GRIDS["identity"], star(5, 2.5, 2.5)[::2][[0, 2, 4, 1, 3]],
                                out=out)
    assert np.all(out == 7.0)


def proper_crossings(segs, group):
    """Brute force: every pair of segments of one group that cross properly."""
    s = segs[:, None, :]
    t = segs[None, :, :]

    def side(a, b, p):
        c = (b[..., 0] - a[..., 0]) * (p[..., 1] - a[..., 1]) - \
            (b[..., 1] - a[..., 1]) * (p[..., 0] - a[..., 0])
        return np.sign(c)

    a = side(s[..., :2], s[..., 2:], t[..., :2]) * side(s[..., :2], s[..., 2:], t[..., 2:])
    b = side(t[..., :2], t[..., 2:], s[..., :2]) * side(t[..., :2], t[..., 2:], s[..., 2:])
    return (a < 0) & (b < 0) & (group[:, None] == group[None, :])


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", ["soup", "ring", "grid lines", "fans", "mesh"])
def test_crossing_check_against_brute_force(seed, kind):
    rng = np.random.default_rng(seed)
    n = 300
    if kind == "soup":  # short segments, some crossing
        p = rng.uniform(-10, 10, (n, 2))
        segs = np.hstack([p, p + rng.normal(0, 0.4, (n, 2))])
    elif kind == "ring":  # a star with one spike moved to cross its neighbours, or not
        ring = star(n // 2, 1.0, 3.0)
        if seed % 2:
            ring[seed] *= [3.5, 0.2]
        segs = np.hstack([ring, np.roll(ring, -1, axis=0)])
    elif kind == "grid lines":  # axis-parallel lines meeting at shared points and crossing
        x = rng.integers(0, 12, (n, 2)).astype(float)
        segs = np.hstack([x, x + np.where(rng.random((n, 1)) < 0.5, [[0, 3]], [[3, 0]])])
    elif kind == "fans":  # segments from a few hubs (vertical ones too), crossing or not
        hubs = rng.integers(0, 40, (3 + seed, 2))[rng.integers(0, 3 + seed, n)]
        segs = np.hstack([hubs, hubs + rng.integers(-6, 7, (n, 2))]).astype(float)
    else:  # a triangulated lattice: shared ends, T-junctions, overlaps, no crossing
        x, y = (a.ravel() for a in np.mgrid[0:6, 0:6])
        steps = [(1, 0), (0, 1), (1, 1), (2, 0)]  # the long one overlaps two short ones
        segs = np.vstack([np.stack([x, y, x + dx, y + dy], 1) for dx, dy in steps])
        if seed % 2:  # one cell's other diagonal: crosses that cell's diagonal
            segs = np.vstack([segs, [[3, 2, 2, 3]]])
        flip = rng.random(len(segs)) < 0.5
        segs[flip] = segs[flip][:, [2, 3, 0, 1]]
        segs = segs[rng.permutation(len(segs))].astype(float)
    group = rng.integers(0, 1 if kind == "mesh" else 2, len(segs)).astype(np.int32)
    i, j = zolvin._native.find_crossing(np.ascontiguousarray(segs), group)
    pairs = proper_crossings(segs, group)
    assert (i >= 0) == bool(pairs.any())
    if kind == "mesh":
        assert (i >= 0) == bool(seed % 2)
    if i >= 0:
        assert pairs[i, j]


COSTLY_CHECKS = """
import numpy as np, zolvin
n = 10**5
y = np.arange(n) * 1e-3
zigzag = np.stack([np.where(np.arange(n) % 2 == 0, 0.0, 50.0), y], 1)
zigzag = np.vstack([zigzag, [(-10.0, y[-1]), (-10.0, 0.0)]])  # closed round its left
t = np.arange(3 * n) * np.pi / (1.5 * n)
star = np.stack([np.cos(t), np.sin(t)], 1) * np.where(np.arange(3 * n) % 2, 100.0, 500.0)[:, None]
crossed = star.copy()
crossed[-7] *= [3.5, 0.2]  # a spike laid across its neighbours
for ring, refused in [(zigzag, False), (zigzag[:, ::-1], False), (star, False), (crossed, True)]:
    segs = np.hstack([ring, np.roll(ring, -1, axis=0)])
    i, j = zolvin._native.find_crossing(segs, np.zeros(len(segs), np.int32))
    assert (i >= 0) == refused and (not refused or {i, j} & {len(ring) - 8, len(ring) - 7})
print("ok")
"""


def test_crossing_check_of_long_rings_is_not_quadratic():
    # 10^5 edges that all overlap in x (a zigzag, and the same turned), and a
    # star of 3 10^5 edges whose spikes overlap pairwise in x and in y (with
    # and without a spike crossing its neighbours): testing the pairs that
    # overlap took minutes; the sweep takes about a second.
    import subprocess
    import sys
    run = subprocess.run([sys.executable, "-c", COSTLY_CHECKS], capture_output=True, text=True,
                         timeout=60, check=False)
    assert run.stdout.strip() == "ok", run.stderr


# ---- Simple regions: accumulated on a Grid ---------------------------------------

DENSE_STAR = """
import math, numpy as np, zolvin
n = 100_000
t = np.arange(2 * n) * math.pi / n
r = np.where(np.arange(2 * n) % 2 == 0, 500.0, 300.0)
star = np.stack([r * np.cos(t), r * np.sin(t)], 1)
grid = zolvin.Grid((1024, 1024), origin=(-511.5, -511.5))
got = math.fsum(zolvin.polygon_coverage(grid, star, fill={fill!r}).ravel())
print(got / (n * 500.0 * 300.0 * math.sin(math.pi / n)))
"""


@pytest.mark.parametrize("fill", ["positive", "evenodd"])
def test_a_dense_star_costs_its_boundary(fill):
    # 10^5 spikes: about 80 edges over each point of the rows across the
    # star's flanks. Swept, every slab of such a row integrated every edge
    # over it (17 s); accumulated, each edge costs the cells it passes
    # (about a second). The timeout only catches the quadratic cost.
    out = subprocess.run([sys.executable, "-c", DENSE_STAR.format(fill=fill)],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert float(out.stdout) == pytest.approx(1.0, rel=1e-12)


# 9000 columns: three blocks of the accumulator's columns, rotated a little.
LONG = Grid((6, 9000), origin=(0.25, -2.6), jac=((1.0, 0.02), (-0.01, 1.0)))
SLIVER = [(-3.3, -1.7), (8995.2, -88.6), (8990.1, -86.1), (4100.5, -39.8), (10.0, 2.7)]


def test_accumulated_bits_hold_for_every_window_and_thread_count():
    region = polygon_region(SLIVER)
    assert region.simple
    whole = zolvin.region_coverage(LONG, region, n_threads=1)
    assert whole.tobytes() == zolvin.region_coverage(LONG, region, n_threads=2).tobytes()
    # Windows that start and end inside blocks, on their edges, and past them.
    for rows, cols in [(slice(None), slice(4090, 4100)), (slice(2, 5), slice(4096, 8193)),
                       (slice(None), slice(8191, 9000)), (slice(1, 2), slice(0, 5)),
                       (slice(0, 6), slice(4095, 4097))]:
        got = zolvin.region_coverage(LONG[rows, cols], region)
        assert got.tobytes() == whole[rows, cols].tobytes(), (rows, cols)
    assert np.abs(whole - oracle(LONG, Polygon(SLIVER))).max() <= 1e-11


def test_a_simple_region_far_from_the_grid_is_swept():
    # Beyond 2^50 cells the accumulator's cell numbers would not be whole
    # doubles: the region is swept, as any region.
    grid = Grid((4, 5), jac=((1e-10, 0), (0, 1e-10)))
    region = polygon_region([(-1e6, -1e6), (1e6, -1e6), (0.0, 1e6)])
    assert region.simple
    got = zolvin.region_coverage(grid, region)
    assert got.tobytes() == zolvin.region_coverage(grid, swept(region)).tobytes()
    assert np.all(got == 1.0)


# Rings as simple_rings judges them: simple together, or not.
RINGS = {
    "square": ([[(0, 0), (2, 0), (2, 2), (0, 2)]], True),
    "two apart": ([[(0, 0), (1, 0), (0, 1)], [(3, 3), (4, 3), (3, 4)]], True),
    "hole inside": ([[(0, 0), (4, 0), (4, 4), (0, 4)], [(1, 1), (1, 3), (3, 3)]], True),
    "crossing": ([[(0, 0), (2, 2), (2, 0), (0, 2)]], False),
    "through a vertex": ([[(0, 0), (1, 1), (3, 3), (3, -1), (0, 2)]], False),
    "vertex twice": ([[(0, 0), (2, 0), (1, 1), (2, 2), (0, 2), (1, 1)]], False),
    "vertex on an edge": ([[(0, 0), (4, 0), (4, 2), (2, 0), (0, 2)]], False),
    "spike back along an edge": ([[(0, 0), (2, 0), (1, 0), (1, 2)]], False),
    "rings sharing a vertex": ([[(0, 0), (1, 0), (0, 1)], [(1, 0), (2, 0), (2, 1)]], False),
    "ring touching another": ([[(0, 0), (2, 0), (0, 2)], [(1, 0), (2, -1), (3, -1)]], False),
    "ring repeated": ([[(0, 0), (1, 0), (0, 1)] * 2], False),
}


@pytest.mark.parametrize("name", RINGS)
def test_simple_rings(name):
    rings, simple = RINGS[name]
    from zolvin.shapes.rings import ring_edges

    edges = ring_edges([np.array(r, float) for r in rings])
    assert zolvin._native.simple_rings(edges) is simple
    # Turned and mirrored, the same answer.
    assert zolvin._native.simple_rings(np.ascontiguousarray(edges[:, [1, 0, 3, 2]])) is simple


def test_a_ring_through_its_own_vertex_is_filled_by_its_winding():
    # Its lobes wind +1 and -1 and meet at a vertex, which no proper-crossing
    # test sees: accumulated, the -1 lobe would be taken off the +1 one.
    ring = RINGS["through a vertex"][0][0]
    big = Polygon([(1, 1), (3, 3), (3, -1)])
    grid = Grid((24, 20), origin=(-0.4, -1.3), jac=((0.21, 0.03), (-0.02, 0.2)))
    region = polygon_region(ring)
    assert not region.simple
    assert np.abs(zolvin.region_coverage(grid, region) - oracle(grid, big)).max() <= 1e-13
    sums = zolvin.aperture_sums(np.ones(grid.shape), grid, [zolvin.shapes.Polygon(ring)])
    assert sums.sum[0] * grid.pixel_area == pytest.approx(big.area, rel=1e-12)


def test_the_simple_mark_is_part_of_the_region():
    region = polygon_region(star(9, 1.0, 2.0))
    assert region.simple and "simple=True" in repr(region)
    plain = swept(region)
    assert not plain.simple and plain != region
    assert pickle.loads(pickle.dumps(region)) == region
    assert Region(*region._args(), simple=np.True_) == region
    with pytest.raises(TypeError, match="simple must be True or False"):
        Region(*region._args(), simple=1)
    with pytest.raises(ValueError, match="simple=True needs program=None"):
        Region(region.segments, region.segment_leaf, region.arcs, region.arc_leaf,
               region.leaf_rules, [0], simple=True)


@pytest.mark.parametrize("seed", range(40))
def test_simple_rings_agree_with_shapely(seed):
    # Small lattices make touching, shared and collinear edges common.
    from zolvin.shapes.rings import ring_edges

    rng = np.random.default_rng(seed)
    rings = []
    for _ in range(rng.integers(1, 4)):
        ring = rng.integers(0, 5, (rng.integers(3, 7), 2)).astype(float)
        keep = np.any(ring != np.roll(ring, 1, axis=0), axis=1)  # no zero-length edge
        if keep.sum() >= 3:
            rings.append(ring[keep])
    if not rings:
        return
    lines = shapely.MultiLineString([np.vstack([r, r[:1]]) for r in rings])
    assert zolvin._native.simple_rings(ring_edges(rings)) is bool(shapely.is_simple(lines))


SQUARE = [(0, 0), (4, 0), (4, 4), (0, 4)]
INNER = [(1, 1), (1, 3), (3, 3)]
FAR = [(6, 0), (8, 0), (7, 2)]
NESTINGS = {  # polygon, accumulated
    "parts apart, with a hole": ([[SQUARE, INNER], [FAR]], True),
    "hole outside its exterior": ([[SQUARE, [(5, 5), (5, 6), (6, 6)]]], False),
    "part inside another": ([[SQUARE], [INNER]], False),
    "hole inside a hole": ([[SQUARE, [(0.5, 0.5), (0.5, 3.5), (3.5, 3.5), (3.5, 0.5)], INNER]],
                           False),
    "parts sharing an edge": ([[SQUARE], [[(4, 0), (6, 0), (6, 4), (4, 4)]]], False),
}


@pytest.mark.parametrize("name", NESTINGS)
def test_which_polygons_are_accumulated(name):
    polygon, accumulated = NESTINGS[name]
    grid = Grid((30, 44), origin=(-0.9, -0.7), jac=((0.21, 0.02), (-0.03, 0.2)))
    geometry = MultiPolygon([Polygon(p[0], p[1:]) for p in polygon])
    for fill in ("positive", "evenodd"):
        region = polygon_region(geometry, fill)
        assert region.simple is accumulated
        if accumulated:  # the same region by either rule, accumulated
            assert np.abs(zolvin.region_coverage(grid, region) -
                          oracle(grid, shapely.make_valid(geometry))).max() <= 1e-13
