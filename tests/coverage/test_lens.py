"""Two rims that cross: lenses of discs and of ellipses against the closed-form
circle lens and a 40-digit boundary integral per pixel (mpmath), however close
the crossings."""
import math

import mpmath
import numpy as np
import pytest
import zolvin
import zolvin.dask as zd
from zolvin import pupils
from zolvin.shapes import Disc, Ellipse, Polygon

MP = mpmath.mp.clone()
MP.dps = 40
TAU = 2 * math.pi

GRIDS = {
    "square": ((1.0, 0.0), (0.0, 1.0)),
    "sheared": ((0.93, 0.31), (-0.12, 1.07)),
}


# ---- The oracle: convex regions bounded by ellipses and one convex polygon ----
# The area of the intersection of closed ellipses and a convex polygon is
# 1/2 of the integral of x dy - y dx along its boundary: the parts of each rim
# that lie inside all the other sets, in 40 digits. Every arc's integral is in
# closed form, so the only approximations are the crossing parameters, from
# mpmath's polynomial roots.

def rim(shape):
    """(cx, cy, a, b, c, d) of a Disc or Ellipse, counter-clockwise, as mpf."""
    if isinstance(shape, Disc):
        (x, y), r = shape.center, shape.radius
        coef = (r, 0.0, 0.0, r)
    else:
        (x, y), (p, q), th = shape.center, shape.semi_axes, shape.angle
        co, si = math.cos(th), math.sin(th)
        coef = (p * co, -q * si, p * si, q * co)
    return tuple(MP.mpf(v) for v in (x, y, *coef))


def to_unit(e, x, y):
    """The point (x, y) in the frame where ellipse e is the unit circle."""
    cx, cy, a, b, c, d = e
    det = a * d - b * c
    dx, dy = x - cx, y - cy
    return (d * dx - b * dy) / det, (a * dy - c * dx) / det


def at(e, t):
    cx, cy, a, b, c, d = e
    return cx + a * MP.cos(t) + b * MP.sin(t), cy + c * MP.cos(t) + d * MP.sin(t)


def inside_ellipse(e, x, y):
    wu, wv = to_unit(e, x, y)
    return wu * wu + wv * wv < 1


def inside_polygon(poly, x, y):
    n = len(poly)
    return all((poly[(k + 1) % n][0] - poly[k][0]) * (y - poly[k][1])
               - (poly[(k + 1) % n][1] - poly[k][1]) * (x - poly[k][0]) > 0 for k in range(n))


def line_params(e, p, q):
    """(s, t): p + s (q - p) is on ellipse e at parameter t, for s in [0, 1]."""
    pu, pv = to_unit(e, *p)
    qu, qv = to_unit(e, *q)
    du, dv = qu - pu, qv - pv
    a2, b2, c2 = du * du + dv * dv, 2 * (pu * du + pv * dv), pu * pu + pv * pv - 1
    disc = b2 * b2 - 4 * a2 * c2
    if disc < 0:
        return []
    root = MP.sqrt(disc)
    out = []
    for s in ((-b2 - root) / (2 * a2), (-b2 + root) / (2 * a2)):
        if 0 <= s <= 1:
            out.append((s, MP.atan2(pv + s * dv, pu + s * du)))
    return out


def ellipse_params(e, f):
    """Parameters on e of the points where e crosses or touches f: the real
    roots of |f's frame of e(t)|^2 - 1, a quartic in tan((t - shift) / 2)."""
    cx, cy, a, b, c, d = e
    # e(t) in f's unit frame: k + K (cos t, sin t).
    ku, kv = to_unit(f, cx, cy)
    k11, k21 = [v - w for v, w in zip(to_unit(f, cx + a, cy + c), (ku, kv))]
    k12, k22 = [v - w for v, w in zip(to_unit(f, cx + b, cy + d), (ku, kv))]
    g11, g22, g12 = k11**2 + k21**2, k12**2 + k22**2, k11 * k12 + k21 * k22
    a0 = ku**2 + kv**2 - 1 + (g11 + g22) / 2
    a1, b1 = 2 * (k11 * ku + k21 * kv), 2 * (k12 * ku + k22 * kv)
    a2, b2 = (g11 - g22) / 2, g12
    shift = MP.mpf("0.7390851332151607")  # no special angle
    # Rotate by shift: t = shift + t'.
    cs, ss, c2, s2 = MP.cos(shift), MP.sin(shift), MP.cos(2 * shift), MP.sin(2 * shift)
    a1, b1 = a1 * cs + b1 * ss, b1 * cs - a1 * ss
    a2, b2 = a2 * c2 + b2 * s2, b2 * c2 - a2 * s2
    coeffs = [a0 + a1 + a2, 2 * b1 + 4 * b2, 2 * a0 - 6 * a2, 2 * b1 - 4 * b2, a0 - a1 + a2]
    scale = max(abs(v) for v in coeffs)
    if scale == 0:
        return []
    roots = MP.polyroots([v / scale for v in coeffs], maxsteps=400, extraprec=400, asc=True)
    return [shift + 2 * MP.atan(z.real) for z in roots if abs(z.imag) < MP.mpf(10) ** -25]


