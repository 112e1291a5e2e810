import hashlib
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import zolvin
from conftest import addr
from matplotlib.path import Path

import _zolvin


def poly_mask(px, py, gx, gy, fill=0xAB, n_vertices=None):
    """Mask of polygon (px, py) on the grid (gx, gy), over a mask pre-filled with `fill`."""
    px, py, gx, gy = (np.ascontiguousarray(a, dtype=np.float64) for a in (px, py, gx, gy))
    mask = np.full((len(gy), len(gx)), fill, np.uint8)
    n = len(px) if n_vertices is None else n_vertices
    assert _zolvin.poly_grid_contains(addr(px), addr(py), n, addr(gx), addr(gy), addr(mask),
                                      len(gx), len(gy)) is None
    return mask


def rows(*strings):
    return np.array([[int(ch) for ch in s] for s in strings], np.uint8)


RECT_X, RECT_Y = [0, 4, 4, 0], [0, 0, 2, 2]
COLS = np.arange(6.0)


@pytest.mark.parametrize("px, py, gy, expected", [
    pytest.param(RECT_X, RECT_Y, [-1, 0, 1, 2, 3],
                 rows("000000", "000000", "011110", "011110", "000000"), id="rectangle"),
    pytest.param(RECT_X + [0], RECT_Y + [0], [-1, 0, 1, 2, 3],
                 rows("000000", "000000", "011110", "011110", "000000"), id="rectangle-closed"),
    pytest.param([1.2, 1.4, 1.4, 1.2], [0, 0, 2, 2], [1], rows("001000"), id="sliver"),
    pytest.param([0, 4, 2], [0, 0, 2], [0, 1, 2],
                 rows("000000", "001100", "000100"), id="top-vertex"),
    pytest.param([0, 4, 2], [0, 0, 2], [np.nan, 1, np.inf, -np.inf],
                 rows("000000", "001100", "000000", "000000"), id="non-finite-rows"),
    # The row through the right-pointing vertex (4, 1) takes one crossing there.
    pytest.param([0, 2, 4, 2], [1, 0, 1, 2], [0.5, 1, 1.5],
                 rows("001100", "011110", "001100"), id="diamond"),
    pytest.param([1, 5, 5, 3, 3, 1], [0, 0, 3, 3, 1, 1], [0, 1, 2, 3],
                 rows("000000", "001111", "000011", "000011"), id="ell-horizontal-edges"),
    pytest.param([], [], [0, 1], rows("000000", "000000"), id="no-vertex"),
    pytest.param([2], [1], [0, 1, 2], rows("000000", "000000", "000000"), id="one-vertex"),
    # A segment is two coinciding crossings per row: like a sliver, it marks one column.
    pytest.param([2, 3], [0, 2], [0, 1, 2], rows("000000", "000100", "000010"), id="segment"),
])
@pytest.mark.parametrize("fill", [0, 1, 0xFF])
def test_small_masks(px, py, gy, expected, fill):
    assert np.array_equal(poly_mask(px, py, COLS, gy, fill=fill), expected)


def test_no_vertex_reads_no_vertex():
    gy = np.array([0.0, 1.0])
    mask = np.full((2, 6), 9, np.uint8)
    _zolvin.poly_grid_contains(0, 0, 0, addr(COLS), addr(gy), addr(mask), 6, 2)
    assert not mask.any()


def test_no_rows_touches_nothing():
    px, py = np.array(RECT_X, float), np.array(RECT_Y, float)
    mask = np.full(8, 7, np.uint8)
    _zolvin.poly_grid_contains(addr(px), addr(py), 4, addr(COLS), 0, addr(mask), 6, 0)
    assert (mask == 7).all()
    # Nor reads anything: no address is followed.
    _zolvin.poly_grid_contains(0, 0, 1 << 40, 0, 0, 0, 6, 0)


def test_no_columns_writes_nothing():
    px, py = np.array(RECT_X, float), np.array(RECT_Y, float)
    gy = np.array([-1.0, 1.0, 2.0])
    mask = np.full(4, 7, np.uint8)
    _zolvin.poly_grid_contains(addr(px), addr(py), 4, 0, addr(gy), addr(mask), 0, 3)
    assert (mask == 7).all()


# ---- random polygons, pinned ----

def star(rng, n):  # concave, simple
    t = np.sort(rng.uniform(0, 2 * np.pi, n))
    r = rng.uniform(2, 9, n)
    return 10 + r * np.cos(t), 10 + r * np.sin(t)


def scribble(rng, n):  # self-intersecting
    return rng.uniform(0, 20, n), rng.uniform(0, 20, n)


def staircase(rng, n):  # every other edge horizontal, vertices on rows
    x = rng.integers(0, 21, n).astype(float)
    y = rng.integers(0, 21, n).astype(float)
    return np.repeat(x, 2), np.roll(np.repeat(y, 2), 1)


def on_rows(rng, n):  # vertices on rows and on columns
    return rng.integers(0, 41, n) / 2.0, rng.integers(0, 21, n).astype(float)


def digest(mask):
    return hashlib.sha256(np.packbits(mask).tobytes()).hexdigest()[:16]


