"""Pixels: defaults, conversions, pickling, and what the constructor refuses."""
import numpy as np
import pytest
import zolvin
from helpers import refusal_ids, refused, same_bits


def test_pixels_defaults_and_pickling():
    import pickle
    p = zolvin.Pixels(np.zeros((2, 3, 4)), np.zeros((2, 3, 4)), [[2, 0], [0, 1]])
    assert p.shape == (2, 3, 4) and p.size == 24
    assert np.array_equal(p.u[1, 2], np.arange(4.0)) and np.array_equal(p.v[1, :, 0], np.arange(3.0))
    assert np.all(p.dxdu == 2) and p.x.dtype == np.float64 and not p.x.flags.writeable
    q = zolvin.Pixels(np.arange(3), [0, 0, 0], np.eye(2))
    assert np.array_equal(q.u, [0.0, 1.0, 2.0]) and np.array_equal(q.v, [0.0, 0.0, 0.0])
    r = pickle.loads(pickle.dumps(p))
    assert same_bits(zolvin.pixel_frac(r, (1.5, 0.0), (0.0, 1.0)),
                     zolvin.pixel_frac(p, (1.5, 0.0), (0.0, 1.0)))


REFUSALS = [
    (lambda n: zolvin.Pixels('ab', n.X, np.eye(2)), TypeError, 'x'),
    (lambda n: zolvin.Pixels(np.zeros(3, complex), np.zeros(3), np.eye(2)), TypeError, 'x'),
    (lambda n: zolvin.Pixels(np.array([None, 1]), np.zeros(2), np.eye(2)), TypeError, 'x'),
    (lambda n: zolvin.Pixels(np.zeros(3), np.zeros(4), np.eye(2)), ValueError, 'y'),
    (lambda n: zolvin.Pixels(n.X, n.X, np.eye(3)), ValueError, 'jac'),
    (lambda n: zolvin.Pixels(n.X, n.X, [['a', 'b'], ['c', 'd']]), TypeError, 'jac'),
    (lambda n: zolvin.Pixels(n.X, n.X, np.eye(2), u=np.zeros(4)), ValueError, 'u'),
    (lambda n: zolvin.Pixels(n.X, n.X, np.eye(2), v=np.zeros((3, 4), complex)), TypeError, 'v'),
    (lambda n: zolvin.Pixels(np.array([2 ** 53 + 1, 0]), np.zeros(2), np.eye(2)), ValueError, 'x'),
    (lambda n: zolvin.Pixels([10 ** 400, 0], [0, 0], np.eye(2)), ValueError, 'x'),
    (lambda n: zolvin.Pixels(n.X, n.X, np.eye(2, dtype=np.uint64) * (2 ** 63 + 1)), ValueError, 'jac'),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)
