import numpy as np
import pytest
import shapely
from conftest import addr

import _zolvin

SENTINEL = -7.25e33  # written nowhere by the kernel

# Rectangle -1 <= x <= 1, -0.5 <= y <= 0.5: line 1 below, line 2 above.
REF = (0, -0.5, 0, 1, 0, 0.5, 0, 1, 0, 0, 2)
# Tilted, non-parallel edge lines.
OBLIQUE = (0.1, -0.4, 0.3, 1, -0.2, 0.5, 0.25, 0.9, 0.05, 0.02, 2.2)


def swap_edges(strut):
    return strut[4:8] + strut[0:4] + strut[8:]


def clip(tris, strut, margin, room=7, counters=(0, 0)):
    """Returns (result, written triangles, dropped, clipped); checks the guard after the output."""
    tris = np.ascontiguousarray(tris, dtype=float).reshape(-1)
    n = tris.size // 6
    out = np.full(6 * room * n + 60, SENTINEL)
    dc = np.array(counters[:1], np.int32)
    cc = np.array(counters[1:], np.int32)
    k = _zolvin.clip_triangles_to_strut(addr(tris), n, *strut, margin, addr(out), addr(dc), addr(cc))
    assert 0 <= k <= room * n and np.all(out[6 * k:] == SENTINEL)
    return k, out[:6 * k].reshape(-1, 6), int(dc[0]), int(cc[0])


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
    k, out, dc, cc = clip([-3, -1, 3, -1, 0, 2], strut, 0.0, counters=(2, 3))
    assert (k, dc, cc) == (7, 2, 4) and out.tolist() == pieces


@pytest.mark.parametrize("tri, margin, result, steps", [
    ([-1, -2, 1, -2, 0, -1], 0.25, 1, (0, 0)),          # beyond line 1: copied
    ([-0.5, -0.2, 0.5, -0.2, 0, 0.2], 0.25, 0, (1, 0)),  # inside by the margin: dropped
    ([-0.5, -0.2, 0.5, -0.2, 0, 0.2], 0.35, 0, (1, 0)),  # cut, but nothing is left
    ([-0.5, -0.7, 0.5, -0.7, 0, -0.6], 0.25, 1, (0, 1)),  # cut into itself
])
def test_fast_paths_and_counters(tri, margin, result, steps):
    k, out, dc, cc = clip(tri, REF, margin, counters=(10, 20))
    assert (k, dc - 10, cc - 20) == (result, *steps)
    if k:
        assert out.tobytes() == np.array(tri, float).tobytes()


def test_copies_are_bit_exact(rng):
    tris = rng.uniform(-9, -3, (40, 6))
    tris[::3, 1] = -5e-324
    tris[::4, 3] = -0.0
    k, out, dc, cc = clip(tris, OBLIQUE, 0.0)
    assert (k, dc, cc) == (40, 0, 0) and out.tobytes() == tris.tobytes()


