"""Triangles through the package against _zolvin on the same data, for
every n_threads and clipping chunk; what the package refuses."""
import math

import numpy as np
import pytest
import zolvin
from conftest import addr
from helpers import random_triangles, refusal_ids, refused, same_bits
from zolvin.coverage.rules import triangles as _triangles

import _zolvin

THREADS = [None, 1, 2, 3, 8]


@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize("size", [1, 12, 13])
def test_accumulate_equals_zolvin(size, n_threads, rng):
    tris = random_triangles(rng, 300)
    values = rng.uniform(-1, 2, 300)
    weights = rng.uniform(-0.2, 1.0, 300)  # some skipped
    start = rng.uniform(0, 1, (size, size))
    expected = start.copy()
    _zolvin.accumulate_triangles(addr(tris), addr(values), addr(weights), addr(expected),
                                 300, size)
    out = start.copy()
    got = zolvin.accumulate_triangles(tris, values, weights, size, out=out,
                                      n_threads=n_threads)
    assert got is out and same_bits(out, expected)
    fresh = zolvin.accumulate_triangles(tris, values, 1.0, size, n_threads=n_threads)
    assert same_bits(fresh, zolvin.accumulate_triangles(tris, values, np.ones(300), size))


def zolvin_clip(kind, tris, params):
    flat_tris = np.ascontiguousarray(tris).reshape(-1)
    n = len(tris)
    counters = np.zeros(2, np.int32)
    if kind == "circle":
        (cx, cy), r, keep, margin = params
        out = np.empty(24 * n + 1)
        k = _zolvin.clip_triangles_to_circle(addr(flat_tris), n, cx, cy, r, int(keep), margin,
                                             addr(out), addr(counters), addr(counters[1:]))
    else:
        ((x1, y1), (dx1, dy1)), ((x2, y2), (dx2, dy2)), (cx, cy), ln, margin = params
        out = np.empty(42 * n + 1)
        k = _zolvin.clip_triangles_to_strut(addr(flat_tris), n, x1, y1, dy1, dx1, x2, y2, dy2,
                                            dx2, cx, cy, ln, margin, addr(out), addr(counters),
                                            addr(counters[1:]))
    return out[:6 * k].reshape(-1, 3, 2), int(counters[0]), int(counters[1])


CLIPS = [
    ("circle", ((0.5, -0.3), 4.0, True, 0.0)),
    ("circle", ((0.5, -0.3), 4.0, False, 0.5)),
    ("strut", (((0.0, -0.5), (1.0, 0.2)), ((0.0, 0.5), (1.0, 0.2)), (0.3, 0.0), 7.0, 0.0)),
]


@pytest.mark.parametrize("chunk", [1 << 17, 7])
@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize("kind, params", CLIPS)
def test_clip_equals_zolvin(kind, params, n_threads, chunk, rng, monkeypatch):
    monkeypatch.setattr(_triangles, "CLIP_CHUNK", chunk)
    # Large triangles to cut and copy, small ones near the centre to drop.
    tris = np.concatenate([random_triangles(rng, 150), random_triangles(rng, 50, 1.0, 0.2)])
    tris = tris[rng.permutation(200)]
    expected = zolvin_clip(kind, tris, params)
    if kind == "circle":
        center, r, keep, margin = params
        got = zolvin.clip_triangles_to_circle(tris, center, r, keep_inside=keep, margin=margin,
                                              n_threads=n_threads)
    else:
        *lines, margin = params
        got = zolvin.clip_triangles_to_strut(tris, *lines, margin=margin, n_threads=n_threads)
    assert isinstance(got, zolvin.Clipped) and type(got.dropped) is int
    assert same_bits(got.triangles, expected[0]) and got[1:] == expected[1:]
    assert got.dropped > 0 and got.clipped > 0


@pytest.mark.parametrize("tri, ix, iy, area", [
    ([[0, 0], [1, 0], [0, 1]], 0, 0, 0.25),
    ([[0.9, -0.8], [-0.7, 0], [-0.1, 1.2]], 0, 0, 0.775),
    ([[0.5, -0.2], [0.5, 0.2], [1.5, 0]], 1, 0, 0.2),
])
def test_clip_area(tri, ix, iy, area):
    t = np.array(tri, float)
    got = zolvin.clip_area(tri, ix, iy)
    assert type(got) is float and got == _zolvin.clip_area(addr(t), ix, iy)
    assert math.isclose(got, area, rel_tol=1e-12)


