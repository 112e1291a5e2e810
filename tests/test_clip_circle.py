import math

import numpy as np
import pytest
import shapely
from conftest import addr

import _zolvin

SENTINEL = -7.25e33  # written nowhere by the kernel


def clip(tris, cx, cy, r, keep_inside, margin, room=4, counters=(0, 0)):
    """Returns (result, written triangles, dropped, clipped); checks the guard after the output."""
    tris = np.ascontiguousarray(tris, dtype=float).reshape(-1)
    n = tris.size // 6
    out = np.full(6 * room * n + 60, SENTINEL)
    dc = np.array(counters[:1], np.int32)
    cc = np.array(counters[1:], np.int32)
    k = _zolvin.clip_triangles_to_circle(addr(tris), n, cx, cy, r, keep_inside, margin,
                                         addr(out), addr(dc), addr(cc))
    assert 0 <= k <= room * n and np.all(out[6 * k:] == SENTINEL)
    return k, out[:6 * k].reshape(-1, 6), int(dc[0]), int(cc[0])


@pytest.mark.parametrize("n", [0, -3])
def test_empty_call_touches_nothing(n):
    tris = np.array([0.1, 0.1, 0.2, 0.1, 0.1, 0.2])
    out = np.full(24, SENTINEL)
    dc, cc = np.array([5], np.int32), np.array([6], np.int32)
    assert _zolvin.clip_triangles_to_circle(addr(tris), n, 0.0, 0.0, 1.0, 1, 0.0,
                                            addr(out), addr(dc), addr(cc)) == 0
    assert np.all(out == SENTINEL) and (dc[0], cc[0]) == (5, 6)


D, C = (1, 0), (0, 1)  # counter steps: dropped, clipped


@pytest.mark.parametrize("tri, keep_inside, margin, steps, expected", [
    ([0.1, 0.2, 1.05, 0.0, -0.3, -0.9], 1, 0.1, (0, 0), [[0.1, 0.2, 1.05, 0.0, -0.3, -0.9]]),
    ([-3, -3, 3, -3, 0, 4], 1, 0.0, D, []),
    ([-3, -3, 3, -3, 0, 4], 0, 0.0, (0, 0), [[-3, -3, 3, -3, 0, 4]]),
    ([0.2, 0.1, 2, 0, 0, 2.5], 1, -1.0, C, [[0.2, 0.1, 0.998, 0.056, 0.126, 0.992]]),
    ([0.2, 0.1, 2, 0, 0, 2.5], 0, -1.0, C, [[0.998, 0.056, 2, 0, 0, 2.5],
                                            [0.998, 0.056, 0, 2.5, 0.126, 0.992]]),
    ([1.2, 0, 1.5, 0, 1.2, 0.3], 1, -1.0, D, []),
    ([0, 0, 0, 0, 2, 0], 1, 0.0, C, []),
])
def test_worked_cases(tri, keep_inside, margin, steps, expected):
    k, out, dc, cc = clip(tri, 0.0, 0.0, 1.0, keep_inside, margin, counters=(3, 4))
    assert (dc - 3, cc - 4) == steps
    assert k == len(expected) and np.allclose(out, np.reshape(expected, (-1, 6)), atol=1e-3)


def test_six_point_polygon_gives_four_fan_triangles():
    k, out, dc, cc = clip([-1.5, -0.7, 1.5, -0.7, 0, 1.9], 0.0, 0.0, 1.0, 1, -1.0)
    assert (k, dc, cc) == (4, 0, 1)
    assert np.all(out[:, :2] == out[0, :2]) and out[0, 1] == -0.7 and abs(out[0, 0] + 0.714) < 1e-3
    assert np.allclose(np.hypot(out[:, 2::2], out[:, 3::2]), 1.0)


def test_copies_are_bit_exact_and_keep_order(rng):
    tris = rng.uniform(-0.5, 0.5, (50, 6))
    tris[::7, 0] = -0.0
    tris[::5, 3] = 5e-324
    k, out, dc, cc = clip(tris, 0.0, 0.0, 1.0, 1, 0.0, counters=(0, 0))
    assert (k, dc, cc) == (50, 0, 0) and out.tobytes() == tris.tobytes()


