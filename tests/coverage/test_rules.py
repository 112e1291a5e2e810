"""The zolvin package against _zolvin on the same data, for every n_threads."""
import math

import numpy as np
import pytest
import zolvin
from conftest import addr
from helpers import same_bits
from zolvin.coverage.rules import triangles as _triangles

import _zolvin

THREADS = [None, 1, 2, 3, 8]



def random_pixels(rng, shape, jac_shared=False):
    x, y = rng.uniform(-3, 3, (2,) + shape)
    jac = rng.uniform(-0.6, 0.6, (2, 2)) + np.eye(2) * 0.5
    if not jac_shared:
        jac = jac + rng.uniform(-0.2, 0.2, shape + (2, 2))
    u, v = rng.integers(-50, 50, (2,) + shape).astype(float)
    return zolvin.Pixels(x, y, jac, u, v)


def flat(p):
    return [np.ascontiguousarray(a.ravel()) for a in (p.x, p.y, p.u, p.v, p.dxdu, p.dxdv,
                                                       p.dydu, p.dydv)]


def reference(kernel, p, params):
    """The kernel through _zolvin on the pixels' arrays."""
    x, y, u, v, *jac = flat(p)
    out = np.full(p.size, np.nan)
    if kernel == "pixel_frac":
        (px, py), (dx, dy) = params
        _zolvin.pixel_frac(px, py, dy, dx, addr(x), addr(y), addr(u), addr(v),
                           *map(addr, jac), addr(out), p.size)
    elif kernel == "enclosed_circle":
        (cx, cy), r = params
        _zolvin.enclosed_circle(addr(u), addr(v), addr(x), addr(y), cx, cy, r,
                                *map(addr, jac), addr(out), p.size)
    else:
        dia, ((x1, y1), (dx1, dy1)), ((x2, y2), (dx2, dy2)) = params
        _zolvin.enclosed_strut(addr(u), addr(v), addr(x), addr(y), dia, x1, y1, dy1, dx1,
                               x2, y2, dy2, dx2, *map(addr, jac), addr(out), p.size)
    return out.reshape(p.shape)


FIGURES = {
    "pixel_frac": [((0.3, -0.2), (1.0, 0.7)), ((-1.0, 2.0), (0.0, -1.0))],
    "enclosed_circle": [((0.2, 0.1), 1.7), ((-2.5, 0.0), 0.3)],
    "enclosed_strut": [(4.0, ((-0.4, 0.0), (0.3, 1.0)), ((0.4, 0.1), (0.3, 1.0)))],
}


@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize("kernel", sorted(FIGURES))
@pytest.mark.parametrize("shape", [(37, 29), (7,), ()])
def test_coverage_equals_zolvin(kernel, shape, n_threads, rng):
    p = random_pixels(rng, shape)
    for params in FIGURES[kernel]:
        got = getattr(zolvin, kernel)(p, *params, n_threads=n_threads)
        assert same_bits(got, reference(kernel, p, params))
        # Into out=, also when out is one of the pixels' own input arrays.
        out = np.array(p.x)
        alias = zolvin.Pixels(out, p.y, np.stack([np.stack([p.dxdu, p.dxdv], -1),
                                                  np.stack([p.dydu, p.dydv], -1)], -2),
                              p.u, p.v)
        assert getattr(zolvin, kernel)(alias, *params, out=out, n_threads=n_threads) is out
        assert same_bits(out, got)


