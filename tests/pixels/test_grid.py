import math

import numpy as np
import pytest
import zolvin
from conftest import addr
from helpers import refusal_ids, refused, same_bits
from zolvin import Grid

import _zolvin


def rotated(angle, scale=1.0, shear=0.0, mirror=False):
    """Jacobian of a pixel grid rotated by angle, sheared along u, optionally mirrored."""
    c, s = math.cos(angle) * scale, math.sin(angle) * scale
    a, b, cc, d = c, shear * c - s, s, shear * s + c
    if mirror:
        a, cc = -a, -cc
    return ((a, b), (cc, d))


GRIDS = {
    "square": Grid((9, 13), (-4.0, -6.0), ((1.0, 0.0), (0.0, 1.0))),
    "sheared": Grid((17, 11), (0.3, -2.1), rotated(0.0, 0.7, shear=0.45), row0=5, col0=3),
    "mirrored": Grid((15, 19), (7.5, 0.25), ((-0.8, 0.0), (0.0, 0.8))),
    "rotated": Grid((21, 7), (-1.0, 3.0), rotated(0.61, 1.3, shear=-0.2, mirror=True), col0=40),
    # Wider than a band of output rows: the rows are dealt to several threads.
    "wide": Grid((141, 4099), (-300.0, -0.5), rotated(-0.2, 0.15, shear=0.1), row0=2),
}


def array_form(grid, kernel, params):
    """The kernel over the grid's pixels given as arrays, through _zolvin."""
    u, v, x, y = (np.ascontiguousarray(t.ravel()) for t in grid.coordinates())
    jac = [np.full(u.size, j) for j in grid.jac[0] + grid.jac[1]]
    out = np.full(u.size, np.nan)
    if kernel == "pixel_frac":
        _zolvin.pixel_frac(*params, addr(x), addr(y), addr(u), addr(v), *map(addr, jac),
                           addr(out), u.size)
    else:
        getattr(_zolvin, kernel)(addr(u), addr(v), addr(x), addr(y), *params, *map(addr, jac),
                                 addr(out), u.size)
    return out.reshape(grid.shape)


def grid_form(grid, kernel, params, out=None, n_threads=None):
    """The kernel over the grid through the package, which takes (x, y) pairs."""
    kw = dict(out=out, n_threads=n_threads)
    if kernel == "pixel_frac":
        x0, y0, dy, dx = params
        return zolvin.pixel_frac(grid, (x0, y0), (dx, dy), **kw)
    if kernel == "enclosed_circle":
        cx, cy, radius = params
        return zolvin.enclosed_circle(grid, (cx, cy), radius, **kw)
    diameter, x1, y1, dy1, dx1, x2, y2, dy2, dx2 = params
    return zolvin.enclosed_strut(grid, diameter, ((x1, y1), (dx1, dy1)), ((x2, y2), (dx2, dy2)),
                                 **kw)



def figures(grid, rng, count):
    """Circles, struts and lines placed around and across the grid."""
    u, v, x, y = grid.coordinates()
    lo, hi = np.array([x.min(), y.min()]), np.array([x.max(), y.max()])
    span = float(np.hypot(*(hi - lo))) + grid.pixel_scale
    for _ in range(count):
        cx, cy = rng.uniform(lo - 0.3 * span, hi + 0.3 * span)
        t = rng.uniform(0, 2 * math.pi)
        dx, dy = math.cos(t), math.sin(t)
        # The edge values scale with the directions' lengths, the threshold
        # 2 s does not: short directions widen the band of pixels near an edge.
        k = 10 ** rng.uniform(-1.5, 1.5)
        radius = span * 10 ** rng.uniform(-3, 0.3)
        yield "enclosed_circle", (cx, cy, radius)
        w = grid.pixel_scale * 10 ** rng.uniform(-1, 1.5)
        x1, y1, x2, y2 = cx - 0.5 * w * dy, cy + 0.5 * w * dx, cx + 0.5 * w * dy, cy - 0.5 * w * dx
        if rng.random() < 0.3:  # edges not parallel
            yield "enclosed_strut", (2 * radius, x1, y1, k * dy, k * dx, x2, y2, dy + 0.2, dx)
        else:
            yield "enclosed_strut", (2 * radius, x1, y1, k * dy, k * dx, x2, y2, k * dy, k * dx)
        yield "pixel_frac", (x1, y1, dy, dx)


