"""Polygon masks through the package: the scan rule against _zolvin for
every n_threads and column order, the point rule against shapely, matplotlib
and exact arithmetic; what the package refuses."""
import math

import numpy as np
import pytest
import zolvin
from conftest import addr
from helpers import on_rows, poly_mask, refusal_ids, refused, scribble, staircase, star

import _zolvin


def rows(*strings):
    return np.array([[int(ch) for ch in s] for s in strings], np.uint8)


RECT_X, RECT_Y = [0, 4, 4, 0], [0, 0, 2, 2]
COLS = np.arange(6.0)


@pytest.mark.parametrize("n_threads", [1, 2, 5])
def test_polygon_mask(n_threads, rng):
    angles = np.sort(rng.uniform(0, 2 * math.pi, 23))
    radii = rng.uniform(1, 3, 23)
    verts = np.stack([radii * np.cos(angles), radii * np.sin(angles)], -1)
    gx, gy = np.linspace(-3.5, 3.5, 41), rng.uniform(-3.5, 3.5, 19)
    expected = np.empty((19, 41), np.uint8)
    px, py = np.ascontiguousarray(verts[:, 0]), np.ascontiguousarray(verts[:, 1])
    _zolvin.poly_grid_contains(addr(px), addr(py), 23, addr(gx), addr(gy), addr(expected), 41, 19)
    got = zolvin.poly_grid_contains(verts, gx, gy, n_threads=n_threads)
    assert got.dtype == np.bool_ and np.array_equal(got, expected.astype(bool))
    # Columns in any order: the mask of each column follows it.
    order = rng.permutation(41)
    out = np.ones((19, 41), bool)
    assert zolvin.poly_grid_contains(verts, gx[order], gy, out=out, n_threads=n_threads) is out
    assert np.array_equal(out, got[:, order])


# ---- rule="points": the plain even-odd test at every grid point ----

def points_mask(vertices, gx, gy, n_threads=1):
    """The point rule through zolvin._native, columns passed in the order given."""
    from zolvin import _native

    v = np.asarray(vertices, dtype=np.float64).reshape(-1, 2)
    px, py = np.ascontiguousarray(v[:, 0]), np.ascontiguousarray(v[:, 1])
    gx, gy = (np.ascontiguousarray(a, dtype=np.float64) for a in (gx, gy))
    mask = np.full((len(gy), len(gx)), 0xAB, np.uint8)
    _native.poly_grid_points(px, py, gx, gy, mask, n_threads)
    return mask


@pytest.mark.parametrize("px, py, gy, expected", [
    # Left and bottom edges in, right and top edges out; a bottom vertex out,
    # being left of the point moved right.
    pytest.param(RECT_X, RECT_Y, [-1, 0, 1, 2, 3],
                 rows("000000", "111100", "111100", "000000", "000000"), id="rectangle"),
    pytest.param([1.2, 1.4, 1.4, 1.2], [0, 0, 2, 2], [1], rows("000000"), id="sliver"),
    pytest.param([0, 4, 2], [0, 0, 2], [0, 1, 2],
                 rows("111100", "011000", "000000"), id="top-vertex"),
    pytest.param([0, 2, 4, 2], [1, 0, 1, 2], [0, 0.5, 1, 1.5, 2],
                 rows("000000", "011000", "111100", "011000", "000000"), id="diamond"),
    pytest.param([1, 5, 5, 3, 3, 1], [0, 0, 3, 3, 1, 1], [0, 1, 2, 3],
                 rows("011110", "000110", "000110", "000000"), id="ell-horizontal-edges"),
    pytest.param([0, 4, 2], [0, 0, 2], [np.nan, np.inf, -np.inf],
                 rows("000000", "000000", "000000"), id="non-finite-rows"),
    pytest.param([], [], [0, 1], rows("000000", "000000"), id="no-vertex"),
    pytest.param([2, 3], [0, 2], [0, 1, 2], rows("000000", "000000", "000000"), id="segment"),
])
def test_points_small_masks(px, py, gy, expected):
    assert np.array_equal(points_mask(np.column_stack([px, py]), COLS, gy), expected)


