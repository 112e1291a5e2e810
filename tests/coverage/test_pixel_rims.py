"""The fraction of single pixels, each its own parallelogram, inside a whole
disc or ellipse, against an independent oracle in mpmath: the circle inside
each triangle (centre, edge) of the pixel in the ellipse's own frame, arcs
as sectors by their angles, at 40 digits. Pixels chosen to be hard: edges
tangent to the rim, corners on it, small and huge pixels, pixels holding the
whole disc or cut by it into two arcs, mirrored ones and thin ones."""
import math

import numpy as np
import pytest
import zolvin
from zolvin.shapes.compile import region

mpmath = pytest.importorskip("mpmath")
mp = mpmath.mp

CENTER, RADIUS = (3.3, -1.7), 2.5


def disc_in_triangle(a, b):
    """Signed area of the unit disc inside the triangle (0, a, b)."""
    d = (b[0] - a[0], b[1] - a[1])
    qa, qb, qc = d[0] ** 2 + d[1] ** 2, a[0] * d[0] + a[1] * d[1], a[0] ** 2 + a[1] ** 2 - 1
    ts = [mp.mpf(0)]
    disc = qb * qb - qa * qc
    if disc > 0:
        root = mpmath.sqrt(disc)
        ts += sorted(t for t in ((-qb - root) / qa, (-qb + root) / qa) if 0 < t < 1)
    ts.append(mp.mpf(1))
    total = mp.mpf(0)
    for t0, t1 in zip(ts, ts[1:]):
        p = (a[0] + t0 * d[0], a[1] + t0 * d[1])
        q = (a[0] + t1 * d[0], a[1] + t1 * d[1])
        mid = (a[0] + (t0 + t1) / 2 * d[0], a[1] + (t0 + t1) / 2 * d[1])
        cross = p[0] * q[1] - p[1] * q[0]
        if mid[0] ** 2 + mid[1] ** 2 <= 1:
            total += cross / 2
        else:
            total += mpmath.atan2(cross, p[0] * q[0] + p[1] * q[1]) / 2
    return total


def oracle(pixel, ellipse):
    """Fraction of the pixel (x, y, dxdu, dxdv, dydu, dydv) inside the
    ellipse (cx, cy, a, b, c, d), from the float inputs exactly."""
    with mp.workdps(40):
        x, y, j0, j1, j2, j3 = (mp.mpf(v) for v in pixel)
        cx, cy, a, b, c, d = (mp.mpf(v) for v in ellipse)
        det = a * d - b * c
        corners = []
        for su, sv in ((-1, -1), (1, -1), (1, 1), (-1, 1)):
            px = x + (su * j0 + sv * j1) / 2 - cx
            py = y + (su * j2 + sv * j3) / 2 - cy
            corners.append(((d * px - b * py) / det, (-c * px + a * py) / det))
        area = sum(disc_in_triangle(corners[k], corners[(k + 1) % 4]) for k in range(4))
        return float(abs(area * det) / abs(j0 * j3 - j1 * j2))


def rotated(size, angle, aspect=1.0, shear=0.0, mirror=False):
    c, s = math.cos(angle), math.sin(angle)
    m = -1.0 if mirror else 1.0
    return (size * c, m * size * aspect * (-s + shear * c), size * s,
            m * size * aspect * (c + shear * s))


