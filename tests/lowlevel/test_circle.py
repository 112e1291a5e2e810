import math

import numpy as np
import pytest
from conftest import addr
from helpers import grid

import _zolvin

# (u, v, x, y, cx, cy, radius, dxdu, dxdv, dydu, dydv, expected): rim pixels
# at many angles under sheared and mirrored Jacobians, then a radius below
# the pixel scale.
PINNED = [
    (100.0, -39.0, 5.4, 4.45, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.0000000000000p-1'),
    (100.0, -41.0, -2.074757125677617, 4.016342834236823, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.f4e736e9d8d96p-1'),
    (100.0, -41.0, -2.562621437161191, -6.166828582881589, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.164817b4921fcp-2'),
    (100.0, -39.0, 5.8878643114835745, -6.600485748644767, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x0.0p+0'),
    (101.0, -39.0, 3.6872664669977087, 4.499439520794501, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.0000000000000p+0'),
    (101.0, -41.0, -1.2084890220015279, 5.750373652803666, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.324ae721442bcp-5'),
    (101.0, -41.0, -0.7915109779984726, -6.249626347196334, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.d9d7da72be54bp-1'),
    (101.0, -39.0, 4.0, -6.75, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.0000000000000p-1'),
    (102.0, -39.0, 4.686369754636228, 5.224443289942928, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.21f7b01ebe016p-2'),
    (102.0, -41.0, -1.4312773041873008, 4.7461449453511895, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.90d26f3167467p-1'),
    (102.0, -41.0, -1.8139159798606923, -6.963592462238799, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.19b1b4c405bf0p-4'),
    (102.0, -39.0, 4.1761848537383734, -5.767846600759449, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.0000000000000p+0'),
    (103.0, -39.0, 3.1682199919828884, 4.969611401084187, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.d790c4dab2668p-1'),
    (103.0, -41.0, -0.5476700120256686, 6.2705828983737195, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x0.0p+0'),
    (103.0, -41.0, -0.24410999599144434, -6.7298057005420935, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.6bc8626d59354p-1'),
    (103.0, -39.0, 3.395890004008556, -7.250194299457906, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.06867b19e9a11p-2'),
    (104.0, -39.0, 6.356601004968256, 4.3494310552166695, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.cb8e0ce5cea10p-5'),
    (104.0, -41.0, -2.9827586206896557, 3.956896551724138, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.0000000000000p-1'),
    (104.0, -41.0, -3.5435221971075572, -6.045698306962935, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x0.0p+0'),
    (104.0, -39.0, 5.608916236411054, -5.064362048231607, 1.5, -0.75, 6.5, 0.75, 0.3125, -0.125, 1.25, '0x1.f90e0c650073ap-1'),
    (100.0, -39.0, 5.4, 4.45, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p-1'),
    (100.0, -41.0, -2.0515388809285953, 3.9853851745714612, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p+0'),
    (100.0, -41.0, -2.5742305595357022, -6.18230741271427, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.fa4a3978221c5p-3'),
    (100.0, -39.0, 5.922691678607106, -6.646922238142809, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x0.0p+0'),
    (101.0, -39.0, 3.6649412316621115, 4.445858955989068, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p+0'),
    (101.0, -41.0, -1.2233725122252594, 5.786094029340623, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x0.0p+0'),
    (101.0, -41.0, -0.776627487774741, -6.213905970659378, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.e1c9958639fbfp-1'),
    (101.0, -39.0, 4.0, -6.75, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p-1'),
    (102.0, -39.0, 4.695474948655453, 5.241515528728974, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.f3c897fc75e96p-3'),
    (102.0, -41.0, -1.4221721101680767, 4.729072706565144, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.d86bb417d1b1ap-1'),
    (102.0, -41.0, -1.8321263678991406, -6.997736939810888, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.15b22334353a8p-4'),
    (102.0, -39.0, 4.1488692716807005, -5.716629884401314, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p+0'),
    (103.0, -39.0, 3.1573848111000116, 4.932462209485752, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.e87b80a9b8ae0p-1'),
    (103.0, -41.0, -0.5639227833499829, 6.326306685771369, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x0.0p+0'),
    (103.0, -41.0, -0.2386924055500057, -6.711231104742876, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.87291dc36a81ap-1'),
    (103.0, -39.0, 3.4013075944499946, -7.268768895257123, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.2abf6207c7430p-3'),
    (104.0, -39.0, 6.38328864261081, 4.37745307474135, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.4d119b896ad9ep-4'),
    (104.0, -41.0, -2.9827586206896557, 3.956896551724138, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p-1'),
    (104.0, -41.0, -3.5835536535713866, -6.087731336249956, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.56cbadb28bf0cp-8'),
    (104.0, -39.0, 5.582228598768501, -5.036340028706926, 1.5, -0.75, 6.5, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p+0'),
    (3.0, 7.0, 0.1, 0.05, 0.0, 0.0, 0.375, 0.75, 0.3125, -0.125, 1.25, '0x1.0000000000000p+0'),
    (3.0, 7.0, 0.4, -0.3, 0.0, 0.0, 0.375, 0.75, 0.3125, -0.125, 1.25, '0x1.0000000000000p+0'),
    (3.0, 7.0, 0.9, 0.2, 0.0, 0.0, 0.375, 0.75, 0.3125, -0.125, 1.25, '0x1.61d816e5d7149p-7'),
    (3.0, 7.0, -0.7, -0.6, 0.0, 0.0, 0.375, 0.75, 0.3125, -0.125, 1.25, '0x1.8b46af2e6a990p-5'),
    (3.0, 7.0, 1.3, 0.1, 0.0, 0.0, 0.375, 0.75, 0.3125, -0.125, 1.25, '0x0.0p+0'),
    (3.0, 7.0, 0.1, 0.05, 0.0, 0.0, 0.375, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p+0'),
    (3.0, 7.0, 0.4, -0.3, 0.0, 0.0, 0.375, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p+0'),
    (3.0, 7.0, 0.9, 0.2, 0.0, 0.0, 0.375, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p+0'),
    (3.0, 7.0, -0.7, -0.6, 0.0, 0.0, 0.375, 0.5, 1.0, 1.0, 0.25, '0x1.0000000000000p+0'),
    (3.0, 7.0, 1.3, 0.1, 0.0, 0.0, 0.375, 0.5, 1.0, 1.0, 0.25, '0x0.0p+0'),
]

NAN = float("nan")
IDENTITY = (1.0, 0.0, 0.0, 1.0)
SHEARED = (0.75, 0.3125, -0.125, 1.25)


def scale(dxdu, dxdv, dydu, dydv):
    a, b, c, d = dxdu + dydv, dxdv - dydu, dxdu - dydv, dxdv + dydu
    return (math.sqrt(a * a + b * b) + math.sqrt(c * c + d * d)) * 0.5


def circle(u, v, x, y, cx, cy, radius, jac):
    """enclosed_circle over arrays (scalars broadcast) of pixels."""
    cols = [np.array(t) for t in np.broadcast_arrays(*np.atleast_1d(u, v, x, y, *jac))]
    cols = [t.astype(float) for t in cols]
    res = np.full(cols[0].size, NAN)
    _zolvin.enclosed_circle(*map(addr, cols[:4]), cx, cy, radius, *map(addr, cols[4:]),
                            addr(res), res.size)
    return res


@pytest.mark.parametrize(
    "x, expected",
    [
        (10.0, 0.5),  # rim through the centre
        (8.9, 1.0),  # inside test
        (11.1, 0.0),  # outside test
        (9.4, 1.0),  # tangent misses the pixel
        (10.6, 0.0),
        (10.25, 0.25),
        (9.5, 1.0),  # tangent along the pixel's right edge
        (10.5, 0.0),  # ... and along its left edge
        (11.0, 0.0),  # d2 == (s + r)^2 exactly: tangent one scale away
        (0.0, 1.0),  # the centre
        (1e6, 0.0),
    ],
)
def test_identity_pixels_along_x(x, expected):
    assert circle(0.0, 0.0, x, 0.0, 0.0, 0.0, 10.0, IDENTITY)[0] == expected
    # The same pixels along -y, circle moved: the rule has no preferred axis.
    assert circle(0.0, 0.0, 3.0, -4.0 - x, 3.0, -4.0, 10.0, IDENTITY)[0] == expected


@pytest.mark.parametrize("jac", [IDENTITY, SHEARED, (-1.0, 0.0, 0.0, 1.0), (0.5, 1.0, 1.0, 0.25)])
@pytest.mark.parametrize("offset", [(0.0, 0.0), (1e-170, 0.0), (-1e-200, 3e-190)])
def test_pixel_on_centre_with_radius_equal_to_scale(jac, offset):
    # Neither early test decides and the tangent is undefined: the pixel
    # lies wholly inside the circle.
    s = scale(*jac)
    got = circle(7.0, -2.0, 0.5 + offset[0], -0.25 + offset[1], 0.5, -0.25, s, jac)
    assert got[0] == 1.0


@pytest.mark.parametrize("jac", [SHEARED, (0.5, 1.0, 1.0, 0.25)])
def test_radius_below_scale(jac):
    s = scale(*jac)
    r = 0.25 * s
    # Centres closer than s - r to the circle's centre count as inside.
    d = np.array([0.0, 0.3, 0.7]) * (s - r)
    assert (circle(0.0, 0.0, d, d * 0.0, 0.0, 0.0, r, jac) == 1.0).all()
    assert circle(0.0, 0.0, 1.01 * (s + r), 0.0, 0.0, 0.0, r, jac)[0] == 0.0


@pytest.mark.parametrize("case", PINNED, ids=lambda c: c[-1])
def test_pinned(case):
    *args, expected = case
    u, v, x, y, cx, cy, r, *jac = args
    assert circle(u, v, x, y, cx, cy, r, jac)[0] == float.fromhex(expected)


def test_pinned_as_one_batch():
    # Per-pixel Jacobians: the batch must agree with the pixels one by one.
    cols = np.array([c[:-1] for c in PINNED]).T
    got = circle(*cols[:4], PINNED[0][4], PINNED[0][5], PINNED[0][6], cols[7:])
    same = [c for c in PINNED if c[4:7] == PINNED[0][4:7]]
    assert len(same) > 30
    assert list(got[: len(same)]) == [float.fromhex(c[-1]) for c in same]


@pytest.mark.parametrize("size", [1, 255, 256, 257, 700])
def test_batch_equals_single_pixels(rng, size):
    # Blocks of shared and of per-pixel Jacobians, sizes around the block length.
    n = size * 3
    jac = np.tile(np.array(SHEARED)[:, None] * 0.01, n)
    jac[:, n // 2 :] *= 1 + rng.uniform(-1e-3, 1e-3, (4, n - n // 2))
    u = rng.uniform(-500, 500, n)
    v = rng.uniform(-500, 500, n)
    ang = rng.uniform(0, 2 * np.pi, n)
    rad = 2.0 + rng.normal(0, 0.02, n)
    x, y = rad * np.cos(ang), rad * np.sin(ang)
    batch = circle(u, v, x, y, 0.0, 0.0, 2.0, jac)
    single = [circle(u[i], v[i], x[i], y[i], 0.0, 0.0, 2.0, jac[:, i])[0] for i in range(n)]
    assert batch.view(np.uint64).tolist() == np.array(single).view(np.uint64).tolist()
    assert 0.1 < ((batch > 0) & (batch < 1)).mean() < 0.9


@pytest.mark.parametrize("alias", [0, 1, 2, 3, 7])
def test_out_aliasing_an_input(rng, alias):
    n = 1000
    jac = [np.full(n, j) for j in (0.02, 0.005, -0.001, 0.019)]
    jac[1][500:] += rng.uniform(0, 1e-4, 500)
    u, v, x, y = grid(40, (0.02, 0.005, -0.001, 0.019), 20)[0:4]
    cols = [np.ascontiguousarray(t[:n]) for t in (u, v, x, y)] + jac
    expected = circle(*cols[:4], 0.05, 0.0, 0.3, cols[4:])
    out = cols[alias]
    _zolvin.enclosed_circle(*map(addr, cols[:4]), 0.05, 0.0, 0.3, *map(addr, cols[4:]), addr(out), n)
    assert out.tolist() == expected.tolist()


def test_n_zero_touches_nothing():
    # No array may be read or written: null addresses would crash.
    assert _zolvin.enclosed_circle(0, 0, 0, 0, 0.0, 0.0, 1.0, 0, 0, 0, 0, 0, 0) is None


@pytest.mark.parametrize("jac", [(1.0, 0.0, 0.0, 1.0), (1.0, 0.3, 0.0, 1.0), (-0.8, 0.4, 0.3, 1.1)])
def test_area_of_a_circle(jac):
    # Summed coverage times the pixel area approaches pi r^2: the tangents
    # overshoot the curved rim by a fixed fraction of a pixel in all.
    u, v, x, y = grid(240, jac, 119.5)
    x, y = x + 0.123, y - 0.37
    r = 60.3
    cov = circle(u, v, x, y, 0.0, 0.0, r, [np.full(u.size, j) for j in jac])
    assert cov.min() >= 0 and cov.max() <= 1
    pixel = abs(jac[0] * jac[3] - jac[1] * jac[2])
    assert cov.sum() * pixel == pytest.approx(math.pi * r * r, abs=0.5 * pixel)


def test_signature():
    # u, v, x, y, three scalars, four Jacobian arrays, out, n.
    with pytest.raises(TypeError):
        _zolvin.enclosed_circle(0, 0, 0, 0, 0.0, 0.0, 1.0, 0, 0, 0, 0, 0)
    with pytest.raises(TypeError):
        _zolvin.enclosed_circle(0, 0, 0, 0, 0.0, 0.0, 1.0, 0, 0, 0, 0, 0, 0.0)