@pytest.mark.parametrize("name", GRIDS)
def test_grid_form_equals_array_form_bit_for_bit(name, rng):
    grid = GRIDS[name]
    for n, (kernel, params) in enumerate(figures(grid, rng, 4 if name == "wide" else 25)):
        ref = array_form(grid, kernel, params)
        assert same_bits(grid_form(grid, kernel, params, n_threads=1 + n % 3), ref), (kernel, params)
        # A given out is written whole, whatever it held.
        out = np.full(grid.shape, np.nan)
        assert grid_form(grid, kernel, params, out=out, n_threads=2) is out
        assert same_bits(out, ref), (kernel, params)


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("kernel, params", [
    # Circles: centred, huge, tiny, negative radius, on the grid's corner, far away.
    ("enclosed_circle", (0.0, 0.0, 3.0)),
    ("enclosed_circle", (0.0, 0.0, 1e6)),
    ("enclosed_circle", (1.0, 2.0, 1e-9)),
    ("enclosed_circle", (0.5, 0.5, -2.5)),
    ("enclosed_circle", (-4.5, -6.5, 2.0)),
    ("enclosed_circle", (1e3, 0.0, 5.0)),
    ("enclosed_circle", (NAN, 0.0, 3.0)),
    ("enclosed_circle", (0.0, 0.0, INF)),
    ("enclosed_circle", (1e120, 0.0, 1e120)),
    # Struts: along a row, along a column, crossing, reversed edges, zero
    # directions, a disc smaller than a pixel, non-finite values.
    ("enclosed_strut", (20.0, -10.0, 0.5, 0.0, 1.0, -10.0, -0.5, 0.0, 1.0)),
    ("enclosed_strut", (20.0, 0.5, -10.0, 1.0, 0.0, -0.5, -10.0, 1.0, 0.0)),
    ("enclosed_strut", (9.0, -1.0, 1.0, 1.0, 1.0, 1.0, -1.0, 1.0, 1.0)),
    ("enclosed_strut", (9.0, 1.0, -1.0, 1.0, 1.0, -1.0, 1.0, 1.0, 1.0)),
    ("enclosed_strut", (9.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 0.0, 0.0)),
    ("enclosed_strut", (0.3, 0.0, 0.2, 0.0, 1.0, 0.0, -0.2, 0.0, 1.0)),
    ("enclosed_strut", (INF, -1.0, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 0.0)),
    ("enclosed_strut", (9.0, -1.0, 0.0, NAN, 0.0, 1.0, 0.0, 1.0, 0.0)),
])
@pytest.mark.parametrize("jac", [
    ((1.0, 0.0), (0.0, 1.0)),
    rotated(1.1, 0.9, shear=0.3),
    ((0.0, 1.0), (0.0, 1.0)),     # every pixel of a row at one point
    ((1.0, 0.0), (NAN, 1.0)),
    ((1e-150, 0.0), (0.0, 1.0)),  # a step too short to trust
])
def test_skipped_pixels_are_zero_by_the_rule(kernel, params, jac):
    grid = Grid((13, 12), (-5.5, -6.0), jac, row0=1, col0=2)
    assert same_bits(grid_form(grid, kernel, params), array_form(grid, kernel, params))


@pytest.mark.parametrize("name", ["sheared", "rotated", "wide"])
def test_window_equals_slice_of_whole(name, rng):
    grid = GRIDS[name]
    rows, cols = grid.shape
    for kernel, params in figures(grid, rng, 2):
        whole = grid_form(grid, kernel, params)
        for _ in range(6):
            r0, r1 = sorted(rng.integers(0, rows + 1, 2))
            c0, c1 = sorted(rng.integers(0, cols + 1, 2))
            part = grid[r0:r1, c0:c1]
            assert (part.row0, part.col0) == (grid.row0 + r0, grid.col0 + c0)
            got = grid_form(part, kernel, params, n_threads=2)
            assert same_bits(got, whole[r0:r1, c0:c1]), (kernel, params, r0, r1, c0, c1)


def test_coordinates_follow_the_documented_order():
    grid = Grid((3, 4), (0.1, -0.7), ((0.3, 1e-17), (-0.2, 0.7)), row0=2**40, col0=7)
    u, v, x, y = grid.coordinates()
    (a, b), (c, d) = grid.jac
    for i in range(3):
        for j in range(4):
            uu, vv = float(7 + j), float(2**40 + i)
            assert (u[i, j], v[i, j]) == (uu, vv)
            assert x[i, j] == 0.1 + a * uu + b * vv
            assert y[i, j] == -0.7 + c * uu + d * vv


