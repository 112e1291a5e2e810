import math

import numpy as np
import pytest
import shapely
from conftest import addr

import _zolvin as z

UNIT = (0.0, 0.0, 1.0, 0.0, 0.0, 1.0)


def area(tri, ix, iy):
    return z.clip_area(addr(np.array(tri, dtype=np.float64)), ix, iy)


def accumulate(tris, values, weights, grid, n_triangles=None, grid_size=None):
    tris = np.ascontiguousarray(tris, dtype=np.float64).ravel()
    values = np.ascontiguousarray(values, dtype=np.float64)
    weights = np.ascontiguousarray(weights, dtype=np.float64)
    if n_triangles is None:
        n_triangles = len(values)
    if grid_size is None:
        grid_size = math.isqrt(grid.size)
    z.accumulate_triangles(addr(tris), addr(values), addr(weights), addr(grid),
                           n_triangles, grid_size)


# Rounded results, bit for bit: vertex order fixes the order of summation.
PINNED = [
    # crosses all four sides: seven vertices, 31/40
    ((0.9, -0.8, -0.7, 0.0, -0.1, 1.2), 0, 0, '0x1.8cccccccccccdp-1'),
    ((-0.1, 1.2, -0.7, 0.0, 0.9, -0.8), 0, 0, '0x1.8cccccccccccdp-1'),
    # edge on the side x = 0.5
    ((0.5, -0.2, 0.5, 0.2, 1.5, 0.0), 1, 0, '0x1.999999999999bp-3'),
    ((1.5, 0.0, 0.5, 0.2, 0.5, -0.2), 1, 0, '0x1.999999999999bp-3'),
    ((0.1, 0.2, 2.7, 0.3, 1.1, 2.9), 1, 1, '0x1.fb6934de65cb1p-1'),
    ((0.1, 0.2, 2.7, 0.3, 1.1, 2.9), 2, 1, '0x1.8762762762764p-1'),
    ((0.1, 0.2, 2.7, 0.3, 1.1, 2.9), 1, 2, '0x1.6d9ed9ed9eda2p-1'),
    ((1.1, 2.9, 2.7, 0.3, 0.1, 0.2), 1, 2, '0x1.6d9ed9ed9eda0p-1'),
    ((1000000.3, -1999999.9, 999998.3, -1999999.1, 1000000.2, -2000001.3),
     1000000, -2000000, '0x1.30b0000000000p-1'),
    ((1000000.3, -1999999.9, 999998.3, -1999999.1, 1000000.2, -2000001.3),
     999999, -2000000, '0x1.a8c0000000000p-2'),
    ((-0.3, -0.45, 0.45, 0.3, -0.45, 0.45), 0, 0, '0x1.9333333333334p-2'),
    ((-0.6, -0.6, 0.6, -0.55, 0.0, 0.7), 0, 0, '0x1.4cc236a264016p-1'),
    ((0.123456789, -0.987654321, 3.14159, 2.71828, -1.41421, 1.73205), 0, 0,
     '0x1.c93ea9fcbaf80p-1'),
    ((0.123456789, -0.987654321, 3.14159, 2.71828, -1.41421, 1.73205), 1, 1,
     '0x1.f77175b0c65b5p-1'),
    ((0.123456789, -0.987654321, 3.14159, 2.71828, -1.41421, 1.73205), 0, 1,
     '0x1.ffffffffffffep-1'),
    ((-2.0, -0.5, 2.0, 0.5000000000000001, 0.0, 0.5), 0, 0, '0x1.c000000000000p-2'),
    ((-0.5, -0.5, 0.5, 0.5, 0.5000000000000001, 0.49999999999999994), 0, 0,
     '0x1.8000000000000p-54'),
    ((1 / 3, 1 / 7, 5 / 3, -2 / 7, -4 / 3, 9 / 7), 0, 0, '0x1.05ed097b425eep-3'),
    ((1 / 3, 1 / 7, 5 / 3, -2 / 7, -4 / 3, 9 / 7), 1, 0, '0x1.1451451451455p-3'),
    ((1 / 3, 1 / 7, 5 / 3, -2 / 7, -4 / 3, 9 / 7), -1, 1, '0x1.cc877321dcc8cp-5'),
    ((0.25, 1e-300, 0.75, -1e-300, 0.5, 0.3), 1, 0, '0x1.3333333333332p-5'),
    ((-100.3, 0.2, 100.7, 0.4, 0.1, 50.9), 0, 0, '0x1.9a01ef987aad2p-3'),
    ((-100.3, 0.2, 100.7, 0.4, 0.1, 50.9), 3, 10, '0x1.fffffffffffa0p-1'),
    # a far vertex: rounded crossings break convexity, eight vertices remain
    ((-3.4707545328790716e+16, 1.6993991510845885e+17, 0.6973448347582865,
      0.8248433968617009, 0.06348314835967138, -0.9486788777642854), 0, 0,
     '0x1.8893c83e55d5ap-2'),
    ((9.504308401640328e+16, -2.27808815609413e+17, -0.5676931255303713,
      -3.4110158958520302, -0.021507525339400153, 0.7234622819920812), 0, 0,
     '0x1.0750b01e3df06p-2'),
    ((-1.4691659185103496e+16, -2.5005653156373904e+16, 0.40414600013806384,
      -0.7598516603044335, 0.35494308624134335, 0.6184297152726077), 0, 0,
     '0x1.f435fffa90883p-3'),
]


