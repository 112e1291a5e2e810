import numpy as np
import pytest
import shapely
import zolvin
from conftest import addr
from helpers import SENTINEL, clip_strut, cross, pinned

import _zolvin

# Rectangle -1 <= x <= 1, -0.5 <= y <= 0.5: line 1 below, line 2 above.
REF = (0, -0.5, 0, 1, 0, 0.5, 0, 1, 0, 0, 2)
# Tilted, non-parallel edge lines.
OBLIQUE = (0.1, -0.4, 0.3, 1, -0.2, 0.5, 0.25, 0.9, 0.05, 0.02, 2.2)


def swap_edges(strut):
    return strut[4:8] + strut[0:4] + strut[8:]


@pytest.mark.parametrize("n", [0, -1])
def test_empty_call_touches_nothing(n):
    tris = np.array([-3.0, -1, 3, -1, 0, 2])
    out = np.full(42, SENTINEL)
    dc, cc = np.array([5], np.int32), np.array([6], np.int32)
    assert _zolvin.clip_triangles_to_strut(addr(tris), n, *REF, 0.0, addr(out), addr(dc), addr(cc)) == 0
    assert np.all(out == SENTINEL) and (dc[0], cc[0]) == (5, 6)


BELOW = [[-3, -1, 3, -1, 2.5, -0.5], [-3, -1, 2.5, -0.5, -2.5, -0.5]]
ABOVE = [[1.5, 0.5, 0, 2, -1.5, 0.5]]
BESIDE = [[-1, 0.5, -1.5, 0.5, -2.5, -0.5], [-1, 0.5, -2.5, -0.5, -1, -0.5],
          [2.5, -0.5, 1.5, 0.5, 1, 0.5], [2.5, -0.5, 1, 0.5, 1, -0.5]]


@pytest.mark.parametrize("strut, pieces", [(REF, BELOW + ABOVE + BESIDE),
                                           (swap_edges(REF), ABOVE + BELOW + BESIDE)])
def test_seven_pieces_in_cut_order(strut, pieces):
    k, out, dc, cc = clip_strut([-3, -1, 3, -1, 0, 2], strut, 0.0, counters=(2, 3))
    assert (k, dc, cc) == (7, 2, 4) and out.tolist() == pieces


@pytest.mark.parametrize("tri, margin, result, steps", [
    ([-1, -2, 1, -2, 0, -1], 0.25, 1, (0, 0)),          # beyond line 1: copied
    ([-0.5, -0.2, 0.5, -0.2, 0, 0.2], 0.25, 0, (1, 0)),  # inside by the margin: dropped
    ([-0.5, -0.2, 0.5, -0.2, 0, 0.2], 0.35, 0, (1, 0)),  # cut, but nothing is left
    ([-0.5, -0.7, 0.5, -0.7, 0, -0.6], 0.25, 1, (0, 1)),  # cut into itself
])
def test_fast_paths_and_counters(tri, margin, result, steps):
    k, out, dc, cc = clip_strut(tri, REF, margin, counters=(10, 20))
    assert (k, dc - 10, cc - 20) == (result, *steps)
    if k:
        assert out.tobytes() == np.array(tri, float).tobytes()


def test_copies_are_bit_exact(rng):
    tris = rng.uniform(-9, -3, (40, 6))
    tris[::3, 1] = -5e-324
    tris[::4, 3] = -0.0
    k, out, dc, cc = clip_strut(tris, OBLIQUE, 0.0)
    assert (k, dc, cc) == (40, 0, 0) and out.tobytes() == tris.tobytes()


@pytest.mark.parametrize("tri, params, expected", pinned("strut"))
def test_pinned_bits(tri, params, expected):
    _k, out, _dc, _cc = clip_strut(tri, params[:-1], params[-1])
    assert [x.hex() for x in out.ravel()] == [x.hex() for x in expected]


def strut_polygon(x1, y1, dy1, dx1, x2, y2, dy2, dx2, cx, cy, length):
    """The strut as the intersection of four large half-plane boxes, built independently."""
    big = 1e3
    axis = np.array([dx1 + dx2, dy1 + dy2]) / np.hypot(dx1 + dx2, dy1 + dy2)

    def side(p, d, toward):
        d = np.asarray(d, float) / np.hypot(*d)
        n = np.array([-d[1], d[0]])
        n = n if np.dot(np.asarray(toward) - p, n) >= 0 else -n
        p = np.asarray(p, float)
        return shapely.Polygon([p - big * d, p + big * d, p + big * d + big * n, p - big * d + big * n])

    c = np.array([cx, cy])
    mid = ((x1 + x2) / 2, (y1 + y2) / 2)
    halves = [side((x1, y1), (dx1, dy1), mid), side((x2, y2), (dx2, dy2), mid),
              side(c - axis * length / 2, (-axis[1], axis[0]), c),
              side(c + axis * length / 2, (-axis[1], axis[0]), c)]
    return shapely.intersection_all(halves)