def test_windows_slice_like_sequences():
    grid = Grid((10, 8), (1.0, 2.0), ((2.0, 0.0), (0.0, 3.0)), row0=4)
    assert grid[2:5] == grid.window((2, 5), slice(None)) == Grid((3, 8), (1.0, 2.0), grid.jac,
                                                                     row0=6)
    assert grid[-3:, 1:100].shape == (3, 7)
    assert grid[-3:, 1:100][1:, :2] == Grid((2, 2), (1.0, 2.0), grid.jac, row0=12, col0=1)
    assert grid[7:2, 3:3].shape == (0, 0)
    assert grid.window(range(1, 4), (None, -2)).shape == (3, 6)
    with pytest.raises(ValueError, match="step"):
        grid[::2]
    with pytest.raises(TypeError):
        grid[1, 2]
    with pytest.raises(TypeError, match="cols"):
        grid.window(slice(None), 3)


REFUSALS = [
    (lambda n: Grid((2.5, 3)), TypeError, "shape"),
    (lambda n: Grid((2, -3)), ValueError, "shape"),
    (lambda n: Grid((2, 3, 4)), ValueError, "shape"),
    (lambda n: Grid(5), TypeError, "shape"),
    (lambda n: Grid((2, 3), (1.0,)), ValueError, "origin"),
    (lambda n: Grid((2, 3), ("a", 1.0)), TypeError, "origin"),
    (lambda n: Grid((2, 3), (0, 0), ((1, 0), (0, 1), (0, 0))), ValueError, "jac"),
    (lambda n: Grid((2, 3), (0, 0), ((1, 0, 0), (0, 1))), ValueError, "jac"),
    (lambda n: Grid((2, 3), row0=-1), ValueError, "row0"),
    (lambda n: Grid((2, 3), col0=1.0), TypeError, "col0"),
    (lambda n: Grid((2, 2**53 + 1)), ValueError, "2**53"),
    (lambda n: Grid((2**40, 2**40)), ValueError, "too large"),
    (lambda n: Grid((2 ** 40, 2 ** 40)), ValueError, 'shape'),
    (lambda n: Grid((-1, 3)), ValueError, 'shape[0]'),
    (lambda n: Grid((4, 4), origin=(10 ** 400, 0)), ValueError, 'origin[0]'),
    (lambda n: Grid((4, 4), origin=('1', '2')), TypeError, 'origin[0]'),
    (lambda n: Grid((4, 4), origin=(0, 1j)), TypeError, 'origin[1]'),
    (lambda n: Grid((4, 4), origin=np.array([1j, 0])), TypeError, 'origin'),
    (lambda n: Grid((4, 4), jac=((1, 0), (0, np.complex128(1)))), TypeError, 'jac[1][1]'),
    (lambda n: Grid((4, 4), jac=((2 ** 53 + 1, 0), (0, 1))), ValueError, 'jac[0][0]'),
    (lambda n: Grid((4, 4), origin=iter((0, 0, 0))), ValueError, 'origin'),
    (lambda n: n.G[1.5:3], TypeError, 'rows'),
    (lambda n: n.G[:, 0:2.0], TypeError, 'cols'),
    (lambda n: n.G[::1.0], TypeError, 'rows'),
    (lambda n: n.G[1], TypeError, 'window'),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)


def test_non_finite_grids_are_accepted():
    grid = Grid((2, 3), (NAN, INF), ((INF, 0.0), (0.0, NAN)))
    assert grid == Grid((2, 3), (NAN, INF), ((INF, 0.0), (0.0, NAN)))
    for kernel, params in [("enclosed_circle", (0.0, 0.0, 1.0)),
                           ("pixel_frac", (0.0, 0.0, 1.0, 0.0))]:
        assert same_bits(grid_form(grid, kernel, params), array_form(grid, kernel, params))


@pytest.mark.parametrize("out, error", [
    ([0.0] * 6, TypeError),
    (np.zeros((3, 2)), ValueError),
    (np.zeros((2, 3), np.float32), TypeError),
    (np.zeros((3, 2)).T, ValueError),
])
def test_bad_out_is_refused(out, error):
    with pytest.raises(error, match="out"):
        zolvin.enclosed_circle(Grid((2, 3)), (0.0, 0.0), 1.0, out=out)


# ---- Geometry ----