def arc_integral(e, t0, t1):
    """The integral of x dy - y dx along e from t0 to t1."""
    cx, cy, a, b, c, d = e
    ds, dc = MP.sin(t1) - MP.sin(t0), MP.cos(t1) - MP.cos(t0)
    return (a * d - b * c) * (t1 - t0) + cx * (d * ds + c * dc) - cy * (b * ds + a * dc)


def convex_area(ellipses, poly, crossings):
    """Area of the intersection of the ellipses and the counter-clockwise
    convex polygon; crossings[i][j] holds the parameters on ellipse i where
    it meets ellipse j."""
    def inside_all(x, y, skip_ellipse=None, polygon=True):
        return (all(inside_ellipse(f, x, y) for j, f in enumerate(ellipses) if j != skip_ellipse)
                and (not polygon or inside_polygon(poly, x, y)))

    total = MP.mpf(0)
    n = len(poly)
    for i, e in enumerate(ellipses):
        ts = [t for j in range(len(ellipses)) if j != i for t in crossings[i][j]]
        for k in range(n):
            ts += [t for _, t in line_params(e, poly[k], poly[(k + 1) % n])]
        ts = sorted(t % (2 * MP.pi) for t in ts)
        if not ts:
            if inside_all(*at(e, 0), skip_ellipse=i):
                total += arc_integral(e, 0, 2 * MP.pi)
            continue
        for k, t0 in enumerate(ts):
            t1 = ts[k + 1] if k + 1 < len(ts) else ts[0] + 2 * MP.pi
            if t1 > t0 and inside_all(*at(e, (t0 + t1) / 2), skip_ellipse=i):
                total += arc_integral(e, t0, t1)
    for k in range(n):
        p, q = poly[k], poly[(k + 1) % n]
        ss = sorted({MP.mpf(0), MP.mpf(1), *(s for e in ellipses for s, _ in line_params(e, p, q))})
        for s0, s1 in zip(ss, ss[1:]):
            x0, y0 = p[0] + s0 * (q[0] - p[0]), p[1] + s0 * (q[1] - p[1])
            x1, y1 = p[0] + s1 * (q[0] - p[0]), p[1] + s1 * (q[1] - p[1])
            if inside_all((x0 + x1) / 2, (y0 + y1) / 2, polygon=False):
                total += x0 * y1 - y0 * x1
    return total / 2


def pixel_polygon(grid, i, j):
    """Pixel (i, j) of the grid as a counter-clockwise parallelogram in mpf."""
    (a, b), (c, d) = (tuple(MP.mpf(v) for v in row) for row in grid.jac)
    x0, y0 = (MP.mpf(v) for v in grid.origin)
    u, v = MP.mpf(j), MP.mpf(i)
    corners = [(u + su, v + sv) for su, sv in ((-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5))]
    pts = [(x0 + a * cu + b * cv, y0 + c * cu + d * cv) for cu, cv in corners]
    return pts if a * d - b * c > 0 else pts[::-1]


