"""Every refused call of the package: the error type, the argument it names,
and out= untouched. The calls run in a child interpreter, so that a crash
fails the test instead of passing unnoticed."""
import json
import subprocess
import sys

import pytest

# Names the calls below may use; O* are out= arrays holding 7.0 that a refused
# call must leave as they were.
SETUP = """
import numpy as np
from zolvin import *
X = np.zeros((3, 4))
P = Pixels(X, X, np.eye(2))
G = Grid((3, 4))
T = np.zeros((2, 3, 2))
E = ((0.0, 0.0), (0.0, 1.0))
B = np.zeros(40)
PB = Pixels(B[:12].reshape(3, 4), X, np.eye(2))
RO = np.full((3, 4), 7.0); RO.flags.writeable = False
"""

OUTS = {
    "O34": "np.full((3, 4), 7.0)",
    "O38": "np.full((3, 8), 7.0)",
    "O43": "np.full((4, 3), 7.0)",
    "O55": "np.full((5, 5), 7.0)",
    "OB": "np.full((3, 4), True)",
}

CASES = [
    # Pixels
    ("Pixels('ab', X, np.eye(2))", TypeError, "x"),
    ("Pixels(np.zeros(3, complex), np.zeros(3), np.eye(2))", TypeError, "x"),
    ("Pixels(np.array([None, 1]), np.zeros(2), np.eye(2))", TypeError, "x"),
    ("Pixels(np.zeros(3), np.zeros(4), np.eye(2))", ValueError, "y"),
    ("Pixels(X, X, np.eye(3))", ValueError, "jac"),
    ("Pixels(X, X, [['a', 'b'], ['c', 'd']])", TypeError, "jac"),
    ("Pixels(X, X, np.eye(2), u=np.zeros(4))", ValueError, "u"),
    ("Pixels(X, X, np.eye(2), v=np.zeros((3, 4), complex))", TypeError, "v"),
    ("Grid((2**40, 2**40))", ValueError, "shape"),
    ("Grid((-1, 3))", ValueError, "shape[0]"),
    # Numbers that float64 does not hold, numbers of the wrong kind, windows
    ("Grid((4, 4), origin=(10**400, 0))", ValueError, "origin[0]"),
    ("Grid((4, 4), origin=('1', '2'))", TypeError, "origin[0]"),
    ("Grid((4, 4), origin=(0, 1j))", TypeError, "origin[1]"),
    ("Grid((4, 4), origin=np.array([1j, 0]))", TypeError, "origin"),
    ("Grid((4, 4), jac=((1, 0), (0, np.complex128(1))))", TypeError, "jac[1][1]"),
    ("Grid((4, 4), jac=((2**53 + 1, 0), (0, 1)))", ValueError, "jac[0][0]"),
    ("Grid((4, 4), origin=iter((0, 0, 0)))", ValueError, "origin"),
    ("G[1.5:3]", TypeError, "rows"),
    ("G[:, 0:2.0]", TypeError, "cols"),
    ("G[::1.0]", TypeError, "rows"),
    ("G[1]", TypeError, "window"),
    ("Pixels(np.array([2**53 + 1, 0]), np.zeros(2), np.eye(2))", ValueError, "x"),
    ("Pixels([10**400, 0], [0, 0], np.eye(2))", ValueError, "x"),
    ("Pixels(X, X, np.eye(2, dtype=np.uint64) * (2**63 + 1))", ValueError, "jac"),
    ("enclosed_circle(G, (0, 0), 10**400, out=O34)", ValueError, "radius"),
    ("enclosed_circle(P, (10**400, 0), 1.0, out=O34)", ValueError, "center[0]"),
    ("enclosed_circle(P, np.array([2**53 + 1, 0]), 1.0, out=O34)", ValueError, "center"),
    ("enclosed_circle(P, (0, np.int64(2**62 + 1)), 1.0, out=O34)", ValueError, "center[1]"),
    ("enclosed_circle(P, (0, 0), np.complex128(1.0), out=O34)", TypeError, "radius"),
    ("enclosed_circle(P, (0, 0), np.datetime64('2020'), out=O34)", TypeError, "radius"),
    ("enclosed_circle(P, ((0, 0), (1, 1)), 1.0, out=O34)", ValueError, "center"),
    ("enclosed_strut(G, 2.0, E, ((0, 0), (10**400, 1)), out=O34)", ValueError,
     "edge2 direction[0]"),
    ("pixel_frac(P, (0, '1'), (0, 1), out=O34)", TypeError, "point[1]"),
    ("pupil(G, 10**400)", ValueError, "radius"),
    ("pupil(G, 1.0, struts=[10**400], strut_width=0.1)", ValueError, "struts"),
    ("pupil(G, 1.0, center=('0', 0))", TypeError, "center[0]"),
    ("accumulate_triangles(T.astype(np.int64) + 2**60 + 1, 1.0, 1.0, 5, out=O55)", ValueError,
     "triangles"),
    ("accumulate_triangles(T, 10**400, 1.0, 5, out=O55)", ValueError, "values"),
    ("accumulate_triangles(T, 1.0, np.datetime64('2020'), 5, out=O55)", TypeError, "weights"),
    ("poly_grid_contains(np.zeros((3, 2)), np.array([2**60 + 1, 0, 0, 0]), np.zeros(3), out=OB)",
     ValueError, "gx"),
    # Coverage
    ("pixel_frac(X, (0, 0), (0, 1))", TypeError, "pixels"),
    ("pixel_frac(P, (0, 0, 0), (0, 1))", ValueError, "point"),
    ("pixel_frac(P, (0, 0), 'ab')", TypeError, "direction"),
    ("pixel_frac(P, np.zeros((3, 5, 2)), (0, 1))", ValueError, "point"),
    ("pixel_frac(G, (0, 0), np.zeros((4, 3, 2)))", ValueError, "direction"),
    ("pixel_frac(P, (0, 0), (0, 1), out=O34.astype(np.float32))", TypeError, "out"),
    ("pixel_frac(P, (0, 0), (0, 1), out=O34.tolist())", TypeError, "out"),
    ("pixel_frac(P, (0, 0), (0, 1), out=O43)", ValueError, "out"),
    ("pixel_frac(P, (0, 0), (0, 1), out=RO)", ValueError, "out"),
    ("pixel_frac(P, (0, 0), (0, 1), out=O38[:, ::2])", ValueError, "out"),
    ("pixel_frac(P, np.zeros((3, 4, 2)), (0, 1), out=O34[::-1])", ValueError, "out"),
    ("pixel_frac(PB, (0, 0), (0, 1), out=B[1:13].reshape(3, 4))", ValueError, "overlaps x"),
    ("pixel_frac(G, (0, 0), (0, 1), out=O43)", ValueError, "out"),
    ("pixel_frac(P, (0, 0), (0, 1), out=O34, n_threads=0)", ValueError, "n_threads"),
    ("pixel_frac(P, (0, 0), (0, 1), out=O34, n_threads=1.5)", TypeError, "n_threads"),
    ("pixel_frac(G, (0, 0), (0, 1), out=O34, n_threads='2')", TypeError, "n_threads"),
    ("enclosed_circle(P, (0, 0), '1', out=O34)", TypeError, "radius"),
    ("enclosed_circle(P, (0, 0), 1j, out=O34)", TypeError, "radius"),
    ("enclosed_circle(P, 0.0, 1.0, out=O34)", TypeError, "center"),
    ("enclosed_circle(G, (0, 0), 1.0, out=O38[:, :4])", ValueError, "out"),
    ("enclosed_strut(P, 1.0, ((0, 0),), E, out=O34)", ValueError, "edge1"),
    ("enclosed_strut(P, 1.0, E, ((0, 0), (0, 1, 2)), out=O34)", ValueError, "edge2 direction"),
    ("enclosed_strut(G, None, E, E, out=O34)", TypeError, "diameter"),
    # Triangles
    ("clip_area(np.zeros((4, 2)), 0, 0)", ValueError, "triangle"),
    ("clip_area(T[0], 0.5, 0)", TypeError, "ix"),
    ("clip_area(T[0], 0, 2**31)", ValueError, "iy"),
    ("accumulate_triangles(np.zeros((2, 3)), 1.0, 1.0, 5, out=O55)", ValueError, "triangles"),
    ("accumulate_triangles(T, np.zeros(3), 1.0, 5, out=O55)", ValueError, "values"),
    ("accumulate_triangles(T, 1.0, np.zeros((2, 1)), 5, out=O55)", ValueError, "weights"),
    ("accumulate_triangles(T, ['a', 'b'], 1.0, 5, out=O55)", TypeError, "values"),
    ("accumulate_triangles(T, 1.0, 1.0, -1)", ValueError, "size"),
    ("accumulate_triangles(T, 1.0, 1.0, 2**31)", ValueError, "size"),
    ("accumulate_triangles(T, 1.0, 1.0, 2**31 - 1)", ValueError, "size"),
    ("accumulate_triangles(T, 1.0, 1.0, 5.0)", TypeError, "size"),
    ("accumulate_triangles(T, 1.0, 1.0, 5, out=O55.astype(np.float32))", TypeError, "out"),
    ("accumulate_triangles(T, 1.0, 1.0, 4, out=O55)", ValueError, "out"),
    ("accumulate_triangles(T, B[:2], 1.0, 5, out=B[:25].reshape(5, 5))", ValueError,
     "overlaps values"),
    ("accumulate_triangles(B[:12].reshape(2, 3, 2), 1.0, 1.0, 5, out=B[11:36].reshape(5, 5))",
     ValueError, "overlaps triangles"),
    ("clip_triangles_to_circle(T, (0, 0), 'r')", TypeError, "radius"),
    ("clip_triangles_to_circle(T, (0,), 1.0)", ValueError, "center"),
    ("clip_triangles_to_circle(T, (0, 0), 1.0, margin='x')", TypeError, "margin"),
    ("clip_triangles_to_circle(np.zeros((2, 3, 3)), (0, 0), 1.0)", ValueError, "triangles"),
    ("clip_triangles_to_strut(T, E, E, (0, 0), None)", TypeError, "length"),
    ("clip_triangles_to_strut(T, E, 3.0, (0, 0), 1.0)", TypeError, "edge2"),
    ("clip_triangles_to_strut(T.astype(complex), E, E, (0, 0), 1.0)", TypeError, "triangles"),
    # Polygon mask
    ("poly_grid_contains(np.zeros((3, 3)), np.zeros(4), np.zeros(3), out=OB)", ValueError,
     "vertices"),
    ("poly_grid_contains(np.zeros((3, 2)), np.zeros((4, 1)), np.zeros(3), out=OB)", ValueError,
     "gx"),
    ("poly_grid_contains(np.zeros((3, 2)), np.zeros(4), ['a'] * 3, out=OB)", TypeError, "gy"),
    ("poly_grid_contains(np.zeros((3, 2)), np.zeros(4), np.zeros(3), out=OB.astype(np.uint8))",
     TypeError, "out"),
    ("poly_grid_contains(np.zeros((3, 2)), np.zeros(3), np.zeros(4), out=OB)", ValueError, "out"),
    ("poly_grid_contains(np.zeros((3, 2)), np.zeros(4), np.zeros(3), out=OB, n_threads=-2)",
     ValueError, "n_threads"),
    ("poly_grid_contains(np.zeros((3, 2)), np.zeros(4), np.zeros(3), rule=1, out=OB)",
     TypeError, "rule"),
    ("poly_grid_contains(np.zeros((3, 2)), np.zeros(4), np.zeros(3), rule='inside', out=OB)",
     ValueError, "rule"),
]

CHILD = """
import json, sys
cases, outs, setup = json.load(sys.stdin)
results = []
for call in cases:
    ns = {}
    exec(setup, ns)
    made = {name: eval(expr, ns) for name, expr in outs.items()}
    ns.update(made)
    try:
        eval(call, ns)
        kind, text = "no error", ""
    except Exception as e:
        kind, text = type(e).__name__, str(e)
    untouched = all(bool((a == eval(outs[n], ns)).all()) for n, a in made.items())
    untouched = untouched and bool((ns["B"] == 0).all())
    results.append((kind, text, untouched))
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def outcomes():
    run = subprocess.run([sys.executable, "-c", CHILD],
                         input=json.dumps([[c[0] for c in CASES], OUTS, SETUP]),
                         capture_output=True, text=True, timeout=300, check=False)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.mark.parametrize("index", range(len(CASES)), ids=[c[0][:60] for c in CASES])
def test_refused(outcomes, index):
    call, error, names = CASES[index]
    kind, text, untouched = outcomes[index]
    assert kind == error.__name__, f"{call}: {kind} {text}"
    assert names in text, text
    assert untouched, f"{call} wrote into out"