@pytest.mark.parametrize("n_threads", [1, 3])
def test_one_line_per_pixel(n_threads, rng):
    p = random_pixels(rng, (23, 17))
    points = rng.uniform(-2, 2, p.shape + (2,))
    dirs = rng.uniform(-1, 1, p.shape + (2,))
    got = zolvin.pixel_frac(p, points, dirs, n_threads=n_threads)
    expected = np.array([[reference("pixel_frac", p, (points[i, j], dirs[i, j]))[i, j]
                          for j in range(p.shape[1])] for i in range(p.shape[0])])
    assert same_bits(got, expected)
    # A shared direction beside per-pixel points, and a Grid with per-pixel lines.
    shared = zolvin.pixel_frac(p, points, (0.5, 1.0), n_threads=n_threads)
    assert same_bits(shared, zolvin.pixel_frac(p, points, np.broadcast_to([0.5, 1.0], dirs.shape)))
    g = zolvin.Grid((23, 17), (0.5, -1.0), ((0.3, 0.1), (-0.05, 0.25)))
    assert same_bits(zolvin.pixel_frac(g, points, dirs),
                     zolvin.pixel_frac(g.pixels(), points, dirs))


@pytest.mark.parametrize("n_threads", [1, 2, None])
@pytest.mark.parametrize("kernel", sorted(FIGURES))
def test_grid_equals_its_pixels(kernel, n_threads):
    g = zolvin.Grid((31, 45), (-2.0, -1.5), ((0.09, 0.01), (-0.02, 0.1)), row0=3, col0=1)
    p = g.pixels()
    assert p.shape == g.shape and np.array_equal(p.u[0], np.arange(1, 46))
    for params in FIGURES[kernel]:
        assert same_bits(getattr(zolvin, kernel)(g, *params, n_threads=n_threads),
                         reference(kernel, p, params))


# ---- A NumPy transcription of the coverage rules, for non-finite input ----

def frac_oracle(x0, y0, dir_y, dir_x, x, y, u, v, a, b, c, d):
    with np.errstate(all="ignore"):
        x0, y0, dir_y, dir_x, x, y, u, v, a, b, c, d = np.broadcast_arrays(
            *(np.asarray(t, dtype=float) for t in (x0, y0, dir_y, dir_x, x, y, u, v,
                                                  a, b, c, d)))
        ox, oy = x0 - x, y0 - y
        tv = dir_y * a - dir_x * c
        tu = dir_x * d - dir_y * b
        n = np.sqrt(tv * tv + tu * tu)
        tu, tv = tu / n, tv / n
        det = d * a - b * c
        pu = (((-b) / det) * oy + (d / det) * ox + u) - u
        pv = (((-c) / det) * ox + (a / det) * oy + v) - v
        comp = np.ones(x.shape, bool)
        m = tu < 0
        tu, pu, comp = np.where(m, -tu, tu), np.where(m, -pu, pu), comp ^ m
        m = tv < 0
        tv, pv, comp = np.where(m, -tv, tv), np.where(m, -pv, pv), comp ^ m
        m = ~(tv > tu)
        pu, pv = np.where(m, pv, pu), np.where(m, pu, pv)
        tu, tv, comp = np.where(m, tv, tu), np.where(m, tu, tv), comp ^ m
        e = ((-0.5 - pv) * tu) / tv + pu + 0.5
        f = ((0.5 - pv) * tu) / tv + pu + 0.5
        # E == 1: the whole pixel (the triangle cut off is empty).
        area = np.where(e >= 1, 1.0, np.where(
            f >= 1, 1 - ((0.5 * tv) / tu) * (1 - e) * (1 - e), np.where(
                e > 0, (f + e) * 0.5, np.where(f > 0, f * (((tv * 0.5) / tu) * f), 0.0))))
        return np.where(comp, 1 - area, area)


def scale_oracle(a, b, c, d):
    return (np.sqrt((a + d) ** 2 + (b - c) ** 2) + np.sqrt((a - d) ** 2 + (b + c) ** 2)) * 0.5


def circle_oracle(p, cx, cy, r):
    a, b, c, d = p.dxdu, p.dxdv, p.dydu, p.dydv
    with np.errstate(all="ignore"):
        s = scale_oracle(a, b, c, d)
        dx, dy = p.x - cx, p.y - cy
        d2 = dx * dx + dy * dy
        dd = np.sqrt(d2)
        rim = frac_oracle((dx * r) / dd + cx, (r * dy) / dd + cy, (-dx) / dd, dy / dd,
                          p.x, p.y, p.u, p.v, a, b, c, d)
        rim = np.where((d2 == 0) & ((r - s) * (r - s) == 0), 1.0, rim)
        return np.where((r - s) * (r - s) > d2, 1.0, np.where(d2 > (s + r) * (s + r), 0.0, rim))