def oracle(grid, shapes):
    """Per-pixel fraction of the intersection of the shapes (Discs and
    Ellipses) as float64, computed on the pixels that the shapes' common
    bounding box meets and zero elsewhere."""
    es = [rim(s) for s in shapes]
    crossings = [[ellipse_params(e, f) if i != j else [] for j, f in enumerate(es)]
                 for i, e in enumerate(es)]
    boxes = np.array([s.bounds for s in shapes])
    box = (boxes[:, 0].max(), boxes[:, 1].max(), boxes[:, 2].min(), boxes[:, 3].min())
    out = np.zeros(grid.shape)
    if box[0] > box[2] or box[1] > box[3]:
        return out
    (a, b), (c, d) = grid.jac
    det = a * d - b * c
    inv = np.array([[d, -b], [-c, a]]) / det
    corners = np.array([(box[0], box[1]), (box[2], box[1]), (box[0], box[3]), (box[2], box[3])])
    uv = (corners - np.array(grid.origin)) @ inv.T
    j0, i0 = np.floor(uv.min(axis=0) - 0.5).astype(int)
    j1, i1 = np.ceil(uv.max(axis=0) + 0.5).astype(int)
    area = abs(MP.mpf(a) * MP.mpf(d) - MP.mpf(b) * MP.mpf(c))
    # Pixels well inside every ellipse, or well outside one, need no integral:
    # the pixel's centre and the radius of its circumcircle, in each
    # ellipse's unit frame.
    half = 0.5 * max(math.hypot(a + b, c + d), math.hypot(a - b, c - d))
    frames = []
    for s in shapes:
        (cx, cy), (ea, eb, ec, ed) = s.center, [float(v) for v in rim(s)[2:]]
        e_det = ea * ed - eb * ec
        inv = np.array([[ed, -eb], [-ec, ea]]) / e_det
        frames.append(((cx, cy), inv, half * np.linalg.norm(inv, 2)))
    for i in range(max(i0, 0), min(i1 + 1, grid.shape[0])):
        for j in range(max(j0, 0), min(j1 + 1, grid.shape[1])):
            x = grid.origin[0] + a * j + b * i
            y = grid.origin[1] + c * j + d * i
            reach = [(np.hypot(*(inv @ (x - cx, y - cy))), r) for (cx, cy), inv, r in frames]
            if any(w - r > 1 + 1e-9 for w, r in reach):
                continue
            if all(w + r < 1 - 1e-9 for w, r in reach):
                out[i, j] = 1.0
                continue
            out[i, j] = float(convex_area(es, pixel_polygon(grid, i, j), crossings) / area)
    return out


def circle_lens(a, b):
    """Area of the intersection of two Discs, in 40 digits."""
    (x1, y1), r1 = (MP.mpf(v) for v in a.center), MP.mpf(a.radius)
    (x2, y2), r2 = (MP.mpf(v) for v in b.center), MP.mpf(b.radius)
    d = MP.hypot(x2 - x1, y2 - y1)
    if d >= r1 + r2:
        return MP.mpf(0)
    if d <= abs(r1 - r2):
        return MP.pi * min(r1, r2) ** 2
    f1 = (d * d + r1 * r1 - r2 * r2) / (2 * d)
    f2 = d - f1
    return (r1 * r1 * MP.acos(f1 / r1) - f1 * MP.sqrt(r1 * r1 - f1 * f1)
            + r2 * r2 * MP.acos(f2 / r2) - f2 * MP.sqrt(r2 * r2 - f2 * f2))


def centred_grid(n, jac, shift=(0.37, 0.11)):
    """An n x n grid with the given Jacobian whose middle lies near the origin."""
    j = np.array(jac, float)
    origin = -(j @ np.array([(n - 1) / 2] * 2)) + np.array(shift)
    return zolvin.Grid((n, n), tuple(origin), jac)


def disc_pair(r1, r2, sep, angle=1.1, centre=(0.3, -0.2)):
    """Two discs whose rims cross at two points sep apart."""
    h = sep / 2
    d = math.sqrt(r1 * r1 - h * h) + math.sqrt(r2 * r2 - h * h)
    return Disc(centre, r1), Disc((centre[0] + d * math.cos(angle), centre[1] + d * math.sin(angle)), r2)


def lens_tolerance(area):
    # Relative 1e-12 of the lens, but no finer than 1e-14 pixel areas: the
    # centres' rounding in the grid's frame alone moves a thin lens's area
    # by its chord times a few ulps of the coordinates.
    return max(1e-12 * area, 1e-14)


# ---- Discs ---------------------------------------------------------------------

def test_the_reported_pair():
    grid = zolvin.Grid((64, 64), (-31.5, -31.5), ((1, 0), (0, 1)))
    a, b = Disc((0.192, -0.299), 10.0), Disc((7.272994937079236, 18.405520619573732), 10.0)
    cov = zolvin.aperture_coverage(grid, a & b)
    lens = float(circle_lens(a, b))
    assert lens == pytest.approx(1.43e-7, rel=1e-3)
    assert abs(cov.sum() - lens) <= lens_tolerance(lens)
    assert np.abs(cov - oracle(grid, [a, b])).max() <= 1e-12