@pytest.mark.parametrize('tri, ix, iy, expected', PINNED)
def test_clip_area_pinned(tri, ix, iy, expected):
    assert area(tri, ix, iy).hex() == float.fromhex(expected).hex()


@pytest.mark.parametrize('tri, ix, iy, expected', [
    (UNIT, 0, 0, 0.25),
    (UNIT, 1, 0, 0.125),
    (UNIT, 0, 1, 0.125),
    (UNIT, 1, 1, 0.0),      # corner contact only
    (UNIT, -1, 0, 0.0),
    (UNIT[4:] + UNIT[2:4] + UNIT[:2], 0, 0, 0.25),
    (UNIT[4:] + UNIT[2:4] + UNIT[:2], 1, 0, 0.125),
    ((-1.0, -1.0, 3.0, -1.0, -1.0, 3.0), 0, 0, 1.0),
    ((-0.25, -0.25, 0.25, -0.25, 0.0, 0.25), 0, 0, 0.125),
    ((0.5, -0.2, 0.5, 0.2, 1.5, 0.0), 0, 0, 0.0),
    ((0.0, 0.0, 0.0, 0.0, 0.0, 0.0), 0, 0, 0.0),
    ((-0.5, -0.5, 0.5, -0.5, -0.5, 0.5), 0, 0, 0.5),  # two edges on pixel sides
])
def test_clip_area_simple(tri, ix, iy, expected):
    assert area(tri, ix, iy) == expected


@pytest.mark.parametrize('ix', [-2, -1, 0, 1, 2])
def test_collinear_triangle_has_no_area(ix):
    for iy in range(-2, 3):
        assert area((-1.0, -1.0, 0.0, 0.0, 1.0, 1.0), ix, iy) == 0.0