@pytest.mark.parametrize("strut", [REF, OBLIQUE, swap_edges(OBLIQUE)])
def test_pieces_tile_triangle_minus_strut(rng, strut):
    region = strut_polygon(*strut)
    for tri in rng.uniform(-3, 3, (300, 6)):
        _k, out, _dc, _cc = clip_strut(tri, strut, 0.0)
        poly = shapely.Polygon(tri.reshape(3, 2))
        outside = poly.area - poly.intersection(region).area
        assert sum(abs(cross(p)) / 2 for p in out) == pytest.approx(outside, abs=1e-9)
        assert all(np.sign(cross(p)) == np.sign(cross(tri)) for p in out)
        assert all(shapely.Polygon(p.reshape(3, 2)).intersection(region).area < 1e-12 for p in out)


@pytest.mark.parametrize("start, after", [(2**31 - 1, -2**31), (-1, 0)])
def test_counters_wrap_at_int32_max(start, after):
    assert clip_strut([-0.5, -0.2, 0.5, -0.2, 0, 0.2], REF, 0.25,
                      counters=(start, start))[2:] == (after, start)
    assert clip_strut([-3, -1, 3, -1, 0, 2], REF, 0.0, counters=(start, start))[2:] == (start, after)


@pytest.mark.parametrize("kind", ["special", "sliver", "zero_width"])
def test_never_more_than_seven_per_triangle(rng, kind):
    strut = OBLIQUE
    if kind == "special":
        tris = rng.uniform(-2, 2, (300, 6))
        mask = rng.random(tris.shape) < 0.2
        tris[mask] = rng.choice([np.nan, np.inf, -np.inf, 1e308, -1e308, 1e-310], mask.sum())
    else:
        d = np.array([0.3, 1.0]) / np.hypot(0.3, 1.0)
        width = 1e-16 if kind == "zero_width" else 0.6
        strut = (-d[1] * width, d[0] * width, d[1], d[0], d[1] * width, -d[0] * width, d[1], d[0], 0, 0, 1.5)
        along = rng.uniform(-2, 2, (300, 3, 1)) * d
        tris = along + rng.normal(size=(300, 3, 2)) * 10.0 ** rng.integers(-17, -13, (300, 1, 1))
        tris[:, :, 0] += rng.choice([0.0, -d[1] * width], (300, 1))
    for tri in tris.reshape(-1, 6):
        clip_strut(tri, strut, 0.0)
    clip_strut(tris, strut, 0.0)


def thin_strut(angle, width, at=(0.3, -0.2), reverse=False):
    """Parallel edges width apart through points beside `at`, both along `angle`."""
    d = np.array([np.cos(angle), np.sin(angle)])
    n = np.array([d[1], -d[0]]) * (width / 2)
    p1, p2 = np.asarray(at) - n, np.asarray(at) + n
    d2 = -d if reverse else d
    return (p1[0], p1[1], d[1], d[0], p2[0], p2[1], d2[1], d2[0], at[0], at[1], 3.0)


@pytest.mark.parametrize("width", [0.0, 1e-17, 1e-16, 3e-16, 1e-15])
@pytest.mark.parametrize("angle", [0.0, np.pi / 4, 1.0, 2.5, -np.pi / 2])
@pytest.mark.parametrize("reverse", [False, True])
def test_strut_without_width_removes_no_area(rng, width, angle, reverse):
    # Edges within rounding of each other bound no area: whatever the clipper
    # keeps must still cover the whole triangle.
    strut = thin_strut(angle, width, reverse=reverse)
    tris = rng.uniform(-1, 1.5, (60, 6))
    _, out, _, _ = clip_strut(tris, strut, 0.0)
    kept = sum(shapely.Polygon(p.reshape(3, 2)).area for p in out)
    whole = sum(shapely.Polygon(t.reshape(3, 2)).area for t in tris)
    assert kept == pytest.approx(whole, rel=1e-13)


@pytest.mark.parametrize("width", [0.0, 1e-16])
def test_package_strut_without_width_keeps_the_triangle(width):
    tri = np.array([[[0.1, 0.2], [1.3, 0.1], [0.5, 1.3]]])
    x1, y1, dy, dx, x2, y2, _, _, cx, cy, length = thin_strut(0.3, width, at=(0.6, 0.6))
    res = zolvin.clip_triangles_to_strut(tri, ((x1, y1), (dx, dy)), ((x2, y2), (dx, dy)), (cx, cy), length)
    kept = sum(shapely.Polygon(t).area for t in res.triangles)
    assert kept == pytest.approx(shapely.Polygon(tri[0]).area, rel=1e-14)