# Radii, and crossings sep pixels apart from far apart down to a millionth of
# a pixel (rims of radius r cross at most 2 r apart).
LENSES = [(r1, r2, sep) for r1, r2 in [(2.01, 2.01), (2.01, 3.7), (10.0, 10.0), (37.3, 5.2)]
          for sep in [10, 1, 0.1, 1e-2, 1e-4, 1e-6] if sep < 2 * min(r1, r2)]


@pytest.mark.parametrize("grid", GRIDS)
@pytest.mark.parametrize("r1, r2, sep", LENSES)
def test_disc_lenses(grid, r1, r2, sep):
    a, b = disc_pair(r1, r2, sep)
    g = centred_grid(int(2 * (r1 + r2)) + 8, GRIDS[grid])
    cov = zolvin.aperture_coverage(g, a & b)
    lens = float(circle_lens(a, b)) / g.pixel_area
    assert abs(cov.sum() - lens) <= lens_tolerance(lens)
    assert np.abs(cov - oracle(g, [a, b])).max() <= 1e-12


@pytest.mark.parametrize("grid", GRIDS)
def test_random_disc_pairs(grid):
    # Radii from 2.01 pixels, crossings from 1e-6 pixels apart up to a diameter.
    rng = np.random.default_rng(23)
    g = centred_grid(64, GRIDS[grid])
    worst = 0.0
    for _ in range(250):
        r1, r2 = rng.uniform(2.01, 12.0, 2)
        sep = min(r1, r2) * 2 * 10 ** rng.uniform(-6.5, 0)
        a, b = disc_pair(r1, r2, sep, rng.uniform(0, TAU), tuple(rng.uniform(-8, 8, 2)))
        lens = float(circle_lens(a, b)) / g.pixel_area
        worst = max(worst, abs(zolvin.aperture_coverage(g, a & b).sum() - lens))
    assert worst <= 1e-12


# ---- Any two rims ----------------------------------------------------------------

E = Ellipse((0.3, -0.2), (5.5, 2.5), 0.4)
RIM_PAIRS = {
    "four crossings": (E, Ellipse((0.1, 0.2), (5.0, 3.0), 2.1)),
    "two crossings": (E, Ellipse((4.1, 2.2), (3.0, 1.5), -0.3)),
    "ellipse and disc": (E, Disc((-3.9, 1.7), 2.4)),
    "turned 1e-9": (E, Ellipse((0.3, -0.2), (5.5, 2.5), 0.4 + 1e-9)),
    "moved 1e-12": (E, Ellipse((0.3 + 1e-12, -0.2), (5.5, 2.5), 0.4)),
    "touching": (Ellipse((0, 0), (4.0, 2.0)), Ellipse((0, 3.5), (3.0, 1.5))),
    "discs touching outside": (Disc((0, 0), 3.0), Disc((5.0, 0), 2.0)),
    "discs touching inside": (Disc((0, 0), 3.0), Disc((1.0, 0), 2.0)),
    "discs moved 1e-12": (Disc((0.3, -0.2), 4.0), Disc((0.3, -0.2 + 1e-12), 4.0)),
    "the same disc twice": (Disc((0.3, -0.2), 4.0), Disc((0.3, -0.2), 4.0)),
}
ELLIPSE_GRIDS = dict(GRIDS, rotated=((0.6, -0.8), (0.8, 0.6)))


@pytest.mark.parametrize("grid", ELLIPSE_GRIDS)
@pytest.mark.parametrize("pair", RIM_PAIRS)
def test_pairs_of_rims(grid, pair):
    a, b = RIM_PAIRS[pair]
    g = centred_grid(24, ELLIPSE_GRIDS[grid])
    # (The oracle needs rims that meet in points, not along arcs.)
    ref_a, ref_b = oracle(g, [a]), oracle(g, [b])
    ref_ab = ref_a if a == b else oracle(g, [a, b])

    def cov(s):
        return zolvin.aperture_coverage(g, s)

    assert np.abs(cov(a & b) - ref_ab).max() <= 1e-12
    assert np.abs(cov(a | b) - (ref_a + ref_b - ref_ab)).max() <= 1e-12
    assert np.abs(cov(a - b) - (ref_a - ref_ab)).max() <= 1e-12
    # Inclusion-exclusion per pixel, within what the documentation states.
    assert np.abs(cov(a | b) + cov(a & b) - cov(a) - cov(b)).max() <= 5e-16 * 24


