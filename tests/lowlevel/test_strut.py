import math

import numpy as np
import pytest
from conftest import addr
from helpers import grid

import _zolvin

# (u, v, x, y, diameter, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2,
#  dxdu, dxdv, dydu, dydv, expected): parallel and tilted edges, directions
# of other lengths, both edge orders, sheared and mirrored Jacobians.
PINNED = [
    (5.0, -2.0, -0.75, 0.0, 9.5, -0.5, 0.25, 1.0, 0.5, 0.75, -0.5, 1.0, 0.5, 0.75, 0.3125, -0.125, 1.25, '0x1.6276276276272p-2'),
    (6.0, -2.0, 0.6, -0.2, 9.5, -0.5, 0.25, 1.0, 0.5, 0.75, -0.5, 1.0, 0.5, 0.75, 0.3125, -0.125, 1.25, '0x1.ba8689b049192p-1'),
    (7.0, -2.0, 1.1, 0.9, 9.5, -0.5, 0.25, 1.0, 0.5, 0.75, -0.5, 1.0, 0.5, 0.75, 0.3125, -0.125, 1.25, '0x1.d278aca982ea2p-1'),
    (5.0, -2.0, -0.75, 0.0, 9.5, -0.5, 0.25, 1.0, 0.5, 0.75, -0.5, 1.0, 0.5, 0.5, 1.0, 1.0, 0.25, '0x1.6db6db6db6db8p-2'),
    (6.0, -2.0, 0.6, -0.2, 9.5, -0.5, 0.25, 1.0, 0.5, 0.75, -0.5, 1.0, 0.5, 0.5, 1.0, 1.0, 0.25, '0x1.af8af8af8af8cp-1'),
    (7.0, -2.0, 1.1, 0.9, 9.5, -0.5, 0.25, 1.0, 0.5, 0.75, -0.5, 1.0, 0.5, 0.5, 1.0, 1.0, 0.25, '0x1.cccccccccccccp-1'),
    (5.0, -2.0, -0.75, 0.0, 9.5, 0.75, -0.5, 1.0, 0.5, -0.5, 0.25, 1.0, 0.5, 0.75, 0.3125, -0.125, 1.25, '-0x1.6276276276272p-2'),
    (6.0, -2.0, 0.6, -0.2, 9.5, 0.75, -0.5, 1.0, 0.5, -0.5, 0.25, 1.0, 0.5, 0.75, 0.3125, -0.125, 1.25, '-0x1.ba8689b049192p-1'),
    (7.0, -2.0, 1.1, 0.9, 9.5, 0.75, -0.5, 1.0, 0.5, -0.5, 0.25, 1.0, 0.5, 0.75, 0.3125, -0.125, 1.25, '-0x1.d278aca982ea2p-1'),
    (5.0, -2.0, -0.75, 0.0, 9.5, 0.75, -0.5, 1.0, 0.5, -0.5, 0.25, 1.0, 0.5, 0.5, 1.0, 1.0, 0.25, '-0x1.6db6db6db6db8p-2'),
    (6.0, -2.0, 0.6, -0.2, 9.5, 0.75, -0.5, 1.0, 0.5, -0.5, 0.25, 1.0, 0.5, 0.5, 1.0, 1.0, 0.25, '-0x1.af8af8af8af8cp-1'),
    (7.0, -2.0, 1.1, 0.9, 9.5, 0.75, -0.5, 1.0, 0.5, -0.5, 0.25, 1.0, 0.5, 0.5, 1.0, 1.0, 0.25, '-0x1.cccccccccccccp-1'),
    (5.0, -2.0, -0.75, 0.0, 9.5, -1.0, 0.0, 1.0, 0.125, 1.25, 0.5, 3.0, -0.25, 0.75, 0.3125, -0.125, 1.25, '0x1.a72f05397829fp-1'),
    (6.0, -2.0, 0.6, -0.2, 9.5, -1.0, 0.0, 1.0, 0.125, 1.25, 0.5, 3.0, -0.25, 0.75, 0.3125, -0.125, 1.25, '0x1.0000000000000p+0'),
    (7.0, -2.0, 1.1, 0.9, 9.5, -1.0, 0.0, 1.0, 0.125, 1.25, 0.5, 3.0, -0.25, 0.75, 0.3125, -0.125, 1.25, '0x1.50c4257fa3b23p-1'),
    (5.0, -2.0, -0.75, 0.0, 9.5, -1.0, 0.0, 1.0, 0.125, 1.25, 0.5, 3.0, -0.25, 0.5, 1.0, 1.0, 0.25, '0x1.8421084210842p-1'),
    (6.0, -2.0, 0.6, -0.2, 9.5, -1.0, 0.0, 1.0, 0.125, 1.25, 0.5, 3.0, -0.25, 0.5, 1.0, 1.0, 0.25, '0x1.fc38b918a1368p-1'),
    (7.0, -2.0, 1.1, 0.9, 9.5, -1.0, 0.0, 1.0, 0.125, 1.25, 0.5, 3.0, -0.25, 0.5, 1.0, 1.0, 0.25, '0x1.3a83a83a83a83p-1'),
    (5.0, -2.0, -0.75, 0.0, 9.5, 1.25, 0.5, 3.0, -0.25, -1.0, 0.0, 1.0, 0.125, 0.75, 0.3125, -0.125, 1.25, '-0x1.a72f05397829fp-1'),
    (6.0, -2.0, 0.6, -0.2, 9.5, 1.25, 0.5, 3.0, -0.25, -1.0, 0.0, 1.0, 0.125, 0.75, 0.3125, -0.125, 1.25, '-0x1.0000000000000p+0'),
    (7.0, -2.0, 1.1, 0.9, 9.5, 1.25, 0.5, 3.0, -0.25, -1.0, 0.0, 1.0, 0.125, 0.75, 0.3125, -0.125, 1.25, '-0x1.50c4257fa3b23p-1'),
    (5.0, -2.0, -0.75, 0.0, 9.5, 1.25, 0.5, 3.0, -0.25, -1.0, 0.0, 1.0, 0.125, 0.5, 1.0, 1.0, 0.25, '-0x1.8421084210842p-1'),
    (6.0, -2.0, 0.6, -0.2, 9.5, 1.25, 0.5, 3.0, -0.25, -1.0, 0.0, 1.0, 0.125, 0.5, 1.0, 1.0, 0.25, '-0x1.fc38b918a1368p-1'),
    (7.0, -2.0, 1.1, 0.9, 9.5, 1.25, 0.5, 3.0, -0.25, -1.0, 0.0, 1.0, 0.125, 0.5, 1.0, 1.0, 0.25, '-0x1.3a83a83a83a83p-1'),
    (5.0, -2.0, -0.75, 0.0, 9.5, 0.0, -1.0, 0.0, 4.0, 0.5, 1.5, 0.5, -3.0, 0.75, 0.3125, -0.125, 1.25, '0x0.0p+0'),
    (6.0, -2.0, 0.6, -0.2, 9.5, 0.0, -1.0, 0.0, 4.0, 0.5, 1.5, 0.5, -3.0, 0.75, 0.3125, -0.125, 1.25, '0x0.0p+0'),
    (7.0, -2.0, 1.1, 0.9, 9.5, 0.0, -1.0, 0.0, 4.0, 0.5, 1.5, 0.5, -3.0, 0.75, 0.3125, -0.125, 1.25, '-0x1.db22d0e560420p-4'),
    (5.0, -2.0, -0.75, 0.0, 9.5, 0.0, -1.0, 0.0, 4.0, 0.5, 1.5, 0.5, -3.0, 0.5, 1.0, 1.0, 0.25, '0x0.0p+0'),
    (6.0, -2.0, 0.6, -0.2, 9.5, 0.0, -1.0, 0.0, 4.0, 0.5, 1.5, 0.5, -3.0, 0.5, 1.0, 1.0, 0.25, '0x0.0p+0'),
    (7.0, -2.0, 1.1, 0.9, 9.5, 0.0, -1.0, 0.0, 4.0, 0.5, 1.5, 0.5, -3.0, 0.5, 1.0, 1.0, 0.25, '-0x1.1b91b91b91ba3p-4'),
    (5.0, -2.0, -0.75, 0.0, 9.5, 0.5, 1.5, 0.5, -3.0, 0.0, -1.0, 0.0, 4.0, 0.75, 0.3125, -0.125, 1.25, '0x0.0p+0'),
    (6.0, -2.0, 0.6, -0.2, 9.5, 0.5, 1.5, 0.5, -3.0, 0.0, -1.0, 0.0, 4.0, 0.75, 0.3125, -0.125, 1.25, '0x0.0p+0'),
    (7.0, -2.0, 1.1, 0.9, 9.5, 0.5, 1.5, 0.5, -3.0, 0.0, -1.0, 0.0, 4.0, 0.75, 0.3125, -0.125, 1.25, '0x1.db22d0e560420p-4'),
    (5.0, -2.0, -0.75, 0.0, 9.5, 0.5, 1.5, 0.5, -3.0, 0.0, -1.0, 0.0, 4.0, 0.5, 1.0, 1.0, 0.25, '0x0.0p+0'),
    (6.0, -2.0, 0.6, -0.2, 9.5, 0.5, 1.5, 0.5, -3.0, 0.0, -1.0, 0.0, 4.0, 0.5, 1.0, 1.0, 0.25, '0x0.0p+0'),
    (7.0, -2.0, 1.1, 0.9, 9.5, 0.5, 1.5, 0.5, -3.0, 0.0, -1.0, 0.0, 4.0, 0.5, 1.0, 1.0, 0.25, '0x1.1b91b91b91ba3p-4'),
]