def strut_oracle(p, dia, e1, e2):
    (x1, y1), (dx1, dy1) = e1
    (x2, y2), (dx2, dy2) = e2
    a, b, c, d = p.dxdu, p.dxdv, p.dydu, p.dydv
    x, y = p.x, p.y
    with np.errstate(all="ignore"):
        mx, my, r2 = 0.5 * (x2 + x1), 0.5 * (y1 + y2), (0.5 * dia) * (0.5 * dia)
        d2 = (x - mx) * (x - mx) + (y - my) * (y - my)
        s = scale_oracle(a, b, c, d)
        l1 = (y - y1) * dx1 - (x - x1) * dy1
        l2 = (y - y2) * dx2 - (x - x2) * dy2
        near = (2 * s > np.abs(l1)) | (2 * s > np.abs(l2))
        diff = (frac_oracle(x1, y1, dy1, dx1, x, y, p.u, p.v, a, b, c, d)
                - frac_oracle(x2, y2, dy2, dx2, x, y, p.u, p.v, a, b, c, d))
        return np.where(d2 >= r2, 0.0, np.where(near, diff, np.where(l1 * l2 < 0, 1.0, 0.0)))


def same_values(a, b):
    """Equal bits, NaN matching any NaN."""
    both_nan = np.isnan(a) & np.isnan(b)
    return a.shape == b.shape and bool(np.all(both_nan | (a.reshape(-1).view(np.uint64)
                                                          == b.reshape(-1).view(np.uint64)
                                                          ).reshape(a.shape)))


INF, NAN = math.inf, math.nan
# (kernel, figure, whether the steps give a number for every regular pixel)
NON_FINITE = [
    ("pixel_frac", ((INF, 0.0), (0.0, 1.0)), True),
    ("pixel_frac", ((-INF, 0.3), (0.0, 1.0)), True),
    ("pixel_frac", ((0.2, INF), (1.0, 0.0)), True),
    ("pixel_frac", ((NAN, 0.0), (0.0, 1.0)), False),
    ("pixel_frac", ((0.0, 0.0), (INF, 1.0)), False),
    ("enclosed_circle", ((0.0, 0.0), 1e300), True),
    ("enclosed_circle", ((0.0, 0.0), INF), True),
    ("enclosed_circle", ((0.0, 0.0), NAN), True),
    ("enclosed_circle", ((NAN, 0.0), 1.0), True),
    ("enclosed_circle", ((1e200, 0.0), 1e200), False),
    ("enclosed_strut", (50.0, ((NAN, 0.0), (0.0, 1.0)), ((1.0, 0.0), (0.0, 1.0))), True),
    ("enclosed_strut", (50.0, ((-1.0, 0.0), (0.0, 1.0)), ((INF, 0.0), (0.0, 1.0))), False),
    ("enclosed_strut", (NAN, ((-1.0, 0.0), (0.0, 1.0)), ((1.0, 0.0), (0.0, 1.0))), True),
]


