"""Values (Grid, Pixels, Region, shapes): nothing rebinds what the kernels
trust (addresses, sizes, shapes), unpickling checks and converts as the
constructor does, and equal values compare, hash and tokenize alike. Attempts
to change what the kernels read run in a child interpreter, so that a crash
fails the test."""
import pickle
import subprocess
import sys

import numpy as np
import pytest
import zolvin
from dask.base import tokenize
from helpers import same_bits
from zolvin import Grid, Region, shapes
from zolvin.core.values import rebuild
from zolvin.grid import _restore  # the name pickles of the old layout call

CHILD = """
import numpy as np, zolvin
p = zolvin.Pixels(np.arange(10.0), np.zeros(10), np.eye(2))
g = zolvin.Grid((3, 4))
target = {target}
try:
    {attempt}
except {error} as e:
    assert "{word}" in str(e), str(e)
else:
    raise SystemExit("no {error}")
# Still the same pixels, whatever was tried.
assert zolvin.enclosed_circle(p, (0, 0), 100.0).sum() == 10.0
assert zolvin.enclosed_circle(g, (0, 0), 100.0).sum() == 12.0
"""

ATTEMPTS = [
    ("p", "target.size = 10**8", "AttributeError", "immutable"),
    ("p", "target.shape = (1000,)", "AttributeError", "immutable"),
    ("p", "target.x = target.x.copy()", "AttributeError", "immutable"),
    ("p", "target._spans = ()", "AttributeError", "immutable"),
    ("p", "del target.y", "AttributeError", "immutable"),
    ("p", "target.x[0] = 5.0", "ValueError", "read-only"),
    ("p", "target.dydv[...] = 0.0", "ValueError", "read-only"),
    ("p", "target.extra = 1", "AttributeError", "immutable"),
    ("g", "target._shape = (10**8, 10**8)", "AttributeError", "immutable"),
    ("g", "target._row0 = 2**60", "AttributeError", "immutable"),
    ("g", "del target._jac", "AttributeError", "immutable"),
    ("zolvin.Pixels", "type('Sized', (target,), {})", "TypeError", "subclassed"),
    ("zolvin.Grid", "type('Sized', (target,), {})", "TypeError", "subclassed"),
]


@pytest.mark.parametrize("target, attempt, error, word", ATTEMPTS,
                         ids=[a[1] for a in ATTEMPTS])
def test_values_refuse_changes(target, attempt, error, word):
    code = CHILD.format(target=target, attempt=attempt, error=error, word=word)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=False, timeout=120)
    assert run.returncode == 0, run.stderr + run.stdout


class Forged:
    """Pickles as a call of function(*args): what a hand-made pickle can hold."""

    def __init__(self, function, *args):
        self.function, self.args = function, args

    def __reduce__(self):
        return self.function, self.args



def loaded(function, *args):
    return pickle.loads(pickle.dumps(Forged(function, *args)))


BASE = np.linspace(-2.0, 2.0, 12).reshape(3, 4)
JAC = np.array([[0.7, 0.2], [-0.1, 0.9]])
STORED = {
    "Fortran-ordered": np.asfortranarray(BASE),
    "byte-swapped": BASE.astype(">f8"),
    "int32": np.arange(12, dtype=np.int32).reshape(3, 4),
    "list": BASE.tolist(),
}


@pytest.mark.parametrize("slot", range(8))
@pytest.mark.parametrize("kind", sorted(STORED))
def test_unpickled_pixels_are_converted_as_constructed(kind, slot):
    """Every stored array is converted as the constructor converts it."""
    arrays = [BASE + k for k in range(4)] + [np.full((3, 4), j) for j in JAC.ravel()]
    arrays[slot] = STORED[kind]
    p = loaded(zolvin.Pixels._from_arrays, *arrays)
    jac = np.stack([np.stack(arrays[4:6], -1), np.stack(arrays[6:], -1)], -2)
    q = zolvin.Pixels(arrays[0], arrays[1], np.asarray(jac, dtype=float), arrays[2], arrays[3])
    for name in ("x", "y", "u", "v", "dxdu", "dxdv", "dydu", "dydv"):
        a = getattr(p, name)
        assert a.flags.c_contiguous and not a.flags.writeable
        assert same_bits(a, getattr(q, name)), name
    assert same_bits(zolvin.enclosed_circle(p, (0.1, 0.2), 1.5),
                     zolvin.enclosed_circle(q, (0.1, 0.2), 1.5))