PINS = {
    ('six_points', 1, False):
        '-1.6da4217576973p-1 -1.6666666666666p-1 1.6da4217576974p-1 -1.6666666666666p-1 '
        '1.f561367eb3308p-1 1.9ef7973c36afcp-3 -1.6da4217576973p-1 -1.6666666666666p-1 '
        '1.f561367eb3308p-1 1.9ef7973c36afcp-3 1.54c722273b31cp-1 1.7e1e4d5599656p-1 '
        '-1.6da4217576973p-1 -1.6666666666666p-1 1.54c722273b31cp-1 1.7e1e4d5599656p-1 '
        '-1.54c722273b31ep-1 1.7e1e4d5599656p-1 -1.6da4217576973p-1 -1.6666666666666p-1 '
        '-1.54c722273b31ep-1 1.7e1e4d5599656p-1 -1.f561367eb3309p-1 1.9ef7973c36af8p-3',
    ('six_points', 1, True):
        '1.54c722273b31ep-1 1.7e1e4d5599656p-1 1.f561367eb3309p-1 1.9ef7973c36af8p-3 '
        '1.6da4217576973p-1 -1.6666666666666p-1 1.54c722273b31ep-1 1.7e1e4d5599656p-1 '
        '1.6da4217576973p-1 -1.6666666666666p-1 -1.6da4217576974p-1 -1.6666666666666p-1 '
        '1.54c722273b31ep-1 1.7e1e4d5599656p-1 -1.6da4217576974p-1 -1.6666666666666p-1 '
        '-1.f561367eb3308p-1 1.9ef7973c36afcp-3 1.54c722273b31ep-1 1.7e1e4d5599656p-1 '
        '-1.f561367eb3308p-1 1.9ef7973c36afcp-3 -1.54c722273b31cp-1 1.7e1e4d5599656p-1',
    ('six_points', 0, False):
        '-1.8p+0 -1.6666666666666p-1 1.8p+0 -1.6666666666666p-1 0p+0 1.e666666666666p+0',
    ('six_points', 0, True):
        '0p+0 1.e666666666666p+0 1.8p+0 -1.6666666666666p-1 -1.8p+0 -1.6666666666666p-1',
    ('one_inside', 1, False):
        '1.999999999999ap-3 1.999999999999ap-4 1.ff34f1a3dba12p-1 1.c7d0f051e770cp-5 '
        '1.015a52afe5dabp-3 1.fbf107f04e6fep-1',
    ('one_inside', 1, True):
        '1.ff34f1a3dba14p-1 1.c7d0f051e770cp-5 1.999999999999ap-3 1.999999999999ap-4 '
        '1.015a52afe5dacp-3 1.fbf107f04e6fdp-1',
    ('one_inside', 0, False):
        '1.ff34f1a3dba12p-1 1.c7d0f051e770cp-5 1p+1 0p+0 0p+0 1.4p+1 1.ff34f1a3dba12p-1 '
        '1.c7d0f051e770cp-5 0p+0 1.4p+1 1.015a52afe5dabp-3 1.fbf107f04e6fep-1',
    ('one_inside', 0, True):
        '0p+0 1.4p+1 1p+1 0p+0 1.ff34f1a3dba14p-1 1.c7d0f051e770cp-5 0p+0 1.4p+1 1.ff34f1a3dba14p-1 '
        '1.c7d0f051e770cp-5 1.015a52afe5dacp-3 1.fbf107f04e6fdp-1',
    ('tangent_edge', 1, False):
        '1.ea75b5bbf9a9ep-1 1.25e471f3c16f2p-2 1.999999999999ap-4 -1.3333333333333p-2 '
        '-1.e0e105b4e6639p-1 1.5f9080f85a323p-2',
    ('tangent_edge', 1, True):
        '1.999999999999ap-4 -1.3333333333333p-2 1.ea75b5bbf9a9cp-1 1.25e471f3c16f1p-2 '
        '-1.e0e105b4e6638p-1 1.5f9080f85a322p-2',
    ('tangent_edge', 0, False):
        '-1p+1 1p+0 1p+1 1p+0 1.ea75b5bbf9a9ep-1 1.25e471f3c16f2p-2 -1p+1 1p+0 1.ea75b5bbf9a9ep-1 '
        '1.25e471f3c16f2p-2 -1.e0e105b4e6639p-1 1.5f9080f85a323p-2',
    ('tangent_edge', 0, True):
        '1.ea75b5bbf9a9cp-1 1.25e471f3c16f1p-2 1p+1 1p+0 -1p+1 1p+0 1.ea75b5bbf9a9cp-1 '
        '1.25e471f3c16f1p-2 -1p+1 1p+0 -1.e0e105b4e6638p-1 1.5f9080f85a322p-2',
    ('vertex_on_rim', 1, False):
        '1.3333333333333p-1 1.999999999999ap-1 1.454a229064c9p-1 1.8b63021984ed1p-1 '
        '1.efa0d1976f452p-1 -1.00e0fe04ab82fp-2 1.3333333333333p-1 1.999999999999ap-1 '
        '1.efa0d1976f452p-1 -1.00e0fe04ab82fp-2 -1.999999999999ap-4 -1.999999999999ap-3',
    ('vertex_on_rim', 1, True):
        '-1.999999999999ap-4 -1.999999999999ap-3 1.efa0d1976f44fp-1 -1.00e0fe04ab82ep-2 '
        '1.454a229064c86p-1 1.8b63021984edap-1 -1.999999999999ap-4 -1.999999999999ap-3 '
        '1.454a229064c86p-1 1.8b63021984edap-1 1.3333333333333p-1 1.999999999999ap-1',
    ('vertex_on_rim', 0, False):
        '1.3333333333333p-1 1.999999999999ap-1 1p+1 -1.3333333333333p-2 1.efa0d1976f452p-1 '
        '-1.00e0fe04ab82fp-2',
    ('vertex_on_rim', 0, True):
        '1.efa0d1976f44fp-1 -1.00e0fe04ab82ep-2 1p+1 -1.3333333333333p-2 1.3333333333333p-1 '
        '1.999999999999ap-1',
    ('offset_circle', 1, False):
        '1.3d70a3d70a3d7p-2 -1.e147ae147ae14p-2 1.3229fa90155a6p+0 1.aa43ada7a33ecp-3 '
        '-1.27b980e60548dp-2 1.96f8d9d47409p-1',
    ('offset_circle', 1, True):
        '1.3229fa90155a6p+0 1.aa43ada7a33ecp-3 1.3d70a3d70a3d7p-2 -1.e147ae147ae14p-2 '
        '-1.27b980e60548dp-2 1.96f8d9d474092p-1',
    ('offset_circle', 0, False):
        '1.3229fa90155a6p+0 1.aa43ada7a33ecp-3 1.ee147ae147ae1p+0 1.8a3d70a3d70a4p-1 '
        '-1.28f5c28f5c28fp-1 1.68f5c28f5c28fp+0 1.3229fa90155a6p+0 1.aa43ada7a33ecp-3 '
        '-1.28f5c28f5c28fp-1 1.68f5c28f5c28fp+0 -1.27b980e60548dp-2 1.96f8d9d47409p-1',
    ('offset_circle', 0, True):
        '-1.28f5c28f5c28fp-1 1.68f5c28f5c28fp+0 1.ee147ae147ae1p+0 1.8a3d70a3d70a4p-1 '
        '1.3229fa90155a6p+0 1.aa43ada7a33ecp-3 -1.28f5c28f5c28fp-1 1.68f5c28f5c28fp+0 '
        '1.3229fa90155a6p+0 1.aa43ada7a33ecp-3 -1.27b980e60548dp-2 1.96f8d9d474092p-1',
}