PINS = {
    ('oblique_seven', False):
        '-1.6c7691840ac77p+1 -1.48c20563b48c2p+0 1.a666666666666p+1 -1.ccccccccccccdp-1 '
        '1.1d716a26f995cp+1 1.e97c8ce40a2a4p-3 1.885fb37072d75p+0 1.f66e0e5aea77bp-1 '
        '1.999999999999ap-3 1.3333333333333p+1 -1.ebc3e8b30bf51p+0 1.67ba81c9d618p-6 '
        '-1.8cccccccccccdp+1 -1.4cccccccccccdp+0 -1.6c7691840ac77p+1 -1.48c20563b48c2p+0 '
        '-1.c68d8f46eac4p-1 -1.6486a0be3c30ap-1 -1.8cccccccccccdp+1 -1.4cccccccccccdp+0 '
        '-1.c68d8f46eac4p-1 -1.6486a0be3c30ap-1 -1.283a9b0b89d75p+0 1.df7dc3e65be8cp-3 '
        '-1.8cccccccccccdp+1 -1.4cccccccccccdp+0 -1.283a9b0b89d75p+0 1.df7dc3e65be8cp-3 '
        '-1.ebc3e8b30bf51p+0 1.67ba81c9d618p-6 1.3832531b172a4p+0 -1.06bc859272178p-4 '
        '1.1d716a26f995cp+1 1.e97c8ce40a2a4p-3 1.885fb37072d75p+0 1.f66e0e5aea77bp-1 '
        '1.3832531b172a4p+0 -1.06bc859272178p-4 1.885fb37072d75p+0 1.f66e0e5aea77bp-1 '
        '1.ece98d0dce8d4p-1 1.a55d51d92b275p-1',
    ('oblique_seven', True):
        '1.885fb37072d76p+0 1.f66e0e5aea777p-1 1.999999999999ap-3 1.3333333333333p+1 '
        '-1.ebc3e8b30bf51p+0 1.67ba81c9d618p-6 -1.6c7691840ac77p+1 -1.48c20563b48c2p+0 '
        '1.a666666666666p+1 -1.ccccccccccccdp-1 1.1d716a26f995cp+1 1.e97c8ce40a2acp-3 '
        '-1.8cccccccccccdp+1 -1.4cccccccccccdp+0 -1.6c7691840ac77p+1 -1.48c20563b48c2p+0 '
        '-1.c68d8f46eac4p-1 -1.6486a0be3c309p-1 -1.8cccccccccccdp+1 -1.4cccccccccccdp+0 '
        '-1.c68d8f46eac4p-1 -1.6486a0be3c309p-1 -1.283a9b0b89d76p+0 1.df7dc3e65be88p-3 '
        '-1.8cccccccccccdp+1 -1.4cccccccccccdp+0 -1.283a9b0b89d76p+0 1.df7dc3e65be88p-3 '
        '-1.ebc3e8b30bf51p+0 1.67ba81c9d618p-6 1.3832531b172a4p+0 -1.06bc859272168p-4 '
        '1.1d716a26f995cp+1 1.e97c8ce40a2acp-3 1.885fb37072d76p+0 1.f66e0e5aea777p-1 '
        '1.3832531b172a4p+0 -1.06bc859272168p-4 1.885fb37072d76p+0 1.f66e0e5aea777p-1 '
        '1.ece98d0dce8d6p-1 1.a55d51d92b272p-1',
    ('oblique_corner', False):
        '1.6666666666666p-1 -1.ccccccccccccdp-1 1.abe2be2be2be2p+0 1.249249249249p-4 '
        '1.c47f4ee02c47fp-1 -1.51a4ab96d51ap-3 1.593e11bbec8ccp+0 1.dc3eed6866f8ep-1 '
        '1.3333333333333p+0 1.199999999999ap+0 1.24ae3b9b20dc1p+0 1.bf0b7672a07a4p-1 '
        '1.abe2be2be2be2p+0 1.249249249249p-4 1.e666666666666p+0 1.3333333333333p-2 '
        '1.593e11bbec8ccp+0 1.dc3eed6866f8ep-1 1.abe2be2be2be2p+0 1.249249249249p-4 '
        '1.593e11bbec8ccp+0 1.dc3eed6866f8ep-1 1.24ae3b9b20dc1p+0 1.bf0b7672a07a4p-1 '
        '1.abe2be2be2be2p+0 1.249249249249p-4 1.24ae3b9b20dc1p+0 1.bf0b7672a07a4p-1 '
        '1.0d897ca6aeb21p+0 1.05e57ecf0f2a2p-1 1.abe2be2be2be2p+0 1.249249249249p-4 '
        '1.0d897ca6aeb21p+0 1.05e57ecf0f2a2p-1 1.3832531b172a4p+0 -1.06bc859272163p-4',
    ('oblique_corner', True):
        '1.593e11bbec8ccp+0 1.dc3eed6866f8ep-1 1.3333333333333p+0 1.199999999999ap+0 '
        '1.24ae3b9b20dc1p+0 1.bf0b7672a07a3p-1 1.6666666666666p-1 -1.ccccccccccccdp-1 '
        '1.abe2be2be2be2p+0 1.249249249249p-4 1.c47f4ee02c47fp-1 -1.51a4ab96d51a4p-3 '
        '1.abe2be2be2be2p+0 1.249249249249p-4 1.e666666666666p+0 1.3333333333333p-2 '
        '1.593e11bbec8ccp+0 1.dc3eed6866f8ep-1 1.abe2be2be2be2p+0 1.249249249249p-4 '
        '1.593e11bbec8ccp+0 1.dc3eed6866f8ep-1 1.24ae3b9b20dc1p+0 1.bf0b7672a07a3p-1 '
        '1.abe2be2be2be2p+0 1.249249249249p-4 1.24ae3b9b20dc1p+0 1.bf0b7672a07a3p-1 '
        '1.0d897ca6aeb21p+0 1.05e57ecf0f2a2p-1 1.abe2be2be2be2p+0 1.249249249249p-4 '
        '1.0d897ca6aeb21p+0 1.05e57ecf0f2a2p-1 1.3832531b172a4p+0 -1.06bc859272167p-4',
    ('vertex_on_line', False):
        '0p+0 -1p-1 1.6666666666666p-1 -1.999999999999ap+0 1.ed916872b020cp-1 -1p-1 0p+0 -1p-1 '
        '1.ed916872b020cp-1 -1p-1 0p+0 -1.ffffffffffffep-2 1.34395810624ddp+0 1p-1 1.4cccccccccccdp+0 '
        '1.ccccccccccccdp-1 1.db6db6db6db6ep-1 1p-1 1p+0 -1.6666666666664p-2 1.34395810624ddp+0 1p-1 '
        '1p+0 1p-1',
    ('vertex_on_line', True):
        '1.34395810624dep+0 1p-1 1.4cccccccccccdp+0 1.ccccccccccccdp-1 1.db6db6db6db6ep-1 1p-1 0p+0 '
        '-1p-1 1.6666666666666p-1 -1.999999999999ap+0 1.ed916872b020dp-1 -1p-1 1p+0 '
        '-1.666666666666ep-2 1.34395810624dep+0 1p-1 1p+0 1p-1',
    ('eight_rounded', False):
        '-1.1a994222f773bp-1 -1.1b02479a8849bp-2 1.7ac1c9c028e0cp-1 1.7b4e8b63df778p-2 '
        '-1.bdf3eb820f51p-1 -1.be99a5ed8e20ep-2 1.7ac1c9c028e0dp-1 1.7b4e8b63df779p-2 '
        '1.7ac1c9c028e0cp-1 1.7b4e8b63df778p-2 -1.30a74a7093972p+0 -1.3118822049fc1p-1 '
        '1.7ac1c9c028e0dp-1 1.7b4e8b63df779p-2 -1.30a74a7093972p+0 -1.3118822049fc1p-1 '
        '-1.f467794c6c9acp-1 -1.f52170093abep-2 1.7ac1c9c028e0dp-1 1.7b4e8b63df779p-2 '
        '-1.f467794c6c9acp-1 -1.f52170093abep-2 1.7ac1c9c028e0cp-1 1.7b4e8b63df77ap-2 '
        '-1.b77c3d818639p-2 -1.b81f90a15615cp-3 -1.f467794c6c9acp-1 -1.f52170093abep-2 '
        '-1.bdf3eb820f51p-1 -1.be99a5ed8e20ep-2 -1.b77c3d818639p-2 -1.b81f90a15615cp-3 '
        '-1.bdf3eb820f51p-1 -1.be99a5ed8e20ep-2 -1.b77c3d8186392p-2 -1.b81f90a15615dp-3 '
        '1.7ac1c9c028e0dp-1 1.7b4e8b63df779p-2 1.7ac1c9c028e0cp-1 1.7b4e8b63df778p-2 '
        '1.b77c3d818639p-2 1.b81f90a15616p-3',
    ('eight_rounded', True):
        '1.7ac1c9c028e0dp-1 1.7b4e8b63df779p-2 1.7ac1c9c028e0cp-1 1.7b4e8b63df778p-2 '
        '-1.30a74a7093972p+0 -1.3118822049fc1p-1 1.7ac1c9c028e0dp-1 1.7b4e8b63df779p-2 '
        '-1.30a74a7093972p+0 -1.3118822049fc1p-1 -1.bdf3eb820f51p-1 -1.be99a5ed8e20ep-2 '
        '-1.1a994222f773bp-1 -1.1b02479a8849bp-2 1.7ac1c9c028e0cp-1 1.7b4e8b63df778p-2 '
        '-1.bdf3eb820f51p-1 -1.be99a5ed8e20ep-2',
}