NAN = float("nan")
IDENTITY = (1.0, 0.0, 0.0, 1.0)
UP = (1.0, 0.0)  # dir_y, dir_x


def strut(u, v, x, y, params, jac):
    """enclosed_strut over arrays (scalars broadcast) of pixels; params are the
    nine scalars diameter, x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2."""
    cols = [np.array(t) for t in np.broadcast_arrays(*np.atleast_1d(u, v, x, y, *jac))]
    cols = [t.astype(float) for t in cols]
    res = np.full(cols[0].size, NAN)
    _zolvin.enclosed_strut(*map(addr, cols[:4]), *params, *map(addr, cols[4:]),
                           addr(res), res.size)
    return res


def vertical(xa, xb, diameter=100.0):
    """Edges x = xa (edge 1) and x = xb (edge 2), both pointing up."""
    return (diameter, xa, 0.0, *UP, xb, 0.0, *UP)


@pytest.mark.parametrize(
    "params, x, expected",
    [
        (vertical(-1, 1), 0.0, 1.0),  # near both edges: 1 - 0
        (vertical(-1, 1), 0.25, 1.0),
        (vertical(-1, 1), 1.0, 0.5),  # edge 2 through the centre
        (vertical(-1, 1), -1.0, 0.5),
        (vertical(-1, 1), 3.0, 0.0),  # far, same side of both
        (vertical(-1, 1), -3.0, 0.0),
        (vertical(-1, 1), 60.0, 0.0),  # outside the disc
        (vertical(-100, 100), 50.0, 0.0),  # d2 == R2 counts as outside
        (vertical(-100, 100), 49.9, 1.0),
        (vertical(-5, 5), 0.0, 1.0),  # far from both: sign test
        (vertical(1, -1), 1.0, -0.5),  # other edge order: negated near the edges
        (vertical(1, -1), 0.0, -1.0),
        (vertical(5, -5), 0.0, 1.0),  # ... but not by the sign test
        (vertical(-1.5, 0.5), 0.0, 1.0),  # edge 2 along the pixel's right edge
        (vertical(-0.5, 1.5), 0.0, 1.0),  # edge 1 along its left edge
    ],
)
def test_identity_pixels(params, x, expected):
    assert strut(0.0, 0.0, x, 0.0, params, IDENTITY)[0] == expected