@pytest.mark.parametrize("key", PINS)
def test_pinned_bits(key):
    name, keep_inside, reverse = key
    tri, (cx, cy, r, m) = PIN_INPUTS[name]
    if reverse:
        tri = tri[4:6] + tri[2:4] + tri[0:2]
    k, out, dc, cc = clip(tri, cx, cy, r, keep_inside, m)
    assert [x.hex() for x in out.ravel()] == [float.fromhex(s).hex() for s in PINS[key].split()]


PIN_INPUTS = {
    "six_points": ([-1.5, -0.7, 1.5, -0.7, 0, 1.9], (0.0, 0.0, 1.0, -1.0)),
    "one_inside": ([0.2, 0.1, 2, 0, 0, 2.5], (0.0, 0.0, 1.0, -1.0)),
    "tangent_edge": ([-2, 1, 2, 1, 0.1, -0.3], (0.0, 0.0, 1.0, -1.0)),
    "vertex_on_rim": ([0.6, 0.8, 2.0, -0.3, -0.1, -0.2], (0.0, 0.0, 1.0, -1.0)),
    "offset_circle": ([0.31, -0.47, 1.93, 0.77, -0.58, 1.41], (0.37, 0.29, 0.83, 0.05)),
}


def cross(t):
    return (t[2] - t[0]) * (t[5] - t[1]) - (t[3] - t[1]) * (t[4] - t[0])


