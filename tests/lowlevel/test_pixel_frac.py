"""Half-plane pixel fraction: both forms of pixel_frac, as a caller sees them."""
import math

import numpy as np
import pytest
import shapely
from conftest import addr

import _zolvin

IDENTITY = (1.0, 0.0, 0.0, 1.0)


class Address:
    """An address that converts with int() only: no float or index conversion."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def columns(rows, k):
    a = np.array(rows, dtype=np.float64).reshape(-1, k)
    return [np.ascontiguousarray(a[:, i]) for i in range(k)]


def frac_shared(line, pixels):
    """pixel_frac over pixel rows (x, y, u, v, dxdu, dxdv, dydu, dydv) for one line."""
    cols = columns(pixels, 8)
    out = np.full(len(cols[0]), -7.0)
    _zolvin.pixel_frac(*line, *map(addr, cols), addr(out), len(out))
    return out


def frac_per_pixel(lines, pixels):
    lcols = columns(lines, 4)
    cols = columns(pixels, 8)
    out = np.full(len(cols[0]), -7.0)
    _zolvin.pixel_frac(*(Address(addr(c)) for c in lcols), *map(addr, cols), addr(out), len(out))
    return out


def frac1(x0, y0, dir_y, dir_x, x=0.0, y=0.0, u=0.0, v=0.0, jac=IDENTITY):
    return frac_shared((x0, y0, dir_y, dir_x), [(x, y, u, v, *jac)])[0]


@pytest.mark.parametrize(
    "line, pixel, expected",
    [
        ((-10.0, 0.0, 1.0, 0.0), {}, 1.0),  # far on the inner side
        ((10.0, 0.0, 1.0, 0.0), {}, 0.0),  # far on the outer side
        ((-0.25, 0.0, 1.0, 0.0), {}, 0.75),
        ((-0.25, 0.0, 1.0, 0.0), {"jac": (-1.0, 0.0, 0.0, 1.0)}, 0.75),  # negative determinant
        ((0.0, 0.0, 1.0, 1.0), {}, 0.5),  # 45 degrees through the centre
        ((0.0, 0.0, 0.0, 0.0), {}, 0.0),  # no direction
        # Along the pixel edge at +0.5, both orientations, both axes.
        ((0.5, 0.0, 1.0, 0.0), {}, 0.0),
        ((0.5, 0.0, -1.0, 0.0), {}, 1.0),
        ((0.0, 0.5, 0.0, 1.0), {}, 1.0),
        ((0.0, 0.5, 0.0, -1.0), {}, 0.0),
        ((7.5, 0.0, -1.0, 0.0), {"x": 7.0, "u": 7.0}, 1.0),
        ((0.0, -2.5, 0.0, -1.0), {"y": -3.0, "v": -3.0, "jac": (2.0, 0.0, 0.0, 1.0)}, 0.0),
        ((-0.5, 0.0, 1.0, 0.0), {}, 1.0),  # along the -0.5 edge
    ],
)
def test_exact_values(line, pixel, expected):
    assert frac1(*line, **pixel) == expected


def test_line_along_pixel_edges_of_a_row_never_nan():
    # Axis-parallel lines on every pixel boundary of a row of unit pixels.
    xs = np.arange(-20.0, 21.0)
    for k in xs:
        for d in (1.0, -1.0):
            pixels = [(x, 0.0, x, 0.0, *IDENTITY) for x in xs]
            out = frac_shared((k + 0.5, 0.0, d, 0.0), pixels)
            inner = xs > k if d > 0 else xs <= k
            assert np.array_equal(out, inner.astype(float))


JACOBIANS = [IDENTITY, (1.0, 0.3, 0.2, 0.9), (-1.0, 0.3, 0.2, 0.9), (0.0, 1.0, 1.0, 0.0), (2.0, 1.9, 0.0, 0.1)]


@pytest.mark.parametrize("jac", JACOBIANS)
def test_symmetries(jac, rng):
    for _ in range(50):
        x0, y0 = rng.uniform(-1.5, 1.5, 2)
        a = rng.uniform(0, 2 * math.pi)
        dy, dx = math.sin(a), math.cos(a)
        r = frac1(x0, y0, dy, dx, jac=jac)
        assert 0.0 <= r <= 1.0
        assert frac1(x0, y0, -dy, -dx, jac=jac) == pytest.approx(1 - r, abs=1e-12)
        assert frac1(x0, y0, 3 * dy, 3 * dx, jac=jac) == pytest.approx(r, abs=1e-12)
        assert frac1(x0, y0, dy, dx, u=1000.0, v=-250.0, jac=jac) == pytest.approx(r, abs=1e-9)


def parallelogram_fraction(line, x, y, jac):
    """Area of the pixel parallelogram on the inner side of the line, by polygon clipping."""
    x0, y0, dir_y, dir_x = line
    a, b, c, d = jac
    corners = [(x + a * su + b * sv, y + c * su + d * sv) for su, sv in ((-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5))]
    pixel = shapely.Polygon(corners)
    n = math.hypot(dir_x, dir_y)
    tx, ty = dir_x / n * 100, dir_y / n * 100
    rx, ry = ty, -tx  # right of the direction
    half = shapely.Polygon([(x0 - tx, y0 - ty), (x0 + tx, y0 + ty), (x0 + tx + rx, y0 + ty + ry), (x0 - tx + rx, y0 - ty + ry)])
    return pixel.intersection(half).area / pixel.area


@pytest.mark.parametrize("jac", JACOBIANS + [(0.8660254037844387, -0.5, 0.5, 0.8660254037844387), (3.0, 0.5, -0.2, 0.4)])
def test_matches_clipped_parallelogram(jac, rng):
    lines = []
    pixels = []
    for _ in range(200):
        x, y = rng.uniform(-5, 5, 2)
        a = rng.uniform(0, 2 * math.pi)
        lines.append((x + rng.uniform(-2, 2), y + rng.uniform(-2, 2), math.sin(a), math.cos(a)))
        pixels.append((x, y, 0.0, 0.0, *jac))
    out = frac_per_pixel(lines, pixels)
    expected = [parallelogram_fraction(ln, p[0], p[1], jac) for ln, p in zip(lines, pixels)]
    np.testing.assert_allclose(out, expected, rtol=0, atol=1e-9)


def test_per_pixel_form_is_reached_and_matches_shared(rng):
    n = 64
    lines = np.column_stack([rng.uniform(-1, 1, n), rng.uniform(-1, 1, n), rng.normal(size=n), rng.normal(size=n)])
    pixels = np.column_stack([rng.uniform(-0.3, 0.3, (n, 4)), np.tile((1.0, 0.2, -0.1, 0.8), (n, 1))])
    per_pixel = frac_per_pixel(lines, pixels)
    each = [frac_shared(tuple(ln), [p])[0] for ln, p in zip(lines, pixels)]
    assert np.array_equal(per_pixel, each)
    # The same line in every element gives the shared-line result exactly.
    same = frac_per_pixel(np.tile(lines[0], (n, 1)), pixels)
    assert np.array_equal(same, frac_shared(tuple(lines[0]), pixels))


def test_all_integer_call_takes_the_shared_line_form():
    xs = np.array([-1.0, 0.0, 1.0])
    zeros = np.zeros(3)
    ones = np.ones(3)
    out = np.full(3, -1.0)
    # x0 = 0, y0 = 0, direction (0, 1) as integers: the line x = 0.
    _zolvin.pixel_frac(0, 0, 1, 0, addr(xs), addr(zeros), addr(zeros), addr(zeros),
                       addr(ones), addr(zeros), addr(zeros), addr(ones), addr(out), 3)
    assert out.tolist() == [0.0, 0.5, 1.0]


@pytest.mark.parametrize("alias", range(8))
def test_output_may_alias_an_input(alias, rng):
    pixels = np.column_stack([rng.uniform(-1, 1, (40, 4)), np.tile((1.0, 0.3, 0.2, 0.9), (40, 1))])
    line = (0.1, -0.2, 0.6, 0.8)
    expected = frac_shared(line, pixels)
    cols = columns(pixels, 8)
    _zolvin.pixel_frac(*line, *map(addr, cols), addr(cols[alias]), 40)
    assert np.array_equal(cols[alias], expected)


def test_zero_pixels_touch_nothing():
    # Address 0 would fault if anything were read or written.
    assert _zolvin.pixel_frac(0.0, 0.0, 1.0, 0.0, *([0] * 9), 0) is None
    assert _zolvin.pixel_frac(*([Address(0)] * 4), *([0] * 9), 0) is None


# Hard cases: (x0, y0, dir_y, dir_x, x, y, u, v, dxdu, dxdv, dydu, dydv, result as hex).
PINNED = [
    (-0.25, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.8000000000000p-1'),
    (0.1, 0.2, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.30a3d70a3d70bp-1'),
    (0.3, -0.1, 2.0, -1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.0000000000000p-2'),
    (0.5, 0.5, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.0000000000000p-1'),
    (0.1, 0.2, 0.7, 0.3, 3.0, -2.0, 3.0, -2.0, 1.0, 0.3, 0.2, 0.9, '0x1.0000000000000p+0'),
    (0.1, 0.2, 0.7, 0.3, 3.0, -2.0, 3.0, -2.0, -1.0, 0.3, 0.2, 0.9, '0x1.0000000000000p+0'),
    (2.6, -1.9, -0.4, 1.3, 3.0, -2.0, 3.0, -2.0, 0.8660254037844387, -0.5, 0.5, 0.8660254037844387, '0x1.e12b58be013a1p-2'),
    (2.6, -1.9, 0.4, -1.3, 3.0, -2.0, 3.0, -2.0, 0.8660254037844387, -0.5, 0.5, 0.8660254037844387, '0x1.0f6a53a0ff630p-1'),
    (0.1, 0.2, 0.7, 0.3, 0.0, 0.0, 1000000.5, -29999999.75, 1.0, 0.3, 0.2, 0.9, '0x1.effffffe00000p-2'),
    (0.1, 0.2, 0.7, 0.3, 0.0, 0.0, 123456.789, 98765.4321, 1.0, 0.3, 0.2, 0.9, '0x1.f000000014000p-2'),
    (0.001, 0.002, 1.0, 0.2, 0.0, 0.0, 500000000.0, -500000000.0, 0.001, 0.0, 0.0, 0.001, '0x0.0p+0'),
    (120.0, -70.0, 0.3, 1.0, 100.0, -80.0, 0.0, 0.0, 30.0, 5.0, -4.0, 25.0, '0x1.572620ae4c417p-1'),
    (0.5, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x0.0p+0'),
    (0.5, 0.0, -1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.0000000000000p+0'),
    (0.0, 0.5, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.0000000000000p+0'),
    (0.0, 0.5, 0.0, -1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x0.0p+0'),
    (-0.5, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.0000000000000p+0'),
    (7.5, 3.0, 1.0, 0.0, 7.0, 3.0, 7.0, 3.0, 1.0, 0.0, 0.0, 1.0, '0x0.0p+0'),
    (0.2, 0.0, 1e-300, 1e-300, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x0.0p+0'),
    (0.2, 0.0, 1e+300, 3e+299, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x0.0p+0'),
    (0.2, 0.0, 1.0, 1e-17, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.3333333333334p-2'),
    (0.2, 0.3, 1e-17, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.999999999999ap-1'),
    (0.49999999999999994, 0.0, 1.0, 1e-16, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.0000000000000p-53'),
    (-0.3, 0.4, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0, 2.0, 1.9, 0.0, 0.1, '0x1.9999999999996p-1'),
    (10.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x0.0p+0'),
    (-10.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x1.0000000000000p+0'),
    (0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, '0x0.0p+0'),
    (3.6105076302371804, -14.81862133341549, 0.356405566528495, 0.9343313502968326, 3.5882004306689197, -13.431108308741443, -1327.0863267522818, -8602.891528507622, -0.7046689406673505, -1.3966033043019923, 0.603737892159415, -1.710254853329829, '0x0.0p+0'),
    (-27.44479469344605, 12.433363664511273, -0.32267509568641045, 0.9465097900305975, -27.676103539298545, 12.743322240558932, 9525.1021118584, -9068.346387644875, -1.6371479466245398, -0.30192324342994414, 1.3074084986881522, -1.5047921554014176, '0x1.6ccded8b3d01cp-2'),
    (-18.907017098819164, 32.029376318781694, 0.9067608700315948, 0.4216452591688247, -19.151817589806562, 31.612635912003142, -2552.0491454853754, 954.8893141911558, 1.433873836194718, -0.841562854673295, -1.4229796665702499, -1.5288310476865266, '0x1.e71238055583ap-2'),
    (-7.381216303947385, -19.1859819717298, -0.5120769085123003, -0.8589396019328048, -7.240769433059711, -18.585282962320846, 5887.589630449824, 3979.888674591426, -1.7488441001067074, -1.7615953201350694, -1.1761651487226938, 0.7215998927271436, '0x1.956349a1d4059p-1'),
    (21.798726278686654, -21.451855045625667, -0.12424322173636132, 0.9922517935748816, 22.944528943921767, -21.20622351098135, 5142.818591304987, -6960.309306789904, -1.0236139571113885, 0.297694841034684, 0.10078601524580577, 1.5005499822937156, '0x1.f9d05fd63c3d1p-3'),
    (7.888480126559372, 37.83089081440389, 0.920851573520701, -0.38991329747066716, 7.302594027738394, 37.54778118308883, 1597.9040856498432, -875.8933739717395, -0.044147598096777596, -1.8431709718102494, 0.6728634261375808, 1.0582834648512525, '0x1.32c5520dedb3ep-6'),
    (-42.45376942187813, 21.114976490271534, -0.7982823199477082, -0.6022834363145851, -43.93305724027803, 20.14920213044239, -4308.089358117016, -2284.1711510657833, 1.3598711220501656, 1.7787243804317496, -0.10360665032142213, 0.6566088218986978, '0x1.cc60008012be8p-1'),
    (-39.40239988577076, -44.86171356577822, -0.993445034347056, 0.11431082070905096, -38.29042055182681, -44.10455806686896, -2181.005937335459, 7428.439482525988, 0.6746108635367527, -1.9097482877776457, -0.15321885480093655, -1.3278064843738218, '0x1.381290efad92dp-7'),
    (31.67387333520923, 35.974760465846394, 0.984097843801999, -0.1776272327776802, 31.927983783574135, 36.39844696985152, 7683.856543964339, 9154.624079279823, -1.6776747951994455, -0.20325039620267615, 0.1977596365761496, 1.53353530576605, '0x1.671520ffbd116p-1'),
    (-2.9914461557091463, 8.669189876601548, 0.9967945602582758, -0.08000377890768949, -1.5037269658643382, 8.912350373225564, -2614.928542105493, 1326.8244741278395, -1.3963163768355642, -1.2951290860385187, -1.072172532721857, -1.0666556652765555, '0x1.0000000000000p+0'),
    (18.45991671706836, -43.47717112521755, -0.5901565236355221, 0.8072888439774425, 17.620008244950142, -44.60071067762098, 5957.462423931322, -2152.4218621746268, 1.8123917021003813, 0.7619746285439115, 0.06196573228311353, 0.4703709976365107, '0x1.0000000000000p+0'),
    (-43.745077459000484, -30.465954643712752, 0.8519933868431266, 0.5235525463366387, -43.26523841569752, -29.123681455383554, -9995.334361972868, -6974.701354411442, -0.4040846707189081, -1.585851625158703, 0.5371582627428362, -1.7510087135252497, '0x1.a3dd0e9b2fa0fp-4'),
]


def test_pinned_bit_for_bit():
    pixels = [c[4:12] for c in PINNED]
    got_shared = [frac_shared(c[:4], [c[4:12]])[0] for c in PINNED]
    got_per_pixel = frac_per_pixel([c[:4] for c in PINNED], pixels)
    expected = [float.fromhex(c[12]) for c in PINNED]
    assert [g.hex() for g in got_shared] == [e.hex() for e in expected]
    assert [float(g).hex() for g in got_per_pixel] == [e.hex() for e in expected]


def test_batches_equal_single_pixel_calls_bit_for_bit(rng):
    # Batches run four pixels side by side; each result must equal the one-pixel call,
    # also for values outside the contract (NaN, infinities, singular Jacobians).
    n = 203
    pool = np.array([0.0, -0.0, 0.5, -0.5, 1.0, 1e-300, -1e300, np.inf, -np.inf, np.nan, 3.0, 1e16])
    pixels = rng.uniform(-3, 3, (n, 8))
    odd = rng.random((n, 8)) < 0.08
    pixels[odd] = rng.choice(pool, odd.sum())
    lines = rng.uniform(-3, 3, (n, 4))
    odd = rng.random((n, 4)) < 0.08
    lines[odd] = rng.choice(pool, odd.sum())
    batch = frac_per_pixel(lines, pixels)
    single = np.array([frac_per_pixel([ln], [p])[0] for ln, p in zip(lines, pixels)])
    assert batch.tobytes() == single.tobytes()
    shared = frac_shared(tuple(lines[0]), pixels)
    single = np.array([frac_shared(tuple(lines[0]), [p])[0] for p in pixels])
    assert shared.tobytes() == single.tobytes()