def test_along_the_strut():
    y = np.array([-40.0, -10.0, 0.0, 10.0, 49.0])
    assert strut(0.0, 0.0, 0.0, y, vertical(-1, 1), IDENTITY).tolist() == [1.0] * 5


@pytest.mark.parametrize("case", PINNED, ids=lambda c: c[-1])
def test_pinned(case):
    *args, expected = case
    u, v, x, y, *rest = args
    assert strut(u, v, x, y, rest[:9], rest[9:])[0] == float.fromhex(expected)


def test_pinned_as_one_batch():
    # Per-pixel Jacobians take the batch's other path; results must not move.
    groups = {}
    for c in PINNED:
        groups.setdefault(c[4:13], []).append(c)
    for params, cases in groups.items():
        cols = np.array([c[:4] + c[13:17] for c in cases]).T
        got = strut(*cols[:4], params, cols[4:])
        assert got.tolist() == [float.fromhex(c[-1]) for c in cases]


# A band of width 5 with direction (4, 3)/5, centred on (-3, 1), in a disc
# of radius 15; edge 2 lies on the inner (right-hand) side of edge 1.
TILTED = (30.0, -3.0 - 0.6 * 2.5, 1.0 + 0.8 * 2.5, 0.6, 0.8, -3.0 + 0.6 * 2.5, 1.0 - 0.8 * 2.5, 0.6, 0.8)


