"""Ctrl-C stops long native calls: each call runs in a child interpreter that
sends itself SIGINT shortly after the call starts; the call must end in
KeyboardInterrupt with its work unfinished (a call that ignored the signal
would finish its work, seconds later, and only then raise)."""
import json
import subprocess
import sys

import pytest

CHILD = """
import json, math, os, signal, sys, threading
import numpy as np
import zolvin
from zolvin import Grid, Pixels
from zolvin.coverage.region import polygon_region

def star(n, r0, r1):
    t = np.arange(2 * n) * math.pi / n
    r = np.where(np.arange(2 * n) % 2 == 0, r1, r0)
    return np.stack([r * np.cos(t), r * np.sin(t)], 1)

STAR = star(150_000, 100.0, 500.0)
# A spike out and back repeats a vertex: not simple rings, so the crossing
# check runs over every edge (about a second).
BIG = star(600_000, 100.0, 500.0)
PINCHED = np.insert(BIG, 1, [BIG[0] * 0.999, BIG[0]], axis=0)
GRID = Grid((1024, 1024), origin=(-511.5, -511.5))
x = np.linspace(-400.0, 400.0, 4000)
PIXELS = Pixels(x, x[::-1].copy(), np.eye(2) * 2.0)
TRIS = np.tile(np.array([[-100.0, -100.0], [120.0, -90.0], [10.0, 130.0]]), (40_000, 1, 1))
GX = np.linspace(-600.0, 600.0, 8000)
# An image's pixels, index made: the call reaches its pixels at once.
GY, GXX = np.mgrid[-300:300, -300:300] * 1.0
IMAGE = Pixels(GXX, GY, np.eye(2))
zolvin.polygon_coverage(IMAGE, star(3, 1.0, 2.0))
SMALL_STAR = polygon_region(star(5_000, 100.0, 290.0))
out = {out}
# A shell's background job starts with SIGINT ignored, and Python then
# leaves it so: Ctrl-C's handler is put back for the test.
signal.signal(signal.SIGINT, signal.default_int_handler)
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    {call}
    print(json.dumps("finished"))
except KeyboardInterrupt:
    done = {done}
    print(json.dumps(["interrupted", bool(done)]))
"""

# (call, out before it, whether work was left undone)
CALLS = {
    "region sweep": ("zolvin.polygon_coverage(GRID, STAR, fill='evenodd', out=out)",
                     "np.full(GRID.shape, np.nan)", "np.isnan(out).any()"),
    "region pixels": ("zolvin.polygon_coverage(PIXELS, STAR, fill='evenodd', out=out)",
                      "np.full(PIXELS.shape, np.nan)", "np.isnan(out).any()"),
    # Through the pixels' index: each pixel near the star costs its pieces.
    "region image pixels": ("zolvin.region_coverage(IMAGE, SMALL_STAR, out=out)",
                            "np.full(IMAGE.shape, np.nan)", "np.isnan(out).any()"),
    "crossing check": ("zolvin.polygon_coverage(GRID[:1, :1], PINCHED, out=out)",
                       "np.full((1, 1), np.nan)", "np.isnan(out).all()"),
    # Each triangle adds its area, 24750, to the grid.
    "triangles": ("zolvin.accumulate_triangles(TRIS, 1.0, 1.0, 512, out=out)",
                  "np.zeros((512, 512))", "out.sum() < 0.99 * 24750 * len(TRIS)"),
    # The last row lies outside the star: still all True when not reached.
    "mask": ("zolvin.poly_grid_contains(STAR, GX, GX, out=out)",
             "np.ones((GX.size, GX.size), bool)", "out[-1].all()"),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("n_threads", [1, 2])
def test_ctrl_c_stops_long_calls(name, n_threads):
    call, out, done = CALLS[name]
    call = call[:-1] + f", n_threads={n_threads})"
    code = CHILD.format(call=call, out=out, done=done)
    seconds = 60  # each call runs for tens of seconds when the signal is ignored
    try:
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=False, timeout=seconds)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{name}: still running {seconds} s after SIGINT")
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == ["interrupted", True], (name, run.stdout)