@pytest.mark.parametrize('scale', [0.3, 1.0, 4.0, 40.0])
def test_clip_area_matches_shapely(rng, scale):
    """Per-pixel areas against an independent polygon intersection."""
    for _ in range(40):
        tri = rng.uniform(-scale, scale, 6)
        poly = shapely.Polygon(tri.reshape(3, 2))
        lo = np.floor(tri.reshape(3, 2).min(axis=0) + 0.5).astype(int)
        hi = np.floor(tri.reshape(3, 2).max(axis=0) + 0.5).astype(int)
        total = 0.0
        for iy in range(lo[1], hi[1] + 1):
            for ix in range(lo[0], hi[0] + 1):
                a = area(tri, ix, iy)
                box = shapely.box(ix - 0.5, iy - 0.5, ix + 0.5, iy + 0.5)
                assert abs(a - poly.intersection(box).area) <= 1e-12 * max(1.0, scale)
                total += a
        # the pixels a triangle touches share its whole area
        assert total == pytest.approx(poly.area, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize('tri', [
    (math.nan, 0.0, 1.0, 0.0, 0.0, 1.0),
    (0.0, math.nan, 1.0, 0.0, 0.0, 1.0),
    (math.inf, 0.0, 1.0, 0.0, 0.0, 1.0),
    (-math.inf, -math.inf, math.inf, 0.0, 0.0, math.inf),
])
def test_clip_area_non_finite_is_not_positive(tri):
    for ix in (-1, 0, 1):
        for iy in (-1, 0, 1):
            assert not area(tri, ix, iy) > 0


def test_far_vertices_stay_in_bounds(rng):
    """Rounded crossings of far vertices make non-convex working polygons.

    Measured from a far start, a crossing may land well off the pixel side, so
    the area is only bounded, not exact."""
    for _ in range(3000):
        tri = rng.standard_normal(6) * 10.0 ** rng.uniform(-1, 0.5, 6)
        far = rng.integers(0, 3)
        tri[2 * far:2 * far + 2] *= 10.0 ** rng.uniform(15, 19)
        a = area(tri, 0, 0)
        assert 0.0 <= a < math.inf


# ---- accumulation onto a grid ----

@pytest.mark.parametrize('n, elements', [(3, [4, 5, 7]), (4, [5, 6, 9])])
def test_accumulate_unit_triangle(n, elements):
    grid = np.zeros(n * n)
    accumulate(UNIT, [2.0], [0.5], grid)
    expected = np.zeros(n * n)
    expected[elements] = [1.0, 0.5, 0.5]
    assert grid.tolist() == expected.tolist()  # (1, 1) touches at a corner only
    accumulate(UNIT, [2.0], [0.5], grid)
    assert grid.tolist() == (2 * expected).tolist()


@pytest.mark.parametrize('n', [2, 4, 6])
def test_accumulate_even_grid_leaves_last_row_and_column(n):
    grid = np.full((n, n), 7.0)
    tris = [(-9.0, -9.0, 9.0, -9.0, 0.0, 9.0), UNIT]
    accumulate(tris, [1.0, 1.0], [1.0, 1.0], grid)
    assert (grid[-1, :] == 7.0).all() and (grid[:, -1] == 7.0).all()
    assert (grid[:-1, :-1] > 7.0).all()


@pytest.mark.parametrize('weight, expected', [
    (0.0, [0.0] * 9),
    (-1.0, [0.0] * 9),
    (-0.0, [0.0] * 9),
    (math.nan, [0, 0, 0, 0, math.nan, math.nan, 0, math.nan, 0]),
])
def test_accumulate_weights(weight, expected):
    grid = np.zeros(9)
    accumulate(UNIT, [2.0], [weight], grid)
    np.testing.assert_array_equal(grid, expected)


def test_accumulate_drops_parts_beside_the_grid():
    grid = np.zeros(9)
    accumulate((0.0, 0.0, 3.0, 0.0, 0.0, 3.0), [1.0], [4.5], grid)
    expected = np.zeros(9)
    expected[[4, 5, 7, 8]] = np.array([0.25, 0.5, 0.5, 1.0]) * (1 / 4.5)
    assert grid.tolist() == expected.tolist()
    assert grid.sum() == pytest.approx(0.5, rel=1e-15)


@pytest.mark.parametrize('n_triangles, grid_size', [(0, 3), (-1, 3), (-2**31, 3),
                                                    (1, 0), (1, -1), (1, -4), (1, -2**31)])
def test_accumulate_writes_nothing(n_triangles, grid_size):
    grid = np.full(9, 3.0)
    accumulate(UNIT, [2.0], [0.5], grid, n_triangles, grid_size)
    assert (grid == 3.0).all()


def test_accumulate_single_pixel_grid():
    grid = np.zeros(1)
    accumulate([(-5.0, -5.0, 5.0, -5.0, 0.0, 5.0), UNIT], [1.0, 1.0], [1.0, 1.0], grid)
    assert grid[0] == area((-5.0, -5.0, 5.0, -5.0, 0.0, 5.0), 0, 0) + 0.25


@pytest.mark.parametrize('n, spread', [(5, 4.0), (8, 6.0), (17, 12.0), (64, 40.0)])
def test_accumulate_equals_pixel_areas(rng, n, spread):
    """Every pixel receives old + area * (value / weight), bit for bit."""
    nt = 60
    tris = rng.uniform(-spread, spread, (nt, 6))
    tris[::3] = np.round(tris[::3] * 2) / 2  # vertices on pixel sides and centres
    values = rng.normal(size=nt)
    weights = rng.uniform(-0.5, 3.0, nt)
    grid = rng.normal(size=n * n)
    expected = grid.copy()
    half = (n - 1) // 2
    for t in range(nt):
        if weights[t] <= 0:
            continue
        factor = values[t] / weights[t]
        for iy in range(-half, half + 1):
            for ix in range(-half, half + 1):
                a = area(tris[t], ix, iy)
                if a > 0:
                    expected[(iy + half) * n + ix + half] += a * factor
    accumulate(tris, values, weights, grid)
    assert grid.tolist() == expected.tolist()


def test_accumulate_nan_triangle_adds_nothing():
    grid = np.zeros(9)
    tris = [(math.nan, 0.0, 1.0, 0.0, 0.0, 1.0), (0.0, 0.0, 1.0, math.nan, 0.0, 1.0), UNIT]
    accumulate(tris, [1.0, 1.0, 2.0], [1.0, 1.0, 0.5], grid)
    expected = np.zeros(9)
    expected[[4, 5, 7]] = [1.0, 0.5, 0.5]
    assert grid.tolist() == expected.tolist()


def test_accumulate_far_vertex_covers_grid():
    # Bounding pixels far beyond the 32-bit range; clamped to the grid.
    grid = np.zeros(9)
    accumulate((-1e12, -2.0, 2.0, -2.0, 2.0, 1e12), [2.0], [1.0], grid)
    assert grid.tolist() == [2.0] * 9


@pytest.mark.parametrize('tri', [
    (-1e300, -1e300, 1e300, -1e300, 0.0, 1e300),
    (-math.inf, -1.0, math.inf, -1.0, 0.0, 1.0),
    (-math.inf, -math.inf, math.inf, -math.inf, 0.0, math.inf),
    (math.inf, math.inf, math.inf, math.inf, math.inf, math.inf),
    (-math.inf, 0.0, -math.inf, 1.0, -math.inf, 2.0),
])
def test_accumulate_huge_triangles_stay_in_grid(tri):
    guard = np.full(3 * 9, 5.0)
    grid = guard[9:18]
    accumulate(tri, [1.0], [1.0], grid, 1, 3)
    assert (guard[:9] == 5.0).all() and (guard[18:] == 5.0).all()
    assert ((grid >= 5.0) & (grid < math.inf)).all()
