import math

import numpy as np
import pytest
import shapely
from conftest import addr
from helpers import SENTINEL, clip_circle, cross, pinned

import _zolvin


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
    k, out, dc, cc = clip_circle(tri, 0.0, 0.0, 1.0, keep_inside, margin, counters=(3, 4))
    assert (dc - 3, cc - 4) == steps
    assert k == len(expected) and np.allclose(out, np.reshape(expected, (-1, 6)), atol=1e-3)


def test_six_point_polygon_gives_four_fan_triangles():
    k, out, dc, cc = clip_circle([-1.5, -0.7, 1.5, -0.7, 0, 1.9], 0.0, 0.0, 1.0, 1, -1.0)
    assert (k, dc, cc) == (4, 0, 1)
    assert np.all(out[:, :2] == out[0, :2]) and out[0, 1] == -0.7 and abs(out[0, 0] + 0.714) < 1e-3
    assert np.allclose(np.hypot(out[:, 2::2], out[:, 3::2]), 1.0)


def test_copies_are_bit_exact_and_keep_order(rng):
    tris = rng.uniform(-0.5, 0.5, (50, 6))
    tris[::7, 0] = -0.0
    tris[::5, 3] = 5e-324
    k, out, dc, cc = clip_circle(tris, 0.0, 0.0, 1.0, 1, 0.0, counters=(0, 0))
    assert (k, dc, cc) == (50, 0, 0) and out.tobytes() == tris.tobytes()


@pytest.mark.parametrize("tri, params, expected", pinned("circle"))
def test_pinned_bits(tri, params, expected):
    cx, cy, r, keep_inside, margin = params
    k, out, dc, cc = clip_circle(tri, cx, cy, r, int(keep_inside), margin)
    assert [x.hex() for x in out.ravel()] == [x.hex() for x in expected]


def segment_area(theta, r):
    return r * r / 2 * (theta - math.sin(theta))


@pytest.mark.parametrize("keep_inside", [1, 0])
def test_pieces_match_exact_region_within_chord_error(rng, keep_inside):
    cx, cy, r = 0.2, -0.1, 1.3
    disc = shapely.Point(cx, cy).buffer(r, quad_segs=4096)
    for tri in rng.uniform(-3, 3, (300, 6)):
        k, out, dc, cc = clip_circle(tri, cx, cy, r, keep_inside, -10.0)  # no fast path
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
    assert clip_circle([-3, -3, 3, -3, 0, 4], 0.0, 0.0, 1.0, 1, 0.0,
                       counters=(start, start))[2:] == (after, start)
    assert clip_circle([0.2, 0.1, 2, 0, 0, 2.5], 0.0, 0.0, 1.0, 1, -1.0,
                       counters=(start, start))[2:] == (start, after)


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
        clip_circle(tri, 0.01, -0.02, 1.0, keep_inside, -0.5)
    clip_circle(tris, 0.01, -0.02, 1.0, keep_inside, 0.0)