def segment_area(theta, r):
    return r * r / 2 * (theta - math.sin(theta))


@pytest.mark.parametrize("keep_inside", [1, 0])
def test_pieces_match_exact_region_within_chord_error(rng, keep_inside):
    cx, cy, r = 0.2, -0.1, 1.3
    disc = shapely.Point(cx, cy).buffer(r, quad_segs=4096)
    for tri in rng.uniform(-3, 3, (300, 6)):
        k, out, dc, cc = clip(tri, cx, cy, r, keep_inside, -10.0)  # no fast path
        poly = shapely.Polygon(tri.reshape(3, 2))
        v = tri.reshape(3, 2)
        ends_out = [math.dist(p, (cx, cy)) >= r for p in v]
        uncut = [ends_out[i - 1] and ends_out[i] and shapely.LineString([v[i - 1], v[i]]).intersects(disc)
                 for i in range(3)]
        if (keep_inside and all(ends_out) and poly.contains(disc)) or (not keep_inside and any(uncut)):
            continue  # decided on the vertices alone, by design
        exact = (poly.intersection if keep_inside else poly.difference)(disc).area
        assert all(np.sign(cross(p)) == np.sign(cross(tri)) for p in out)
        pieces = [shapely.Polygon(p.reshape(3, 2)) for p in out]
        assert all(p.difference(poly).area < 1e-12 for p in pieces)
        # Arcs between neighbouring crossings become chords: their segments bound the error.
        hits = shapely.get_coordinates(poly.exterior.intersection(disc.exterior))
        angles = np.sort(np.arctan2(hits[:, 1] - cy, hits[:, 0] - cx))
        arcs = np.diff(angles, append=angles[:1] + 2 * math.pi) if len(hits) else []
        bound = sum(segment_area(theta, r) for theta in arcs)
        assert abs(sum(p.area for p in pieces) - exact) <= bound + 1e-5


@pytest.mark.parametrize("start, after", [(2**31 - 1, -2**31), (-1, 0), (7, 8)])
def test_counters_add_one_and_wrap_at_int32_max(start, after):
    assert clip([-3, -3, 3, -3, 0, 4], 0.0, 0.0, 1.0, 1, 0.0, counters=(start, start))[2:] == (after, start)
    assert clip([0.2, 0.1, 2, 0, 0, 2.5], 0.0, 0.0, 1.0, 1, -1.0, counters=(start, start))[2:] == (start, after)


@pytest.mark.parametrize("keep_inside", [1, 0])
@pytest.mark.parametrize("kind", ["special", "sliver"])
def test_never_more_than_four_per_triangle(rng, keep_inside, kind):
    if kind == "special":
        tris = rng.uniform(-2, 2, (400, 6))
        mask = rng.random(tris.shape) < 0.2
        tris[mask] = rng.choice([np.nan, np.inf, -np.inf, 1e308, -1e308, 1e-310], mask.sum())
    else:
        a, b = rng.uniform(-1.5, 1.5, (2, 400, 1, 2))
        tris = (a + rng.uniform(-1, 2, (400, 3, 1)) * (b - a) + rng.normal(size=(400, 3, 2)) * 1e-15)
    for tri in tris.reshape(-1, 6):
        clip(tri, 0.01, -0.02, 1.0, keep_inside, -0.5)
    clip(tris, 0.01, -0.02, 1.0, keep_inside, 0.0)