@pytest.mark.parametrize("name", sorted(GRIDS))
def test_geometry_of_windows(name):
    grid = GRIDS[name]
    (a, b), (c, d) = grid.jac
    assert grid.pixel_area == abs(a * d - b * c) > 0
    for window in (grid, grid[2:5, 1:4], grid[-1:, :1]):
        u, v, x, y = window.coordinates()
        # Every pixel's corners lie in the box, and the outermost reach its sides.
        corners_x = np.concatenate([x + su * a / 2 + sv * b / 2 for su in (-1, 1) for sv in (-1, 1)])
        corners_y = np.concatenate([y + su * c / 2 + sv * d / 2 for su in (-1, 1) for sv in (-1, 1)])
        xmin, ymin, xmax, ymax = window.bounds()
        tol = 1e-12 * (1 + np.abs(corners_x).max() + np.abs(corners_y).max())
        assert xmin == pytest.approx(corners_x.min(), abs=tol)
        assert ymax == pytest.approx(corners_y.max(), abs=tol)
        assert (corners_x >= xmin - tol).all() and (corners_y <= ymax + tol).all()
        # to_uv inverts the grid's map to rounding.
        pu, pv = window.to_uv(x, y)
        scale = 1e-12 * (1 + np.abs(u).max() + np.abs(v).max()) * max(1.0, 1 / grid.pixel_area)
        assert np.allclose(pu, u, rtol=0, atol=scale) and np.allclose(pv, v, rtol=0, atol=scale)


@pytest.mark.parametrize("jac", [((1.0, 2.0), (0.5, 1.0)), ((math.nan, 0.0), (0.0, 1.0)),
                                 ((0.0, 0.0), (0.0, 0.0))])
def test_to_uv_needs_an_inverse(jac):
    with pytest.raises(ValueError, match="inverse"):
        Grid((2, 2), jac=jac).to_uv(0.0, 0.0)


@pytest.mark.parametrize("n, shear", [(1, 0.0), (101, 0.35), (1024, 0.0), (37, -0.3)])
def test_spanning_grid_holds_the_disc(n, shear):
    grid = Grid.spanning(1.0, n, shear=shear)
    p = 2.06 * math.hypot(1.0, shear) / n
    c = 0.5 * (n - 1)
    assert grid == Grid((n, n), (-(p * c + shear * p * c), -(p * c)), ((p, shear * p), (0.0, p)))
    xmin, ymin, xmax, ymax = grid.bounds()
    assert xmin < -1 and ymin < -1 and xmax > 1 and ymax > 1
    # The middle of the grid is the origin.
    assert np.allclose(grid.to_uv(0.0, 0.0), (c, c), atol=1e-9)


@pytest.mark.parametrize("box, n, shear, margin", [
    ((-1.0, -2.0, 3.0, 0.5), 16, 0.0, 0.0),
    ((2.0, 1.0, 2.5, 7.0), 31, 0.2, 1.5),
    ((0.0, 0.0, 0.5, 0.0), 1, -0.3, 0.25),
])
def test_spanning_grid_encloses_the_box(box, n, shear, margin):
    grid = Grid.spanning(box, n, shear=shear, margin=margin)
    x0, y0, x1, y1 = box
    p = max(x1 - x0, y1 - y0) / (n - 2 * margin) * math.hypot(1.0, shear)
    c, mx, my = 0.5 * (n - 1), 0.5 * (x0 + x1), 0.5 * (y0 + y1)
    assert grid == Grid((n, n), (mx - (p * c + shear * p * c), my - p * c),
                        ((p, shear * p), (0.0, p)))
    # Its middle is the box's; unsheared, margin pixels are left beside the box.
    assert np.allclose(grid.to_uv(mx, my), (c, c), atol=1e-9)
    if shear == 0:
        uv = np.array(grid.to_uv([x0, x1, x0, x1], [y0, y0, y1, y1]))
        assert uv.min() >= margin - 0.5 - 1e-9 and uv.max() <= n - 0.5 - margin + 1e-9


@pytest.mark.parametrize("args, kwargs, error, word", [
    ((0.0, 8), {}, ValueError, "radius"),
    ((math.inf, 8), {}, ValueError, "radius"),
    ((1.0, 0), {}, ValueError, "n"),
    ((1.0, 8.0), {}, TypeError, "n"),
    ((1.0, 8), {"shear": math.nan}, ValueError, "shear"),
    (("1", 8), {}, TypeError, "radius"),
    (((0.0, 0.0, 1.0), 8), {}, ValueError, "box"),
    (((0.0, 0.0, math.nan, 1.0), 8), {}, ValueError, "box"),
    (((1.0, 0.0, 0.0, 1.0), 8), {}, ValueError, "box"),
    (((0.0, 0.0, 1.0, 1.0), 8), {"margin": 4}, ValueError, "margin"),
    (((0.0, 0.0, 1.0, 1.0), 8), {"margin": -1}, ValueError, "margin"),
    (((-1e308, 0.0, 1e308, 1.0), 8), {}, ValueError, "box"),
])
def test_spanning_refuses(args, kwargs, error, word):
    with pytest.raises(error, match=word):
        Grid.spanning(*args, **kwargs)