PIN_INPUTS = {
    "oblique_seven": ([-3.1, -1.3, 3.3, -0.9, 0.2, 2.4], OBLIQUE),
    "oblique_corner": ([0.7, -0.9, 1.9, 0.3, 1.2, 1.1], OBLIQUE),
    "vertex_on_line": ([0.0, -0.5, 0.7, -1.6, 1.3, 0.9], REF),
    # Rounding makes 8 pieces for this sliver along a strut of zero width: the first 7 are kept.
    "eight_rounded": ([float.fromhex(s) for s in "-1.1a994222f773bp-1 -1.1b02479a8849bp-2 1.7ac1c9c028e0cp-1 "
                       "1.7b4e8b63df778p-2 -1.30a74a7093972p+0 -1.3118822049fc1p-1".split()],
                      tuple(float.fromhex(s) for s in "-1.f55fe61133d83p-57 1.f4a5d826ae286p-56 "
                            "1.ca7a7329f2865p-2 1.c9d050565c95dp-1 1.f55fe61133d83p-57 -1.f4a5d826ae286p-56 "
                            "1.ca7a7329f2865p-2 1.c9d050565c95dp-1 0p+0 0p+0 1.eb80940ddf7c2p-1".split())),
}


@pytest.mark.parametrize("key", PINS)
def test_pinned_bits(key):
    name, swapped = key
    tri, strut = PIN_INPUTS[name]
    k, out, dc, cc = clip(tri, swap_edges(strut) if swapped else strut, 0.0)
    assert [x.hex() for x in out.ravel()] == [float.fromhex(s).hex() for s in PINS[key].split()]