@pytest.mark.parametrize("size", [1, 255, 256, 257, 300])
def test_batch_equals_single_pixels(rng, size):
    # Blocks of shared and of per-pixel Jacobians, some outside the disc.
    n = size * 3
    jac = np.tile(np.array([0.9, 0.2, -0.1, 1.1])[:, None], n)
    jac[:, n // 2 :] *= 1 + rng.uniform(-1e-3, 1e-3, (4, n - n // 2))
    u = rng.uniform(-500, 500, n)
    v = rng.uniform(-500, 500, n)
    x = rng.uniform(-20, 20, n)
    y = rng.uniform(-20, 20, n)
    batch = strut(u, v, x, y, TILTED, jac)
    single = [strut(u[i], v[i], x[i], y[i], TILTED, jac[:, i])[0] for i in range(n)]
    assert batch.view(np.uint64).tolist() == np.array(single).view(np.uint64).tolist()


@pytest.mark.parametrize("alias", [0, 1, 2, 3, 5])
def test_out_aliasing_an_input(rng, alias):
    jac = (0.3, 0.1, 0.0, 0.3)
    cols = list(grid(60, jac, 29.5))
    cols += [np.full(cols[0].size, j) for j in jac]
    cols[5][1000:] += rng.uniform(0, 1e-3, cols[0].size - 1000)
    expected = strut(*cols[:4], TILTED, cols[4:])
    assert 100 < ((expected > 0) & (expected < 1)).sum()
    out = cols[alias]
    _zolvin.enclosed_strut(*map(addr, cols[:4]), *TILTED, *map(addr, cols[4:]), addr(out), out.size)
    assert out.tolist() == expected.tolist()


def test_n_zero_touches_nothing():
    args = (0, 0, 0, 0, *vertical(-1, 1), 0, 0, 0, 0, 0, 0)
    assert _zolvin.enclosed_strut(*args) is None


@pytest.mark.parametrize("jac", [(0.5, 0.0, 0.0, 0.5), (0.5, 0.2, 0.0, 0.5), (-0.4, 0.1, 0.2, 0.45)])
def test_area_of_a_band_in_its_disc(jac):
    # The band of TILTED through its disc, on a grid centred there: coverage
    # approaches its area; the disc cuts by pixel centres, the edges exactly.
    u, v, x, y = grid(240, jac, 119.5)
    cov = strut(u, v, x - 3.0, y + 1.0, TILTED, jac)
    r, h = 15.0, 2.5
    band = 2 * (h * math.sqrt(r * r - h * h) + r * r * math.asin(h / r))
    pixel = abs(jac[0] * jac[3] - jac[1] * jac[2])
    assert cov.min() >= 0 and cov.max() <= 1
    assert cov.sum() * pixel == pytest.approx(band, rel=0.01)


def test_signature():
    with pytest.raises(TypeError):
        _zolvin.enclosed_strut(0, 0, 0, 0, *vertical(-1, 1), 0, 0, 0, 0, 0)
    with pytest.raises(TypeError):
        _zolvin.enclosed_strut(0.0, 0, 0, 0, *vertical(-1, 1), 0, 0, 0, 0, 0, 0)
