"""Helpers shared by several test modules."""
import json
import pathlib
import types

import numpy as np
import pytest
import zolvin
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


def random_pixels(rng, shape, jac_shared=False):
    x, y = rng.uniform(-3, 3, (2,) + shape)
    jac = rng.uniform(-0.6, 0.6, (2, 2)) + np.eye(2) * 0.5
    if not jac_shared:
        jac = jac + rng.uniform(-0.2, 0.2, shape + (2, 2))
    u, v = rng.integers(-50, 50, (2,) + shape).astype(float)
    return zolvin.Pixels(x, y, jac, u, v)


def random_triangles(rng, n, spread=6.0, size=2.5):
    centres = rng.uniform(-spread, spread, (n, 1, 2))
    return centres + rng.uniform(-size, size, (n, 3, 2))


# ---- Polygon masks ----------------------------------------------------------

def poly_mask(px, py, gx, gy, fill=0xAB, n_vertices=None):
    """Mask of polygon (px, py) on the grid (gx, gy), over a mask pre-filled with `fill`."""
    px, py, gx, gy = (np.ascontiguousarray(a, dtype=np.float64) for a in (px, py, gx, gy))
    mask = np.full((len(gy), len(gx)), fill, np.uint8)
    n = len(px) if n_vertices is None else n_vertices
    assert _zolvin.poly_grid_contains(addr(px), addr(py), n, addr(gx), addr(gy), addr(mask),
                                      len(gx), len(gy)) is None
    return mask


def star(rng, n):  # concave, simple
    t = np.sort(rng.uniform(0, 2 * np.pi, n))
    r = rng.uniform(2, 9, n)
    return 10 + r * np.cos(t), 10 + r * np.sin(t)


def scribble(rng, n):  # self-intersecting
    return rng.uniform(0, 20, n), rng.uniform(0, 20, n)


def staircase(rng, n):  # every other edge horizontal, vertices on rows
    x = rng.integers(0, 21, n).astype(float)
    y = rng.integers(0, 21, n).astype(float)
    return np.repeat(x, 2), np.roll(np.repeat(y, 2), 1)


def on_rows(rng, n):  # vertices on rows and on columns
    return rng.integers(0, 41, n) / 2.0, rng.integers(0, 21, n).astype(float)


# ---- Refusals ----------------------------------------------------------------

def refusal_inputs():
    """Fresh arguments for the refusal tables: X, a (3, 4) array; P and G,
    Pixels and a Grid of that shape; T, two triangles; E, a strut edge; B, a
    buffer of zeros and PB, Pixels whose x is B's start; RO, a read-only
    array; O34, O38, O43, O55 (7.0) and OB (True), arrays for out= that a
    refused call must leave as they are."""
    n = types.SimpleNamespace(X=np.zeros((3, 4)), T=np.zeros((2, 3, 2)),
                              E=((0.0, 0.0), (0.0, 1.0)), B=np.zeros(40))
    n.P = zolvin.Pixels(n.X, n.X, np.eye(2))
    n.G = zolvin.Grid((3, 4))
    n.PB = zolvin.Pixels(n.B[:12].reshape(3, 4), n.X, np.eye(2))
    n.RO = np.full((3, 4), 7.0)
    n.RO.flags.writeable = False
    for name, shape in (("O34", (3, 4)), ("O38", (3, 8)), ("O43", (4, 3)), ("O55", (5, 5))):
        setattr(n, name, np.full(shape, 7.0))
    n.OB = np.full((3, 4), True)
    return n


def refused(call, error, words):
    """call(inputs) raises error, its message naming words, before it writes
    anything: every array of the inputs holds what it held."""
    inputs = refusal_inputs()
    arrays = {k: v.copy() for k, v in vars(inputs).items() if isinstance(v, np.ndarray)}
    with pytest.raises(error) as caught:
        call(inputs)
    assert words in str(caught.value), str(caught.value)
    for name, before in arrays.items():
        assert same_bits(getattr(inputs, name), before), f"{name} was written"


def refusal_ids(cases):
    return [f"{words}-{k}" for k, (_, _, words) in enumerate(cases)]


def swept(region):
    """The region without its simple mark: what the strip sweep makes of it
    (a simple region is accumulated instead, with other rounding)."""
    return zolvin.Region(*region._args())