@pytest.mark.parametrize("jac", ["identity", "nan", "random"])
@pytest.mark.parametrize("kernel, params, finite", NON_FINITE)
def test_non_finite_input_follows_the_steps(kernel, params, finite, jac, rng):
    """Package, _zolvin and the stepwise rules agree where lines, circles or
    Jacobians are not finite: no NaN where the steps give 0 or 1."""
    g = zolvin.Grid((6, 7), (-3.0, -2.5))
    if jac == "identity":
        p = g.pixels()
    elif jac == "nan":
        j = np.broadcast_to(np.eye(2), g.shape + (2, 2)).copy()
        j[::2, :, 0, 0] = NAN
        p = zolvin.Pixels(g.pixels().x, g.pixels().y, j)
    else:
        p = random_pixels(rng, (6, 7))
    got = getattr(zolvin, kernel)(p, *params)
    assert same_values(got, reference(kernel, p, params))
    if kernel == "pixel_frac":
        (px, py), (dx, dy) = params
        oracle = frac_oracle(px, py, dy, dx, p.x, p.y, p.u, p.v, p.dxdu, p.dxdv, p.dydu, p.dydv)
    elif kernel == "enclosed_circle":
        oracle = circle_oracle(p, *params[0], params[1])
    else:
        oracle = strut_oracle(p, *params)
    assert same_values(got, oracle)
    if jac == "identity":
        assert same_values(getattr(zolvin, kernel)(g, *params), got)
    if finite and jac != "nan":
        assert not np.isnan(got).any()


def test_nan_radius_is_not_the_centred_pixel():
    """A pixel on the centre with a NaN radius or Jacobian gets the steps' 0, not 1."""
    p = zolvin.Pixels([0.0, 0.0], [0.0, 0.0], [[[1.0, 0.0], [0.0, 1.0]], [[NAN, 0.0], [0.0, 1.0]]])
    assert zolvin.enclosed_circle(p, (0.0, 0.0), NAN).tolist() == [0.0, 0.0]
    assert zolvin.enclosed_circle(p, (0.0, 0.0), 1.0).tolist() == [1.0, 0.0]


# ---- Triangles and polygons ----

def random_triangles(rng, n, spread=6.0, size=2.5):
    centres = rng.uniform(-spread, spread, (n, 1, 2))
    return centres + rng.uniform(-size, size, (n, 3, 2))


@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize("size", [1, 12, 13])
def test_accumulate_equals_zolvin(size, n_threads, rng):
    tris = random_triangles(rng, 300)
    values = rng.uniform(-1, 2, 300)
    weights = rng.uniform(-0.2, 1.0, 300)  # some skipped
    start = rng.uniform(0, 1, (size, size))
    expected = start.copy()
    _zolvin.accumulate_triangles(addr(tris), addr(values), addr(weights), addr(expected),
                                 300, size)
    out = start.copy()
    got = zolvin.accumulate_triangles(tris, values, weights, size, out=out,
                                      n_threads=n_threads)
    assert got is out and same_bits(out, expected)
    fresh = zolvin.accumulate_triangles(tris, values, 1.0, size, n_threads=n_threads)
    assert same_bits(fresh, zolvin.accumulate_triangles(tris, values, np.ones(300), size))


def zolvin_clip(kind, tris, params):
    flat_tris = np.ascontiguousarray(tris).reshape(-1)
    n = len(tris)
    counters = np.zeros(2, np.int32)
    if kind == "circle":
        (cx, cy), r, keep, margin = params
        out = np.empty(24 * n + 1)
        k = _zolvin.clip_triangles_to_circle(addr(flat_tris), n, cx, cy, r, int(keep), margin,
                                             addr(out), addr(counters), addr(counters[1:]))
    else:
        ((x1, y1), (dx1, dy1)), ((x2, y2), (dx2, dy2)), (cx, cy), ln, margin = params
        out = np.empty(42 * n + 1)
        k = _zolvin.clip_triangles_to_strut(addr(flat_tris), n, x1, y1, dy1, dx1, x2, y2, dy2,
                                            dx2, cx, cy, ln, margin, addr(out), addr(counters),
                                            addr(counters[1:]))
    return out[:6 * k].reshape(-1, 3, 2), int(counters[0]), int(counters[1])


CLIPS = [
    ("circle", ((0.5, -0.3), 4.0, True, 0.0)),
    ("circle", ((0.5, -0.3), 4.0, False, 0.5)),
    ("strut", (((0.0, -0.5), (1.0, 0.2)), ((0.0, 0.5), (1.0, 0.2)), (0.3, 0.0), 7.0, 0.0)),
]