REFUSALS = [
    (lambda n: zolvin.accumulate_triangles(n.T.astype(np.int64) + 2 ** 60 + 1, 1.0, 1.0, 5, out=n.O55),
     ValueError, 'triangles'),
    (lambda n: zolvin.accumulate_triangles(n.T, 10 ** 400, 1.0, 5, out=n.O55), ValueError, 'values'),
    (lambda n: zolvin.accumulate_triangles(n.T, 1.0, np.datetime64('2020'), 5, out=n.O55),
     TypeError, 'weights'),
    (lambda n: zolvin.clip_area(np.zeros((4, 2)), 0, 0), ValueError, 'triangle'),
    (lambda n: zolvin.clip_area(n.T[0], 0.5, 0), TypeError, 'ix'),
    (lambda n: zolvin.clip_area(n.T[0], 0, 2 ** 31), ValueError, 'iy'),
    (lambda n: zolvin.accumulate_triangles(np.zeros((2, 3)), 1.0, 1.0, 5, out=n.O55),
     ValueError, 'triangles'),
    (lambda n: zolvin.accumulate_triangles(n.T, np.zeros(3), 1.0, 5, out=n.O55), ValueError, 'values'),
    (lambda n: zolvin.accumulate_triangles(n.T, 1.0, np.zeros((2, 1)), 5, out=n.O55), ValueError, 'weights'),
    (lambda n: zolvin.accumulate_triangles(n.T, ['a', 'b'], 1.0, 5, out=n.O55), TypeError, 'values'),
    (lambda n: zolvin.accumulate_triangles(n.T, 1.0, 1.0, -1), ValueError, 'size'),
    (lambda n: zolvin.accumulate_triangles(n.T, 1.0, 1.0, 2 ** 31), ValueError, 'size'),
    (lambda n: zolvin.accumulate_triangles(n.T, 1.0, 1.0, 2 ** 31 - 1), ValueError, 'size'),
    (lambda n: zolvin.accumulate_triangles(n.T, 1.0, 1.0, 5.0), TypeError, 'size'),
    (lambda n: zolvin.accumulate_triangles(n.T, 1.0, 1.0, 5, out=n.O55.astype(np.float32)), TypeError, 'out'),
    (lambda n: zolvin.accumulate_triangles(n.T, 1.0, 1.0, 4, out=n.O55), ValueError, 'out'),
    (lambda n: zolvin.accumulate_triangles(n.T, n.B[:2], 1.0, 5, out=n.B[:25].reshape(5, 5)),
     ValueError, 'overlaps values'),
    (lambda n: zolvin.accumulate_triangles(n.B[:12].reshape(2, 3, 2), 1.0, 1.0, 5,
                                           out=n.B[11:36].reshape(5, 5)),
     ValueError, 'overlaps triangles'),
    (lambda n: zolvin.clip_triangles_to_circle(n.T, (0, 0), 'r'), TypeError, 'radius'),
    (lambda n: zolvin.clip_triangles_to_circle(n.T, (0,), 1.0), ValueError, 'center'),
    (lambda n: zolvin.clip_triangles_to_circle(n.T, (0, 0), 1.0, margin='x'), TypeError, 'margin'),
    (lambda n: zolvin.clip_triangles_to_circle(np.zeros((2, 3, 3)), (0, 0), 1.0), ValueError, 'triangles'),
    (lambda n: zolvin.clip_triangles_to_strut(n.T, n.E, n.E, (0, 0), None), TypeError, 'length'),
    (lambda n: zolvin.clip_triangles_to_strut(n.T, n.E, 3.0, (0, 0), 1.0), TypeError, 'edge2'),
    (lambda n: zolvin.clip_triangles_to_strut(n.T.astype(complex), n.E, n.E, (0, 0), 1.0),
     TypeError, 'triangles'),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)