def hard_pixels():
    """Pixels (x, y, dxdu, dxdv, dydu, dydv) around the disc at CENTER."""
    rng = np.random.default_rng(25)
    cx, cy = CENTER
    out = []
    for _ in range(60):  # on the rim, of many sizes and shapes
        t, size = rng.uniform(0, 2 * math.pi), RADIUS * 10 ** rng.uniform(-3, 0.7)
        j = rotated(size, rng.uniform(0, math.pi), rng.uniform(0.3, 2), rng.uniform(-0.5, 0.5),
                    rng.uniform() < 0.5)
        r = RADIUS + rng.uniform(-0.6, 0.6) * size
        out.append((cx + r * math.cos(t), cy + r * math.sin(t), *j))
    for k in range(12):  # an edge tangent to the rim, from outside and inside
        t, size = 0.5 * k, RADIUS * (0.05, 0.3, 1.5)[k % 3]
        n = (math.cos(t), math.sin(t))
        r = RADIUS + (0.5 if k % 2 else -0.5) * size
        out.append((cx + r * n[0], cy + r * n[1], *rotated(size, t)))
    for k in range(12):  # a corner on the rim
        t, size = 0.7 * k + 0.1, RADIUS * (0.02, 0.2, 0.9)[k % 3]
        j = rotated(size, 0.3 * k, 1.0 + 0.1 * k)
        corner = (cx + RADIUS * math.cos(t), cy + RADIUS * math.sin(t))
        s = 1 if k % 2 else -1
        out.append((corner[0] + s * (j[0] + j[1]) / 2, corner[1] + s * (j[2] + j[3]) / 2, *j))
    # Pixels around the whole disc, holding its centre with one side cutting
    # a cap off (an arc of more than a half turn), a band through it (two
    # arcs), wider than it in one direction, and thin ones across the rim.
    out += [(cx + 0.1, cy - 0.2, *rotated(4 * RADIUS, 0.3)),
            (cx, cy + 1.2 * RADIUS, *rotated(4 * RADIUS, 0.0)),
            (cx + 0.3, cy - 1.1 * RADIUS, *rotated(3.7 * RADIUS, 0.4, mirror=True)),
            (cx + 0.2, cy + 0.1, *rotated(3 * RADIUS, 0.2, 1 / 3)),
            (cx + 0.5 * RADIUS, cy, *rotated(3 * RADIUS, 1.2, 0.5, 0.3)),
            (cx + RADIUS, cy, *rotated(0.5, 0.1, 1 / 30)),
            (cx, cy - RADIUS, *rotated(0.5, 1.5, 1 / 20, mirror=True))]
    return np.array(out)


def coverage(pixels, shape):
    x, y, j0, j1, j2, j3 = (pixels[:, k][None] for k in range(6))
    jac = np.stack([np.stack([j0, j1], -1), np.stack([j2, j3], -1)], -2)
    return zolvin.region_coverage(zolvin.Pixels(x, y, jac), region(shape)).ravel()


@pytest.mark.parametrize("shape, ellipse", [
    (zolvin.shapes.Disc(CENTER, RADIUS), (*CENTER, RADIUS, 0.0, 0.0, RADIUS)),
    (zolvin.shapes.Ellipse(CENTER, (RADIUS, 0.6 * RADIUS), 0.5), None),
], ids=["disc", "ellipse"])
def test_rim_pixels_against_mpmath(shape, ellipse):
    pixels = hard_pixels()
    if ellipse is None:
        ellipse = tuple(region(shape).arcs[0, :6])
    got = coverage(pixels, shape)
    want = np.array([oracle(p, ellipse) for p in pixels])
    assert 0.05 < np.mean((want > 0) & (want < 1))
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)
    # Pixels the rim does not pass through are exactly in or out.
    assert np.all(got[want == 0] == 0) and np.all(got[want == 1] == 1)


def test_pixels_just_inside_and_outside_are_whole():
    # Squares of a hundredth of the radius stepped across the rim: those
    # clear of it are exactly 1 or 0; the rest lie strictly between.
    cx, cy = CENTER
    size = RADIUS / 100
    r = RADIUS + size * (np.linspace(-1.5, 1.5, 61) + 0.013)
    pixels = np.array([(cx + q * math.cos(0.4), cy + q * math.sin(0.4), *rotated(size, 0.4))
                       for q in r])
    got = coverage(pixels, zolvin.shapes.Disc(CENTER, RADIUS))
    # Radially aligned squares: the outer corners reach sqrt((r + s/2)^2 +
    # (s/2)^2), the inner side comes within r - s/2.
    inside = np.hypot(r + size / 2, size / 2) < RADIUS * (1 - 1e-12)
    outside = r - size / 2 > RADIUS * (1 + 1e-12)
    assert inside.sum() > 10 and outside.sum() > 10
    assert np.all(got[inside] == 1.0) and np.all(got[outside] == 0.0)
    rim = ~inside & ~outside
    assert np.all((got[rim] > 0) & (got[rim] < 1))