def spiky(rng, n):  # a star whose every other vertex is a spike far narrower than a column
    t = np.sort(rng.uniform(0, 2 * np.pi, n))
    t[1::2] = t[0::2] + 1e-4
    r = np.where(np.arange(n) % 2 == 1, 9.5, 4.0)
    return 10 + r * np.cos(t), 10 + r * np.sin(t)


def slivers(rng, n):  # a comb of teeth 0.01 to 0.2 wide, between the columns and on them
    left = np.sort(rng.choice(np.arange(0, 20, 0.5), n // 2, replace=False))
    right = left + rng.uniform(0.01, 0.2, left.size)
    top = rng.uniform(5, 19, left.size)
    x = np.column_stack([left, left, right, right]).ravel()
    y = np.column_stack([np.full_like(top, 2), top, top, np.full_like(top, 2)]).ravel()
    return np.append(x, [20.0, 0.0]), np.append(y, [1.0, 1.0])


def snapped_star(rng, n):  # a star with vertices on the rows and columns of the grid
    px, py = star(rng, n)
    return np.round(px * 10) / 10, np.round(py * 10) / 10


@pytest.mark.parametrize("shape", [star, spiky, slivers, snapped_star])
@pytest.mark.parametrize("seed", [1, 2])
def test_points_equal_shapely_off_the_boundary(shape, seed):
    shapely = pytest.importorskip("shapely")
    rng = np.random.default_rng(seed)
    px, py = shape(rng, 40)
    verts = np.column_stack([px, py])
    polygon = shapely.Polygon(verts)
    assert polygon.is_valid
    # Steps of 0.1 put many points on the boundary, and others within
    # rounding of it.
    gx = np.arange(-5, 215) / 10
    gy = rng.permutation(np.arange(-5, 215) / 10)
    X, Y = np.meshgrid(gx, gy)
    inside = shapely.contains_xy(polygon, X, Y)
    on = shapely.intersects_xy(polygon.boundary, X, Y)
    for n_threads in (1, 3):
        got = zolvin.poly_grid_contains(verts, gx[::-1], gy, rule="points", n_threads=n_threads)
        assert np.array_equal(got[:, ::-1][~on], inside[~on])
    if shape is snapped_star:
        assert on.sum() >= 40  # every vertex at least


@pytest.mark.parametrize("ulps", [1, 2, 1000])
def test_points_within_rounding_of_an_edge(ulps):
    shapely = pytest.importorskip("shapely")
    # Edge (0, 0) -> (3, 1): crossings at x = 3 y, which rounds for most y.
    # Columns a few units in the last place either side of it.
    verts = np.array([[0.0, 0.0], [3.0, 1.0], [3.0, 0.0]])
    gy = np.arange(1, 100) / 100
    for y in gy:
        near = 3 * y + np.arange(-3, 4) * ulps * np.spacing(3 * y)
        got = zolvin.poly_grid_contains(verts, near, [y], rule="points")[0]
        inside = shapely.contains_xy(shapely.Polygon(verts), near, np.full(7, y))
        on = shapely.intersects_xy(shapely.Polygon(verts).boundary, near, np.full(7, y))
        assert np.array_equal(got[~on], inside[~on])
        assert got[on].all()  # on the left edge of the triangle: in


def test_points_equal_polygon2mask_off_the_boundary(rng):
    # Its even-odd rule, crossing itself or not; it marks the boundary's
    # points too, which the half-open rule splits.
    skimage_draw = pytest.importorskip("skimage.draw")
    shapely = pytest.importorskip("shapely")
    for shape, n in [(star, 30), (on_rows, 25), (staircase, 14), (scribble, 12)]:
        px, py = shape(rng, n)
        px, py = np.round(px), np.round(py)
        grid = np.arange(21.0)
        got = zolvin.poly_grid_contains(np.column_stack([px, py]), grid, grid, rule="points")
        theirs = skimage_draw.polygon2mask((21, 21), np.column_stack([py, px]))
        X, Y = np.meshgrid(grid, grid)
        on = shapely.intersects_xy(shapely.LinearRing(np.column_stack([px, py])), X, Y)
        assert np.array_equal(got[~on], theirs[~on])
        assert (~on).sum() > 200


@pytest.mark.parametrize("jitter", [0.0, 0.3])
def test_points_tiling_marks_every_point_once(jitter, rng):
    # A 6 x 6 mesh of quads, each cut into two triangles, vertices jittered
    # (or on the grid's points): every grid point of the mesh's half-open
    # extent lies in exactly one triangle, none outside it.
    k = 6
    vx, vy = np.meshgrid(np.arange(k + 1.0) * 2, np.arange(k + 1.0) * 2)
    inner = (slice(1, -1), slice(1, -1))
    vx[inner] += rng.uniform(-jitter, jitter, (k - 1, k - 1))
    vy[inner] += rng.uniform(-jitter, jitter, (k - 1, k - 1))
    grid = np.arange(-2, 14.5, 0.25)
    total = np.zeros((grid.size, grid.size), int)
    for i in range(k):
        for j in range(k):
            a, b = (vx[i, j], vy[i, j]), (vx[i, j + 1], vy[i, j + 1])
            c, d = (vx[i + 1, j + 1], vy[i + 1, j + 1]), (vx[i + 1, j], vy[i + 1, j])
            for tri in ([a, b, c], [a, c, d]):
                total += zolvin.poly_grid_contains(tri, grid, grid, rule="points")
    inside = (grid[:, None] >= 0) & (grid[:, None] < 12) & (grid >= 0) & (grid < 12)
    assert np.array_equal(total, inside.astype(int))


@pytest.mark.parametrize("shape, seed", [(scribble, 31), (on_rows, 32), (spiky, 33)])
def test_points_columns_in_any_order(shape, seed):
    # The kernel fills an ascending run of columns in spans and tests the rest
    # one by one; each column's value depends on its x alone, NaN is outside.
    rng = np.random.default_rng(seed)
    px, py = shape(rng, 30)
    verts = np.column_stack([px, py])
    gx = np.arange(-1, 21.5, 0.25)
    gy = np.arange(-1, 21.5, 0.5)
    ascending = points_mask(verts, gx, gy)
    order = rng.permutation(gx.size)
    shuffled = points_mask(verts, gx[order], gy)
    assert np.array_equal(shuffled, ascending[:, order])
    tail = np.concatenate([gx, [np.nan], gx[::-1]])
    both = points_mask(verts, tail, gy, n_threads=4)
    assert np.array_equal(both, np.hstack([ascending, np.zeros((gy.size, 1), np.uint8),
                                           ascending[:, ::-1]]))
    # The package: same bits, scan unaffected.
    assert np.array_equal(zolvin.poly_grid_contains(verts, gx, gy, rule="points"), ascending)
    assert np.array_equal(zolvin.poly_grid_contains(verts, gx, gy, rule="scan"),
                          poly_mask(px, py, gx, gy))


REFUSALS = [
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 2)), np.array([2 ** 60 + 1, 0, 0, 0]),
                                         np.zeros(3), out=n.OB),
     ValueError, 'gx'),
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 3)), np.zeros(4), np.zeros(3), out=n.OB),
     ValueError, 'vertices'),
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 2)), np.zeros((4, 1)), np.zeros(3), out=n.OB),
     ValueError, 'gx'),
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 2)), np.zeros(4), ['a'] * 3, out=n.OB),
     TypeError, 'gy'),
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 2)), np.zeros(4), np.zeros(3),
                                         out=n.OB.astype(np.uint8)),
     TypeError, 'out'),
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 2)), np.zeros(3), np.zeros(4), out=n.OB),
     ValueError, 'out'),
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 2)), np.zeros(4), np.zeros(3), out=n.OB, n_threads=-2),
     ValueError, 'n_threads'),
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 2)), np.zeros(4), np.zeros(3), rule=1, out=n.OB),
     TypeError, 'rule'),
    (lambda n: zolvin.poly_grid_contains(np.zeros((3, 2)), np.zeros(4), np.zeros(3), rule='inside', out=n.OB),
     ValueError, 'rule'),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)