@pytest.mark.parametrize("slot, value, error, word", [
    (0, np.zeros(5), None, None),                       # x sets the shape: all others mismatch
    (1, np.zeros(13), ValueError, "y"),
    (3, np.zeros((4, 3)), ValueError, "v"),
    (5, np.zeros(12, complex).reshape(3, 4), TypeError, "jac[0][1]"),
    (7, np.array([["a"] * 4] * 3), TypeError, "jac[1][1]"),
    (2, None, TypeError, "u"),
])
def test_unpickled_pixels_are_refused_as_constructed(slot, value, error, word):
    arrays = [np.zeros((3, 4)) for _ in range(8)]
    arrays[slot] = value
    with pytest.raises(error or ValueError, match=word and word.replace("[", r"\[")):
        loaded(zolvin.Pixels._from_arrays, *arrays)


def test_unpickled_pixels_need_eight_arrays():
    with pytest.raises(TypeError, match="8 arrays"):
        loaded(zolvin.Pixels._from_arrays, np.zeros(3))


@pytest.mark.parametrize("args, error, word", [
    (((2**40, 2**40), (0.0, 0.0), ((1.0, 0.0), (0.0, 1.0)), 0, 0), ValueError, "shape"),
    (((3, -1), (0.0, 0.0), ((1.0, 0.0), (0.0, 1.0)), 0, 0), ValueError, "shape"),
    (((3, 4), (0.0, 0.0), ((1.0, 0.0), (0.0, 1.0)), 2**53, 0), ValueError, "2\\*\\*53"),
    (((3, 4), (0.0, 0.0), ((1.0, 0.0), (0.0, 1.0)), 0, 1.5), TypeError, "col0"),
])
def test_unpickled_grid_is_refused_as_constructed(args, error, word):
    with pytest.raises(error, match=word):
        loaded(_restore, *args)
    shape, origin, jac, row0, col0 = args
    with pytest.raises(error, match=word):
        loaded(rebuild, Grid, (shape, origin, jac), {"row0": row0, "col0": col0})


def test_values_pickle_and_copy_to_equal_values():
    import copy
    g = zolvin.Grid((5, 7), (0.25, -1.0), ((0.5, 0.1), (0.0, 0.5)))[1:4, 2:6]
    for h in (pickle.loads(pickle.dumps(g)), copy.copy(g), copy.deepcopy(g)):
        assert h == g and (h.row0, h.col0) == (1, 2)
    p = g.pixels()
    q = pickle.loads(pickle.dumps(p))
    assert same_bits(zolvin.enclosed_circle(q, (0, 0), 1.0), zolvin.enclosed_circle(g, (0, 0), 1.0))


def square_region(side):
    ring = np.array([(0, 0), (side, 0), (side, side), (0, side)], float)
    return Region(np.hstack([ring, np.roll(ring, -1, 0)]), [0] * 4, np.zeros((0, 8)), [],
                  ("positive",))


# (value, an equal value made again, a different value of the same kind)
VALUES = {
    "Grid": (lambda: Grid((3, 4), (0.5, np.nan), row0=2), lambda: Grid((3, 4), (0.5, np.nan))),
    "Region": (lambda: square_region(1.0), lambda: square_region(2.0)),
    "Disc": (lambda: shapes.Disc((0, 0), 1.0), lambda: shapes.Disc((0, 0), 1.5)),
    "Hexagon": (lambda: shapes.Hexagon((0, 0), 1.0), lambda: shapes.Hexagon((0, 0), 1.0, 0.1)),
    "Union": (lambda: shapes.Disc((0, 0), 1) | shapes.Spider((0, 0), 0.2, 0.1),
              lambda: shapes.Disc((0, 0), 1) - shapes.Spider((0, 0), 0.2, 0.1)),
}


@pytest.mark.parametrize("name", VALUES)
def test_values_compare_hash_pickle_and_tokenize_by_what_they_hold(name):
    make, other = VALUES[name]
    a, b, c = make(), make(), other()
    assert a is not b and a == b and hash(a) == hash(b) and tokenize(a) == tokenize(b)
    assert a != c and tokenize(a) != tokenize(c)
    again = pickle.loads(pickle.dumps(a))
    assert type(again) is type(a) and again == a and hash(again) == hash(a)
    other_kind = square_region(1.0) if name == "Grid" else Grid((1, 1))
    assert a != other_kind and a != (a,)
    with pytest.raises(AttributeError, match="immutable"):
        a.center = (1, 1)
    with pytest.raises(AttributeError, match="immutable"):
        del a._key


def test_pixels_compare_by_identity():
    p = zolvin.Pixels(np.zeros(3), np.zeros(3), np.eye(2))
    q = zolvin.Pixels(np.zeros(3), np.zeros(3), np.eye(2))
    assert p == p and p != q and len({p, q}) == 2
    assert tokenize(p) == tokenize(q)  # dask by what they hold
