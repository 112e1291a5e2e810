"""The line, circle and strut rules of the package against _zolvin on the
same data, for every n_threads; their steps where inputs are not finite; what
they refuse."""
import math

import numpy as np
import pytest
import zolvin
from conftest import addr
from helpers import random_pixels, random_triangles, refusal_ids, refused, same_bits

import _zolvin

THREADS = [None, 1, 2, 3, 8]


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


REFUSALS = [
    (lambda n: zolvin.enclosed_circle(n.G, (0, 0), 10 ** 400, out=n.O34), ValueError, 'radius'),
    (lambda n: zolvin.enclosed_circle(n.P, (10 ** 400, 0), 1.0, out=n.O34), ValueError, 'center[0]'),
    (lambda n: zolvin.enclosed_circle(n.P, np.array([2 ** 53 + 1, 0]), 1.0, out=n.O34), ValueError, 'center'),
    (lambda n: zolvin.enclosed_circle(n.P, (0, np.int64(2 ** 62 + 1)), 1.0, out=n.O34),
     ValueError, 'center[1]'),
    (lambda n: zolvin.enclosed_circle(n.P, (0, 0), np.complex128(1.0), out=n.O34), TypeError, 'radius'),
    (lambda n: zolvin.enclosed_circle(n.P, (0, 0), np.datetime64('2020'), out=n.O34), TypeError, 'radius'),
    (lambda n: zolvin.enclosed_circle(n.P, ((0, 0), (1, 1)), 1.0, out=n.O34), ValueError, 'center'),
    (lambda n: zolvin.enclosed_strut(n.G, 2.0, n.E, ((0, 0), (10 ** 400, 1)), out=n.O34),
     ValueError, 'edge2 direction[0]'),
    (lambda n: zolvin.pixel_frac(n.P, (0, '1'), (0, 1), out=n.O34), TypeError, 'point[1]'),
    (lambda n: zolvin.pixel_frac(n.X, (0, 0), (0, 1)), TypeError, 'pixels'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0, 0), (0, 1)), ValueError, 'point'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0), 'ab'), TypeError, 'direction'),
    (lambda n: zolvin.pixel_frac(n.P, np.zeros((3, 5, 2)), (0, 1)), ValueError, 'point'),
    (lambda n: zolvin.pixel_frac(n.G, (0, 0), np.zeros((4, 3, 2))), ValueError, 'direction'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0), (0, 1), out=n.O34.astype(np.float32)), TypeError, 'out'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0), (0, 1), out=n.O34.tolist()), TypeError, 'out'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0), (0, 1), out=n.O43), ValueError, 'out'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0), (0, 1), out=n.RO), ValueError, 'out'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0), (0, 1), out=n.O38[:, ::2]), ValueError, 'out'),
    (lambda n: zolvin.pixel_frac(n.P, np.zeros((3, 4, 2)), (0, 1), out=n.O34[::-1]), ValueError, 'out'),
    (lambda n: zolvin.pixel_frac(n.PB, (0, 0), (0, 1), out=n.B[1:13].reshape(3, 4)),
     ValueError, 'overlaps x'),
    (lambda n: zolvin.pixel_frac(n.G, (0, 0), (0, 1), out=n.O43), ValueError, 'out'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0), (0, 1), out=n.O34, n_threads=0), ValueError, 'n_threads'),
    (lambda n: zolvin.pixel_frac(n.P, (0, 0), (0, 1), out=n.O34, n_threads=1.5), TypeError, 'n_threads'),
    (lambda n: zolvin.pixel_frac(n.G, (0, 0), (0, 1), out=n.O34, n_threads='2'), TypeError, 'n_threads'),
    (lambda n: zolvin.enclosed_circle(n.P, (0, 0), '1', out=n.O34), TypeError, 'radius'),
    (lambda n: zolvin.enclosed_circle(n.P, (0, 0), 1j, out=n.O34), TypeError, 'radius'),
    (lambda n: zolvin.enclosed_circle(n.P, 0.0, 1.0, out=n.O34), TypeError, 'center'),
    (lambda n: zolvin.enclosed_circle(n.G, (0, 0), 1.0, out=n.O38[:, :4]), ValueError, 'out'),
    (lambda n: zolvin.enclosed_strut(n.P, 1.0, ((0, 0),), n.E, out=n.O34), ValueError, 'edge1'),
    (lambda n: zolvin.enclosed_strut(n.P, 1.0, n.E, ((0, 0), (0, 1, 2)), out=n.O34),
     ValueError, 'edge2 direction'),
    (lambda n: zolvin.enclosed_strut(n.G, None, n.E, n.E, out=n.O34), TypeError, 'diameter'),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)


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