def cross(t):
    return (t[2] - t[0]) * (t[5] - t[1]) - (t[3] - t[1]) * (t[4] - t[0])


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
              side(c - axis * length / 2, (-axis[1], axis[0]), c), side(c + axis * length / 2, (-axis[1], axis[0]), c)]
    return shapely.intersection_all(halves)


@pytest.mark.parametrize("strut", [REF, OBLIQUE, swap_edges(OBLIQUE)])
def test_pieces_tile_triangle_minus_strut(rng, strut):
    region = strut_polygon(*strut)
    for tri in rng.uniform(-3, 3, (300, 6)):
        k, out, dc, cc = clip(tri, strut, 0.0)
        poly = shapely.Polygon(tri.reshape(3, 2))
        assert sum(abs(cross(p)) / 2 for p in out) == pytest.approx(poly.area - poly.intersection(region).area,
                                                                      abs=1e-9)
        assert all(np.sign(cross(p)) == np.sign(cross(tri)) for p in out)
        assert all(shapely.Polygon(p.reshape(3, 2)).intersection(region).area < 1e-12 for p in out)


@pytest.mark.parametrize("start, after", [(2**31 - 1, -2**31), (-1, 0)])
def test_counters_wrap_at_int32_max(start, after):
    assert clip([-0.5, -0.2, 0.5, -0.2, 0, 0.2], REF, 0.25, counters=(start, start))[2:] == (after, start)
    assert clip([-3, -1, 3, -1, 0, 2], REF, 0.0, counters=(start, start))[2:] == (start, after)


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
        clip(tri, strut, 0.0)
    clip(tris, strut, 0.0)
