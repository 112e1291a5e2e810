"""Triangle lists cut by a circle, then by a strut, then accumulated onto a grid."""
import math

import numpy as np
import shapely
from conftest import addr

import _zolvin


def square_mesh(half, step):
    """Triangles tiling [-half, half]^2, two per square, both orientations mixed."""
    tris = []
    edges = np.arange(-half, half, step)
    for x in edges:
        for y in edges:
            a, b, c, d = (x, y), (x + step, y), (x + step, y + step), (x, y + step)
            tris += [(*a, *b, *c), (*a, *d, *c)]
    return np.array(tris, dtype=float).reshape(-1)


def areas(tris):
    t = tris.reshape(-1, 6)
    return 0.5 * np.abs((t[:, 2] - t[:, 0]) * (t[:, 5] - t[:, 1]) - (t[:, 3] - t[:, 1]) * (t[:, 4] - t[:, 0]))


def test_circle_then_strut_then_accumulate():
    tris = square_mesh(10.0, 0.7)
    n = tris.size // 6
    counters = np.zeros(4, np.int32)

    inside = np.empty(6 * 4 * n)
    k1 = _zolvin.clip_triangles_to_circle(addr(tris), n, 0.0, 0.0, 8.0, 1, 0.0,
                                          addr(inside), addr(counters[0:]), addr(counters[1:]))
    # A horizontal strut across the whole disc: |y| <= 0.5, |x| <= 9.
    strut = (0.0, -0.5, 0.0, 1.0, 0.0, 0.5, 0.0, 1.0, 0.0, 0.0, 18.0)
    left = np.empty(6 * 7 * k1)
    k2 = _zolvin.clip_triangles_to_strut(addr(inside), k1, *strut, 0.0,
                                         addr(left), addr(counters[2:]), addr(counters[3:]))
    assert k1 > 0 and k2 > 0 and counters[1] > 0 and counters[3] > 0
    left = np.ascontiguousarray(left[:6 * k2])

    # Each triangle's own area as its weight: each adds its area to the grid.
    a = areas(left)
    grid = np.zeros(21 * 21)
    _zolvin.accumulate_triangles(addr(left), addr(a), addr(a), addr(grid), k2, 21)
    assert math.isclose(grid.sum(), a.sum(), rel_tol=1e-12)

    # The pieces tile the disc (its chords) minus the strut, without overlap.
    disc = shapely.Point(0, 0).buffer(8.0, 2048)
    band = shapely.box(-9, -0.5, 9, 0.5)
    expected = disc.difference(band)
    # Chords lose thin slivers of the rim: a little less than the true area.
    assert expected.area * (1 - 1e-3) < a.sum() < expected.area
    cover = grid.reshape(21, 21)
    assert cover.max() <= 1 + 1e-12 and cover.min() >= 0
    # Rows are y, columns x; pixel (ix, iy) at [iy + 10, ix + 10].
    assert math.isclose(cover[10 + 3, 10 + 2], 1.0, rel_tol=1e-12)  # inside, off the strut
    assert cover[10, 10 - 4] == 0.0  # on the strut's axis
    assert cover[10 + 9, 10 + 9] == 0.0  # outside the disc
    # On the rim, pixel (0, 8) is covered as the disc covers it, up to the chords.
    rim = expected.intersection(shapely.box(-0.5, 7.5, 0.5, 8.5)).area
    assert 0.2 < rim < 0.8 and abs(cover[10 + 8, 10] - rim) < 0.01
