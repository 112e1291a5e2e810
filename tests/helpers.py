"""Helpers shared by several test modules."""
import json
import pathlib

import numpy as np
import pytest
from conftest import addr

import _zolvin

SENTINEL = -7.25e33  # written nowhere by the kernels


def same_bits(a, b):
    """Whether a and b are the same array bit for bit: shape, dtype and every
    byte (so NaNs and signed zeros count)."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()

PINS_FILE = pathlib.Path(__file__).parent / "data" / "clipper_pins.json"


def grid(size, jac, c=0.0):
    """u, v, x, y of a size x size pixel grid with Jacobian jac, its centre pixel at c."""
    axis = np.arange(size, dtype=float) - c
    v, u = np.meshgrid(axis, axis, indexing="ij")
    u, v = u.ravel(), v.ravel()
    return u, v, jac[0] * u + jac[1] * v, jac[2] * u + jac[3] * v


def _clip(kernel, tris, params, room, counters):
    tris = np.ascontiguousarray(tris, dtype=float).reshape(-1)
    n = tris.size // 6
    out = np.full(6 * room * n + 60, SENTINEL)
    dc = np.array(counters[:1], np.int32)
    cc = np.array(counters[1:], np.int32)
    k = kernel(addr(tris), n, *params, addr(out), addr(dc), addr(cc))
    assert 0 <= k <= room * n and np.all(out[6 * k:] == SENTINEL)
    return k, out[:6 * k].reshape(-1, 6), int(dc[0]), int(cc[0])


def clip_circle(tris, cx, cy, r, keep_inside, margin, room=4, counters=(0, 0)):
    """Returns (result, written triangles, dropped, clipped); checks the guard after the output."""
    return _clip(_zolvin.clip_triangles_to_circle, tris, (cx, cy, r, keep_inside, margin), room,
                 counters)


def clip_strut(tris, strut, margin, room=7, counters=(0, 0)):
    """As clip_circle, for the strut (x1, y1, dir_y1, dir_x1, x2, y2, dir_y2, dir_x2, cx, cy, length)."""
    return _clip(_zolvin.clip_triangles_to_strut, tris, (*strut, margin), room, counters)


def cross(t):
    """Twice the signed area of triangle t (x0, y0, x1, y1, x2, y2)."""
    return (t[2] - t[0]) * (t[5] - t[1]) - (t[3] - t[1]) * (t[4] - t[0])


def pinned(kernel):
    """The pinned cases of one clipper ("circle" or "strut") from the data file, as
    parameters (triangle, params, expected output) named by case."""
    def values(strings):
        return [float.fromhex(s) for s in strings]

    return [pytest.param(values(c["triangle"]), values(c["params"]), values(c["out"]), id=c["case"])
            for c in json.loads(PINS_FILE.read_text())[kernel]]