def tangent_at(shape, t):
    """The point of an Ellipse at parameter t, its unit tangent and its outward normal."""
    _, _, a, b, c, d = (float(v) for v in rim(shape))
    (x, y) = shape.center
    px, py = x + a * math.cos(t) + b * math.sin(t), y + c * math.cos(t) + d * math.sin(t)
    tx, ty = -a * math.sin(t) + b * math.cos(t), -c * math.sin(t) + d * math.cos(t)
    norm = math.hypot(tx, ty)
    return (px, py), (tx / norm, ty / norm), (ty / norm, -tx / norm)


def nearly_touching(shape, t, eps, inside):
    """An ellipse touching shape at parameter t (its mirror image in the
    tangent there, or a copy shrunk to 0.4 about that point), moved by eps
    across the rim so that the two cross twice close together."""
    (px, py), (tx, ty), (nx, ny) = tangent_at(shape, t)
    (x, y), (p, q), th = shape.center, shape.semi_axes, shape.angle
    if inside:
        k = 0.4
        cx, cy, axes, angle = px + k * (x - px), py + k * (y - py), (k * p, k * q), th
        cx, cy = cx + eps * nx, cy + eps * ny
    else:
        # The mirror image in the tangent line: the centre reflected, the axes turned.
        along = (x - px) * tx + (y - py) * ty
        cx, cy = 2 * (px + along * tx) - x, 2 * (py + along * ty) - y
        axes, angle = (p, q), 2 * math.atan2(ty, tx) - th
        cx, cy = cx - eps * nx, cy - eps * ny
    return Ellipse((cx, cy), axes, angle)


@pytest.mark.parametrize("inside", [False, True], ids=["outside", "inside"])
@pytest.mark.parametrize("eps", [1e-2, 1e-5, 1e-8, 1e-11])
def test_nearly_touching_ellipses(inside, eps):
    a = Ellipse((0.2, 0.1), (5.0, 2.2), 0.7)
    b = nearly_touching(a, 0.9, eps, inside)
    g = centred_grid(24, GRIDS["sheared"])
    assert np.abs(zolvin.aperture_coverage(g, a & b) - oracle(g, [a, b])).max() <= 1e-12


# ---- A Grid against its own pixels ------------------------------------------------

@pytest.mark.parametrize("grid", ELLIPSE_GRIDS)
@pytest.mark.parametrize("shape", [
    disc_pair(11.0, 7.5, 3.0)[0] & disc_pair(11.0, 7.5, 3.0)[1],
    E - Polygon([(-4, -3), (3, -2.5), (0.5, 4)]),
    pupils.keck(),
], ids=["lens", "ellipse minus triangle", "keck"])
def test_grid_and_its_pixels_agree_to_rounding(grid, shape):
    # Each Pixels' pixel is swept in its own frame, the Grid in one: the
    # documentation states the bound.
    n = 40
    b = shape.bounds
    scale = max(b[2] - b[0], b[3] - b[1]) * 1.2 / n
    jac = tuple(tuple(scale * v for v in row) for row in ELLIPSE_GRIDS[grid])
    g = centred_grid(n, jac, ((b[0] + b[2]) / 2, (b[1] + b[3]) / 2))
    diff = zolvin.aperture_coverage(g, shape) - zolvin.aperture_coverage(g.pixels(), shape)
    assert np.abs(diff).max() <= 6e-16 * n


def test_bits_over_threads_windows_and_chunks():
    # Crossings come from the two rims alone, never from the strip or window.
    g = centred_grid(150, ((0.11, 0.02), (-0.015, 0.1)))
    shape = (Disc((0.2, 0.1), 3.9) & Disc((3.1, 2.0), 2.6)) | Ellipse((-1.0, 0.5), (4.1, 1.3), 0.6)
    ref = zolvin.aperture_coverage(g, shape, n_threads=1)
    for n in (2, 3):
        assert zolvin.aperture_coverage(g, shape, n_threads=n).tobytes() == ref.tobytes()
    assert zolvin.aperture_coverage(g[31:120, 7:140], shape).tobytes() == ref[31:120, 7:140].tobytes()
    chunked = zd.aperture_coverage(g, shape, chunks=(37, 41)).compute(scheduler="threads")
    assert chunked.tobytes() == ref.tobytes()