@pytest.mark.parametrize("chunk", [1 << 17, 7])
@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize("kind, params", CLIPS)
def test_clip_equals_zolvin(kind, params, n_threads, chunk, rng, monkeypatch):
    monkeypatch.setattr(_triangles, "CLIP_CHUNK", chunk)
    # Large triangles to cut and copy, small ones near the centre to drop.
    tris = np.concatenate([random_triangles(rng, 150), random_triangles(rng, 50, 1.0, 0.2)])
    tris = tris[rng.permutation(200)]
    expected = zolvin_clip(kind, tris, params)
    if kind == "circle":
        center, r, keep, margin = params
        got = zolvin.clip_triangles_to_circle(tris, center, r, keep_inside=keep, margin=margin,
                                              n_threads=n_threads)
    else:
        *lines, margin = params
        got = zolvin.clip_triangles_to_strut(tris, *lines, margin=margin, n_threads=n_threads)
    assert isinstance(got, zolvin.Clipped) and type(got.dropped) is int
    assert same_bits(got.triangles, expected[0]) and got[1:] == expected[1:]
    assert got.dropped > 0 and got.clipped > 0


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


@pytest.mark.parametrize("tri, ix, iy, area", [
    ([[0, 0], [1, 0], [0, 1]], 0, 0, 0.25),
    ([[0.9, -0.8], [-0.7, 0], [-0.1, 1.2]], 0, 0, 0.775),
    ([[0.5, -0.2], [0.5, 0.2], [1.5, 0]], 1, 0, 0.2),
])
def test_clip_area(tri, ix, iy, area):
    t = np.array(tri, float)
    got = zolvin.clip_area(tri, ix, iy)
    assert type(got) is float and got == _zolvin.clip_area(addr(t), ix, iy)
    assert math.isclose(got, area, rel_tol=1e-12)


# ---- Pixels, and calls from several Python threads ----

def test_pixels_defaults_and_pickling():
    import pickle
    p = zolvin.Pixels(np.zeros((2, 3, 4)), np.zeros((2, 3, 4)), [[2, 0], [0, 1]])
    assert p.shape == (2, 3, 4) and p.size == 24
    assert np.array_equal(p.u[1, 2], np.arange(4.0)) and np.array_equal(p.v[1, :, 0], np.arange(3.0))
    assert np.all(p.dxdu == 2) and p.x.dtype == np.float64 and not p.x.flags.writeable
    q = zolvin.Pixels(np.arange(3), [0, 0, 0], np.eye(2))
    assert np.array_equal(q.u, [0.0, 1.0, 2.0]) and np.array_equal(q.v, [0.0, 0.0, 0.0])
    r = pickle.loads(pickle.dumps(p))
    assert same_bits(zolvin.pixel_frac(r, (1.5, 0.0), (0.0, 1.0)),
                     zolvin.pixel_frac(p, (1.5, 0.0), (0.0, 1.0)))


def test_calls_from_python_threads_run_side_by_side(rng):
    """The lock is released inside the kernels: calls from threads give the
    single-threaded results."""
    from concurrent.futures import ThreadPoolExecutor
    p = random_pixels(rng, (300, 200))
    tris = random_triangles(rng, 2000)
    jobs = [lambda: zolvin.pixel_frac(p, *FIGURES["pixel_frac"][0], n_threads=2),
            lambda: zolvin.enclosed_circle(p, *FIGURES["enclosed_circle"][0]),
            lambda: zolvin.accumulate_triangles(tris, 1.0, 1.0, 31, n_threads=2),
            lambda: zolvin.clip_triangles_to_circle(tris, (0.0, 0.0), 3.0).triangles]
    expected = [job() for job in jobs]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda k: jobs[k % 4](), range(16)))
    assert all(same_bits(r, expected[k % 4]) for k, r in enumerate(results))