@pytest.mark.parametrize("shape, n, seed, expected", [
    (star, 23, 1, "63e35859e45cb1b2"),
    (star, 60, 2, "da3a1bb98360b5bd"),
    (scribble, 9, 3, "bbe81f1e323bbbc6"),
    (scribble, 40, 4, "51e979fc456760af"),
    (staircase, 12, 5, "6605fa84ea421357"),
    (on_rows, 15, 6, "85da7e77954954b8"),
    (on_rows, 30, 7, "c0c16b245f9ed73e"),
])
def test_random_polygons_pinned(shape, n, seed, expected):
    rng = np.random.default_rng(seed)
    px, py = shape(rng, n)
    gx = np.arange(-1, 21.5, 0.25)
    gy = rng.permutation(np.arange(-1, 21.5, 0.5))
    mask = poly_mask(px, py, gx, gy)
    assert digest(mask) == expected
    # Each row depends on its own y only.
    order = np.argsort(gy)
    assert np.array_equal(poly_mask(px, py, gx, gy[order]), mask[order])


@pytest.mark.parametrize("seed, expected", [
    (21, "ec40856a2a6d1e22"),
    (22, "c594338e701ce317"),
    (23, "2345c840612173bf"),
])
def test_unordered_columns_pinned(seed, expected):
    # Columns out of order (and a NaN) take the plain column-by-column walk.
    rng = np.random.default_rng(seed)
    px, py = scribble(rng, 12)
    gx = rng.uniform(-1, 21, 64)
    gx[::7] = gx[3]
    if seed == 23:
        gx[10] = np.nan
    gy = rng.uniform(-1, 21, 40)
    assert digest(poly_mask(px, py, gx, gy)) == expected


def test_many_crossings_in_one_row():
    # Comb: every edge crosses y = 1, the closing edge in the middle, on top of
    # another crossing. Far beyond the initial room of the crossing list.
    n = 1000
    px = np.arange(n, dtype=float)
    py = np.where(np.arange(n) % 2 == 0, 0.0, 2.0)
    gx = np.arange(n + 4, dtype=float)
    gy = np.array([1.0, 3.0, 1.0])
    mask = poly_mask(px, py, gx, gy)
    # Column c is past crossing c - 1; one crossing per column makes the row
    # alternate up to the last crossing, even across the doubled one.
    c = np.arange(n + 4)
    expected = np.where(c <= n, c % 2, 0)
    assert np.array_equal(mask[0], expected)
    assert np.array_equal(mask[2], expected)
    assert not mask[1].any()


@pytest.mark.parametrize("shape, seed", [(star, 11), (scribble, 12), (scribble, 13)])
def test_agrees_with_point_in_polygon(shape, seed):
    rng = np.random.default_rng(seed)
    px, py = shape(rng, 17)
    gx = np.linspace(-0.3, 20.3, 97)
    gy = np.linspace(-0.2, 20.2, 89)
    mask = poly_mask(px, py, gx, gy).astype(bool)
    X, Y = np.meshgrid(gx, gy)
    points = np.column_stack([X.ravel(), Y.ravel()])
    inside = Path(np.column_stack([px, py])).contains_points(points).reshape(mask.shape)
    # Distance of every grid point to the boundary; a crossing can shift its
    # flip by up to a column, so compare only points farther off than that.
    p = np.column_stack([px, py])
    d = np.roll(p, -1, axis=0) - p
    rel = points[:, None, :] - p
    t = np.clip((rel * d).sum(-1) / (d * d).sum(-1), 0, 1)
    dist = np.linalg.norm(rel - t[..., None] * d, axis=-1).min(1).reshape(mask.shape)
    far = dist > 2 * (gx[1] - gx[0])
    assert far.sum() > mask.size // 2
    assert np.array_equal(mask[far], inside[far])


# AddressSanitizer maps its shadow memory up front and treats a failed
# allocation as fatal: no address-space cap under it.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space cap does not work under AddressSanitizer")
def test_allocation_failure_is_memory_error():
    # One row with 2**23 crossings needs a 64 MiB list while holding 32 MiB;
    # the address space is capped below that but above half of it.
    script = textwrap.dedent("""
        import resource
        import numpy as np
        import _zolvin

        n = 1 << 23
        px = np.arange(n, dtype=float)
        py = np.where(np.arange(n) % 2 == 0, 0.0, 2.0)
        gx = np.array([0.0, n + 1.0])
        gy = np.array([5.0, 1.0, 5.0])

        def call(nv, mask):
            _zolvin.poly_grid_contains(px.ctypes.data, py.ctypes.data, nv, gx.ctypes.data,
                                       gy.ctypes.data, mask.ctypes.data, 2, 3)

        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS,
                           (size + (76 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
        mask = np.full((3, 2), 7, np.uint8)
        for _ in range(4):
            try:
                call(n, mask)
                print("no error")
            except MemoryError:
                print("MemoryError", mask.tolist())
        # Nothing leaked: half the crossings still fit.
        mask = np.full((3, 2), 7, np.uint8)
        call(n // 2, mask)
        print("ok", mask.tolist())
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120, check=False)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == (
        ["MemoryError [[0, 0], [7, 7], [7, 7]]"] * 4 + ["ok [[0, 0], [0, 1], [0, 0]]"])


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
